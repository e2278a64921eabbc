"""Loads hostile variants of one file with mave and _mave in a process of its
own, and uses what loads in every way mave offers.

    python mave_hostile_runner.py JOB.json

The job names a base file and its variants (as tests/support/hostile_runner.py
builds them). For each variant the runner records whether _mave.FfModel
loaded it, mave's outcome ("ok", "oserror", "formaterror", or the repr of
anything else: a finding) and the seconds it took, and writes them as JSON to
the job's "results" path; before each variant it writes the variant's index
to the "progress" path, so that a parent whose child died knows which one
killed it.
"""

import json
import os
import sys
import time

import numpy as np

import _mave
import mave
from hostile_runner import PANIC, cap_address_space, run_variants

WORDS = ["Haus", "grün", "a", "", "xyzzy", "\U0001f600"]
MAX_DIMS = 1 << 16


def use(path):
    """Every operation on a loaded file. Lookups may fail with FormatError (a
    row beyond the matrix, a code beyond the centroids, unusable n-gram
    lengths) or KeyError (no vector); nothing else."""
    e = mave.load(path)
    repr(e), len(e), e.vocab_kind, e.storage_kind, e.subwords, e.metadata
    list(e.words[:5])
    if e.norms is not None:
        e.norms.sum()
    if e.dims > MAX_DIMS:
        return
    expected = (mave.FormatError, KeyError)
    for word in WORDS:
        try:
            e[word]
        except expected:
            pass
    try:
        vectors, found = e.embed(WORDS, threads=2)
        query = vectors[found][0] if found.any() else np.ones(e.dims, np.float32)
        e.similar(query, 3, threads=2)
        if len(e):
            e.similar(e.words[0], 2)
    except expected:
        pass
    try:
        e.reconstruct([0])
    except (mave.FormatError, IndexError):
        pass


def outcome_of(call):
    try:
        call()
        return "ok"
    except mave.FormatError:
        return "formaterror"
    except OSError:
        return "oserror"
    except BaseException as e:  # noqa: B036 - anything else is a finding
        return f"{type(e).__name__}: {e}"


def pinned_loads(path):
    try:
        _mave.FfModel(path)
        return True
    except PANIC:
        return False


def main():
    with open(sys.argv[1]) as f:
        job = json.load(f)
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        cap_address_space(job["memory_limit_mb"])

    def check(path):
        wall = time.perf_counter()
        outcome = outcome_of(lambda: use(path))
        loaded = outcome_of(lambda: mave.load(path)) == "ok"
        return [outcome, loaded, pinned_loads(path), time.perf_counter() - wall]

    run_variants(job, check)


if __name__ == "__main__":
    main()
