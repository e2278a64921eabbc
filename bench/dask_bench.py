#!/usr/bin/env python3
"""Throughput of mave.dask.embed_texts on a local Dask cluster of 1 and of 2
worker processes (one thread each), against mave.dask.mean_vectors in one
process without Dask, on the same generated data in one run; and each
worker's memory against the size of the matrix.

Usage (from the repository, with the package built, e.g. by bench/run.sh's
build or `PYTHONPATH=build/test`):
    bench/dask_bench.py [--words N] [--dims D] [--texts T] [--tokens K]
                        [--partitions P] [--rounds R] [--seed S] [--json FILE]

The texts are written as text files (one text a line, one file a partition)
that the workers read themselves, so that the client does not ship them; the
results stay on the workers (persist), so that the time is the embedding's,
not the transfer of the vectors back. Nothing here fails on time.
"""

import argparse
import json
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

MIB = 2**20
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import fifu_files  # noqa: E402
from run import machine  # noqa: E402


def make_data(out, words, dims, texts, tokens, partitions, seed):
    """The embeddings file and the text files, reused when already there."""
    out.mkdir(parents=True, exist_ok=True)
    tag = f"{words}x{dims}-{texts}x{tokens}-{partitions}-{seed}"
    path = out / f"dask-{tag}.fifu"
    text_dir = out / f"dask-texts-{tag}"
    if path.exists() and text_dir.exists():
        return path, sorted(text_dir.glob("*.txt"))
    rng = np.random.default_rng(seed)
    vocab = [f"w{i}" for i in range(words)]
    matrix = rng.standard_normal((words, dims), dtype=np.float32)
    fifu_files.write_dense(path, [w.encode() for w in vocab], matrix)
    text_dir.mkdir(exist_ok=True)
    picks = rng.integers(0, words, size=(texts, tokens))
    # One token in ten has no vector: a misspelling of a vocabulary word.
    unknown = rng.random((texts, tokens)) < 0.1
    lines = [
        " ".join(vocab[j] + ("x" if u else "") for j, u in zip(row, miss))
        for row, miss in zip(picks, unknown)
    ]
    per_file = -(-texts // partitions)
    for k in range(partitions):
        part = lines[k * per_file : (k + 1) * per_file]
        (text_dir / f"part-{k:04d}.txt").write_text("\n".join(part) + "\n")
    return path, sorted(text_dir.glob("*.txt"))


def import_mave():
    import dask.bag  # noqa: F401

    import mave.dask  # noqa: F401


def cpu_seconds():
    t = os.times()
    return t.user + t.system


def held_keys(dask_worker):
    return len(dask_worker.data)


def time_cluster(n_workers, path, files, rounds):
    import dask.bag as db
    import distributed

    import mave
    import mave.dask

    e = mave.load(path)
    with (
        distributed.LocalCluster(
            n_workers=n_workers,
            processes=True,
            threads_per_worker=1,
            dashboard_address=None,
            memory_limit=None,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        client.run(import_mave)
        before = mave.dask.worker_memory(client, e)

        def one_round(count=False):
            texts = db.read_text([str(f) for f in files]).map(str.rstrip)
            vectors = mave.dask.embed_texts(texts, e).persist()
            distributed.wait(vectors)
            return vectors.compute_chunk_sizes().shape[0] if count else None

        # Warm-up: imports, the file opened once per worker.
        n_texts = one_round(count=True)
        times = []
        cpu_before = sum(client.run(cpu_seconds).values())
        for _ in range(rounds):
            start = time.perf_counter()
            one_round()
            times.append(time.perf_counter() - start)
        # The cores the workers got: on a shared machine, fewer than asked for.
        cores_used = (sum(client.run(cpu_seconds).values()) - cpu_before) / sum(times)
        # What a worker keeps once the results are gone: the released
        # results are not the matrix's memory.
        deadline = time.monotonic() + 60
        while any(client.run(held_keys).values()) and time.monotonic() < deadline:
            time.sleep(0.2)
        after = mave.dask.worker_memory(client, e)
    memory = [{**now, "private_growth": now["private"] - before[w]["private"]} for w, now in after.items()]
    return n_texts, statistics.median(times), cores_used, memory


def time_one_process(path, files, rounds):
    import mave
    import mave.dask

    e = mave.load(path)
    texts = [line.rstrip() for f in files for line in f.read_text().splitlines()]
    mave.dask.mean_vectors(texts, e, threads=1)
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        mave.dask.mean_vectors(texts, e, threads=1)
        times.append(time.perf_counter() - start)
    return len(texts), statistics.median(times)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--words", type=int, default=500_000)
    p.add_argument("--dims", type=int, default=300)
    p.add_argument("--texts", type=int, default=200_000)
    p.add_argument("--tokens", type=int, default=12)
    p.add_argument("--partitions", type=int, default=32)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--out", type=Path, default=HERE / "out")
    p.add_argument("--json", type=Path)
    args = p.parse_args(argv)

    path, files = make_data(
        args.out, args.words, args.dims, args.texts, args.tokens, args.partitions, args.seed
    )
    matrix_kib = args.words * args.dims * 4 // 1024
    n, one = time_one_process(path, files, args.rounds)
    results = {"one process, no Dask (mean_vectors, 1 thread)": (one, None)}
    memory = {}
    for workers in (1, 2):
        n_cluster, seconds, cores, memory[workers] = time_cluster(workers, path, files, args.rounds)
        assert n_cluster == n, (n_cluster, n)
        results[f"Dask, {workers} worker process{'es' if workers > 1 else ''}"] = (seconds, cores)

    import dask
    import mave

    print(
        f"{machine()}, load average {os.getloadavg()[0]:.1f}; python {sys.version.split()[0]}, numpy {np.__version__}, "
        f"dask {dask.__version__}, mave {mave.__version__}"
    )
    print(
        f"{n:,} texts of {args.tokens} tokens (1 in 10 unknown), {args.partitions} partitions; "
        f"{args.words:,} words x {args.dims} dims (matrix {matrix_kib / 1024:.0f} MiB); "
        f"median of {args.rounds} rounds"
    )
    print("command: bench/dask_bench.py " + " ".join(argv))
    print()
    print(
        "| run | seconds | texts/s | tokens/s | vs 1 worker | cores the workers got | "
        "tokens per worker CPU second |"
    )
    print("|---|---|---|---|---|---|---|")
    base = results["Dask, 1 worker process"][0]
    for name, (seconds, cores) in results.items():
        got, per_cpu = "-", "-"
        if cores is not None:
            got, per_cpu = f"{cores:.2f}", f"{n * args.tokens / seconds / cores:,.0f}"
        print(
            f"| {name} | {seconds:.2f} | {n / seconds:,.0f} | {n * args.tokens / seconds:,.0f} | "
            f"{base / seconds:.2f}x | {got} | {per_cpu} |"
        )
    print()
    print(
        "| workers | worker | private memory (growth) | mapped file resident | "
        "mapped file proportional (Pss) | matrix |"
    )
    print("|---|---|---|---|---|---|")
    for workers, rows in memory.items():
        for k, m in enumerate(rows):
            print(
                f"| {workers} | {k + 1} | {m['private'] / MIB:.0f} MiB "
                f"(+{m['private_growth'] / MIB:.0f} MiB) | {m['mapped'] / MIB:.0f} MiB | "
                f"{m['mapped_proportional'] / MIB:.0f} MiB | {matrix_kib / 1024:.0f} MiB |"
            )
    if args.json:
        args.json.write_text(json.dumps({"results": results, "memory": memory, "texts": n}, indent=1))


if __name__ == "__main__":
    main(sys.argv[1:])
