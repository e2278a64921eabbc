#!/usr/bin/env python3
"""Benchmarks of _mave and mave against the tools users pick instead: gensim
(KeyedVectors, load_facebook_vectors) and fastText's Python bindings
(load_model, get_word_vector), on the same generated data in the same run.

Prints one table: the median of repeated rounds for each tool, the floors
(a C++ program of the core, a bare method call, a file copy, Python's own
printing), the ratios and the targets. Nothing here fails on time; the last
column only says whether this run met the target.

Usage (bench/run.sh builds the module and the C++ programs first):
    bench/run.py [--large] [--rounds R] [--seed S] [--only lookups,embed] [sizes...]

Data is generated from the seed into bench/out/ (git-ignored) and reused by
later runs with the same sizes; --fresh regenerates it, --clean deletes it at
the end. Each tool runs in its own child process, so that one tool's memory
does not weigh on another's timings and resident memory can be measured.

The measures live in the measures_*.py modules beside this file, the data
in data.py, what they share in common.py.
"""

import argparse
import json
import os
import platform
import shutil
import sys
import time
from pathlib import Path

import data
import measures_builds
import measures_conversion
import measures_embed
import measures_eval
import measures_load
import measures_lookups
import measures_similar
import measures_static
from common import HERE, ROOT, Runner, Table, machine, run_worker, versions

# Every measure by name, in the order they run: the data set it reads, the
# function that runs it and the measure whose result it takes too (None
# where that one did not run). The numbers they had before they had names
# are accepted by --only too (1 is load, 13 is import).
MEASURES = {
    "load": ("dense", measures_load.measure_load, None),
    "lookups": ("dense", measures_lookups.measure_known, None),
    "oov": ("subword", measures_lookups.measure_oov, None),
    "eval": ("dense", measures_eval.measure_eval, None),
    "convert": ("conversion", measures_conversion.measure_convert, None),
    "quantized": ("dense", measures_lookups.measure_quantized, "lookups"),
    "embed": ("dense", measures_embed.measure_embed, "lookups"),
    "embed-threads": ("subword", measures_embed.measure_embed_threads, None),
    "similar": ("dense", measures_similar.measure_similar, None),
    "similar-quantized": ("dense", measures_similar.measure_similar_quantized, "similar"),
    "single": ("dense", measures_lookups.measure_single, None),
    "mave-load": ("dense", measures_load.measure_load_both, None),
    "import": ("import", measures_conversion.measure_import, None),
    "static-load": ("static", measures_static.measure_static_load, None),
}
# The generator of each data set, in the order they are made.
DATA_SETS = {
    "dense": data.make_dense,
    "subword": data.make_subword,
    "conversion": data.make_conversion_input,
    "import": data.make_import_inputs,
    "static": measures_static.make_static,
}


