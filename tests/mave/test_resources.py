"""Resources under load: many calls of every operation keep the process's
memory, descriptors, mappings and the reference counts of what was passed
in; eight threads mixing lookups, batches and every query method (similar,
analogy, nearest, similarity, doesnt_match, the mean vectors) on one dense or
quantized object while references come and go get exactly the
single-threaded answers."""

import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import mave
from suite import SUPPORT_DIR, child_environment

RUNNER = Path(__file__).with_name("mave_leak_runner.py")
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
CALLS = int(os.environ.get("MAVE_LEAK_CALLS", 20_000 if SANITIZED else 200_000))
# A leak of one heap block (32 bytes) per call grows the process by 6 MB over
# 200,000 calls; 2 MiB stays above the allocator's noise.
RSS_TOLERANCE = 2 * 1024 * 1024

SCENARIOS = [
    "getitem known",
    "getitem composed",
    "getitem unknown",
    "get default",
    "embedding out",
    "embedding wrong out",
    "contains",
    "index",
    "index unknown",
    "words",
    "norms and matrix",
    "quantized matrix",
    "embed",
    "embed out threads",
    "embed bad word",
    "similar",
    "similar vector",
    "similar unknown",
    "analogy",
    "reconstruct",
    "load",
    "load missing",
    "pickle",
    "word buffers",
    "write rows",
    "write rows failing",
]


THREADED = {"embed out threads", "similar vector"}


@pytest.mark.parametrize("name", SCENARIOS)
def test_no_growth(tmp_path, fixture_dir, name):
    results = tmp_path / "results.json"
    files = [
        fixture_dir["simple-dense-meta-norms"],
        fixture_dir["fasttext-dense-meta"],
        fixture_dir["fasttext-quantized-projection-norms"],
    ]
    env = child_environment()
    env["PYTHONPATH"] += os.pathsep + str(SUPPORT_DIR)
    child = subprocess.run(
        [sys.executable, str(RUNNER), name, str(CALLS), *files, str(results)],
        env=env,
        capture_output=True,
        timeout=900,
    )
    assert child.returncode == 0, child.stderr.decode(errors="replace")[-3000:]
    report = json.loads(results.read_text())
    assert report["refs"][1] == report["refs"][0]
    assert report["fds"][1] == report["fds"][0]
    # AddressSanitizer maps memory of its own for threads it has seen start.
    if not (SANITIZED and name in THREADED):
        assert report["maps"][1] == report["maps"][0]
    if not SANITIZED:
        assert report["rss"][1] - report["rss"][0] <= RSS_TOLERANCE


def query_calls(e, words):
    """Every query method, each as name -> call(e, threads) on fixed
    arguments; texts and masks are built once, outside the threads."""
    known = [w for w in words if w in e][:40]
    mask = np.zeros(len(e), dtype=bool)
    mask[::3] = True
    vectors = np.stack([e[w] for w in known[:8]]) * np.float32(1.5)
    texts = [" ".join(known[i : i + 5]) for i in range(0, 40, 5)] + ["", "zzz sofware"]
    return {
        "similar": lambda e, t: e.similar(known[:2], 7, negative=known[2], threads=t),
        "similar restricted": lambda e, t: e.similar(known[3], 5, restrict=50, threads=t),
        "similar allow-list": lambda e, t: e.similar(vectors[0], 5, restrict=known[10:30], threads=t),
        "analogy add": lambda e, t: e.analogy(known[4], known[5], known[6], 5, threads=t),
        "analogy mul": lambda e, t: e.analogy(known[4], known[5], "warrantie", 5, method="mul", threads=t),
        "nearest words": lambda e, t: e.nearest(known + ["sofware"], 6, threads=t),
        "nearest vectors": lambda e, t: e.nearest(vectors, 6, restrict=mask, threads=t),
        "similarity": lambda e, t: e.similarity(known[7], "licence"),
        "doesnt_match": lambda e, t: e.doesnt_match(known[8:14] + ["zzz"]),
        "mean_vector": lambda e, t: e.mean_vector(
            known[14:20] + [vectors[1]], weights=[1, 2, 3, 4, 5, 6, -1]
        ),
        "mean_vectors": lambda e, t: e.mean_vectors(texts, threads=t),
    }


def same(got, want):
    """Equal, floats bit for bit (NaN included)."""
    if isinstance(got, np.ndarray):
        return (
            got.dtype == want.dtype
            and got.shape == want.shape
            and np.array_equal(got.view(np.uint8), want.view(np.uint8))
        )
    if isinstance(got, tuple) and isinstance(got[0], np.ndarray):
        return all(same(g, w) for g, w in zip(got, want))
    return got == want or (isinstance(got, float) and got != got and want != want)


