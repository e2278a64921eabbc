"""Approximate nearest neighbours: an HNSW graph (faiss) in a file beside
the model, with candidates re-ranked by exact cosine over the model's own
rows.

The graph keeps its rows as 8-bit codes: a quarter of the matrix's size,
enough to find the candidates; the answer's order and cosines come from the
rows of the model. The codes are memory-mapped when the file is read, so
every process searching one model shares one copy of them in the page cache;
each process holds its own copy of the graph's links (about 260 bytes a
row at the default degree).
"""

from __future__ import annotations

import errno
import importlib
import os
import threading
from collections.abc import Callable, Sequence
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

__all__ = ["ApproximateIndex", "build_index", "has_index", "index_path", "open_index"]


class Embeddings(Protocol):
    """What the index needs of a model (mave.Embeddings, without importing
    it: the queries import this module)."""

    @property
    def path(self) -> str: ...
    @property
    def dims(self) -> int: ...
    @property
    def words(self) -> Sequence[str]: ...
    @property
    def storage_kind(self) -> str: ...
    @property
    def matrix(self) -> npt.NDArray[np.float32]: ...
    def reconstruct(self, rows: Any) -> npt.NDArray[np.float32]: ...

SUFFIX = ".hnsw"
# Graph degree and the breadths of the search while building and answering,
# measured on 1M x 300 clustered rows (bench/ann_compare.py, 30 candidates
# re-ranked): with degree 16 and build breadth 100 recall@10 stopped at 0.945
# even at search breadth 2048; degree 32 and build breadth 200 give 0.984 at
# search breadth 256, 33 times the queries per second of exact search, for
# twice the build time.
CONNECTIVITY = 32
BUILD_BREADTH = 200
SEARCH_BREADTH = 256
# Candidates asked of the graph per answer word, for the exact re-ranking.
OVERSAMPLE = 3
_BATCH = 100_000


def index_path(model_path: str | os.PathLike[str]) -> str:
    """The index file of a model: its path with ``.hnsw`` added."""
    return os.fspath(model_path) + SUFFIX


def _rows(e: Embeddings, start: int, stop: int) -> npt.NDArray[np.float32]:
    if e.storage_kind == "dense":
        return np.ascontiguousarray(e.matrix[start:stop])
    return e.reconstruct(range(start, stop))


