"""Embeddings as Arrow tables (``e.to_arrow()``, ``e.to_arrow_batches()``)
and the columns mave.ray and the Parquet conversions build on.

Imported only when one of them is used: ``import mave`` never loads
pyarrow.
"""

from __future__ import annotations

from collections.abc import Iterator

import numpy as np
import numpy.typing as npt

try:
    import pyarrow as pa  # type: ignore[import-untyped]
except ImportError as error:
    raise ImportError(
        "Arrow tables and Parquet files need pyarrow: pip install 'mave[arrow]'", name="pyarrow"
    ) from error

# The compiled base has all that is read here; mave.Embeddings imports this
# module (when a table is asked for), not the other way round.
from mave._native import Embeddings  # noqa: E402

__all__ = ["batches", "pa", "rows", "schema", "table", "vector_array", "vector_type", "word_chunks"]

# Arrow's string arrays hold 32-bit offsets: a column whose words take more
# bytes is cut into chunks.
_STRING_BYTES = 2**31 - 1

# Vocabulary kinds whose word i is storage row i; any other is looked up.
_WORD_ROWS = ("simple", "bucket", "fasttext", "explicit")


def vector_type(dims: int) -> pa.DataType:
    """``fixed_size_list<float32>[dims]``, the type vector stores take."""
    return pa.list_(pa.float32(), dims)


def schema(dims: int) -> pa.Schema:
    """The schema of :func:`table`: ``word`` (string), ``vector``."""
    return pa.schema(
        [pa.field("word", pa.string(), nullable=False), pa.field("vector", vector_type(dims), nullable=False)]
    )


def vector_array(matrix: npt.NDArray[np.float32]) -> pa.FixedSizeListArray:
    """The rows of a C-contiguous float32 (n, dims) array as a fixed-size-list
    array over the same memory: the array's buffer keeps `matrix` (and what
    it views, such as a mapped file) alive."""
    rows, dims = matrix.shape
    values = pa.Array.from_buffers(pa.float32(), rows * dims, [None, pa.py_buffer(matrix)])
    # Built from buffers rather than from_arrays: the length of a list of
    # zero values per row cannot be inferred from its values.
    return pa.Array.from_buffers(vector_type(dims), rows, [None], children=[values])


def word_chunks(e: Embeddings, start: int, stop: int) -> list[tuple[int, int, pa.StringArray]]:
    """The words of rows [start, stop) as string arrays over the vocabulary's
    own bytes, (first row, end row, array) each, cut where 32-bit offsets
    would overflow. No str object is made per word."""
    ends, data = e.words._buffers()
    chunks: list[tuple[int, int, pa.StringArray]] = []
    pending = [(start, stop)]
    while pending:
        a, b = pending.pop()
        begin = int(ends[a - 1]) if a > 0 else 0
        end = int(ends[b - 1]) if b > a else begin
        if end - begin > _STRING_BYTES:
            if b - a == 1:
                raise ValueError(f"word {a} takes {end - begin} bytes, more than an Arrow " "string holds")
            middle = (a + b) // 2
            pending += [(middle, b), (a, middle)]
            continue
        offsets = np.empty(b - a + 1, np.int32)
        offsets[0] = 0
        np.subtract(ends[a:b], begin, out=offsets[1:], casting="unsafe")
        words = pa.StringArray.from_buffers(b - a, pa.py_buffer(offsets), pa.py_buffer(data[begin:end]))
        chunks.append((a, b, words))
    return chunks


def rows(e: Embeddings, start: int, stop: int) -> npt.NDArray[np.float32]:
    """The vectors of the words of rows [start, stop), as lookups give them:
    a read-only view of the mapped matrix when it is dense, rebuilt rows
    otherwise."""
    if e.vocab_kind in _WORD_ROWS:
        if e.storage_kind == "dense":
            return e.matrix[start:stop]
        return e.reconstruct(range(start, stop))
    vectors, _ = e.embed(e.words[start:stop])
    return vectors


def table(e: Embeddings) -> pa.Table:
    """``e.to_arrow()``: every vocabulary word and its vector."""
    n = len(e)
    words = pa.chunked_array([chunk for _, _, chunk in word_chunks(e, 0, n)], pa.string())
    vectors = pa.chunked_array([vector_array(rows(e, 0, n))], vector_type(e.dims))
    return pa.Table.from_arrays([words, vectors], schema=schema(e.dims))


def batches(e: Embeddings, batch_size: int) -> pa.RecordBatchReader:
    """``e.to_arrow_batches(batch_size)``: the rows of :func:`table`, a batch
    at a time."""
    target = schema(e.dims)

    def produce() -> Iterator[pa.RecordBatch]:
        for start in range(0, len(e), batch_size):
            stop = min(start + batch_size, len(e))
            for a, b, words in word_chunks(e, start, stop):
                yield pa.RecordBatch.from_arrays([words, vector_array(rows(e, a, b))], schema=target)

    return pa.RecordBatchReader.from_batches(target, produce())
