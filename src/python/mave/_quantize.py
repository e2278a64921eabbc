"""mave.quantize: a model's matrix product-quantized with faiss, written as a
finalfusion file with the same metadata, vocabulary and norms."""

from __future__ import annotations

import contextlib
import dataclasses
import math
import os
import tempfile
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from mave import _native
from mave._convert import FORMATS, convert, detect_format
from mave._embeddings import Embeddings, StrPath, load
from mave._faiss import import_faiss
from mave._rows import row_lengths, unit_rows

__all__ = ["quantize"]

# Rows encoded at once: bounds the memory of the normalised, rotated and
# decoded copies to a few hundred MB at 300 dims.
BATCH_ROWS = 65536
# Training rows drawn when `sample` is None. faiss's k-means uses at most 256
# rows per centroid anyway, so this is all that 256 centroids can use.
DEFAULT_SAMPLE = 256 * 256
DEFAULT_ITERATIONS = 25
# The rotation's training: it alternates between k-means (a few iterations
# each time) and a fresh rotation, on fewer rows than the final k-means, which
# keeps 1M x 300 within a few minutes on two cores.
OPQ_ROUNDS = 20
OPQ_KMEANS_ITERATIONS = 4
OPQ_FIRST_KMEANS_ITERATIONS = 10
OPQ_MAX_ROWS = 16384
# A word row this close to unit length already is one: its norm is kept as
# the source has it.
UNIT_TOLERANCE = 1e-5


def quantize(
    src: StrPath,
    dst: StrPath,
    *,
    subquantizers: int | None = None,
    bits: int = 8,
    opq: bool = True,
    sample: int | None = None,
    iterations: int | None = None,
    seed: int = 0,
    threads: int | None = None,
    src_format: str | None = None,
    progress: Callable[[str, int, int], None] | None = None,
    errors: str = "strict",
    limit: int | None = None,
    member: str | None = None,
) -> None:
    """Writes ``dst``: the model ``src`` with its matrix product-quantized.

    Each row is cut into ``subquantizers`` parts of equal length and each part
    is stored as the one-byte number of its nearest of ``2 ** bits`` centroids
    (k-means per part, faiss's ``ProductQuantizer``). With ``opq`` a rotation
    learned with the centroids (faiss's ``OPQMatrix``) is applied first and
    stored as the file's projection. Rows are quantized at unit length; each
    row's stored norm restores its length, so that word rows come out at unit
    length as in dense files and subword rows keep their lengths. ``dst`` keeps
    the metadata (with a ``[quantizer]`` table of these settings), the
    vocabulary and the norms of ``src``; a source without norms gets the
    lengths of its word rows as norms, the rows being normalised.

    Args:
        src: a finalfusion file with a dense matrix, or anything
            :func:`mave.convert` reads (a fastText ``.bin`` model, word2vec
            binary, ``.vec`` text, GloVe text), converted first into a
            temporary finalfusion file beside ``dst`` with unit-length rows.
        dst: the file to write; it appears only when complete (written beside
            it under a temporary name and renamed).
        subquantizers: codes per row; must divide the dimensions. Default: the
            divisor that gives parts of about 5 dimensions (60 at 300 dims,
            a matrix 20 times smaller than float32).
        bits: 1 to 8; ``2 ** bits`` centroids per part. Codes take one byte
            whatever the bits.
        opq: learn and store a rotation (better vectors, a dims x dims
            projection in the file, lookups that multiply by it).
        sample: rows drawn (with ``seed``) to train on, zero rows skipped;
            default 65536.
        iterations: k-means iterations of the final training (default 25).
        seed: the same seed, settings and thread count give the same file.
        threads: faiss's threads (default: faiss's default, all cores).
        src_format: the source's format, as :func:`mave.convert` names them;
            default: told from its first bytes.
        progress: called as ``progress(stage, done, total)`` for the stages
            "rotation", "centroids" and "encoding".
        errors, limit, member: how a source in another format is read, as
            :func:`mave.convert` reads it (compressed files included).

    Raises:
        ImportError: faiss is missing (``pip install mave[quantize]``).
        ValueError: a setting that does not fit the model, checked before any
            training; ``mave.FormatError`` for a damaged or quantized source.
        OSError: ``src`` cannot be read or ``dst`` cannot be written.

    Example:
        >>> mave.quantize("cc.en.300.fifu", "cc.en.300.pq.fifu")
    """
    _check_settings(bits, sample, iterations, seed, threads, subquantizers)
    faiss = import_faiss("mave.quantize", "quantize")
    with _source(src, dst, src_format, errors=errors, limit=limit, member=member) as source:
        plan = _plan(source, subquantizers, bits, opq, sample, iterations, seed)
        previous = faiss.omp_get_max_threads()
        if threads is not None:
            faiss.omp_set_num_threads(threads)
        try:
            trained = _train(faiss, source, plan, progress)
            encoded = _encode(faiss, source, trained, progress)
        finally:
            faiss.omp_set_num_threads(previous)
        _write(faiss, source, dst, plan, trained, encoded)