def build_index(e: Embeddings, path: str | os.PathLike[str] | None = None, *,
                threads: int | None = None,
                progress: Callable[[str, int, int], object] | None = None) -> str:
    """Builds the approximate-neighbours index of the vocabulary's rows and
    writes it beside the model (or to `path`); returns the file's path.

    Only the vocabulary's words are indexed (not subword buckets). Rows are
    scaled to unit length, so that inner products are cosines. The file
    appears when complete: it is written under a temporary name first.

    Raises:
        ImportError: faiss is not installed (``pip install mave[serve]``).
        OSError: the file cannot be written.
    """
    faiss = _faiss()
    target = os.fspath(path) if path is not None else index_path(e.path)
    words = len(e.words)
    index = faiss.IndexHNSWSQ(e.dims, faiss.ScalarQuantizer.QT_8bit, CONNECTIVITY,
                              faiss.METRIC_INNER_PRODUCT)
    index.hnsw.efConstruction = BUILD_BREADTH
    previous = faiss.omp_get_max_threads()
    if threads:
        faiss.omp_set_num_threads(threads)
    try:
        # The 8-bit code ranges from a sample spread over the rows.
        step = max(1, words // 100_000)
        index.train(_unit(np.concatenate([_rows(e, start, min(start + 1, words))
                                          for start in range(0, words, step)]))
                    if words else np.zeros((1, e.dims), np.float32))
        for start in range(0, words, _BATCH):
            stop = min(start + _BATCH, words)
            index.add(_unit(_rows(e, start, stop)))
            if progress is not None:
                progress("indexing", stop, words)
    finally:
        faiss.omp_set_num_threads(previous)
    partial = target + ".partial"
    faiss.write_index(index, partial)
    os.replace(partial, target)
    return target


def _faiss() -> Any:  # typed loosely: its stubs lag its API
    try:
        return importlib.import_module("faiss")
    except ImportError:
        raise ImportError("the approximate-neighbours index needs faiss: pip install mave[serve]",
                          name="faiss") from None


def _unit(rows: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    lengths = np.linalg.norm(rows, axis=1, keepdims=True)
    out: npt.NDArray[np.float32] = np.divide(rows, lengths, out=np.zeros_like(rows), where=lengths > 0)
    return out


class ApproximateIndex:
    """A model's index, its codes memory-mapped."""

    def __init__(self, e: Embeddings, path: str) -> None:
        faiss = _faiss()

        self.path = path
        try:
            index: Any = faiss.read_index(path, faiss.IO_FLAG_MMAP_IFC | faiss.IO_FLAG_READ_ONLY)
        except RuntimeError as error:
            raise ValueError(f"{path} is not an index of {e.path} (rebuild it with mave index): "
                             f"{str(error).splitlines()[0]}") from None
        if index.d != e.dims or index.ntotal != len(e.words):
            raise ValueError(f"{path} is not an index of {e.path} (rebuild it with mave index)")
        self._index = index
        self._faiss = faiss

    def search(self, e: Embeddings, queries: npt.NDArray[np.float32], k: int,
               exclude: Sequence[Sequence[int]] = ()) -> tuple[npt.NDArray[np.int64],
                                                               npt.NDArray[np.float32]]:
        """The k rows nearest to each query, re-ranked by exact cosine.

        Returns ``(rows, cosines)`` of shape (n, k); where fewer than k rows
        are found, row -1 and cosine NaN fill the end.
        """
        n = len(queries)
        rows = np.full((n, k), -1, np.int64)
        cosines = np.full((n, k), np.nan, np.float32)
        if n == 0 or k == 0:
            return rows, cosines
        most = max((len(x) for x in exclude), default=0)
        count = min(OVERSAMPLE * k + most, len(e.words))
        params = self._faiss.SearchParametersHNSW(efSearch=max(SEARCH_BREADTH, count))
        _, keys = self._index.search(_unit(np.ascontiguousarray(queries, np.float32)), count,
                                     params=params)
        for i in range(n):
            cand = keys[i][keys[i] >= 0].astype(np.int64)
            if i < len(exclude) and exclude[i]:
                cand = cand[~np.isin(cand, np.asarray(exclude[i], np.int64))]
            cand = np.sort(cand)
            if len(cand) == 0:
                continue
            scores = exact_cosines(e, queries[i], cand)
            # Rows of length zero have no direction: exact search skips them.
            cand, scores = cand[~np.isnan(scores)], scores[~np.isnan(scores)]
            order = np.argsort(-scores, kind="stable")[:k]
            rows[i, :len(order)] = cand[order]
            cosines[i, :len(order)] = scores[order]
        return rows, cosines


def exact_cosines(e: Embeddings, query: npt.NDArray[np.float32],
                  rows: npt.NDArray[np.int64]) -> npt.NDArray[np.float32]:
    """Cosines of `query` with the given rows as the file stores them; NaN
    for a row (or query) of length zero."""
    vectors = e.matrix[rows] if e.storage_kind == "dense" else e.reconstruct(rows.tolist())
    q = np.asarray(query, np.float32)
    lengths = np.linalg.norm(vectors, axis=1) * np.linalg.norm(q)
    with np.errstate(divide="ignore", invalid="ignore"):
        out: npt.NDArray[np.float32] = np.where(lengths > 0, (vectors @ q) / lengths,
                                                np.nan).astype(np.float32)
    return out


_open: dict[tuple[str, str, int, int], ApproximateIndex] = {}
_lock = threading.Lock()


def has_index(e: Embeddings) -> bool:
    """Whether the model's index file (`mave index` wrote it) exists."""
    return os.path.exists(index_path(e.path))


def open_index(e: Embeddings, path: str | os.PathLike[str] | None = None) -> ApproximateIndex:
    """The model's index: the file beside it, or at `path`; opened once per
    process, model and version of the file.

    Raises:
        FileNotFoundError: there is no such file.
        ValueError: the file is not an index of this model.
        ImportError: faiss is not installed.
    """
    target = index_path(e.path) if path is None else os.fspath(path)
    try:
        stat = os.stat(target)
    except FileNotFoundError:
        if path is None:
            raise FileNotFoundError(
                errno.ENOENT, f"{e.path} has no approximate-neighbours index (no {target}): "
                f"build it with `mave index {e.path}`", target) from None
        raise FileNotFoundError(errno.ENOENT, f"there is no index {target}", target) from None
    key = (e.path, target, stat.st_mtime_ns, stat.st_size)
    with _lock:
        if key not in _open:
            _open[key] = ApproximateIndex(e, target)
        return _open[key]
