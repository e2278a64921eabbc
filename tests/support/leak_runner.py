"""Calls one method of the module many times, on success or on one error
path, and reports what that did to the process and to the objects passed in.

    python leak_runner.py SCENARIO CALLS MODEL_FILE SUBWORD_FILE FASTTEXT_FILE RESULTS

Standard output and standard error are sent to /dev/null at the descriptor
level first (eval and build_model print there, every PanicException writes a
report there). After a warm-up of a tenth of the calls, the scenario's loop
runs CALLS times; the results file then holds the resident size before and
after the loop, the open descriptors and mappings before and after, and the
reference counts of every object passed in, before the warm-up and after the
loop.
"""

import gc
import json
import os
import sys

import numpy as np

import _mave
from suite import panic_type


def fresh(text):
    """A str object of our own: interned or cached strings are shared with
    the interpreter, whose reference counts move for reasons of its own."""
    return "".join(list(text))


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def count(path):
    if path.endswith("maps"):
        # Mappings of files, which a leaked mapping would leave; anonymous
        # ones are the allocator's (under AddressSanitizer its quarantine
        # holds freed blocks mapped), and growth of memory is the rss check.
        with open(path) as f:
            return sum(1 for line in f if len(line.split()) >= 6 and line.split()[5].startswith("/"))
    return len(os.listdir(path))


def scenarios(model_file, subword_file, fasttext_file):
    """name -> (call, objects passed in, exception expected or None)."""
    Panic = panic_type()
    m = _mave.FfModel(model_file)
    sub = _mave.FfModel(subword_file)
    dims = m.get_dims()
    a = np.zeros(dims, np.float32)
    long_a = np.zeros(dims + 1, np.float32)
    known, unknown, composed = fresh("Haus"), fresh("Zebra"), fresh("Hausboot")
    path, missing = fresh(model_file), fresh(model_file + ".missing")
    not_a_file = fresh(os.path.dirname(model_file))
    ft_path, devnull = fresh(fasttext_file), fresh("/dev/null")
    a_list, number = [0.0] * dims, 12345678901234567890
    f64 = np.zeros(dims, np.float64)
    return {
        "get_dims": (lambda: m.get_dims(), [m], None),
        "load_embedding known": (lambda: m.load_embedding(known, a), [m, known, a], None),
        "load_embedding unknown": (lambda: m.load_embedding(unknown, a), [m, unknown, a], None),
        "load_embedding composed": (lambda: sub.load_embedding(composed, a), [sub, composed, a], None),
        "load_embedding keywords": (lambda: m.load_embedding(a=a, sentence=known), [m, known, a], None),
        "load_embedding length mismatch": (
            lambda: m.load_embedding(known, long_a),
            [m, known, long_a],
            Panic,
        ),
        "load_embedding list target": (
            lambda: m.load_embedding(known, a_list),
            [m, known, a_list],
            TypeError,
        ),
        "load_embedding float64 target": (lambda: m.load_embedding(known, f64), [m, known, f64], TypeError),
        "load_embedding int sentence": (lambda: m.load_embedding(number, a), [m, number, a], TypeError),
        "load_embedding missing argument": (lambda: m.load_embedding(known), [m, known], TypeError),
        "load_embedding unknown keyword": (lambda: m.load_embedding(known, a, b=a), [m, known, a], TypeError),
        "eval known": (lambda: m.eval(known), [m, known], None),
        "eval composed": (lambda: sub.eval(composed), [sub, composed], None),
        "eval unknown": (lambda: m.eval(unknown), [m, unknown], None),
        "eval int": (lambda: m.eval(number), [m, number], TypeError),
        "FfModel": (lambda: _mave.FfModel(path), [path], None),
        "FfModel missing file": (lambda: _mave.FfModel(missing), [missing], Panic),
        "FfModel directory": (lambda: _mave.FfModel(not_a_file), [not_a_file], Panic),
        "FfModel int path": (lambda: _mave.FfModel(number), [number], TypeError),
        "build_model": (lambda: _mave.build_model(ft_path, devnull), [ft_path, devnull], None),
        "build_model missing input": (
            lambda: _mave.build_model(missing, devnull),
            [missing, devnull],
            OSError,
        ),
        "build_model finalfusion input": (lambda: _mave.build_model(path, devnull), [path, devnull], OSError),
    }


def run(call, expected, n):
    if expected is None:
        for _ in range(n):
            call()
    else:
        for _ in range(n):
            try:
                call()
            except expected:
                pass
            else:
                raise AssertionError(f"{expected.__name__} was not raised")


def measure(call, objects, expected, calls, results):
    """Runs the warm-up and the loop and writes the report to `results`."""
    refs_before = [sys.getrefcount(o) for o in objects]
    run(call, expected, max(calls // 10, 1))
    gc.collect()
    rss_before, fds_before = resident_bytes(), count("/proc/self/fd")
    maps_before = count("/proc/self/maps")
    run(call, expected, calls)
    gc.collect()
    report = {
        "rss": [rss_before, resident_bytes()],
        "fds": [fds_before, count("/proc/self/fd")],
        "maps": [maps_before, count("/proc/self/maps")],
        "refs": [refs_before, [sys.getrefcount(o) for o in objects]],
    }
    with open(results, "w") as f:
        json.dump(report, f)


def main():
    name, calls, model_file, subword_file, fasttext_file, results = sys.argv[1:]
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.dup2(devnull, 2)
    call, objects, expected = scenarios(model_file, subword_file, fasttext_file)[name]
    measure(call, objects, expected, int(calls), results)


if __name__ == "__main__":
    main()
