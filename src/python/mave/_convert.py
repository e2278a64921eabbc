"""Writing finalfusion files from NumPy, and converting between formats."""

from __future__ import annotations

import os
import warnings
from collections.abc import Callable, Iterable, Mapping
from typing import TypeAlias

import numpy as np
import numpy.typing as npt

from mave import _model2vec, _native
from mave._errors import FormatError

__all__ = [
    "ERRORS",
    "FOLDER_FORMATS",
    "FORMATS",
    "OUTPUT_FORMATS",
    "Progress",
    "convert",
    "detect_format",
    "write",
]

StrPath: TypeAlias = "str | os.PathLike[str]"
# progress(phase, done, total): phase "read" counts bytes of the input,
# "write" counts rows written; total is 0 when unknown.
Progress: TypeAlias = Callable[[str, int, int], object]

#: Every format name, in the order the documentation lists them: the
#: conversion layer's table, then "parquet", which this package reads and
#: writes through pyarrow (mave._parquet) rather than the core.
FORMATS: tuple[str, ...] = _native.FORMATS + ("parquet",)
#: The formats written as a folder rather than a file.
FOLDER_FORMATS: tuple[str, ...] = ("model2vec",)
#: The formats that can be written (fastText models are only read).
OUTPUT_FORMATS: tuple[str, ...] = _native.OUTPUT_FORMATS + ("parquet",) + FOLDER_FORMATS

_EXTENSIONS = {
    ".fifu": "finalfusion",
    ".bin": "word2vec",
    ".vec": "text",
    ".txt": "glove",
    ".floret": "floret",
    ".parquet": "parquet",
}
_FASTTEXT_MAGIC = (793712314).to_bytes(4, "little")
_BOM = b"\xef\xbb\xbf"
# Enough of a file to hold its header and first row in every format.
_DETECTION_BYTES = 1 << 20


def _is_vector_row(line: bytes) -> bool:
    """Whether a line is a word followed by numbers."""
    try:
        fields = line.decode("utf-8").split()
    except UnicodeDecodeError:
        return False
    if len(fields) < 2:
        return False
    try:
        for field in fields[1:]:
            float(field)
    except ValueError:
        return False
    return True


def _name_it(what: str, option: str, keyword: str, formats: Iterable[str]) -> str:
    return f"{what}; name the format with {option} on the command line ({keyword}= in Python): " + ", ".join(
        formats
    )


#: How words that are not valid UTF-8 are read, as Python's decoder does.
ERRORS = ("strict", "replace", "ignore")


def _check_errors(errors: object) -> None:
    if not isinstance(errors, str):
        raise TypeError(f"errors must be str, not {type(errors).__name__}")
    if errors not in ERRORS:
        raise ValueError(f"errors must be one of {', '.join(ERRORS)}, not {errors!r}")


def _check_limit(limit: object) -> None:
    if limit is None:
        return
    if isinstance(limit, bool) or not isinstance(limit, int):
        raise TypeError(f"limit must be int or None, not {type(limit).__name__}")
    if limit < 0:
        raise ValueError(f"limit must be at least 0, not {limit}")


def _check_member(member: object) -> None:
    if member is not None and not isinstance(member, str):
        raise TypeError(f"member must be str or None, not {type(member).__name__}")


