"""Approximate nearest neighbours: an HNSW graph (faiss) in a file beside
the model, with candidates re-ranked by exact cosine over the model's own
rows.

The graph keeps its rows as 8-bit codes: a quarter of the matrix's size,
enough to find the candidates; the answer's order and cosines come from the
rows of the model. The codes are memory-mapped when the file is read, so
every process searching one model shares one copy of them in the page cache;
each process holds its own copy of the graph's links (about 260 bytes a
row at the default degree).

How widely a search looks (faiss's efSearch, the breadth) is measured when
the index is built: the smallest breadth whose recall@10 on held-out rows
reaches the recall asked for is stored after faiss's bytes, with the
recall measured (see `Calibration`).
"""

from __future__ import annotations

import dataclasses
import errno
import json
import math
import os
import struct
import threading
from collections.abc import Callable, Sequence
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

from mave import _native
from mave._faiss import import_faiss
from mave._rows import unit_rows

__all__ = [
    "ApproximateIndex",
    "Calibration",
    "build_index",
    "has_index",
    "index_path",
    "open_index",
    "read_calibration",
]


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
    def nearest(
        self, queries: Any, k: int = 10, *, restrict: Any = None, threads: int | None = None
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]: ...


SUFFIX = ".hnsw"
# Graph degree and the breadth of the search while building, measured on
# 1M x 300 clustered rows (bench/ann_compare.py, 30 candidates re-ranked):
# with degree 16 and build breadth 100 recall@10 stopped at 0.945 even at
# search breadth 2048; degree 32 and build breadth 200 reach 0.98 for twice
# the build time.
CONNECTIVITY = 32
BUILD_BREADTH = 200
# The search breadths tried at build time, smallest first. 32 is what a
# search of 10 neighbours uses at least anyway (3 x 10 candidates and the
# query's own word).
BREADTHS = (32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024, 1536, 2048, 3072, 4096)
# The breadth of an index written before breadths were measured: every
# search used it then.
LEGACY_BREADTH = 256
RECALL = 0.95
# The held-out queries of the measurement: rows drawn with a fixed seed
# (the same file for the same model), at most a tenth of them.
CALIBRATION_QUERIES = 1000
CALIBRATION_SEED = 0
CALIBRATION_K = 10
# Candidates asked of the graph per answer word, for the exact re-ranking.
OVERSAMPLE = 3
_BATCH = 100_000

# After faiss's bytes (its reader stops where the index ends): the
# calibration as a JSON object, its length as 8 little-endian bytes and this
# tag, so that it is found from the end of the file.
_TAG = b"mave-ann"
_FOOTER = struct.Struct("<Q8s")
_MOST_JSON = 4096


@dataclasses.dataclass(frozen=True)
class Calibration:
    """How widely an index's searches look, and the recall measured there.

    Attributes:
        breadth: the search breadth (faiss's efSearch) every search uses at
            least.
        recall: recall@`k` of the approximate answer (re-ranked) against
            exact search, over `queries` held-out rows, at `breadth`; None
            for a file written before breadths were measured.
        target: the recall asked for when the index was built (None: as
            `recall`).
        queries: the held-out rows measured: left out of the graph during
            the measurement and added after it, so that the graph had never
            seen them, as it has never seen a query that is not a word.
        k: the neighbours per query of the measurement.
    """

    breadth: int
    recall: float | None = None
    target: float | None = None
    queries: int = 0
    k: int = CALIBRATION_K

    def describe(self) -> str:
        """One line for people: the breadth and what was measured there."""
        if self.recall is None and self.target is None:
            return (
                f"search breadth {self.breadth} (not measured: an index from before mave "
                "measured breadths; rebuild it with mave index)"
            )
        if self.recall is None:
            return f"search breadth {self.breadth} (not measured: the model has no words)"
        text = (
            f"search breadth {self.breadth}, recall@{self.k} {self.recall:.3f} on "
            f"{self.queries:,} held-out rows"
        )
        if self.target is not None:
            text += f" (asked for {self.target:g})"
        return text


def index_path(model_path: str | os.PathLike[str]) -> str:
    """The index file of a model: its path with ``.hnsw`` added."""
    return os.fspath(model_path) + SUFFIX