@pytest.mark.parametrize("storage", ["dense", "quantized"])
def test_eight_threads_get_the_single_threaded_answers(converted_models, tmp_path, storage):
    path = converted_models["demo-skipgram"]
    if storage == "quantized":
        # Searched over its codes, with row lengths computed on first use.
        pytest.importorskip("faiss")  # which makes the quantized file
        quantized = tmp_path / "demo-pq.fifu"
        mave.quantize(path, quantized, subquantizers=8, opq=False, seed=1)
        path = str(quantized)
    reference = mave.load(path)
    words = list(reference.words)[:300] + ["sofware", "warrantie", "licence", "zzz"]
    expected_rows, expected_found = reference.embed(words, threads=1)
    expected_single = {w: reference.get(w) for w in words}
    calls = query_calls(reference, words)
    expected_calls = {name: call(reference, 1) for name, call in calls.items()}
    names = list(calls)
    shared = [mave.load(path)]  # threads replace this object while others use it
    errors = []

    def worker(seed):
        rng = np.random.default_rng(seed)
        try:
            for step in range(150):
                e = shared[0]
                kind = rng.integers(0, 4)
                if kind == 0:
                    rows, found = e.embed(words, threads=int(rng.integers(1, 3)))
                    assert np.array_equal(rows.view(np.uint32), expected_rows.view(np.uint32))
                    assert np.array_equal(found, expected_found)
                elif kind == 1:
                    name = names[rng.integers(0, len(names))]
                    got = calls[name](e, int(rng.integers(1, 3)))
                    assert same(got, expected_calls[name]), name
                elif kind == 2:
                    w = words[rng.integers(0, len(words))]
                    v, want = e.get(w), expected_single[w]
                    assert (v is None) == (want is None)
                    assert v is None or np.array_equal(v.view(np.uint32), want.view(np.uint32))
                else:
                    # Drop this thread's reference and the shared one: calls
                    # still running on the old object must keep it alive, and
                    # the new one computes its row lengths while others search.
                    del e
                    shared[0] = mave.load(path)
        except BaseException as error:  # noqa: B036 - reported to the main thread
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors[0]


REFUSED_THREADS_CHILD = """
import sys, threading
import numpy as np
import mave
try:
    threading.Thread(target=lambda: None).start()
except RuntimeError:
    pass
else:
    sys.exit("the system started a thread")
src, dst, out = sys.argv[1:]
mave.convert(src, dst, normalize=False)
e = mave.load(dst)
vectors, found = e.embed(list(e.words)[:5000] + ["zzz"], threads=4)
rows, cosines = e.nearest(vectors[:64], 5, threads=2)
np.savez(out, vectors=vectors, found=found, rows=rows, cosines=cosines)
"""


def test_work_meant_for_threads_the_system_refuses_runs_on_the_calling_thread(tmp_path):
    # Every thread of the child asks for a stack of 64 TiB (the stack limit),
    # which no system gives, so none starts: conversion (the text reader's
    # blocks), lookups and the search must still do all their work.
    import resource

    rng = np.random.default_rng(3)
    table = rng.standard_normal((30000, 48)).astype(np.float32)
    src = tmp_path / "large.vec"
    with open(src, "w") as f:
        f.write(f"{len(table)} 48\n")
        for i, row in enumerate(table):
            f.write(f"w{i} " + " ".join(map(repr, row.tolist())) + "\n")
    assert src.stat().st_size > 8 << 20  # a block of the reader is worth two threads

    def refuse_threads():
        resource.setrlimit(resource.RLIMIT_STACK, (1 << 46, resource.RLIM_INFINITY))

    env = child_environment()
    env["OPENBLAS_NUM_THREADS"] = "1"  # the BLAS starts no pool of its own
    child = subprocess.run(
        [
            sys.executable,
            "-c",
            REFUSED_THREADS_CHILD,
            str(src),
            str(tmp_path / "alone.fifu"),
            str(tmp_path / "alone.npz"),
        ],
        env=env,
        preexec_fn=refuse_threads,
        capture_output=True,
        timeout=600,
    )
    assert child.returncode == 0, child.stderr.decode(errors="replace")[-3000:]
    mave.convert(src, tmp_path / "spread.fifu", normalize=False)
    assert (tmp_path / "alone.fifu").read_bytes() == (tmp_path / "spread.fifu").read_bytes()
    e = mave.load(tmp_path / "spread.fifu")
    vectors, found = e.embed(list(e.words)[:5000] + ["zzz"], threads=4)
    rows, cosines = e.nearest(vectors[:64], 5, threads=2)
    alone = np.load(tmp_path / "alone.npz")
    assert same(alone["vectors"], vectors) and same(alone["found"], found)
    assert same(alone["rows"], rows) and same(alone["cosines"], cosines)
