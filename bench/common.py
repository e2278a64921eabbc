"""What every measure of bench/run.py uses: timing, the child processes the
tools run in, the page cache, the printed table and the machine's
description.

Nothing here imports NumPy or the modules measured, so that a child starts
with the standard library only.
"""

import gc
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
# The program a child runs: it imports the worker's module and calls it.
ENTRY = HERE / "run.py"

ns = time.perf_counter_ns


# ---------------------------------------------------------------------------
# Files and memory, in the parent and in the workers


def read_lines(path, limit=None):
    with open(path, encoding="utf-8") as f:
        out = f.read().split("\n")
    if out and out[-1] == "":
        out.pop()
    return out[:limit] if limit else out


def write_lines(path, items):
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(items))
        f.write("\n")


def status_kib(field):
    """A field of this process's /proc status in KiB (VmRSS, VmHWM, ...)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def rss_kib():
    return status_kib("VmRSS")


def peak_rss_kib():
    return status_kib("VmHWM")


MAPPING_HEADER = re.compile(r"^[0-9a-f]+-[0-9a-f]+ ")


def mapped_rss_kib(path):
    """Resident KiB of this process's mappings of `path`: the pages it has
    touched, whatever the page cache holds."""
    real = os.path.realpath(path)
    total = 0
    inside = False
    with open("/proc/self/smaps") as f:
        for line in f:
            if MAPPING_HEADER.match(line):
                fields = line.split(None, 5)
                inside = len(fields) == 6 and fields[5].strip() == real
            elif inside and line.startswith("Rss:"):
                total += int(line.split()[1])
    return total


def recache(path):
    """Drops the file from the page cache and reads it once from start to end,
    so that every run maps it as it would a file freshly read from disk (the
    kernel's read-ahead then caches it in large folios, which it maps with
    2 MiB pages; a file just written can sit in small ones)."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        while os.read(fd, 1 << 23):
            pass
    finally:
        os.close(fd)


# ---------------------------------------------------------------------------
# Timing


def rounds_of(run, rounds, warmup=True):
    """Times `run` (one whole round) `rounds` times with the collector off,
    after one untimed round."""
    if warmup:
        run()
    times = []
    gc.collect()
    gc.disable()
    try:
        for _ in range(rounds):
            t0 = ns()
            run()
            times.append(ns() - t0)
    finally:
        gc.enable()
    return times


def median(xs):
    return statistics.median(xs)


def per_call(result, key="ns"):
    return median(result[key]) / result["n"]


def cosine(u, v):
    import numpy as np

    u, v = np.asarray(u, np.float64), np.asarray(v, np.float64)
    return float(u @ v / (np.linalg.norm(u) * np.linalg.norm(v)))


# ---------------------------------------------------------------------------
# Child processes


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


class Runner:
    def __init__(self, args):
        self.args = args
        self.env = dict(os.environ)
        self.env["PYTHONPATH"] = os.pathsep.join(
            [str(args.build_dir), self.env.get("PYTHONPATH", "")]
        ).rstrip(os.pathsep)

    def child(self, worker, job, *, stdout=subprocess.DEVNULL, modules=None):
        """Runs `worker` (a function of a bench module taking the job description) in a
        fresh interpreter and returns its result. `modules` is a directory
        holding another build of _mave and mave to import instead of the
        build directory's."""
        name = f"{worker.__module__}.{worker.__name__}"
        result_path = self.args.out / f".result-{os.getpid()}.json"
        command = [sys.executable, str(ENTRY), "--worker", name, json.dumps(job), str(result_path)]
        env = self.env
        if modules is not None:
            env = dict(
                env,
                PYTHONPATH=os.pathsep.join([str(modules), os.environ.get("PYTHONPATH", "")]).rstrip(
                    os.pathsep
                ),
            )
        proc = subprocess.run(command, stdout=stdout, stderr=subprocess.PIPE, env=env)
        if proc.returncode != 0:
            sys.stderr.write(proc.stderr.decode(errors="replace"))
            raise SystemExit(f"worker {name} {job} failed with {proc.returncode}")
        with open(result_path) as f:
            result = json.load(f)
        os.unlink(result_path)
        return result


def run_worker(name, spec_json, result_path):
    """The child's side of Runner.child."""
    import importlib

    module, function = name.rsplit(".", 1)
    result = getattr(importlib.import_module(module), function)(json.loads(spec_json))
    with open(result_path, "w") as f:
        json.dump(result, f)


def build_dirs(paths):
    """The build directories given (bench/builds.py, bench/conversion_builds.py),
    each checked to hold a _mave module."""
    builds = [Path(b).resolve() for b in paths]
    for b in builds:
        if not any(b.glob("_mave*.so")):
            raise SystemExit(f"no _mave module in {b}")
    return builds


def dataset_dir(args, name):
    d = args.out / name
    if args.fresh and d.exists():
        shutil.rmtree(d)
    return d, (d / ".complete").exists()


# ---------------------------------------------------------------------------
# The table


class Table:
    COLUMNS = [
        "measure",
        "what",
        "unit",
        "mave",
        "gensim",
        "fastText",
        "floor / baseline",
        "ratios",
        "target",
        "met",
    ]

    def __init__(self):
        self.rows = []
        self.notes = []

    def add(
        self,
        name,
        measure,
        unit,
        mave=None,
        gensim=None,
        fasttext=None,
        floor=None,
        ratios="",
        target="",
        met=None,
    ):
        self.rows.append(
            [
                name,
                measure,
                unit,
                fmt(mave),
                fmt(gensim),
                fmt(fasttext),
                floor if isinstance(floor, str) else fmt(floor),
                ratios,
                target,
                "" if met is None else ("yes" if met else "NO"),
            ]
        )

    def print(self):
        rows = [self.COLUMNS] + self.rows
        widths = [max(len(str(r[i])) for r in rows) for i in range(len(self.COLUMNS))]
        numeric = {3, 4, 5}
        for k, r in enumerate(rows):
            cells = [
                str(c).rjust(widths[i]) if i in numeric else str(c).ljust(widths[i]) for i, c in enumerate(r)
            ]
            print("  ".join(cells).rstrip())
            if k == 0:
                print("  ".join("-" * w for w in widths))
        for note in self.notes:
            print(note)


def fmt(value):
    if value is None:
        return "-"
    if isinstance(value, str):
        return value
    if value >= 100:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def x(value):
    return f"{value:.1f}x" if value >= 10 else f"{value:.2f}x"


# ---------------------------------------------------------------------------
# The machine


def versions():
    from importlib import metadata

    out = {}
    for name in ("numpy", "gensim", "fasttext-wheel"):
        try:
            out[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            out[name] = "missing"
    return out


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) / 2**20
    return f"{model}, {os.cpu_count()} cores, {mem:.0f} GiB, Linux {platform.release()}"