@dataclasses.dataclass(frozen=True)
class _Plan:
    subquantizers: int
    bits: int
    opq: bool
    sample: int
    iterations: int
    seed: int


@dataclasses.dataclass
class _Trained:
    """faiss's trained objects: the product quantizer and the rotation."""

    pq: Any
    rotation: Any | None
    rows: int  # the rows trained on

    def projection(self, faiss: Any) -> npt.NDArray[np.float32] | None:
        """The matrix P that the reader multiplies a concatenation of
        centroids by: faiss rotates x to A x, so P = A^T (A is orthonormal)."""
        if self.rotation is None:
            return None
        d = self.rotation.d_out
        a = faiss.vector_to_array(self.rotation.A).reshape(d, d)
        return np.ascontiguousarray(a.T)

    def centroids(self, faiss: Any) -> npt.NDArray[np.float32]:
        pq = self.pq
        centroids: npt.NDArray[np.float32] = faiss.vector_to_array(pq.centroids)
        return centroids.reshape(pq.M, pq.ksub, pq.dsub)


@dataclasses.dataclass
class _Encoded:
    codes: npt.NDArray[np.uint8]  # rows x subquantizers
    row_norms: npt.NDArray[np.float32]  # the scale of each rebuilt row
    norms: npt.NDArray[np.float32]  # the norms chunk, one per word


def _check_settings(
    bits: int,
    sample: int | None,
    iterations: int | None,
    seed: int,
    threads: int | None,
    subquantizers: int | None,
) -> None:
    def check_int(name: str, value: object, low: int, high: int | None = None, none_ok: bool = False) -> None:
        if value is None and none_ok:
            return
        if not isinstance(value, int) or isinstance(value, bool):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if value < low or (high is not None and value > high):
            bound = f"between {low} and {high}" if high is not None else f"at least {low}"
            raise ValueError(f"{name} must be {bound}, not {value}")

    check_int("bits", bits, 1, 8)
    check_int("sample", sample, 1, none_ok=True)
    check_int("iterations", iterations, 1, none_ok=True)
    check_int("seed", seed, 0, 2**31 - 1)
    check_int("threads", threads, 1, none_ok=True)
    check_int("subquantizers", subquantizers, 1, none_ok=True)


@contextlib.contextmanager
def _source(src: StrPath, dst: StrPath, src_format: str | None, **reading: Any) -> Iterator[Embeddings]:
    """The source as loaded Embeddings with a dense matrix. A file in another
    format is converted first, into a temporary file beside ``dst`` that is
    removed on exit."""
    if src_format is None:
        src_format = detect_format(src, member=reading.get("member"))
    elif src_format not in FORMATS:
        raise ValueError(f"unknown src_format {src_format!r}: one of {', '.join(FORMATS)}")
    with contextlib.ExitStack() as stack:
        path = src
        if src_format != "finalfusion":
            directory = os.path.dirname(os.path.abspath(os.fspath(dst)))
            tmp = stack.enter_context(tempfile.TemporaryDirectory(prefix=".mave-quantize-", dir=directory))
            path = os.path.join(tmp, "converted.fifu")
            # Unit rows, as _mave.build_model writes a fastText model.
            convert(src, path, src_format=src_format, dst_format="finalfusion", **reading)
        e = load(path)
        if e.storage_kind != "dense":
            raise ValueError(f"{os.fsdecode(src)}: the matrix is already quantized")
        yield e


