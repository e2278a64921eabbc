"""Parquet in and out of mave.convert.

Writing: a table of ``word`` (string) and ``vector``
(``fixed_size_list<float32>[dims]``), plus ``norm`` (float32) when the
vectors are unit rows whose lengths the model keeps, written a row group at
a time from the model's (mapped) rows; the model's metadata goes to the
file's key-value metadata. Reading: a string column and a list,
large-list or fixed-size-list column of floats under any names, as pandas
and other tools write them; the word column (and norms) are read first,
since the vocabulary precedes the matrix in a finalfusion file, and the
vectors a block of rows at a time into the native writer.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import tempfile
import tomllib
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from mave import _arrow, _native
from mave._arrow import pa
from mave._embeddings import Embeddings, load
from mave._errors import FormatError

import pyarrow.compute as pc  # type: ignore[import-untyped]  # noqa: E402  (after _arrow's check)
import pyarrow.parquet as pq  # type: ignore[import-untyped]  # noqa: E402

__all__ = ["DEFAULT_COLUMNS", "beside", "check_source_options", "read_into", "write_from"]

Progress = Callable[[str, int, int], object]

#: The columns read when none are named, and written.
DEFAULT_COLUMNS = ("word", "vector")
# The file's key-value metadata: the model's metadata (TOML), and the column
# of norms when the vectors are unit rows whose lengths the model kept.
METADATA_KEY = b"mave.metadata"
NORMS_KEY = b"mave.norms"
NORM_COLUMN = "norm"
# Bytes of vectors per row group written, and per block read: the memory
# either direction holds beside the words (the writer holds about twice its
# row group while encoding it).
ROW_GROUP_BYTES = 32 << 20
BLOCK_BYTES = 8 << 20
# Bytes the reader buffers of a column chunk: unbuffered, or with pyarrow's
# pre-buffering, it reads a row group's whole column at once, however large
# (a pandas file is often one row group).
READ_BUFFER_BYTES = 1 << 20
# What pyarrow raises for a damaged file once it is open: its own errors,
# OSError for what it could not decode (it has no other class for that), and
# UnicodeDecodeError for names that are not UTF-8.
_DAMAGED = (pa.ArrowException, OSError, UnicodeDecodeError)


def check_source_options(errors: str, member: str | None) -> None:
    """Refuses the options of mave.convert that Parquet input has no use for."""
    if member is not None:
        raise ValueError("member= names a file in a zip archive, not in parquet input")
    if errors != "strict":
        raise ValueError(
            "errors= applies to word2vec, text, GloVe and fastText input; "
            "the words of parquet input are Arrow strings, UTF-8 already"
        )


def write_from(
    src: str,
    src_format: str,
    dst: str,
    *,
    normalize: bool,
    progress: Progress | None,
    errors: str,
    limit: int | None,
    member: str | None,
) -> int:
    """mave.convert to Parquet from any other format (arguments checked).
    Returns the words dropped by reading the source."""
    e = load(src) if src_format == "finalfusion" else None
    if e is not None and (e.norms is not None or not normalize):
        _write(e, dst, normalize=normalize, progress=progress)
        return 0
    # Rows that must be scaled to unit length, or another format: the native
    # conversion first (its arithmetic, its norms), into a file beside dst.
    with beside(dst) as folder:
        between = os.path.join(folder, "converted.fifu")
        dropped: int = _native.convert(
            src,
            src_format,
            between,
            "finalfusion",
            normalize,
            _phase(progress, "read"),
            errors=errors,
            limit=limit,
            member=member,
        )
        _write(load(between), dst, normalize=normalize, progress=progress)
    return dropped


def read_into(
    src: str,
    dst: str,
    columns: tuple[str, str] | None,
    *,
    normalize: bool,
    limit: int | None,
    progress: Progress | None,
) -> None:
    """Writes the finalfusion file `dst` from the Parquet file `src`."""
    _read(
        src,
        dst,
        DEFAULT_COLUMNS if columns is None else columns,
        normalize=normalize,
        limit=limit,
        progress=progress,
    )


# --- writing -------------------------------------------------------------------------


def _write(e: Embeddings, dst: str, *, normalize: bool, progress: Progress | None) -> None:
    """Writes the vocabulary words of `e` and their vectors: with
    `normalize` the unit rows and their norms (`e` must have norms), without
    it the original vectors (rows times norms where `e` has them)."""
    norms = e.norms
    kept = norms if normalize else None  # written as a column
    fields = [
        pa.field("word", pa.string(), nullable=False),
        pa.field("vector", _arrow.vector_type(e.dims), nullable=False),
    ]
    kv: dict[bytes, bytes] = {}
    if (toml := e._metadata_toml) is not None:
        kv[METADATA_KEY] = toml.encode()
    if kept is not None:
        fields.append(pa.field(NORM_COLUMN, pa.float32(), nullable=False))
        kv[NORMS_KEY] = NORM_COLUMN.encode()
    schema = pa.schema(fields, metadata=kv)
    group = max(1, ROW_GROUP_BYTES // max(1, 4 * e.dims))
    n = len(e)
    with _replacing(dst) as partial:
        # Words are distinct and vectors incompressible by dictionaries.
        with pq.ParquetWriter(partial, schema, use_dictionary=False) as writer:
            for start in range(0, n, group):
                for a, b, words in _arrow.word_chunks(e, start, min(start + group, n)):
                    vectors = _arrow.rows(e, a, b)
                    if norms is not None and not normalize:
                        vectors = vectors * norms[a:b, None]  # float32, as the native writers
                    columns = [words, _arrow.vector_array(np.ascontiguousarray(vectors))]
                    if kept is not None:
                        columns.append(pa.array(kept[a:b], pa.float32()))
                    writer.write_batch(
                        pa.RecordBatch.from_arrays(columns, schema=schema), row_group_size=group
                    )
                    if progress is not None:
                        progress("write", b, n)
        if progress is not None and n == 0:
            progress("write", 0, 0)


@contextlib.contextmanager
def _replacing(dst: str) -> Iterator[str]:
    """A new file beside `dst` (with the permissions a new file gets), renamed
    to `dst` when the block completes and removed when it fails: `dst` is
    never seen half written."""
    directory, base = os.path.split(os.path.abspath(dst))
    while True:
        partial = os.path.join(directory, f".{base}.{secrets.token_hex(4)}.tmp")
        try:
            os.close(os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666))
            break
        except FileExistsError:
            continue
        except OSError as error:
            raise type(error)(error.errno, error.strerror, dst) from None
    try:
        yield partial
        os.replace(partial, dst)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(partial)
        raise


@contextlib.contextmanager
def beside(dst: str) -> Iterator[str]:
    """A temporary folder beside `dst` (the same file system), removed on exit."""
    directory = os.path.dirname(os.path.abspath(dst))
    with tempfile.TemporaryDirectory(prefix=".mave-convert-", dir=directory) as folder:
        yield folder


def _phase(progress: Progress | None, phase: str) -> Progress | None:
    """`progress` for one phase only: the first of two steps reports its
    reading, the second its writing."""
    if progress is None:
        return None
    report = progress

    def only(name: str, done: int, total: int) -> object:
        return report(name, done, total) if name == phase else None

    return only


# --- reading -------------------------------------------------------------------------


class _Source:
    """A Parquet file being read, and how it says what is wrong with it."""

    def __init__(self, path: str) -> None:
        self.path = path
        with open(path, "rb"):  # OSError with errno and filename, as every reader raises
            pass
        try:
            self.file = pq.ParquetFile(path, buffer_size=READ_BUFFER_BYTES, pre_buffer=False)
            self.schema = self.file.schema_arrow
        except _DAMAGED as error:
            raise self.fault(f"not a Parquet file, or a damaged one: {error}") from None

    def fault(self, reason: str) -> FormatError:
        return FormatError(f"{self.path}: {reason}", self.path, reason)

    def field(self, name: str, role: str) -> Any:
        index = self.schema.get_field_index(name)
        if index < 0:
            names = ", ".join(repr(n) for n in self.schema.names) or "none"
            raise self.fault(
                f"no column {name!r} to read the {role} from (the columns: {names}); "
                "name the columns with --columns WORD,VECTOR on the command line "
                "(columns= in Python)"
            )
        return self.schema.field(index)

    def column(self, name: str) -> Any:
        """A whole column, as one chunked array."""
        try:
            return self.file.read(columns=[name], use_threads=False).column(0)
        except _DAMAGED as error:
            raise self.fault(f"column {name!r} cannot be read: {error}") from None


def _read(
    src: str,
    dst: str,
    columns: tuple[str, str],
    *,
    normalize: bool,
    limit: int | None,
    progress: Progress | None,
) -> None:
    """Writes the finalfusion file `dst` from the words and vectors of the
    Parquet file `src`: the word column and the norms whole, the vectors a
    block of rows at a time."""
    source = _Source(src)
    word_name, vector_name = columns
    word_field = source.field(word_name, "words")
    vector_field = source.field(vector_name, "vectors")
    if not _is_text(word_field.type):
        raise source.fault(
            f"column {word_name!r} holds {word_field.type}, not strings: " "it cannot be the words"
        )
    vector_type = vector_field.type
    if not (_is_list(vector_type) and pa.types.is_floating(vector_type.value_type)):
        raise source.fault(
            f"column {vector_name!r} holds {vector_type}, not lists of floats: " "it cannot be the vectors"
        )
    n = source.file.metadata.num_rows
    if limit is not None:
        n = min(n, limit)
    offsets, data = _words(source, word_name, n)
    norms = _norms(source, n)
    metadata = _metadata(source)
    dims = _dims(source, vector_name, vector_type, n)
    blocks = _blocks(source, vector_name, dims, n)
    if norms is not None and not normalize:
        # The original vectors: each unit row times its norm (float32).
        unit = blocks
        blocks = (block * norms[start : start + len(block), None] for start, block in _numbered(unit))

    def next_block() -> npt.NDArray[np.float32]:
        block = next(blocks, None)
        if block is None:
            raise source.fault(f"column {vector_name!r} ends before row {n}")
        return block

    # Vectors kept with their norms are the unit rows already: written as
    # they are, with the norms.
    _native._write_rows(
        dst,
        offsets,
        data,
        dims,
        next_block,
        norms if normalize else None,
        metadata,
        normalize and norms is None,
        progress,
    )


def _is_text(t: Any) -> bool:
    if pa.types.is_dictionary(t):
        return _is_text(t.value_type)
    return bool(
        pa.types.is_string(t)
        or pa.types.is_large_string(t)
        or getattr(pa.types, "is_string_view", lambda _: False)(t)
    )


def _is_list(t: Any) -> bool:
    return bool(pa.types.is_list(t) or pa.types.is_large_list(t) or pa.types.is_fixed_size_list(t))


def _words(source: _Source, name: str, n: int) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint8]]:
    """The first `n` words as the offsets and bytes of one large string
    array, checked: no null, valid UTF-8, no word twice."""
    column = source.column(name).slice(0, n)
    if len(column) < n:
        raise source.fault(f"column {name!r} holds {len(column)} rows, but the file claims {n}")
    words = pc.cast(column, pa.large_string()).combine_chunks()
    if words.null_count:
        raise source.fault(f"row {_first(words.is_null())}: the word is null (column {name!r})")
    try:
        words.validate(full=True)
    except pa.ArrowInvalid:
        raise source.fault(
            f"row {_first_invalid(words)}: the word is not valid UTF-8 " f"(column {name!r})"
        ) from None
    distinct = pc.unique(words)
    if len(distinct) < n:
        # The first row that repeats a word, and the row that held it before.
        ids = pc.index_in(words, value_set=distinct).to_numpy()
        seen = np.maximum.accumulate(ids)
        row = int(np.flatnonzero(ids[1:] <= seen[:-1])[0]) + 1
        earlier = int(np.argmax(ids == ids[row]))
        raise source.fault(
            f"row {row}: the word {words[row].as_py()!r} repeats the word of "
            f"row {earlier} (column {name!r})"
        )
    buffers = words.buffers()
    offsets = np.frombuffer(buffers[1], np.int64, count=n + 1, offset=8 * words.offset)
    data = np.frombuffer(buffers[2], np.uint8) if buffers[2] is not None else np.zeros(0, np.uint8)
    return offsets.view(np.uint64), data


def _first(mask: Any) -> int:
    return int(np.flatnonzero(mask.to_numpy(zero_copy_only=False))[0])


def _first_invalid(words: Any) -> int:
    """The first row whose word is not valid UTF-8 (some row is not)."""
    start, stop = 0, len(words)
    while stop - start > 1:
        middle = (start + stop) // 2
        try:
            words.slice(start, middle - start).validate(full=True)
            start = middle
        except pa.ArrowInvalid:
            stop = middle
    return start


def _norms(source: _Source, n: int) -> npt.NDArray[np.float32] | None:
    """The norms a file written by mave keeps, or None."""
    name = (source.schema.metadata or {}).get(NORMS_KEY)
    if name is None:
        return None
    column = name.decode("utf-8", "replace")
    index = source.schema.get_field_index(column)
    if index < 0 or source.schema.field(index).type != pa.float32():
        raise source.fault(
            f"the file's metadata names column {column!r} as the norms, but it " "is not a float32 column"
        )
    values = source.column(column).slice(0, n)
    if values.null_count:
        raise source.fault(f"row {_first(values.is_null())}: the norm is null")
    return np.ascontiguousarray(values.to_numpy(), dtype=np.float32)


def _metadata(source: _Source) -> str | None:
    """The model's metadata a file written by mave keeps, as TOML, or None."""
    raw = (source.schema.metadata or {}).get(METADATA_KEY)
    if raw is None:
        return None
    try:
        text: str = raw.decode("utf-8")
        tomllib.loads(text)
    except (UnicodeDecodeError, tomllib.TOMLDecodeError) as error:
        raise source.fault(f"the model metadata it holds is not TOML: {error}") from None
    return text