def detect_format(path: StrPath, *, member: str | None = None) -> str:
    """The format of an input file, from its first bytes.

    finalfusion and fastText files start with their magic numbers; a first
    line of two integers is a word2vec header (the binary and the text kind
    are told apart by the row after it); a first line of a word and numbers
    is GloVe text. A gzip, bzip2, xz or zip file is looked into (a zip
    archive's only file, or `member`). fastText binaries from before the
    magic number are not recognised: name them "fasttext".

    Raises:
        OSError: the file cannot be read.
        FormatError: the format cannot be told (an empty file, a header of
            zero words, or none of the above; the message says how to name
            it), or a compressed file is damaged or cut short (the message
            says how far into it the decompressor read), or a zip archive
            holds other than one file and no `member` is named.

    Example:
        >>> mave.detect_format("vectors.vec")
        'text'
    """
    name = os.fspath(path)
    _check_member(member)
    # Decompressed by the core, as the conversion reads the file.
    head = _native._read_head(name, _DETECTION_BYTES, member=member)

    def unknown(what: str) -> FormatError:
        reason = _name_it(what, "--from", "src_format", FORMATS)
        return FormatError(f"{name}: {reason}", name, reason)

    if head.startswith(b"FiFu"):
        return "finalfusion"
    if head.startswith(b"PAR1"):
        return "parquet"
    if head.startswith(_FASTTEXT_MAGIC):
        return "fasttext"
    if not head:
        raise unknown("the file is empty")
    head = head.removeprefix(_BOM)
    first, _, rest = head.partition(b"\n")
    fields = first.split()
    if len(fields) == 8 and all(f.isdigit() for f in fields[:6]):
        return "floret"
    if len(fields) == 2 and all(f.isdigit() for f in fields):
        if int(fields[0]) == 0:
            raise unknown("a word2vec header of zero words reads the same in binary and text")
        # A text row is a word and numbers (how many is the reader's to check);
        # binary float32 bytes practically never read that way.
        return "text" if _is_vector_row(rest.partition(b"\n")[0]) else "word2vec"
    if _is_vector_row(first):
        return "glove"
    raise unknown(
        "the first bytes are not those of finalfusion, fastText, word2vec, text or GloVe embeddings"
    )


def _output_format(path: str) -> str:
    fmt = _EXTENSIONS.get(os.path.splitext(path)[1].lower())
    if fmt is None:
        known = ", ".join(f"{ext} ({f})" for ext, f in _EXTENSIONS.items())
        raise ValueError(
            _name_it(
                f"cannot tell the output format of {path!r} from its extension " f"(known: {known})",
                "--to",
                "dst_format",
                OUTPUT_FORMATS,
            )
        )
    return fmt


def _check_format(fmt: str, allowed: tuple[str, ...], keyword: str) -> str:
    if not isinstance(fmt, str):
        raise TypeError(f"{keyword} must be str, not {type(fmt).__name__}")
    if fmt not in allowed:
        raise ValueError(f"{keyword} must be one of {', '.join(allowed)}, not {fmt!r}")
    return fmt


