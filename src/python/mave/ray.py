"""Encoding texts in Ray Data pipelines.

:class:`Encoder` is a callable class for ``Dataset.map_batches``: Ray makes
one per actor, each opens the model once (the matrix memory-mapped, so the
actors of a machine share one copy of it in the page cache, as Dask's
workers do), and each batch's column of texts becomes a column of vectors,
Arrow batches in and out. The vectors are those ``e.encode`` gives for the
same texts, bit for bit.

On a cluster the file must be readable at the same absolute path on every
node (shared storage, or a copy on each), as for :mod:`mave.dask`.

Needs the ``ray`` extra: ``pip install 'mave[ray]'``.

Example:
    >>> ds = ray.data.from_items([{"text": "a red house"}, {"text": "the tree"}])
    >>> ds = ds.map_batches(mave.ray.Encoder, fn_constructor_args=("/data/cc.en.300.fifu",),
    ...                     batch_format="pyarrow", compute=ray.data.ActorPoolStrategy(size=2))
    >>> ds.take(1)[0]["vector"].shape
    (300,)
"""

from __future__ import annotations

import os
from typing import Any

import numpy as np
import numpy.typing as npt

from mave import _arrow
from mave._arrow import pa
from mave._embeddings import Embeddings, StrPath, load

__all__ = ["Encoder"]


class Encoder:
    """Encodes a column of texts into a column of vectors, for
    ``Dataset.map_batches(Encoder, fn_constructor_args=(path,), ...)``.

    Each batch gets the column `output`: the vector ``e.encode`` gives for
    each text of the column `column`, as ``fixed_size_list<float32>[dims]``
    (an existing column of that name is replaced). A missing text (a null)
    gets a row of zeros, as in :mod:`mave.dask`. Batches come and go as
    Arrow tables (``batch_format="pyarrow"``, the format that copies
    least); Ray's NumPy format (a dict of arrays) works too, the vectors
    then a float32 (rows, dims) array.

    Args:
        model: the path of a finalfusion file (opened by this object, that
            is once per Ray actor: make it absolute, or valid in the actors'
            working directory), or loaded :class:`mave.Embeddings` (which
            travel to the actors as their path).
        column: the column of texts (str).
        output: the column of vectors to add.
        normalize, max_length: as for :meth:`mave.Embeddings.encode`.
        threads: threads per batch; 1 by default, since Ray runs one actor
            per CPU already.

    Raises:
        OSError, mave.FormatError: the file cannot be opened (as
            :func:`mave.load`).
        TypeError: `column` or `output` is not a str; a batch of another
            format; a column that does not hold strings (when called).
        KeyError: a batch without the column `column` (when called).
        ImportError: pyarrow is not installed.

    Example:
        >>> ds.map_batches(mave.ray.Encoder, fn_constructor_args=(path,),
        ...                fn_constructor_kwargs={"column": "body"},
        ...                batch_format="pyarrow", compute=ray.data.ActorPoolStrategy(size=4))
    """

    def __init__(
        self,
        model: StrPath | Embeddings,
        *,
        column: str = "text",
        output: str = "vector",
        normalize: bool | None = None,
        max_length: int | None = None,
        threads: int | None = 1,
    ) -> None:
        for name, value in (("column", column), ("output", output)):
            if not isinstance(value, str):
                raise TypeError(f"{name} must be str, not {type(value).__name__}")
        self.embeddings = model if isinstance(model, Embeddings) else load(os.fspath(model))
        self.column = column
        self.output = output
        self._options: dict[str, Any] = {"normalize": normalize, "max_length": max_length, "threads": threads}

    def __repr__(self) -> str:
        return f"<mave.ray.Encoder {self.embeddings.path!r}: {self.column!r} -> " f"{self.output!r}>"

    def __call__(self, batch: Any) -> Any:
        """The batch with the column of vectors: a ``pyarrow.Table`` for a
        table, a dict of arrays for a dict."""
        if isinstance(batch, pa.Table):
            return self._table(batch)
        if isinstance(batch, dict):
            if self.column not in batch:
                raise KeyError(
                    f"the batch has no column {self.column!r} (its columns: "
                    f"{', '.join(map(repr, batch))})"
                )
            values = np.asarray(batch[self.column], dtype=object).tolist()
            return {**batch, self.output: self._encode(values)}
        raise TypeError(
            "batches must be pyarrow Tables (map_batches(..., batch_format="
            f"\"pyarrow\")) or dicts of NumPy arrays, not {type(batch).__name__}"
        )

    def _table(self, batch: pa.Table) -> pa.Table:
        if self.column not in batch.column_names:
            raise KeyError(
                f"the batch has no column {self.column!r} (its columns: "
                f"{', '.join(map(repr, batch.column_names))})"
            )
        texts = batch.column(self.column)
        kind = texts.type.value_type if pa.types.is_dictionary(texts.type) else texts.type
        if not (
            pa.types.is_string(kind)
            or pa.types.is_large_string(kind)
            or getattr(pa.types, "is_string_view", lambda _: False)(kind)
        ):
            raise TypeError(f"column {self.column!r} holds {texts.type}, not strings")
        vectors = _arrow.vector_array(self._encode(texts.to_pylist()))
        field = pa.field(self.output, vectors.type)
        if self.output in batch.column_names:
            return batch.set_column(batch.column_names.index(self.output), field, vectors)
        return batch.append_column(field, vectors)

    def _encode(self, texts: list[Any]) -> npt.NDArray[np.float32]:
        """The vector of each text; zeros for a missing one."""
        e = self.embeddings
        present = [i for i, t in enumerate(texts) if t is not None]
        if len(present) == len(texts):
            return e.encode(texts, **self._options)
        out = np.zeros((len(texts), e.dims), np.float32)
        if present:
            out[present] = e.encode([texts[i] for i in present], **self._options)
        return out
