"""Word vectors written as a static model folder, the layout Model2Vec writes
and sentence-transformers loads as a ``StaticEmbedding``: mave.convert's
``dst_format="model2vec"``.

The folder holds
- ``tokenizer.json``: the ``tokenizers`` library's WordLevel model over the
  vocabulary (word i has id i), a WhitespaceSplit pre-tokenizer, no
  normalizer (case is kept), and an unknown token with the last id;
- ``model.safetensors``: the tensor ``embeddings``, float32, one row per id
  (the unknown token's row is zeros);
- ``config.json``: Model2Vec's settings, and what the folder was made from;
- ``modules.json``: the module list sentence-transformers reads.

It is built in a hidden folder beside the destination and renamed into place
when complete, so that a failure leaves nothing behind. Nothing is held
whole in memory: the table is written a block of rows at a time after a
header whose size follows from the shape, the vocabulary a block of words at
a time.
"""

from __future__ import annotations

import contextlib
import errno
import json
import os
import secrets
import shutil
import struct
from collections.abc import Callable, Iterator
from json.encoder import encode_basestring
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt

from mave import _native
from mave._embeddings import Embeddings, load

__all__ = ["FOLDER_FILES", "export"]

Progress = Callable[[str, int, int], object]

#: The files of an exported folder, in the order they are written.
FOLDER_FILES = ("tokenizer.json", "model.safetensors", "config.json", "modules.json")
TENSOR = "embeddings"
#: The unknown token, made distinct from every vocabulary word by a number
#: when the vocabulary has it.
UNKNOWN = "[UNK]"
# Rows (and words) per write: a few megabytes at 300 dimensions.
_BLOCK = 4096