def convert(
    src: StrPath,
    dst: StrPath,
    *,
    src_format: str | None = None,
    dst_format: str | None = None,
    normalize: bool = True,
    progress: Progress | None = None,
    errors: str = "strict",
    limit: int | None = None,
    member: str | None = None,
    columns: tuple[str, str] | None = None,
) -> int:
    """Converts embeddings from one format to another.

    Formats: "finalfusion", "fasttext" (a fastText ``.bin`` model, read only;
    converted as ``_mave.build_model`` does), "word2vec" (binary), "text"
    (word2vec/fastText ``.vec``: a header line, then a word and its values per
    line) and "glove" (the same lines without a header). Without
    `src_format` the input's format comes from its first bytes
    (:func:`detect_format`); without `dst_format` the output's from its
    extension: ``.fifu``, ``.bin`` (word2vec), ``.vec`` (text), ``.txt`` (glove),
    ``.parquet``.

    "parquet" (needs pyarrow: ``pip install 'mave[arrow]'``) is a table of
    the vocabulary words and their vectors: written as ``word`` (string) and
    ``vector`` (``fixed_size_list<float32>[dims]``), a row group at a time,
    with a ``norm`` (float32) column when the vectors are unit rows whose
    lengths the model keeps, and the model's metadata in the file's
    key-value metadata; read from a string column and a list or
    fixed-size-list column of floats (float64 values rounded to float32)
    named by `columns`, as pandas and other tools write them. From a file
    mave wrote, a finalfusion file with a simple vocabulary converts to
    Parquet and back bit for bit (converted with the same `normalize`; with
    norms when it has them and `normalize`, without when it has none and
    not `normalize`).

    With `normalize` (the default) every vector is written scaled to unit
    length and a finalfusion output keeps the lengths in its norms chunk;
    from a finalfusion file with norms the stored unit rows are written as
    they are. Without it the original vectors are written: those read, or
    for a finalfusion file with norms each row times its norm (float32).
    A finalfusion or fastText input written as finalfusion keeps its
    vocabulary, subwords and metadata; written in another format it gives
    its vocabulary words and their vectors as lookups give them.

    The input may be compressed: gzip, bzip2, xz, or a zip archive (its only
    file, or `member`), recognised from its first bytes and decompressed as
    it is read. A fastText input may also be a model from before fastText's
    magic number, or a floret model (in floret mode it becomes a file of the
    floret vocabulary kind).

    The output is written to a temporary file beside `dst` and renamed to
    `dst` when complete: a failed conversion leaves `dst` as it was. The
    interpreter lock is released while the work runs.

    ``dst_format="model2vec"`` (never told from the name) writes the folder
    `dst` as a static model that Model2Vec's ``StaticModel.from_pretrained``
    and sentence-transformers load: a word-level ``tokenizer.json`` (word i
    is id i, whitespace splitting, case kept, an unknown token with the last
    id), ``model.safetensors`` (the tensor ``embeddings``: the word rows as
    `normalize` says, then a zero row for the unknown token),
    ``config.json`` (``normalize: false``, ``max_length: null``, and the
    source's metadata under ``mave``) and ``modules.json``. Their encodings
    of texts of vocabulary words equal, within float32 rounding,
    ``e.encode``'s for the finalfusion file ``mave.convert(src, ...,
    normalize=normalize)`` writes (``mave.load(src)`` itself for a
    finalfusion `src` with norms and the default `normalize`); unknown
    words are dropped (no subwords), and a word holding whitespace is
    written but never matched. `dst` must not exist or
    be an empty folder; the folder is built beside it and renamed into place
    when complete, so a failure leaves nothing.

    Args:
        progress: called now and then as ``progress(phase, done, total)``,
            phase "read" (bytes of the input, compressed bytes for a
            compressed file) or "write" (rows written); an exception it
            raises (or Ctrl-C) stops the conversion.
        errors: words that are not valid UTF-8 in word2vec, text, GloVe and
            fastText input: "strict" refuses the file, "replace" puts U+FFFD for each
            invalid sequence and "ignore" drops the invalid bytes, as
            Python's decoder (and gensim's ``unicode_errors``) does. A word
            that becomes empty or equal to an earlier one is dropped with
            its row (a warning tells how many; a finalfusion output records
            the count in its metadata).
        limit: read only the first `limit` words of word2vec, text, GloVe
            or fastText input (a fastText model keeps all its subword rows).
        member: the file to read in a zip archive.
        columns: the word column and the vector column of a Parquet input
            (default ``("word", "vector")``).

    Returns:
        The number of words dropped (see `errors`).

    Raises:
        OSError: a file cannot be opened, read or written;
            ``FileExistsError`` for a model2vec `dst` that is not an empty
            folder.
        FormatError: the input is damaged or not in its format (the message
            names the file, the line or byte offset and the word; for
            Parquet the column and the row, counted from 0), or a word
            cannot be written in the output format.
        TypeError: an `errors`, `limit` or `member` of the wrong type.
        ValueError: an unknown format, or one that cannot be told; an
            unknown `errors`; a negative `limit`, or one for finalfusion or
            floret input; `columns` for input that is not Parquet.
        ImportError: Parquet without pyarrow installed.

    Example:
        >>> mave.convert("GoogleNews-vectors.bin", "news.fifu")
        0
    """
    src_name, dst_name = os.fspath(src), os.fspath(dst)
    # errors, limit and member are checked here, once, for every way a
    # conversion goes (the core, Parquet, model2vec).
    _check_errors(errors)
    _check_limit(limit)
    _check_member(member)
    if src_format is None:
        src_format = detect_format(src_name, member=member)
    _check_format(src_format, FORMATS, "src_format")
    if columns is not None:
        if src_format != "parquet":
            raise ValueError(f"columns= names the columns of parquet input, not of {src_format} input")
        if (
            not isinstance(columns, (tuple, list))
            or len(columns) != 2
            or not all(isinstance(c, str) for c in columns)
        ):
            raise TypeError("columns must be two str: the word column and the vector column")
        columns = (columns[0], columns[1])
    if limit is not None and src_format in ("finalfusion", "floret"):
        # Their words are not rows read in order: nothing would be left out.
        raise ValueError(
            f"limit= reads the first words of word2vec, text, GloVe and fastText input, "
            f"not of {src_format} input"
        )
    if dst_format is None:
        dst_format = _output_format(dst_name)
    _check_format(dst_format, OUTPUT_FORMATS, "dst_format")
    if src_format == "parquet":
        from mave import _parquet  # pyarrow only when asked for

        _parquet.check_source_options(errors, member)
        if dst_format == "finalfusion":
            _parquet.read_into(
                src_name, dst_name, columns, normalize=bool(normalize), limit=limit, progress=progress
            )
            return 0
        # Any other format from the finalfusion file the table makes.
        with _parquet.beside(dst_name) as folder:
            between = os.path.join(folder, "converted.fifu")
            _parquet.read_into(
                src_name, between, columns, normalize=bool(normalize), limit=limit, progress=None
            )
            return convert(
                between,
                dst,
                src_format="finalfusion",
                dst_format=dst_format,
                normalize=normalize,
                progress=progress,
            )
    if dst_format == "parquet":
        from mave import _parquet

        dropped: int = _parquet.write_from(
            src_name,
            src_format,
            dst_name,
            normalize=bool(normalize),
            progress=progress,
            errors=errors,
            limit=limit,
            member=member,
        )
    elif dst_format == "model2vec":
        dropped = _model2vec.export(
            src_name,
            src_format,
            dst_name,
            normalize=bool(normalize),
            progress=progress,
            errors=errors,
            limit=limit,
            member=member,
        )
    else:
        dropped = _native.convert(
            src_name,
            src_format,
            dst_name,
            dst_format,
            bool(normalize),
            progress,
            errors=errors,
            limit=limit,
            member=member,
        )
    if dropped:
        warnings.warn(
            f"{src_name}: {dropped} words were dropped: with errors={errors!r} they became empty "
            "or repeated an earlier word",
            stacklevel=2,
        )
    return dropped