def default_subquantizers(dims: int) -> int:
    """The divisor of ``dims`` whose parts are closest to 5 dimensions (the
    shorter parts when two are as close)."""
    sub_len = min((s for s in range(1, dims + 1) if dims % s == 0), key=lambda s: (abs(s - 5), s))
    return dims // sub_len


def _plan(
    e: Embeddings,
    subquantizers: int | None,
    bits: int,
    opq: bool,
    sample: int | None,
    iterations: int | None,
    seed: int,
) -> _Plan:
    dims, rows = e.dims, e.matrix.shape[0]
    if dims == 0:
        raise ValueError(f"{e.path}: a matrix of zero dimensions cannot be quantized")
    m = default_subquantizers(dims) if subquantizers is None else subquantizers
    if m > dims or dims % m != 0:
        raise ValueError(f"subquantizers must divide the {dims} dimensions of {e.path}, " f"and {m} does not")
    centroids = 2**bits
    n_sample = min(DEFAULT_SAMPLE if sample is None else sample, rows)
    if n_sample < centroids:
        raise ValueError(
            f"training {centroids} centroids per subquantizer (bits={bits}) needs "
            f"at least {centroids} rows, and {n_sample} are sampled from the "
            f"{rows} rows of {e.path}: use fewer bits"
        )
    # faiss's rotation training corrupts memory when it has fewer rows than
    # dimensions (and could not learn a rotation from them anyway).
    if opq and n_sample < dims:
        raise ValueError(
            f"learning a rotation of {dims} dimensions (opq=True) needs at least "
            f"{dims} rows, and {n_sample} are sampled from the {rows} rows of "
            f"{e.path}: use opq=False"
        )
    return _Plan(m, bits, bool(opq), n_sample, DEFAULT_ITERATIONS if iterations is None else iterations, seed)


def _batches(rows: int) -> Iterator[slice]:
    for start in range(0, rows, BATCH_ROWS):
        yield slice(start, min(start + BATCH_ROWS, rows))


def _sample(matrix: npt.NDArray[np.float32], n: int, rng: np.random.Generator) -> npt.NDArray[np.float32]:
    """Up to n rows that are not zero, drawn at random and scaled to unit
    length. Zero rows have no direction to learn from (they are written as
    zeros), and a fastText model's untouched buckets make up most of its
    rows: rows are drawn in random order until n of them are not zero."""
    order = rng.permutation(len(matrix))
    parts, found = [], 0
    for start in range(0, len(order), n):
        drawn = order[start : start + n]
        by_row = np.argsort(drawn)  # read in file order, keep the drawn order
        block = np.asarray(matrix[drawn[by_row]])
        lengths = row_lengths(block)
        unit = unit_rows(block, lengths)
        in_order = np.empty_like(by_row)
        in_order[by_row] = np.arange(len(by_row))
        unit, lengths = unit[in_order], lengths[in_order]
        kept = unit[lengths > 0][: n - found]
        parts.append(kept)
        found += len(kept)
        if found == n:
            break
    return np.concatenate(parts) if parts else np.empty((0, matrix.shape[1]), np.float32)


def _train(
    faiss: Any, e: Embeddings, plan: _Plan, progress: Callable[[str, int, int], None] | None
) -> _Trained:
    matrix = e.matrix
    rows, dims = matrix.shape
    rng = np.random.default_rng(plan.seed)
    sample = _sample(matrix, plan.sample, rng)
    centroids = 2**plan.bits
    needed = max(centroids, dims if plan.opq else 1)
    if len(sample) < needed:
        raise ValueError(
            f"{e.path}: only {len(sample)} of the {rows} rows are not zero, and "
            f"training needs at least {needed}"
        )

    def product_quantizer(iterations: int, seed: int) -> Any:
        pq = faiss.ProductQuantizer(dims, plan.subquantizers, plan.bits)
        pq.cp.niter = iterations
        pq.cp.seed = seed
        # The whole sample is used (faiss would draw 256 rows per centroid of
        # it), and a small sample is not warned about on standard error.
        pq.cp.max_points_per_centroid = max(1, math.ceil(len(sample) / centroids))
        pq.cp.min_points_per_centroid = 1
        return pq

    rotation = None
    if plan.opq:
        if progress:
            progress("rotation", 0, 1)
        rotation = faiss.OPQMatrix(dims, plan.subquantizers)
        rotation.niter = OPQ_ROUNDS
        rotation.niter_pq = OPQ_KMEANS_ITERATIONS
        rotation.niter_pq_0 = OPQ_FIRST_KMEANS_ITERATIONS
        rotation.max_train_points = max(OPQ_MAX_ROWS, dims)
        rotation.verbose = False
        # faiss starts from a random rotation of a fixed seed of its own; this
        # one comes from `seed`.
        start, _ = np.linalg.qr(rng.standard_normal((dims, dims)))
        faiss.copy_array_to_vector(np.ascontiguousarray(start, dtype=np.float32).ravel(), rotation.A)
        inner = product_quantizer(OPQ_KMEANS_ITERATIONS, plan.seed)
        rotation.pq = inner
        rotation.train(sample)
        rotation.pq = None
        sample = rotation.apply(sample)
        if progress:
            progress("rotation", 1, 1)
    if progress:
        progress("centroids", 0, 1)
    pq = product_quantizer(plan.iterations, plan.seed)
    pq.train(sample)
    if progress:
        progress("centroids", 1, 1)
    return _Trained(pq, rotation, len(sample))