def measures_of(text):
    """The names chosen by --only: names or their old numbers, comma-separated."""
    chosen = set()
    for item in filter(None, (part.strip() for part in text.split(","))):
        if item.isdigit() and 1 <= int(item) <= len(MEASURES):
            chosen.add(list(MEASURES)[int(item) - 1])
        elif item in MEASURES:
            chosen.add(item)
        else:
            raise argparse.ArgumentTypeError(f"no measure {item!r}; the measures: {', '.join(MEASURES)}")
    if "similar-quantized" in chosen:
        chosen.add("similar")  # its reference
    return chosen


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument(
        "--large",
        action="store_true",
        help="1M words x 300 dims, 1M lookups (about 10 GB of data, 5 minutes)",
    )
    p.add_argument("--rounds", type=int, default=5, help="timed rounds per measure (median)")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument(
        "--only",
        type=measures_of,
        default=set(MEASURES),
        help=f"measures to run, e.g. lookups,embed; of {', '.join(MEASURES)}",
    )
    p.add_argument("--words", type=int, help="dense vocabulary (default 200k, large 1M)")
    p.add_argument("--dims", type=int, default=300)
    p.add_argument("--lookups", type=int, help="known-word queries (default 200k, large 1M)")
    p.add_argument(
        "--hot", type=int, default=5000, help="vocabulary prefix of the in-cache known-word queries"
    )
    p.add_argument("--oov", type=int, help="OOV queries (default 50k, large 200k)")
    p.add_argument("--ft-words", type=int, help="words of the subword model (50k, large 200k)")
    p.add_argument("--ft-dims", type=int, default=300)
    p.add_argument("--ft-buckets", type=int, default=2_000_000)
    p.add_argument("--conv-words", type=int, default=200_000)
    p.add_argument("--conv-dims", type=int, default=100)
    p.add_argument("--conv-buckets", type=int, default=1_000_000)
    p.add_argument(
        "--imp-words", type=int, help="words of the word2vec binary and text inputs (default 200k, large 1M)"
    )
    p.add_argument("--pq-lookups", type=int, help="quantized queries (default lookups / 4)")
    p.add_argument("--pq-subquantizers", type=int, default=100)
    p.add_argument(
        "--static-tokens",
        type=int,
        default=500_000,
        help="tokens of the static model (a WordPiece tokenizer)",
    )
    p.add_argument("--static-dims", type=int, default=256)
    p.add_argument("--build-dir", type=Path, default=ROOT / "build-bench")
    p.add_argument("--out", type=Path, default=HERE / "out")
    p.add_argument("--fresh", action="store_true", help="regenerate the data")
    p.add_argument("--clean", action="store_true", help="delete the data directory at the end")
    p.add_argument("--json", type=Path, help="also write the table's rows here")
    p.add_argument(
        "--compare-wheel",
        type=Path,
        help="a wheel of scripts/build-wheels whose extensions run lookups and "
        "embed beside the build directory's, interleaved",
    )
    p.add_argument(
        "--passes", type=int, default=6, help="alternating passes of the two builds with --compare-wheel"
    )
    for module in (measures_eval, measures_lookups, measures_similar):
        module.add_arguments(p)
    args = p.parse_args(argv)
    big = args.large
    args.words = args.words or (1_000_000 if big else 200_000)
    args.lookups = args.lookups or (1_000_000 if big else 200_000)
    args.oov = args.oov or (200_000 if big else 50_000)
    args.ft_words = args.ft_words or (200_000 if big else 50_000)
    args.imp_words = args.imp_words or (1_000_000 if big else 200_000)
    args.pq_lookups = args.pq_lookups or args.lookups // 4
    args.build_dir = args.build_dir.resolve()
    args.out = args.out.resolve()
    if args.compare_wheel:
        args.compare_wheel = args.compare_wheel.resolve()
        if not args.compare_wheel.is_file():
            p.error(f"--compare-wheel: no file {args.compare_wheel}")
    return args


def main(argv):
    if len(argv) >= 1 and argv[0] == "--worker":
        run_worker(*argv[1:4])
        return
    args = parse_args(argv)
    if not any(args.build_dir.glob("_mave*.so")):
        raise SystemExit(
            f"no _mave module in {args.build_dir}: run bench/run.sh, or build "
            "with -DMAVE_BUILD_BENCH=ON first"
        )
    args.out.mkdir(parents=True, exist_ok=True)
    runner = Runner(args)
    started = time.monotonic()
    table = Table()
    chosen = [name for name in MEASURES if name in args.only]
    wanted = {MEASURES[name][0] for name in chosen}
    sets = {kind: make(args, runner) for kind, make in DATA_SETS.items() if kind in wanted}
    results = {}
    for name in chosen:
        kind, measure, takes = MEASURES[name]
        earlier = (results.get(takes),) if takes else ()
        results[name] = measure(args, runner, table, sets[kind], *earlier)
    if args.compare_wheel and args.only & {"lookups", "embed"}:
        measures_builds.measure_builds(args, runner, table, sets["dense"])

    v = versions()
    print()
    print(f"machine: {machine()}")
    print(
        f"python {platform.python_version()}, numpy {v['numpy']}, gensim {v['gensim']}, "
        f"fasttext-wheel {v['fasttext-wheel']}; seed {args.seed}; median of {args.rounds} "
        f"rounds after one warm-up (conversion peer: {max(1, min(args.rounds, 3))} rounds)"
    )
    print("command: " + os.environ.get("MAVE_BENCH_COMMAND", f"bench/run.py {' '.join(argv)}").rstrip())
    print()
    table.print()
    where = "deleted" if args.clean else f"kept in {args.out}"
    print(f"\nwall time {time.monotonic() - started:.0f} s; data {where}")
    if args.json:
        args.json.write_text(
            json.dumps({"columns": Table.COLUMNS, "rows": table.rows, "notes": table.notes}, indent=1)
        )
    if args.clean:
        shutil.rmtree(args.out)


if __name__ == "__main__":
    main(sys.argv[1:])
