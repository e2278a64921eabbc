"""`mave quantize`: the command line of mave.quantize."""

from __future__ import annotations

import argparse
from typing import Any

import mave
from mave import _cli
from mave._convert import FORMATS

__all__ = ["register"]


def _run(args: argparse.Namespace) -> int:
    mave.quantize(
        args.src,
        args.dst,
        subquantizers=args.subquantizers,
        bits=args.bits,
        opq=args.opq,
        sample=args.sample,
        iterations=args.iterations,
        seed=args.seed,
        threads=args.threads,
        src_format=args.src_format,
        progress=_cli.progress_bar(args.quiet),
        errors=args.errors,
        limit=args.limit,
        member=args.member,
    )
    return 0


def register(sub: Any) -> None:
    """Adds `mave quantize` to the subcommands."""
    p = sub.add_parser(
        "quantize",
        help="write a product-quantized copy of a model",
        description="Writes DST: the model SRC (a finalfusion file with a dense matrix, or any "
        "format mave convert reads) with its matrix product-quantized (k-means per part of "
        "each row, with faiss; an optional learned rotation). The metadata, vocabulary and "
        "norms are kept. Needs faiss: pip install mave[quantize].",
        **_cli.example(
            "mave quantize cc.en.300.fifu cc.en.300.pq.fifu\n"
            "  mave quantize cc.en.300.bin cc.en.300.pq.fifu --subquantizers 50 "
            "--no-opq"
        ),
    )
    p.add_argument("src", metavar="SRC", help="the model to quantize")
    p.add_argument("dst", metavar="DST", help="the file to write (replaced when complete)")
    p.add_argument(
        "--subquantizers",
        type=_cli.positive,
        metavar="N",
        help="codes per row, a divisor of the dimensions (default: parts of about " "5 dimensions)",
    )
    p.add_argument(
        "--bits",
        type=_cli.positive,
        default=8,
        metavar="B",
        help="2**B centroids per part, 1 to 8 (default %(default)s)",
    )
    p.add_argument(
        "--no-opq",
        dest="opq",
        action="store_false",
        help="no learned rotation (faster lookups, a little less exact)",
    )
    p.add_argument("--sample", type=_cli.positive, metavar="ROWS", help="rows to train on (default 65536)")
    p.add_argument("--iterations", type=_cli.positive, metavar="N", help="k-means iterations (default 25)")
    p.add_argument("--seed", type=int, default=0, help="the same seed gives the same file")
    p.add_argument("--threads", type=_cli.positive, metavar="N", help="threads (default: all cores)")
    p.add_argument(
        "--from",
        dest="src_format",
        choices=FORMATS,
        metavar="FORMAT",
        help="the source's format: %(choices)s",
    )
    _cli.add_input_options(p)
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    p.set_defaults(run=_run)