def _encode(
    faiss: Any, e: Embeddings, trained: _Trained, progress: Callable[[str, int, int], None] | None
) -> _Encoded:
    matrix = e.matrix
    rows, dims = matrix.shape
    words = len(e)
    projection = trained.projection(faiss)
    codes = np.empty((rows, trained.pq.M), dtype=np.uint8)
    row_norms = np.empty(rows, dtype=np.float32)
    word_lengths = np.empty(words, dtype=np.float32)
    for part in _batches(rows):
        block = np.asarray(matrix[part])
        lengths = row_lengths(block)
        unit = unit_rows(block, lengths)
        rotated = trained.rotation.apply(unit) if trained.rotation is not None else unit
        packed = trained.pq.compute_codes(rotated)
        # faiss packs codes of fewer than 8 bits; the file has one byte each.
        codes[part] = (
            packed
            if trained.pq.nbits == 8
            else faiss.unpack_bitstrings(packed, trained.pq.M, trained.pq.nbits)
        )
        rebuilt = trained.pq.decode(packed)
        if projection is not None:
            rebuilt = rebuilt @ projection.T
        # The length each rebuilt row must have: 1 for words (as in dense
        # files, the norms chunk keeps their lengths), their own for subword
        # rows, whose lengths weigh them when a string's rows are summed.
        target = lengths.copy()
        first_word_row, last_word_row = part.start, min(part.stop, words)
        if first_word_row < last_word_row:
            target[: last_word_row - first_word_row] = 1.0
            word_lengths[first_word_row:last_word_row] = lengths[: last_word_row - first_word_row]
        rebuilt_lengths = row_lengths(rebuilt)
        # A zero row (or one whose centroids add up to nothing) stays zero.
        usable = (lengths > 0) & (rebuilt_lengths > 0)
        row_norms[part] = np.divide(target, rebuilt_lengths, out=np.zeros_like(target), where=usable)
        if progress:
            progress("encoding", part.stop, rows)
    source_norms = e.norms
    if source_norms is None:
        norms = word_lengths
    else:
        # Word rows at unit length keep their norms exactly; other word rows
        # were scaled here, and their norms with them.
        at_unit = np.abs(word_lengths - 1) <= UNIT_TOLERANCE
        norms = np.where(at_unit, source_norms, source_norms * word_lengths).astype(np.float32)
    return _Encoded(codes, row_norms, norms)


def _write(
    faiss: Any, e: Embeddings, dst: StrPath, plan: _Plan, trained: _Trained, encoded: _Encoded
) -> None:
    settings: dict[str, int | float | str] = {
        "method": "opq" if plan.opq else "pq",
        "library": f"faiss {faiss.__version__}",
        "subquantizers": plan.subquantizers,
        "bits": plan.bits,
        "sample": trained.rows,
        "iterations": plan.iterations,
        "seed": plan.seed,
    }
    _native._write_quantized(
        e,
        dst,
        settings,
        trained.centroids(faiss),
        trained.projection(faiss),
        encoded.row_norms,
        encoded.codes,
        encoded.norms,
    )
