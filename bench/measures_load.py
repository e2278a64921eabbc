"""Measures of loading a file:

load       _mave.FfModel of a dense file against gensim's KeyedVectors.load
           (mmap='r') and the C++ floor (bench/load_floor.cpp); resident memory
           and the matrix pages touched
mave-load  mave.load against _mave.FfModel of the same file
"""

import gc
import os
import subprocess

from common import log, mapped_rss_kib, median, read_lines, recache, rounds_of, rss_kib, x

# ---------------------------------------------------------------------------
# Workers (child processes)


def worker_load(job):
    """Load time, resident memory after one load, and the matrix pages the
    loader touched (none should be)."""
    tool, path = job["tool"], job["path"]
    if tool == "mave":
        import _mave

        def load():
            return _mave.FfModel(path)
    else:
        from gensim.models import KeyedVectors

        def load():
            return KeyedVectors.load(path, mmap="r")

    matrix_path = path if tool == "mave" else path + ".vectors.npy"
    gc.collect()
    before = rss_kib()
    model = load()
    after = rss_kib()
    result = {"rss_growth_kib": after - before, "matrix_rss_after_load_kib": mapped_rss_kib(matrix_path)}
    import numpy as np

    words = read_lines(job["queries"], 1000)
    if tool == "mave":
        a = np.zeros(model.get_dims(), np.float32)
        for w in words:
            model.load_embedding(w, a)
    else:
        for w in words:
            model[w]
    result["matrix_rss_after_1000_lookups_kib"] = mapped_rss_kib(matrix_path)
    del model

    def run():
        load()

    result["ns"] = rounds_of(run, job["rounds"])
    return result


def worker_load_both(job):
    """mave.load and _mave.FfModel of the same file, interleaved."""
    import _mave
    import mave

    result = {"mave_ns": [], "pinned_ns": []}
    for _ in range(job["rounds"]):
        result["mave_ns"] += rounds_of(lambda: mave.load(job["path"]), 1, warmup=not result["mave_ns"])
        result["pinned_ns"] += rounds_of(
            lambda: _mave.FfModel(job["path"]), 1, warmup=not result["pinned_ns"]
        )
    return result


# ---------------------------------------------------------------------------
# The parent


def measure_load(args, runner, table, dense):
    log("load: FfModel against KeyedVectors.load")
    path = str(dense / "model.fifu")
    recache(path)
    recache(dense / "gensim.kv.vectors.npy")
    queries = str(dense / "known.txt")
    ours = runner.child(
        worker_load, {"tool": "mave", "path": path, "queries": queries, "rounds": args.rounds}
    )
    peer = runner.child(
        worker_load,
        {"tool": "gensim", "path": str(dense / "gensim.kv"), "queries": queries, "rounds": args.rounds},
    )
    probe = subprocess.run(
        [str(args.build_dir / "bench" / "mave_bench_load"), path, str(args.rounds)],
        capture_output=True,
        text=True,
        check=True,
    )
    floors = {}
    for line in probe.stdout.splitlines():
        name, *values = line.split()
        floors[name] = [int(v) for v in values]
    t_ours, t_peer = median(ours["ns"]) / 1e6, median(peer["ns"]) / 1e6
    t_floor, t_core = floors["floor"][0] / 1e6, floors["core"][0] / 1e6
    table.add(
        "load",
        f"load FfModel ({args.words} x {args.dims} dense) vs " "KeyedVectors.load(mmap='r')",
        "ms",
        t_ours,
        t_peer,
        None,
        f"{t_floor:.2f} (C++ vocab read + hash set)",
        f"peer/mave {x(t_peer / t_ours)}, mave/floor {x(t_ours / t_floor)}",
        ">=10x peer, <=3x floor",
        t_peer / t_ours >= 10 and t_ours / t_floor <= 3,
    )
    table.add(
        "load",
        "  the core's read_embeddings_mapped alone (C++, no Python)",
        "ms",
        t_core,
        None,
        None,
        f"{t_floor:.2f}",
        f"core/floor {x(t_core / t_floor)}",
    )
    word_bytes = os.path.getsize(dense / "words.txt") - args.words  # less the newlines
    growth = ours["rss_growth_kib"] * 1024
    per_word = (growth - word_bytes) / args.words
    table.add(
        "load",
        "resident memory growth per word beyond the words' bytes",
        "B/word",
        per_word,
        (peer["rss_growth_kib"] * 1024 - word_bytes) / args.words,
        None,
        f"words' bytes {word_bytes / args.words:.1f}/word",
        "",
        "<= 64 B/word",
        per_word <= 64,
    )
    table.add(
        "load",
        "matrix KiB mapped into the process after load (after 1000 lookups)",
        "KiB",
        f"{ours['matrix_rss_after_load_kib']} ({ours['matrix_rss_after_1000_lookups_kib']})",
        f"{peer['matrix_rss_after_load_kib']} ({peer['matrix_rss_after_1000_lookups_kib']})",
        None,
        f"matrix {args.words * args.dims * 4 // 1024} KiB",
        "",
        "0 after load",
        ours["matrix_rss_after_load_kib"] == 0,
    )


def measure_load_both(args, runner, table, dense):
    log("mave-load: mave.load against FfModel")
    recache(dense / "model.fifu")
    r = runner.child(worker_load_both, {"path": str(dense / "model.fifu"), "rounds": args.rounds})
    t, t_pinned = median(r["mave_ns"]) / 1e6, median(r["pinned_ns"]) / 1e6
    table.add(
        "mave-load",
        f"mave.load ({args.words} x {args.dims} dense) vs _mave.FfModel",
        "ms",
        t,
        None,
        None,
        f"{t_pinned:.1f} (FfModel)",
        f"mave/_mave {x(t / t_pinned)}",
        "<=1.1x _mave",
        t / t_pinned <= 1.1,
    )
