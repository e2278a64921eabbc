"""`mave encode`: the vectors of texts, one per line, into a .npy file.

The texts are encoded a batch at a time with ``Embeddings.encode`` and
their rows appended to the file as they come, so memory stays bounded
whatever the input's size. The .npy header is written first with room for
any row count and completed once the count is known, which lets standard
input stream through without being counted or copied first; the file is
written under a temporary name beside OUT and renamed when complete.
"""

from __future__ import annotations

import argparse
import os
import secrets
import sys
from collections.abc import Iterator
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt

import mave
from mave import _cli

__all__ = ["NpyRows", "register"]

_DEFAULT_BATCH = 4096


class NpyRows:
    """A float32 .npy file of a known width, written a block of rows at a
    time, its row count filled into the header by close()."""

    MAGIC = b"\x93NUMPY\x01\x00"
    # The whole preamble: magic, header length and the header padded with
    # spaces; room for any count, and a multiple of 64 as numpy aligns it.
    SIZE = 128

    def __init__(self, f: BinaryIO, dims: int) -> None:
        self._f = f
        self._dims = dims
        self.rows = 0
        f.write(self._preamble(0))

    def _preamble(self, rows: int) -> bytes:
        header = f"{{'descr': '<f4', 'fortran_order': False, 'shape': ({rows}, {self._dims}), }}"
        room = self.SIZE - len(self.MAGIC) - 2 - 1
        return self.MAGIC + (room + 1).to_bytes(2, "little") + header.ljust(room).encode("ascii") + b"\n"

    def write(self, block: npt.NDArray[np.float32]) -> None:
        self._f.write(np.ascontiguousarray(block, dtype="<f4").data)
        self.rows += len(block)

    def close(self) -> None:
        """Writes the final row count into the header (the file stays open)."""
        self._f.seek(0)
        self._f.write(self._preamble(self.rows))


def _lines(f: BinaryIO, name: str) -> Iterator[tuple[str, int]]:
    """Each line as a text (its newline, and a carriage return before it,
    removed; a UTF-8 byte order mark at the start dropped) and the bytes read
    so far."""
    done = 0
    for number, line in enumerate(f, 1):
        done += len(line)
        if number == 1 and line.startswith(b"\xef\xbb\xbf"):
            line = line[3:]
        if line.endswith(b"\n"):
            line = line[:-2] if line.endswith(b"\r\n") else line[:-1]
        try:
            text = line.decode("utf-8")
        except UnicodeDecodeError as e:
            raise _cli.CommandError(
                f"{name}: line {number} is not valid UTF-8 (byte {e.start + 1} " "of the line)"
            ) from None
        yield text, done


def _batches(lines: Iterator[tuple[str, int]], size: int) -> Iterator[tuple[list[str], int]]:
    batch: list[str] = []
    done = 0
    for text, done in lines:
        batch.append(text)
        if len(batch) == size:
            yield batch, done
            batch = []
    if batch:
        yield batch, done


def _temporary_beside(path: str) -> tuple[str, BinaryIO]:
    directory, name = os.path.split(os.path.abspath(path))
    while True:
        temporary = os.path.join(directory, f".{name}.{secrets.token_hex(6)}.tmp")
        try:
            return temporary, open(temporary, "xb")
        except FileExistsError:
            continue
        except OSError as e:
            # Named by the output: the hidden name means nothing to the user.
            raise type(e)(e.errno, e.strerror, path) from None


def encode_lines(
    e: mave.Embeddings,
    source: BinaryIO,
    name: str,
    out: str,
    *,
    batch_size: int,
    normalize: bool | None,
    max_length: int | None,
    threads: int | None,
    total_bytes: int,
    progress: Any,
) -> int:
    """Encodes each line of `source` into the .npy file `out`; returns the
    number of texts."""
    temporary, f = _temporary_beside(out)
    try:
        with f:
            npy = NpyRows(f, e.dims)
            for batch, done in _batches(_lines(source, name), batch_size):
                npy.write(e.encode(batch, normalize=normalize, max_length=max_length, threads=threads))
                if progress is not None:
                    progress("read", done, total_bytes)
            npy.close()
        os.replace(temporary, out)
    except BaseException:
        os.remove(temporary)
        raise
    return npy.rows


def _run(args: argparse.Namespace) -> int:
    if args.output == "-":
        raise _cli.CommandError("-o -: the output must be a file (its header is completed last)")
    e = mave.load(args.model)
    progress = _cli.progress_bar(args.quiet)
    if args.texts == "-":
        encode_lines(
            e,
            sys.stdin.buffer,
            "standard input",
            args.output,
            batch_size=args.batch_size,
            normalize=args.normalize,
            max_length=args.max_length,
            threads=args.threads,
            total_bytes=0,
            progress=progress,
        )
        return 0
    with open(args.texts, "rb") as source:
        size = os.fstat(source.fileno()).st_size
        encode_lines(
            e,
            source,
            args.texts,
            args.output,
            batch_size=args.batch_size,
            normalize=args.normalize,
            max_length=args.max_length,
            threads=args.threads,
            total_bytes=size,
            progress=progress,
        )
    return 0


def register(sub: Any) -> None:
    """Adds `mave encode` to the subcommands."""
    p = sub.add_parser(
        "encode",
        help="encode texts, one per line, into a .npy file",
        description="Writes OUT.npy: one float32 row per line of TEXTS (a file, or - for standard "
        "input; UTF-8; the newline removed, an empty line an empty text), the vectors "
        "Embeddings.encode gives. A static sentence model (a folder): the mean of the rows of the "
        "text's tokens under the model's tokenizer, as Model2Vec encodes. Word vectors: the mean "
        "of the vectors of a text's "
        "whitespace-separated words (unknown words composed from subwords where the model has "
        "them); a text without one gets zeros. The texts are encoded in batches as they are read; "
        "OUT appears only when complete.",
        **_cli.example(
            "mave encode cc.en.300.fifu questions.txt -o questions.npy\n"
            "  cut -f2 corpus.tsv | mave encode cc.en.300.fifu - -o corpus.npy "
            "--normalize"
        ),
    )
    p.add_argument("model", metavar="MODEL", help="the model")
    p.add_argument("texts", metavar="TEXTS", help="the texts, one per line (- for standard input)")
    p.add_argument(
        "-o", "--output", metavar="OUT", required=True, help="the .npy file to write (replaced when complete)"
    )
    p.add_argument(
        "--normalize",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="scale each vector to unit length (default: the model's setting; word " "vectors: no)",
    )
    p.add_argument(
        "--max-length",
        type=_cli.positive,
        metavar="N",
        help="use at most N tokens of each text (default: the model's limit; word " "vectors: all)",
    )
    p.add_argument(
        "--batch-size",
        type=_cli.positive,
        default=_DEFAULT_BATCH,
        metavar="N",
        help="texts encoded at once (default %(default)s)",
    )
    p.add_argument(
        "--threads",
        type=_cli.positive,
        metavar="N",
        help="threads per batch (default: by its size, up to one per core)",
    )
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    p.set_defaults(run=_run)
