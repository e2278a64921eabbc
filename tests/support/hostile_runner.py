"""Runs a batch of hostile variants of one file in a process of its own.

    python hostile_runner.py JOB.json

The job names a base file, what to do with each variant (load it with
FfModel and look words up, look one string up, convert it with build_model
and load the result, or "import FORMAT": convert it with mave.convert from
word2vec, text or GloVe and load the result) and the variants:
["truncate", n], ["set", offset, byte], ["put", offset, struct format,
value] or ["splice", start, end, hex bytes]. For each variant the runner
records the outcome ("ok", "panic", "oserror", "formaterror", "left files"
when a failed conversion left something in the output's directory, or the
repr of anything else), the CPU and wall seconds it took and
how much the peak resident size grew, and writes them as JSON to the job's
"results" path. Before each variant it writes the variant's index to the
job's "progress" path, so that a parent whose child died knows which variant
killed it.

With "memory_limit_mb" set, the address space is capped at what the process
uses after start-up plus that many MB, so that an oversized allocation fails
as MemoryError instead of going unnoticed (not under AddressSanitizer, whose
shadow memory needs the whole address space).
"""

import json
import os
import resource
import struct
import sys
import time

import numpy as np

import _mave
from suite import panic_type

# The words looked up in every file that loads: vocabulary words of the
# fixtures, unknown ones, non-ASCII and the empty string.
WORDS = ["Haus", "grün", "a", "", "xyzzy", "\U0001f600"]
MAX_LOOKUP_DIMS = 1 << 16


PANIC = panic_type()


class FormatError(Exception):
    """Stands for mave.FormatError until an import action loads mave."""


def outcome_of(call):
    try:
        call()
        return "ok"
    except PANIC:
        return "panic"
    except OSError:
        return "oserror"
    except FormatError:
        return "formaterror"
    except LeftFiles as e:
        return f"left files: {e}"
    except BaseException as e:  # noqa: B036 - anything else is a finding
        return f"{type(e).__name__}: {e}"


def load_and_look_up(path):
    model = _mave.FfModel(path)
    dims = model.get_dims()
    if dims > MAX_LOOKUP_DIMS:
        for word in WORDS:
            check_lookup(lambda w=word: model.eval(w))
        return
    a = np.zeros(dims, np.float32)
    for word in WORDS:
        check_lookup(lambda w=word: model.load_embedding(w, a))
        check_lookup(lambda w=word: model.eval(w))


class LookupFailure(Exception):
    pass


def check_lookup(call):
    """A lookup may end in PanicException (a row beyond the matrix, bad n-gram
    lengths); anything else is reported as the variant's outcome."""
    result = outcome_of(call)
    if result not in ("ok", "panic"):
        raise LookupFailure(f"lookup: {result}")


def look_up_once(path):
    """One composed lookup, for files whose lookups are expensive by design."""
    model = _mave.FfModel(path)
    model.load_embedding("x", np.zeros(model.get_dims(), np.float32))


def convert_and_load(path, output):
    _mave.build_model(path, output)
    load_and_look_up(output)


def import_and_load(path, fmt, output):
    """mave.convert from `fmt` into a finalfusion file, then load it and look
    its first words up. A failed conversion must leave nothing beside it."""
    import mave

    directory = os.path.dirname(output)
    try:
        mave.convert(path, output, src_format=fmt)
    except BaseException:  # noqa: B036 - re-raised after the check
        if os.listdir(directory):
            raise LeftFiles(sorted(os.listdir(directory))) from None
        raise
    e = mave.load(output)
    if e.dims <= MAX_LOOKUP_DIMS:  # the result holds a row of dims values per word
        e.embed(list(e.words)[:5] + WORDS)
    os.unlink(output)


class LeftFiles(Exception):
    pass


def variant(base, change):
    kind = change[0]
    if kind == "truncate":
        return base[: change[1]]
    data = bytearray(base)
    if kind == "set":
        data[change[1]] = change[2]
    elif kind == "put":
        struct.pack_into("<" + change[2], data, change[1], change[3])
    elif kind == "splice":
        data[change[1] : change[2]] = bytes.fromhex(change[3])
    else:
        raise ValueError(change)
    return bytes(data)


def cap_address_space(extra_mb):
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[0])
    limit = pages * os.sysconf("SC_PAGE_SIZE") + extra_mb * 1024 * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


def run_variants(job, check):
    """Writes each variant of the job's base file to its work path, records
    check(path) for it, and writes the records to the job's results path;
    each variant's index goes to the progress path before it is checked."""
    with open(job["base"], "rb") as f:
        base = f.read()
    work = job["work"]
    progress = os.open(job["progress"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    results = []
    for index, change in enumerate(job["variants"]):
        os.pwrite(progress, f"{index:10d}".encode(), 0)
        with open(work, "wb") as f:
            f.write(variant(base, change))
        results.append(check(work))
    os.close(progress)
    with open(job["results"], "w") as f:
        json.dump(results, f)


def main():
    with open(sys.argv[1]) as f:
        job = json.load(f)
    work = job["work"]
    if job.get("memory_limit_mb") and "asan" not in os.environ.get("LD_PRELOAD", ""):
        cap_address_space(job["memory_limit_mb"])
    if job["action"] == "load":
        act = load_and_look_up
    elif job["action"] == "look up once":
        act = look_up_once
    elif job["action"].startswith("import "):
        global FormatError
        import mave

        FormatError = mave.FormatError
        fmt = job["action"].split()[1]
        output_dir = work + ".out"
        os.makedirs(output_dir, exist_ok=True)
        act = lambda path: import_and_load(path, fmt, os.path.join(output_dir, "out.fifu"))  # noqa: E731
    else:
        output = work + ".fifu"
        act = lambda path: convert_and_load(path, output)  # noqa: E731

    def check(path):
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        cpu, wall = time.process_time(), time.perf_counter()
        result = outcome_of(lambda: act(path))
        cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
        rss_growth_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before
        return [result, cpu, wall, rss_growth_kb]

    run_variants(job, check)


if __name__ == "__main__":
    main()
