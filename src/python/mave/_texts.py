"""Mean vectors of texts: the rows of Embeddings.mean_vectors and of
mave.dask, computed in one place so that both give the same bits."""

from __future__ import annotations

import itertools
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from mave._native import Embeddings  # the compiled base: embed() is all this needs

__all__ = ["Tokenizer", "mean_vectors"]

Tokenizer = Callable[[str], Iterable[str]]


def mean_vectors(
    texts: Iterable[Any],
    embeddings: Embeddings,
    *,
    tokenize: Tokenizer | None = None,
    threads: int | None = None,
) -> npt.NDArray[np.float32]:
    """The mean vector of each text; mave.dask.mean_vectors documents the
    rules (tokens, float64 sums, zero rows for texts without vectors)."""
    split = str.split if tokenize is None else tokenize
    missing = _missing_values(texts)
    token_lists: list[Sequence[str]] = []
    for i, text in enumerate(texts):
        if isinstance(text, str):
            tokens = split(text)
            token_lists.append(tokens if isinstance(tokens, Sequence) else list(tokens))
        elif text is None or (missing is not None and missing[i]):
            token_lists.append(())
        else:
            raise TypeError(f"texts[{i}] must be str, not {type(text).__name__}")
    out = np.zeros((len(token_lists), embeddings.dims), dtype=np.float32)
    # Blocks of texts bound the temporaries (the tokens' vectors and the
    # float64 sums) whatever the number of texts.
    for start in range(0, len(token_lists), _BLOCK_TEXTS):
        block = token_lists[start : start + _BLOCK_TEXTS]
        _fill_means(out[start : start + len(block)], block, embeddings, threads)
    return out


_BLOCK_TEXTS = 1024


def _fill_means(
    out: npt.NDArray[np.float32],
    token_lists: list[Sequence[str]],
    embeddings: Embeddings,
    threads: int | None,
) -> None:
    n = len(token_lists)
    words = list(itertools.chain.from_iterable(token_lists))
    vectors, found = embeddings.embed(words, threads=threads)
    tokens_per_text = np.fromiter(map(len, token_lists), dtype=np.intp, count=n)
    # The text of each token that has a vector, in token order.
    owner = np.repeat(np.arange(n, dtype=np.intp), tokens_per_text)[found]
    counts = np.bincount(owner, minlength=n)
    with_vectors = counts > 0
    if with_vectors.any():
        rows = vectors if found.all() else vectors[found]
        starts = np.concatenate(([0], np.cumsum(counts)[:-1]))[with_vectors]
        # reduceat adds each text's rows one after the other, in float64.
        sums = np.add.reduceat(rows, starts, axis=0, dtype=np.float64)
        out[with_vectors] = sums / counts[with_vectors, None]


def _missing_values(texts: Iterable[Any]) -> npt.NDArray[np.bool_] | None:
    """Where a pandas Series holds missing values (NaN, NA), else None."""
    isna = getattr(texts, "isna", None)
    return None if isna is None else np.asarray(isna(), dtype=bool)