def build_index(
    e: Embeddings,
    path: str | os.PathLike[str] | None = None,
    *,
    recall: float = RECALL,
    threads: int | None = None,
    progress: Callable[[str, int, int], object] | None = None,
) -> str:
    """Builds the approximate-neighbours index of the vocabulary's rows and
    writes it beside the model (or to `path`); returns the file's path.

    Only the vocabulary's words are indexed (not subword buckets). Rows are
    scaled to unit length, so that inner products are cosines. The search
    breadth is measured: up to 1000 rows drawn with a fixed seed are held
    out of the graph, the rest indexed, and the held-out rows searched at
    increasing breadths against exact search until recall@10 reaches
    `recall`; the held-out rows are then added and the smallest such
    breadth stored in the file with the recall measured. The file appears
    when complete, written atomically.

    Args:
        recall: the recall@10 to reach, above 0 and at most 1. When no
            breadth up to 4096 reaches it, the breadth with the best recall
            is stored (`read_calibration` tells what was reached).
        threads: faiss's threads while building (default: all cores).
        progress: called as ``progress(stage, done, total)`` for the stages
            "indexing" (rows) and "measuring" (breadths tried).

    Raises:
        TypeError, ValueError: `recall` is not a number in (0, 1].
        ImportError: faiss is not installed (``pip install mave[serve]``).
        OSError: the file cannot be written.

    Example:
        >>> _index.build_index(mave.load("cc.en.300.fifu"), recall=0.98)
        'cc.en.300.fifu.hnsw'
    """
    wanted = _recall_argument(recall)
    faiss = import_faiss("the approximate-neighbours index", "serve")
    target = os.fspath(path) if path is not None else index_path(e.path)
    words = len(e.words)
    held = _held_out(words)
    kept = np.ones(words, bool)
    kept[held] = False
    index = faiss.IndexHNSWSQ(e.dims, faiss.ScalarQuantizer.QT_8bit, CONNECTIVITY, faiss.METRIC_INNER_PRODUCT)
    index.hnsw.efConstruction = BUILD_BREADTH
    previous = faiss.omp_get_max_threads()
    if threads:
        faiss.omp_set_num_threads(threads)
    try:
        _train(index, e)
        _add_kept_rows(index, e, kept, progress)
        calibration = _calibrate(faiss, index, e, held, kept, wanted, threads, progress)
        if len(held):
            index.add(unit_rows(_gather(e, held)))
            _restore_row_order(index, kept, held)
    finally:
        faiss.omp_set_num_threads(previous)
    index.hnsw.efSearch = calibration.breadth
    _native._write_atomic(target, [faiss.serialize_index(index), _trailer(calibration)])
    return target


def _recall_argument(recall: object) -> float:
    if isinstance(recall, bool) or not isinstance(recall, (int, float, np.integer, np.floating)):
        raise TypeError(f"recall must be a number, not {type(recall).__name__}")
    value = float(recall)
    if not 0 < value <= 1:  # NaN too
        raise ValueError(f"recall must be above 0 and at most 1, not {recall}")
    return value


def _held_out(words: int) -> npt.NDArray[np.int64]:
    """The rows measured on, in row order: a tenth of the rows (rounded
    up), at most CALIBRATION_QUERIES, drawn with a fixed seed."""
    count = min(CALIBRATION_QUERIES, math.ceil(words / 10))
    rng = np.random.default_rng(CALIBRATION_SEED)
    return np.sort(rng.choice(words, count, replace=False)).astype(np.int64)


def _rows(e: Embeddings, start: int, stop: int) -> npt.NDArray[np.float32]:
    if e.storage_kind == "dense":
        return np.ascontiguousarray(e.matrix[start:stop])
    return e.reconstruct(range(start, stop))


def _gather(e: Embeddings, rows: npt.NDArray[np.int64]) -> npt.NDArray[np.float32]:
    """The given rows as the file stores them (rebuilt for a quantized file)."""
    if e.storage_kind == "dense":
        return e.matrix[rows]
    return e.reconstruct(rows.tolist())