MetadataValue: TypeAlias = "int | float | str"


def write(
    path: StrPath,
    words: Iterable[str],
    matrix: npt.ArrayLike,
    *,
    norms: npt.ArrayLike | None = None,
    metadata: Mapping[str, MetadataValue] | str | None = None,
    normalize: bool = True,
    progress: Progress | None = None,
) -> None:
    """Writes a finalfusion file with a simple vocabulary and a dense matrix.

    Row i of `matrix` is the vector of the i-th word. With `normalize` (the
    default) each row is scaled to unit length on its way to the file (the
    same float32 arithmetic as the fastText conversion) and the norms chunk
    keeps the lengths; `matrix` itself is not changed. Without it the rows
    are written as given, with `norms` as the norms chunk if you pass them.
    The file appears at `path` only when complete.

    Args:
        words: the words, distinct, one per row.
        matrix: any 2-D array of real numbers; written as float32.
        norms: one length per word (only with ``normalize=False``).
        metadata: a flat mapping of str to int, float or str, or TOML text.
        progress: called as ``progress("write", rows_done, rows)``.

    Raises:
        TypeError: a word that is not str, a matrix that is not numbers, a
            metadata value of another type.
        ValueError: a repeated word, shapes that do not match, norms with
            ``normalize=True``, metadata that is not TOML.
        OSError: the file cannot be written.

    Example:
        >>> mave.write("mine.fifu", ["cat", "dog"], np.eye(2, 3))
    """
    word_list = list(words)
    array = np.asarray(matrix)
    if array.dtype.kind not in "fiu":
        raise TypeError(f"matrix must hold real numbers, not {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"matrix must be 2-D, not {array.ndim}-D")
    if array.shape[0] != len(word_list):
        raise ValueError(f"{len(word_list)} words but {array.shape[0]} matrix rows")
    array = np.ascontiguousarray(array, dtype=np.float32)
    norm_array = None
    if norms is not None:
        if normalize:
            raise ValueError("norms are computed when normalize=True; pass normalize=False to write your own")
        norm_array = np.ascontiguousarray(norms, dtype=np.float32)
        if norm_array.shape != (len(word_list),):
            raise ValueError(f"norms must have shape ({len(word_list)},), not {norm_array.shape}")
    _native.write(os.fspath(path), word_list, array, norm_array, metadata, bool(normalize), progress)
