#!/usr/bin/env python3
"""Throughput of mave.ray.Encoder in Ray Data's map_batches on a local Ray
cluster of 2 CPUs with 1 and with 2 actors, against e.encode in one process
without Ray, on the same generated data in one run; and each actor's private
memory (USS) against the size of the model's table.

Usage (from the repository, with the package built, e.g.
`PYTHONPATH=build/test`):
    bench/ray_bench.py [--words N] [--dims D] [--texts T] [--tokens K]
                       [--blocks B] [--batch-size S] [--rounds R] [--seed S]
                       [--json FILE]

The texts are put in Ray's object store as Arrow blocks before the clock
starts; the vectors stay there (materialize), so that the time is the
encoding's, not the transfer back. Each round makes its actors anew: the
time of a whole round includes starting them and opening the model, and the
time from the first batch to the last (the actors write down when they ran
batches) does not. The
driver keeps the model mapped throughout: the matrix pages an actor reads are
then shared pages, and an actor's USS is what it holds of its own. Nothing
here fails on time.
"""

import argparse
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

MIB = 2**20
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import fifu_files  # noqa: E402
from common import machine  # noqa: E402


def make_data(out, words, dims, texts, tokens, seed):
    """The model file (reused when already there) and the texts."""
    out.mkdir(parents=True, exist_ok=True)
    path = out / f"ray-{words}x{dims}-{seed}.fifu"
    rng = np.random.default_rng(seed)
    vocab = [f"w{i}" for i in range(words)]
    if not path.exists():
        matrix = rng.standard_normal((words, dims), dtype=np.float32)
        fifu_files.write_dense(path, [w.encode() for w in vocab], matrix)
    rng = np.random.default_rng(seed + 1)
    picks = rng.integers(0, words, size=(texts, tokens))
    # One token in ten has no vector: a misspelling of a vocabulary word.
    unknown = rng.random((texts, tokens)) < 0.1
    lines = [
        " ".join(vocab[j] + ("x" if u else "") for j, u in zip(row, miss))
        for row, miss in zip(picks, unknown)
    ]
    return path, lines


def cpu_seconds():
    t = os.times()
    return t.user + t.system


def process_memory(path):
    """USS (psutil), anonymous resident memory, and the resident and
    proportional pages of the model file's mappings (Linux)."""
    import psutil

    status = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "RssAnon"):
                status[key] = int(value.split()[0]) * 1024
    mapped = {"Rss": 0, "Pss": 0}
    store = 0
    real, inside, shared_memory = os.path.realpath(path), False, False
    with open("/proc/self/smaps") as f:
        for line in f:
            fields = line.split(maxsplit=5)
            if not fields[0].endswith(":"):
                name = fields[5].rstrip("\n") if len(fields) == 6 else ""
                inside, shared_memory = name == real, name.startswith("/dev/shm/")
            elif inside and fields[0][:-1] in mapped:
                mapped[fields[0][:-1]] += int(fields[1]) * 1024
            elif shared_memory and fields[0] == "Rss:":
                store += int(fields[1]) * 1024
    return {
        "uss": psutil.Process().memory_full_info().uss,
        "resident": status["VmRSS"],
        "anonymous": status["RssAnon"],
        "mapped": mapped["Rss"],
        "mapped_proportional": mapped["Pss"],
        "store": store,
    }


def measuring_encoder():
    """mave.ray.Encoder that writes, after each batch, the CPU seconds its
    actor spent on batches (and with `memory`, its memory) to a file of its
    own: what the actors did, read by the driver afterwards."""
    import mave.ray

    class MeasuringEncoder(mave.ray.Encoder):
        def __init__(self, model, *, record_dir, memory, **options):
            self.before = process_memory(model) if memory else {}
            start = time.perf_counter()
            super().__init__(model, **options)
            self.open_seconds = time.perf_counter() - start
            self.opened = process_memory(model) if memory else {}
            self.record = Path(record_dir) / f"actor-{os.getpid()}.json"
            self.memory = memory
            self.cpu = 0.0
            self.texts = 0
            self.first = None

        def __call__(self, batch):
            began, cpu = time.time(), cpu_seconds()
            out = super().__call__(batch)
            self.cpu += cpu_seconds() - cpu
            self.texts += out.num_rows
            self.first = began if self.first is None else self.first
            info = {
                "cpu": self.cpu,
                "texts": self.texts,
                "open_seconds": self.open_seconds,
                "first": self.first,
                "last": time.time(),
            }
            if self.memory:
                now = process_memory(self.embeddings.path)
                info.update(now, uss_before=self.before["uss"], uss_opened=self.opened["uss"])
            self.record.write_text(json.dumps(info))
            return out

    return MeasuringEncoder


def time_ray(ray, path, blocks, actors, batch_size, rounds, record_root):
    """Medians over rounds of: the seconds of a round (actors started and the
    model opened included), the seconds from the first batch to the last,
    the cores the actors got meanwhile, the seconds to open the model in an
    actor; and each actor's memory after a last round."""
    encoder = measuring_encoder()
    wall, span, cores, opening = [], [], [], []
    for r in range(rounds + 2):
        # Round 0 warms the cluster (worker processes, imports); the last
        # round measures memory, which costs time.
        memory = r == rounds + 1
        record = Path(tempfile.mkdtemp(dir=record_root))
        ds = ray.data.from_arrow_refs(blocks).map_batches(
            encoder,
            fn_constructor_args=(path,),
            fn_constructor_kwargs={"record_dir": str(record), "memory": memory},
            batch_format="pyarrow",
            batch_size=batch_size,
            compute=ray.data.ActorPoolStrategy(size=actors),
        )
        start = time.perf_counter()
        done = ds.materialize()
        seconds = time.perf_counter() - start
        reports = [json.loads(f.read_text()) for f in record.glob("actor-*.json")]
        assert done.count() == sum(rep["texts"] for rep in reports)
        if memory:
            return [statistics.median(x) for x in (wall, span, cores, opening)] + [reports]
        if r > 0:
            wall.append(seconds)
            encoding = max(rep["last"] for rep in reports) - min(rep["first"] for rep in reports)
            span.append(encoding)
            cores.append(sum(rep["cpu"] for rep in reports) / encoding)
            opening += [rep["open_seconds"] for rep in reports]
        del done
    raise AssertionError("not reached")