def _train(index: Any, e: Embeddings) -> None:
    """The 8-bit code ranges, from a sample spread over the rows."""
    words = len(e.words)
    step = max(1, words // 100_000)
    sample = (
        _gather(e, np.arange(0, words, step, dtype=np.int64)) if words else np.zeros((1, e.dims), np.float32)
    )
    index.train(unit_rows(sample))


def _add_kept_rows(
    index: Any, e: Embeddings, kept: npt.NDArray[np.bool_], progress: Callable[[str, int, int], object] | None
) -> None:
    words = len(kept)
    for start in range(0, words, _BATCH):
        stop = min(start + _BATCH, words)
        rows = _rows(e, start, stop)
        part = kept[start:stop]
        index.add(unit_rows(rows if part.all() else rows[part]))
        if progress is not None:
            progress("indexing", stop, words)


def _calibrate(
    faiss: Any,
    index: Any,
    e: Embeddings,
    held: npt.NDArray[np.int64],
    kept: npt.NDArray[np.bool_],
    wanted: float,
    threads: int | None,
    progress: Callable[[str, int, int], object] | None,
) -> Calibration:
    """The smallest breadth whose recall on the held-out rows reaches
    `wanted` (or the best one), while the graph holds the other rows only."""
    if len(held) == 0:
        return Calibration(BREADTHS[0], None, wanted, 0)
    queries = _gather(e, held)
    # Truth: exact search over the rows in the graph. The graph numbers
    # them in row order, without the held-out rows.
    truth, _ = e.nearest(queries, CALIBRATION_K, restrict=kept, threads=threads)
    graph_rows = np.flatnonzero(kept)
    parameters = SearchParameters(faiss)
    # Past the graph's size a wider search finds nothing more.
    tried = [b for b in BREADTHS if b < index.ntotal]
    tried.append(next((b for b in BREADTHS if b >= index.ntotal), BREADTHS[-1]))
    best_breadth, best_recall = tried[0], -1.0
    for i, breadth in enumerate(tried):
        keys, _ = _search(index, parameters.get(breadth), e, queries, CALIBRATION_K, (), graph_rows)
        measured = _recall(keys, truth)
        if progress is not None:
            progress("measuring", i + 1, len(tried))
        if measured > best_recall:
            best_breadth, best_recall = breadth, measured
        if measured >= wanted:
            break
    return Calibration(best_breadth, best_recall, wanted, len(held))


def _recall(found: npt.NDArray[np.int64], truth: npt.NDArray[np.int64]) -> float:
    """The share of the true neighbours found (1 when there are none)."""
    hits = ((found[:, :, None] == truth[:, None, :]) & (truth[:, None, :] >= 0)).any(axis=1)
    total = int((truth >= 0).sum())
    return float(hits.sum()) / total if total else 1.0


def _restore_row_order(index: Any, kept: npt.NDArray[np.bool_], held: npt.NDArray[np.int64]) -> None:
    """Renumbers the graph's rows as the model's: the held-out rows were
    added last."""
    added = np.concatenate([np.flatnonzero(kept), held])
    position = np.empty(len(added), np.int64)
    position[added] = np.arange(len(added))
    index.permute_entries(position)


def _trailer(calibration: Calibration) -> bytes:
    text = json.dumps(
        {
            "breadth": calibration.breadth,
            "recall": calibration.recall,
            "target": calibration.target,
            "queries": calibration.queries,
            "k": calibration.k,
        }
    ).encode()
    return text + _FOOTER.pack(len(text), _TAG)


def read_calibration(path: str | os.PathLike[str]) -> Calibration:
    """The calibration stored at the end of an index file; for a file from
    before breadths were measured (none stored), the breadth it was searched
    at then. Needs no faiss.

    Raises:
        OSError: the file cannot be read.
        ValueError: the stored calibration is damaged.
    """
    with open(path, "rb") as f:
        size = f.seek(0, os.SEEK_END)
        if size < _FOOTER.size:
            return Calibration(LEGACY_BREADTH)
        f.seek(size - _FOOTER.size)
        length, tag = _FOOTER.unpack(f.read(_FOOTER.size))
        if tag != _TAG:
            return Calibration(LEGACY_BREADTH)
        if length > min(_MOST_JSON, size - _FOOTER.size):
            raise ValueError(
                f"{os.fspath(path)}: the index's stored search breadth is damaged "
                "(rebuild it with mave index)"
            )
        f.seek(size - _FOOTER.size - length)
        text = f.read(length)
    try:
        fields = json.loads(text)
        # Fields a later version adds are not this version's to read.
        calibration = Calibration(
            **{f.name: fields[f.name] for f in dataclasses.fields(Calibration) if f.name in fields}
        )
        _check_calibration(calibration)
    except (ValueError, TypeError):  # JSON, fields or values
        raise ValueError(
            f"{os.fspath(path)}: the index's stored search breadth is damaged " "(rebuild it with mave index)"
        ) from None
    return calibration


def _check_calibration(c: Calibration) -> None:
    def number(x: object) -> bool:
        return isinstance(x, (int, float)) and not isinstance(x, bool) and 0 <= x <= 1

    if not (
        isinstance(c.breadth, int)
        and 1 <= c.breadth <= 1 << 20
        and (c.recall is None or number(c.recall))
        and (c.target is None or number(c.target))
        and isinstance(c.queries, int)
        and c.queries >= 0
        and isinstance(c.k, int)
        and c.k >= 1
    ):
        raise ValueError("out of range")


class SearchParameters:
    """faiss's search parameters for each breadth, made once: they are
    only read by searches, so threads share them."""

    def __init__(self, faiss: Any) -> None:
        self._faiss = faiss
        self._made: dict[int, Any] = {}

    def get(self, breadth: int) -> Any:
        made = self._made.get(breadth)
        if made is None:
            made = self._made.setdefault(breadth, self._faiss.SearchParametersHNSW(efSearch=breadth))
        return made


def _search(
    index: Any,
    params: Any,
    e: Embeddings,
    queries: npt.NDArray[np.float32],
    k: int,
    exclude: Sequence[Sequence[int]],
    graph_rows: npt.NDArray[np.int64] | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """The k rows nearest to each query: `OVERSAMPLE * k` candidates (and
    one more per excluded row) from the graph, re-ranked by exact cosine
    with the rows as the file stores them (the core's re-ranking: one call
    for all queries, the interpreter lock released). `graph_rows`: the
    model's row of each of the graph's, when they differ.

    Returns ``(rows, cosines)`` of shape (n, k), best first, equal cosines
    in row order; row -1 and NaN fill the end.
    """
    most = max(map(len, exclude), default=0)
    count = min(OVERSAMPLE * k + most, index.ntotal)
    if len(queries) == 0 or count == 0:
        return np.full((len(queries), k), -1, np.int64), np.full((len(queries), k), np.nan, np.float32)
    # The graph's rows are unit length: a query's length scales all its
    # inner products alike, so the query goes to faiss as it is.
    _, keys = index.search(queries, count, params=params)
    if graph_rows is not None:
        keys = np.where(keys >= 0, graph_rows[keys], -1)
    # The model is a mave.Embeddings, the compiled type the core re-ranks with.
    return _native._rerank(e, queries, keys, k, exclude)  # type: ignore[arg-type]


class ApproximateIndex:
    """A model's index, its codes memory-mapped, searched at its stored
    breadth."""

    def __init__(self, e: Embeddings, path: str) -> None:
        faiss = import_faiss("the approximate-neighbours index", "serve")
        self.path = path
        try:
            index: Any = faiss.read_index(path, faiss.IO_FLAG_MMAP_IFC | faiss.IO_FLAG_READ_ONLY)
        except RuntimeError as error:
            raise ValueError(
                f"{path} is not an index of {e.path} (rebuild it with mave index): "
                f"{str(error).splitlines()[0]}"
            ) from None
        if index.d != e.dims or index.ntotal != len(e.words):
            raise ValueError(f"{path} is not an index of {e.path} (rebuild it with mave index)")
        self.calibration = read_calibration(path)
        self._index = index
        self._parameters = SearchParameters(faiss)

    @property
    def breadth(self) -> int:
        """The search breadth every search uses at least."""
        return self.calibration.breadth

    def __repr__(self) -> str:
        return (
            f"<mave approximate index {self.path!r}: {self._index.ntotal:,} rows, "
            f"{self.calibration.describe()}>"
        )

    def search(
        self, e: Embeddings, queries: npt.NDArray[np.float32], k: int, exclude: Sequence[Sequence[int]] = ()
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
        """The k rows nearest to each query, re-ranked by exact cosine,
        leaving out the rows of ``exclude[i]`` for query i.

        Returns ``(rows, cosines)`` of shape (n, k); where fewer than k rows
        are found, row -1 and cosine NaN fill the end.
        """
        queries = np.ascontiguousarray(queries, np.float32)
        most = max(map(len, exclude), default=0)
        breadth = max(self.breadth, OVERSAMPLE * k + most)
        return _search(self._index, self._parameters.get(breadth), e, queries, k, exclude)


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
                errno.ENOENT,
                f"{e.path} has no approximate-neighbours index (no {target}): "
                f"build it with `mave index {e.path}`",
                target,
            ) from None
        raise FileNotFoundError(errno.ENOENT, f"there is no index {target}", target) from None
    key = (e.path, target, stat.st_mtime_ns, stat.st_size)
    with _lock:
        if key not in _open:
            _open[key] = ApproximateIndex(e, target)
        return _open[key]
