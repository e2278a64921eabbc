"""Rows scaled to unit length: the one normaliser of the queries, the index
and quantization."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

__all__ = ["row_lengths", "unit_rows"]


def row_lengths(x: npt.NDArray[np.floating]) -> npt.NDArray[np.float32]:
    """The Euclidean length of each row of a 2-D array, summed in float64 so
    that long rows lose no precision."""
    squares: npt.NDArray[np.float64] = np.einsum("ij,ij->i", x, x, dtype=np.float64)
    return np.sqrt(squares).astype(np.float32)


def unit_rows(
    x: npt.NDArray[np.floating], lengths: npt.NDArray[np.float32] | None = None
) -> npt.NDArray[np.float32]:
    """The rows of `x` scaled to unit length, as float32; a zero row stays
    zero. `lengths`: the rows' lengths when the caller has them already."""
    if lengths is None:
        lengths = row_lengths(x)
    safe = np.where(lengths > 0, lengths, np.float32(1))
    return (x / safe[:, None]).astype(np.float32, copy=False)