def export(
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
    """Writes the folder `dst` from the model `src` (checked arguments, as
    mave.convert passes them); returns the number of words dropped while
    reading a text or binary source."""
    target = os.path.abspath(dst)
    _check_destination(target)
    staging = _make_staging(target)
    try:
        with _source(
            src,
            src_format,
            staging,
            normalize=normalize,
            progress=progress,
            errors=errors,
            limit=limit,
            member=member,
        ) as (e, rows, dropped):
            unknown = _unknown_token(e)
            _write_tokenizer(os.path.join(staging, "tokenizer.json"), e.words, unknown)
            _write_table(os.path.join(staging, "model.safetensors"), rows, len(e), e.dims, progress)
            _write_json(os.path.join(staging, "config.json"), _config(e, src, src_format, normalize, unknown))
            _write_json(os.path.join(staging, "modules.json"), MODULES)
        _commit(staging, target)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    return dropped


# --- the destination -----------------------------------------------------------


def _check_destination(target: str) -> None:
    """Refuses a destination that holds anything: an export never replaces
    or mixes with existing files (an empty folder is taken)."""
    if os.path.isdir(target):
        if os.listdir(target):
            raise FileExistsError(
                errno.EEXIST,
                "the destination folder is not empty " "(remove it or name a new folder)",
                target,
            )
    elif os.path.lexists(target):
        raise FileExistsError(errno.EEXIST, "the destination exists and is not a folder", target)


def _make_staging(target: str) -> str:
    """A new hidden folder beside `target` (so on the same file system), made
    with the permissions a new folder gets."""
    parent, name = os.path.split(target)
    while True:
        staging = os.path.join(parent, f".{name}.{secrets.token_hex(6)}.tmp")
        try:
            os.mkdir(staging)
            return staging
        except FileExistsError:
            continue
        except OSError as e:
            # Named by the destination: the hidden name means nothing to the caller.
            raise type(e)(e.errno, e.strerror, target) from None


def _commit(staging: str, target: str) -> None:
    """Syncs the folder's files and renames it to `target`. rename() replaces
    an empty folder and fails on a non-empty one, so a folder that filled up
    meanwhile is still refused."""
    for name in FOLDER_FILES:
        _sync(os.path.join(staging, name), os.O_RDONLY)
    _sync(staging, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.rename(staging, target)
    except OSError as e:
        if e.errno in (errno.ENOTEMPTY, errno.EEXIST):
            raise FileExistsError(
                errno.EEXIST,
                "the destination folder is not empty " "(remove it or name a new folder)",
                target,
            ) from None
        raise
    _sync(os.path.dirname(target), os.O_RDONLY | os.O_DIRECTORY)


def _sync(path: str, flags: int) -> None:
    fd = os.open(path, flags)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


# --- the rows ----------------------------------------------------------------------

Rows = Callable[[int, int], npt.NDArray[np.float32]]


@contextlib.contextmanager
def _source(
    src: str,
    src_format: str,
    staging: str,
    *,
    normalize: bool,
    progress: Progress | None,
    errors: str,
    limit: int | None,
    member: str | None,
) -> Iterator[tuple[Embeddings, Rows, int]]:
    """The source loaded, a function giving its vocabulary rows start..stop in
    the form asked for (as mave.convert writes word rows: with `normalize`
    unit rows, without it the original vectors, row x norm where the file has
    norms), and the words dropped while reading.

    A finalfusion file is read where it lies when its stored rows give that
    form with at most a product by the norms; anything else (another format,
    or rows to scale to unit length) is first converted by the core into a
    temporary finalfusion file in `staging`, removed before the folder is
    committed."""
    dropped = 0
    temporary = None
    e = load(src) if src_format == "finalfusion" else None
    if e is None or (normalize and e.norms is None):
        temporary = os.path.join(staging, ".source.fifu")

        def converting(phase: str, done: int, total: int) -> object:
            return progress("read" if phase == "read" else "converting", done, total) if progress else None

        dropped = _native.convert(
            src,
            src_format,
            temporary,
            "finalfusion",
            normalize,
            converting if progress else None,
            errors=errors,
            limit=limit,
            member=member,
        )
        e = load(temporary)
    norms = None if normalize else e.norms

    def rows(start: int, stop: int) -> npt.NDArray[np.float32]:
        if e.storage_kind == "dense":
            block: npt.NDArray[np.float32] = e.matrix[start:stop]
        else:
            block = e.reconstruct(range(start, stop))
        if norms is not None:
            # The float32 product the core's conversions write.
            block = block * norms[start:stop, None]
        return block

    try:
        yield e, rows, dropped
    finally:
        if temporary is not None:
            os.remove(temporary)


# --- the files -------------------------------------------------------------------


def _unknown_token(e: Embeddings) -> str:
    token, n = UNKNOWN, 0
    while token in e:
        n += 1
        token = f"[UNK{n}]"
    return token


def _write_tokenizer(path: str, words: _native.Words, unknown: str) -> None:
    """tokenizer.json, as the tokenizers library writes it, the vocabulary
    streamed a block of words at a time."""
    head = (
        '{"version":"1.0","truncation":null,"padding":null,"added_tokens":[],'
        '"normalizer":null,"pre_tokenizer":{"type":"WhitespaceSplit"},'
        '"post_processor":null,"decoder":null,"model":{"type":"WordLevel","vocab":{'
    )
    n = len(words)
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(head)
        for start in range(0, n, _BLOCK):
            block = words[start : start + _BLOCK]
            f.write(",".join(f"{encode_basestring(w)}:{start + i}" for i, w in enumerate(block)))
            f.write(",")
        f.write(f'{encode_basestring(unknown)}:{n}}},"unk_token":{encode_basestring(unknown)}}}}}')


def _safetensors_header(rows: int, dims: int) -> bytes:
    """The 8-byte length and the JSON header, padded with spaces so that the
    data starts 8-byte aligned (as the safetensors library pads it)."""
    header = json.dumps(
        {TENSOR: {"dtype": "F32", "shape": [rows, dims], "data_offsets": [0, rows * dims * 4]}},
        separators=(",", ":"),
    ).encode()
    header += b" " * (-len(header) % 8)
    return struct.pack("<Q", len(header)) + header


def _write_table(path: str, rows: Rows, words: int, dims: int, progress: Progress | None) -> None:
    """model.safetensors: the header, the word rows a block at a time, and a
    row of zeros for the unknown token."""
    with open(path, "wb") as f:
        f.write(_safetensors_header(words + 1, dims))
        for start in range(0, words, _BLOCK):
            stop = min(start + _BLOCK, words)
            _write_rows(f, rows(start, stop))
            if progress is not None:
                progress("write", stop, words)
        _write_rows(f, np.zeros((1, dims), np.float32))


def _write_rows(f: BinaryIO, block: npt.NDArray[np.float32]) -> None:
    f.write(np.ascontiguousarray(block, dtype="<f4").data)


def _config(e: Embeddings, src: str, src_format: str, normalize: bool, unknown: str) -> dict[str, Any]:
    return {
        "model_type": "model2vec",
        "architectures": ["StaticModel"],
        "hidden_dim": e.dims,
        # A text's vector is the plain mean of its words' rows, as mave's
        # encode gives it for word vectors; and every word counts (Model2Vec
        # truncates nothing when max_length is null).
        "normalize": False,
        "max_length": None,
        "embedding_dtype": "float32",
        "mave": {
            "source": os.path.basename(src),
            "source_format": src_format,
            "rows": "unit length" if normalize else "original vectors",
            "unknown_token": unknown,
            "metadata": e.metadata,
        },
    }


#: The one module sentence-transformers builds: its StaticEmbedding reads
#: tokenizer.json and the "embeddings" tensor of model.safetensors from the
#: folder itself.
MODULES = [{"idx": 0, "name": "0", "path": ".", "type": "sentence_transformers.models.StaticEmbedding"}]


def _write_json(path: str, value: object) -> None:
    with open(path, "w", encoding="utf-8") as f:
        # TOML dates and times become their ISO text.
        json.dump(value, f, ensure_ascii=False, indent=2, default=str)
        f.write("\n")