def _dims(source: _Source, name: str, vector_type: Any, n: int) -> int:
    """The length of every vector: the fixed size of the column's lists, or
    the length of the first row's."""
    if pa.types.is_fixed_size_list(vector_type):
        return int(vector_type.list_size)
    if n == 0:
        return 0
    try:
        for batch in source.file.iter_batches(batch_size=1, columns=[name], use_threads=False):
            if batch.num_rows:
                value = batch.column(0)[0]
                if not value.is_valid:
                    raise source.fault(f"row 0: the vector is null (column {name!r})")
                return len(value)
    except _DAMAGED as error:
        raise source.fault(f"column {name!r} cannot be read: {error}") from None
    raise source.fault(f"column {name!r} holds fewer rows than the file claims")


def _blocks(source: _Source, name: str, dims: int, n: int) -> Iterator[npt.NDArray[np.float32]]:
    """The first `n` vectors of the column, as float32 (rows, dims) blocks,
    each checked: no null list or value, every list `dims` long."""
    rows = max(1, BLOCK_BYTES // max(1, 8 * dims))
    done = 0
    batches = source.file.iter_batches(batch_size=rows, columns=[name], use_threads=False)
    while done < n:
        try:
            batch = next(batches, None)
        except _DAMAGED as error:
            raise source.fault(f"column {name!r} cannot be read: {error}") from None
        if batch is None:
            return
        array = batch.column(0).slice(0, n - done)
        if len(array):
            yield _block(source, name, array, dims, done)
            done += len(array)


def _block(source: _Source, name: str, array: Any, dims: int, first: int) -> npt.NDArray[np.float32]:
    if array.null_count:
        raise source.fault(f"row {first + _first(array.is_null())}: the vector is null " f"(column {name!r})")
    if not pa.types.is_fixed_size_list(array.type):
        lengths = pc.list_value_length(array).to_numpy()
        wrong = np.flatnonzero(lengths != dims)
        if wrong.size:
            row = int(wrong[0])
            raise source.fault(
                f"row {first + row}: the vector holds {lengths[row]} values, but "
                f"the first holds {dims} (column {name!r})"
            )
    values = array.flatten()
    if values.null_count:
        at = _first(values.is_null())
        raise source.fault(
            f"row {first + at // dims}: value {at % dims} of the vector is null " f"(column {name!r})"
        )
    flat = values.to_numpy(zero_copy_only=False)
    with np.errstate(over="ignore"):
        block = np.ascontiguousarray(flat.reshape(len(array), dims), dtype=np.float32)
    if flat.dtype == np.float64:
        # As the text readers: a number beyond float32's range is refused
        # (infinities and NaN are carried through).
        beyond = np.flatnonzero(np.isinf(block.ravel()) & np.isfinite(flat))
        if beyond.size:
            at = int(beyond[0])
            raise source.fault(
                f"row {first + at // dims}: value {at % dims} of the vector, "
                f"{float(flat[at])!r}, is beyond the float32 range (column {name!r})"
            )
    return block


def _numbered(blocks: Iterator[npt.NDArray[np.float32]]) -> Iterator[tuple[int, npt.NDArray[np.float32]]]:
    start = 0
    for block in blocks:
        yield start, block
        start += len(block)
