#!/usr/bin/env python3
"""Measure 6 of bench/run.py (quantized lookups, with and without a
projection) with several builds in one run, so that their figures share the
machine's load: a change's before and after.

    bench/builds.py BUILD_DIR... [--children N] [bench/run.py's options]

e.g. bench/builds.py /tmp/build-1be63b8 build-bench --rounds 5 --children 3

Each build directory is one that PYTHONPATH can point at (_mave and mave/,
as cmake builds them). Every (build, file) pair runs the lookup worker of
measure 6 in a fresh interpreter with PYTHONPATH at that build; the pairs
take turns, N times over, and each keeps its best median per call. Prints ns
per call, each build's projection/plain ratio and each build against the
first.
"""

import argparse
import copy
import sys
from pathlib import Path

import data
import run
from common import Runner, build_dirs, log, machine, per_call, recache, x
from measures_lookups import worker_lookup


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("builds", nargs="+", type=Path, metavar="BUILD_DIR")
    p.add_argument("--children", type=int, default=3, help="turns of every (build, file) pair")
    ours, rest = p.parse_known_args(argv)
    args = run.parse_args(rest + ["--only", "quantized"])
    args.out.mkdir(parents=True, exist_ok=True)
    builds = build_dirs(ours.builds)
    dense = data.make_dense(args, Runner(args))
    files = {"projection": dense / "pq.fifu", "plain": data.plain_quantized(args, dense)}
    runners = {}
    for b in builds:
        build_args = copy.copy(args)
        build_args.build_dir = b
        runners[b] = Runner(build_args)
    best = {}
    for turn in range(ours.children):
        for b in builds:
            for kind, path in files.items():
                log(f"turn {turn + 1}: {b.name}, {kind}")
                recache(path)
                r = runners[b].child(
                    worker_lookup,
                    {
                        "tool": "mave",
                        "path": str(path),
                        "queries": str(dense / "known.txt"),
                        "limit": args.pq_lookups,
                        "rounds": args.rounds,
                    },
                )
                t = per_call(r)
                best[b, kind] = min(t, best.get((b, kind), t))
    print(f"machine: {machine()}")
    print(
        f"measure 6: _mave load_embedding of {args.pq_lookups} random known words, {args.dims} "
        f"dims, {args.pq_subquantizers} subquantizers of 256 centroids, norms; best of "
        f"{ours.children} children, each the median of {args.rounds} rounds"
    )
    print(f"{'build':<40} {'projection':>12} {'plain':>10} {'projection/plain':>17}")
    for b in builds:
        t, plain = best[b, "projection"], best[b, "plain"]
        print(f"{str(b):<40} {t:>9.1f} ns {plain:>7.1f} ns {x(t / plain):>17}")
    first = builds[0]
    for b in builds[1:]:
        print(
            f"{b.name} / {first.name}: projection "
            f"{x(best[b, 'projection'] / best[first, 'projection'])}, plain "
            f"{x(best[b, 'plain'] / best[first, 'plain'])}"
        )


if __name__ == "__main__":
    main(sys.argv[1:])