def time_one_process(e, texts, rounds, threads):
    """Median seconds and the cores the process got meanwhile."""
    e.encode(texts[:1000], threads=threads)
    times, cores = [], []
    for _ in range(rounds):
        start, cpu = time.perf_counter(), cpu_seconds()
        e.encode(texts, threads=threads)
        times.append(time.perf_counter() - start)
        cores.append((cpu_seconds() - cpu) / times[-1])
    return statistics.median(times), statistics.median(cores)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--words", type=int, default=500_000)
    p.add_argument("--dims", type=int, default=300)
    p.add_argument("--texts", type=int, default=200_000)
    p.add_argument("--tokens", type=int, default=12)
    p.add_argument("--blocks", type=int, default=32)
    p.add_argument("--batch-size", type=int, default=4096)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--out", type=Path, default=HERE / "out")
    p.add_argument("--json", type=Path)
    args = p.parse_args(argv)

    import pyarrow as pa
    import ray

    import mave

    path, texts = make_data(args.out, args.words, args.dims, args.texts, args.tokens, args.seed)
    e = mave.load(path)  # kept open: the driver maps the file throughout
    table_bytes = e.to_arrow().nbytes
    matrix_bytes = args.words * args.dims * 4
    results = {}
    for threads in (1, 2):
        results[f"one process, no Ray (`e.encode`, {threads} thread{'s' if threads > 1 else ''})"] = (
            time_one_process(e, texts, args.rounds, threads)
        )

    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, object_store_memory=2 * 2**30)
    ray.data.DataContext.get_current().enable_progress_bars = False
    memory, opening = {}, {}
    try:
        table = pa.table({"text": texts})
        per = -(-len(texts) // args.blocks)
        blocks = [ray.put(table.slice(i, per)) for i in range(0, len(texts), per)]
        with tempfile.TemporaryDirectory() as record_root:
            for actors in (1, 2):
                wall, span, cores, opening[actors], memory[actors] = time_ray(
                    ray, str(path), blocks, actors, args.batch_size, args.rounds, record_root
                )
                name = f"Ray Data, {actors} actor{'s' if actors > 1 else ''}"
                results[name + ", first batch to last"] = (span, cores)
                results[name + ", whole round (actors started)"] = (wall, None)
    finally:
        ray.shutdown()

    n = len(texts)
    print(
        f"{machine()}, load average {os.getloadavg()[0]:.1f}; python {sys.version.split()[0]}, "
        f"numpy {np.__version__}, pyarrow {pa.__version__}, ray {ray.__version__}, "
        f"mave {mave.__version__}"
    )
    print(
        f"{n:,} texts of {args.tokens} tokens (1 in 10 unknown), {args.blocks} blocks, batches of "
        f"{args.batch_size}; {args.words:,} words x {args.dims} dims (matrix {matrix_bytes / MIB:.0f} MiB, "
        f"e.to_arrow() {table_bytes / MIB:.0f} MiB); median of {args.rounds} rounds"
    )
    print("command: bench/ray_bench.py " + " ".join(argv))
    print()
    print("| run | seconds | texts/s | vs e.encode (1 thread) | cores it got | " "texts per CPU second |")
    print("|---|---|---|---|---|---|")
    base = next(iter(results.values()))[0]
    for name, (seconds, cores) in results.items():
        got, per_cpu = "-", "-"
        if cores is not None:
            got, per_cpu = f"{cores:.2f}", f"{n / seconds / cores:,.0f}"
        print(f"| {name} | {seconds:.2f} | {n / seconds:,.0f} | {base / seconds:.2f}x | {got} | {per_cpu} |")
    print()
    print(
        "Opening the model in an actor (median): "
        + ", ".join(f"{actors} actor{'s' if actors > 1 else ''} {s:.2f} s" for actors, s in opening.items())
    )
    print()
    print(
        "| actors | actor | texts | USS before opening the model | opened | after the last "
        "batch | of which object store pages | anonymous resident | mapped file resident | "
        "mapped file proportional (Pss) | table (e.to_arrow()) |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for actors, rows in memory.items():
        for k, m in enumerate(sorted(rows, key=lambda m: -m["texts"])):
            print(
                f"| {actors} | {k + 1} | {m['texts']:,} | {m['uss_before'] / MIB:.0f} MiB | "
                f"{m['uss_opened'] / MIB:.0f} MiB | {m['uss'] / MIB:.0f} MiB | "
                f"{m['store'] / MIB:.0f} MiB | {m['anonymous'] / MIB:.0f} MiB | "
                f"{m['mapped'] / MIB:.0f} MiB | {m['mapped_proportional'] / MIB:.0f} MiB | "
                f"{table_bytes / MIB:.0f} MiB |"
            )
    if args.json:
        args.json.write_text(
            json.dumps(
                {
                    "results": results,
                    "memory": memory,
                    "opening": opening,
                    "texts": n,
                    "table_bytes": table_bytes,
                },
                indent=1,
            )
        )


if __name__ == "__main__":
    main(sys.argv[1:])
