#!/usr/bin/env python3
"""Every conversion with several builds in one run, so that their figures
share the machine's load: a change's before and after.

    bench/conversion_builds.py BUILD_DIR... [--children N] [bench/run.py's options]

e.g. bench/conversion_builds.py /tmp/build-1be63b8 build/test --children 5

The conversions: _mave.build_model of a fastText model (--conv-words,
--conv-buckets, --conv-dims; by default 30k words and 200k buckets x 300, a
file of 312 MB), and mave.convert in each direction: that fastText model to
finalfusion; word2vec binary, .vec text and GloVe text (--imp-words x
--dims, by default 100k x 300) to finalfusion; and the finalfusion file made
from the word2vec one to finalfusion, word2vec, text and GloVe. Each build
directory is one that PYTHONPATH can point at (_mave and mave/, as cmake
builds them). Every (build, conversion) pair runs in a fresh interpreter
that times the conversion alone; the builds take turns, in an order that
alternates from turn to turn, N times over. Prints each build's best and
median seconds per conversion, wall and CPU (the CPU time of every thread,
steadier than wall time on a loaded machine), and each build against the
first.
"""

import argparse
import copy
import os
import sys
from pathlib import Path

import data
import run
from common import Runner, build_dirs, log, machine, median, x
from measures_conversion import worker_convert, worker_import

# (name, source file, its format, output file name): the output's extension
# names its format.
CONVERSIONS = [
    ("fastText -> finalfusion (_mave.build_model)", "fasttext.bin", None, "out.fifu"),
    ("fastText -> finalfusion", "fasttext.bin", "fasttext", "out.fifu"),
    ("word2vec -> finalfusion", "vectors.bin", "word2vec", "out.fifu"),
    ("text -> finalfusion", "vectors.vec", "text", "out.fifu"),
    ("GloVe -> finalfusion", "vectors.txt", "glove", "out.fifu"),
    ("finalfusion -> finalfusion", "vectors.fifu", "finalfusion", "out.fifu"),
    ("finalfusion -> word2vec", "vectors.fifu", "finalfusion", "out.bin"),
    ("finalfusion -> text", "vectors.fifu", "finalfusion", "out.vec"),
    ("finalfusion -> GloVe", "vectors.fifu", "finalfusion", "out.txt"),
]


def inputs(args, runner):
    """The source files, made once (by the last build) in one folder."""
    conv = data.make_conversion_input(args, runner)
    imp = data.make_import_inputs(args, runner)
    d = args.out / f"conversion-builds-{args.conv_words}-{args.imp_words}-s{args.seed}"
    d.mkdir(parents=True, exist_ok=True)
    links = {
        "fasttext.bin": conv / "model.bin",
        "vectors.bin": imp / "vectors.bin",
        "vectors.vec": imp / "vectors.vec",
    }
    for name, target in links.items():
        if not (d / name).exists():
            os.symlink(target, d / name)
    if not (d / "vectors.txt").exists():
        log("writing the GloVe input (the .vec text without its header)")
        with open(d / "vectors.vec", "rb") as src, open(d / "vectors.txt.part", "wb") as dst:
            src.readline()
            while block := src.read(1 << 24):
                dst.write(block)
        os.rename(d / "vectors.txt.part", d / "vectors.txt")
    if not (d / "vectors.fifu").exists():
        runner.child(
            worker_import,
            {
                "tool": "mave",
                "format": "word2vec",
                "input": str(d / "vectors.bin"),
                "output": str(d / "vectors.fifu"),
            },
        )
    return d


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("builds", nargs="+", type=Path, metavar="BUILD_DIR")
    p.add_argument("--children", type=int, default=5, help="turns of every (build, conversion)")
    ours, rest = p.parse_known_args(argv)
    defaults = {
        "--conv-words": "30000",
        "--conv-buckets": "200000",
        "--conv-dims": "300",
        "--imp-words": "100000",
    }
    for option, value in defaults.items():
        if not any(a == option or a.startswith(option + "=") for a in rest):
            rest += [option, value]
    args = run.parse_args(rest + ["--only", "convert"])
    args.out.mkdir(parents=True, exist_ok=True)
    builds = build_dirs(ours.builds)
    args.build_dir = builds[-1]
    d = inputs(args, Runner(args))
    runners = {}
    for b in builds:
        build_args = copy.copy(args)
        build_args.build_dir = b
        runners[b] = Runner(build_args)
    times, cpu = {}, {}
    for turn in range(ours.children):
        order = builds if turn % 2 == 0 else builds[::-1]
        for name, source, fmt, output in CONVERSIONS:
            for b in order:
                log(f"turn {turn + 1}: {b.name}, {name}")
                out = d / output
                if fmt is None:
                    r = runners[b].child(
                        worker_convert, {"tool": "mave", "input": str(d / source), "output": str(out)}
                    )
                else:
                    r = runners[b].child(
                        worker_import,
                        {"tool": "mave", "format": fmt, "input": str(d / source), "output": str(out)},
                    )
                os.unlink(out)
                times.setdefault((b, name), []).append(r["ns"] / 1e9)
                cpu.setdefault((b, name), []).append(r["cpu_ns"] / 1e9)
    print(f"machine: {machine()}; load average {os.getloadavg()[0]:.2f}")
    sizes = ", ".join(
        f"{n} {os.path.getsize(d / n) / 1e6:.0f} MB"
        for n in ("fasttext.bin", "vectors.bin", "vectors.vec", "vectors.fifu")
    )
    print(f"inputs: {sizes}; {ours.children} turns, builds alternating")
    width = max(len(c[0]) for c in CONVERSIONS)
    for what, table in (("wall", times), ("CPU (every thread)", cpu)):
        print(f"\n{what} seconds: best (median)")
        print(
            f"{'conversion':<{width}}  "
            + "  ".join(f"{b.name:>18}" for b in builds)
            + "".join(f"  {b.name + '/' + builds[0].name:>24}" for b in builds[1:])
        )
        for name, *_ in CONVERSIONS:
            cells = [f"{min(table[b, name]):7.3f} ({median(table[b, name]):6.3f})" for b in builds]
            ratios = [x(min(table[b, name]) / min(table[builds[0], name])) for b in builds[1:]]
            print(
                f"{name:<{width}}  "
                + "  ".join(f"{c:>18}" for c in cells)
                + "".join(f"  {r:>24}" for r in ratios)
            )
    print("command: bench/conversion_builds.py " + " ".join(argv))


if __name__ == "__main__":
    main(sys.argv[1:])
