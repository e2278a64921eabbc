"""Approximate nearest neighbours: faiss HNSW (mave's index), hnswlib and
usearch against mave's exact `similar` on the same rows, in one run.

Each index is built once by a process of its own (`--build LIBRARY`; its
wall time, CPU time and peak memory kept beside the index file in
bench/out, git-ignored) and reused by later runs. The run then measures, in
interleaved rounds (best queries/s of the rounds, so that load from other
processes cancels out as far as it can; beside it the best CPU time of the
searching thread per query, which the other processes' load stretches far
less than wall time):

- exact: `e.similar(q, k=10, threads=1)` on a finalfusion file of the rows;
- mave: `e.similar(q, k=10, approximate=True)`, the index `mave index` builds
  (`--recall`, default 0.95), at the search breadth its build measured and
  stored;
- mave's overhead: the time of `similar(approximate=True)` less that of
  faiss's own `search` inside the same call (timed where mave calls it):
  the work mave does around faiss per query;
- each library at each search breadth (efSearch) and re-rank depth (the
  candidates asked for, as a multiple of k, re-ranked by exact cosine over
  the rows, as mave does), one query per call, one thread.

usearch is measured in a child process: its wheel brings its own C++
runtime, and once it is loaded the process no longer parses the floats of
a model's TOML metadata (mave.load fails), so it cannot share a process
with mave. Recall@10 is against the exact top 10 of mave's exact search
(`e.nearest`, which answers as `similar` does); the queries are fresh draws
of the rows' process, so none is a row.

The rows: drawn around a two-level hierarchy of cluster centres plus a
shared offset and noise, so that neighbours have cosines near those of
trained word vectors (0.5-0.8) rather than the near-orthogonal rows of
plain Gaussian noise.

    .venv/bin/python bench/ann_compare.py --rows 1000000 --dims 300
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARIES = ["faiss-sq8", "hnswlib", "usearch-i8"]


def draw(
    rng: np.random.Generator, n: int, tops: np.ndarray, subs: np.ndarray, shared: np.ndarray
) -> np.ndarray:
    dims = tops.shape[1]
    top = rng.zipf(1.3, n) % len(tops)
    sub = rng.integers(0, subs.shape[1], n)
    x = tops[top] + 0.7 * subs[top, sub] + 0.9 * rng.standard_normal((n, dims), np.float32) / np.sqrt(dims)
    return (x + shared).astype(np.float32)


def make_data(out: str, rows: int, dims: int, queries: int, seed: int) -> None:
    rng = np.random.default_rng(seed)
    n_top, n_sub = max(rows // 1000, 10), 30
    tops = rng.standard_normal((n_top, dims), np.float32) / np.sqrt(dims)
    subs = rng.standard_normal((n_top, n_sub, dims), np.float32) / np.sqrt(dims)
    shared = 0.3 * rng.standard_normal(dims).astype(np.float32) / np.sqrt(dims)
    base = np.concatenate(
        [draw(rng, min(100_000, rows - i), tops, subs, shared) for i in range(0, rows, 100_000)]
    )
    q = draw(rng, queries, tops, subs, shared)
    np.save(os.path.join(out, "base.npy"), base)
    np.save(os.path.join(out, "queries.npy"), q)


def unit_rows(out: str, rows: int) -> np.ndarray:
    base = np.load(os.path.join(out, "base.npy"), mmap_mode="r")[:rows]
    unit = np.empty(base.shape, np.float32)
    for s in range(0, rows, 100_000):
        part = np.asarray(base[s : s + 100_000])
        unit[s : s + 100_000] = part / np.linalg.norm(part, axis=1, keepdims=True)
    return unit


def make_file(out: str, rows: int) -> str:
    """The rows as a finalfusion file (word i is "w<i>")."""
    import mave

    path = os.path.join(out, f"base-{rows}.fifu")
    if not os.path.exists(path):
        base = np.load(os.path.join(out, "base.npy"), mmap_mode="r")[:rows]
        mave.write(path + ".partial", (f"w{i}" for i in range(rows)), base)
        os.replace(path + ".partial", path)
    return path


def index_file(args: argparse.Namespace, library: str) -> str:
    if library == "faiss-sq8":  # the index mave builds and reads
        from mave import _index

        return _index.index_path(os.path.join(args.out, f"base-{args.rows}.fifu"))
    return os.path.join(args.out, f"index-{library}-{args.rows}-M{args.m}-ef{args.ef_construction}")


def build(args: argparse.Namespace, library: str) -> None:
    """Builds one index in this process and writes its figures beside it."""
    path = index_file(args, library)
    start, cpu = time.perf_counter(), time.process_time()
    if library == "faiss-sq8":
        import mave
        from mave import _index

        assert (args.m, args.ef_construction) == (
            _index.CONNECTIVITY,
            _index.BUILD_BREADTH,
        ), "mave's index is built at mave's settings: change them in _index.py"
        _index.build_index(
            mave.load(make_file(args.out, args.rows)), threads=args.threads, recall=args.recall
        )
    else:
        unit = unit_rows(args.out, args.rows)
        if library == "hnswlib":
            import hnswlib

            index = hnswlib.Index(space="ip", dim=unit.shape[1])
            index.init_index(max_elements=len(unit), M=args.m, ef_construction=args.ef_construction)
            index.set_num_threads(args.threads)
            for s in range(0, len(unit), 100_000):
                index.add_items(unit[s : s + 100_000], np.arange(s, min(s + 100_000, len(unit))))
            index.save_index(path)
        else:
            from usearch.index import Index

            index = Index(
                ndim=unit.shape[1],
                metric="cos",
                dtype=library.split("-")[1],
                connectivity=args.m,
                expansion_add=args.ef_construction,
            )
            for s in range(0, len(unit), 100_000):
                index.add(
                    np.arange(s, min(s + 100_000, len(unit))), unit[s : s + 100_000], threads=args.threads
                )
            index.save(path)
    figures = {
        "build_s": round(time.perf_counter() - start, 1),
        "build_cpu_s": round(time.process_time() - cpu, 1),
        "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024,
        "file_mb": os.path.getsize(path) // 2**20,
        "threads": args.threads,
        "M": args.m,
        "efConstruction": args.ef_construction,
    }
    if library == "faiss-sq8":  # the breadth the build measured and stored
        calibration = _index.read_calibration(path)
        figures.update(
            breadth=calibration.breadth, built_recall=calibration.recall, recall_asked=calibration.target
        )
    with open(path + ".json", "w") as f:
        json.dump(figures, f)


class Searcher:
    """One library's index, searched a query at a time, its candidates
    re-ranked by exact cosine over the unit rows."""

    def __init__(self, library: str, path: str, unit: np.ndarray) -> None:
        self.library, self.unit = library, unit
        if library == "hnswlib":
            import hnswlib

            self.index = hnswlib.Index(space="ip", dim=unit.shape[1])
            self.index.load_index(path)
            self.index.set_num_threads(1)
        elif library == "faiss-sq8":
            import faiss

            faiss.omp_set_num_threads(1)
            self.faiss = faiss
            self.index = faiss.read_index(path, faiss.IO_FLAG_MMAP_IFC | faiss.IO_FLAG_READ_ONLY)
        else:
            from usearch.index import Index

            self.index = Index.restore(path, view=True)

    def run(self, queries: np.ndarray, ef: int, depth: int, k: int) -> tuple[np.ndarray, float, float]:
        count = depth * k
        if self.library == "hnswlib":
            self.index.set_ef(max(ef, count))
            ask = lambda q: self.index.knn_query(q, k=count)[0][0]  # noqa: E731
        elif self.library == "faiss-sq8":
            params = self.faiss.SearchParametersHNSW(efSearch=max(ef, count))
            ask = lambda q: self.index.search(q[None, :], count, params=params)[1][0]  # noqa: E731
        else:
            self.index.expansion_search = max(ef, count)
            ask = lambda q: self.index.search(q, count, threads=1).keys  # noqa: E731
        found = np.full((len(queries), k), -1, np.int64)
        start, cpu = time.perf_counter(), time.thread_time()
        for i, q in enumerate(queries):
            cand = np.sort(np.asarray(ask(q), np.int64))
            cand = cand[cand >= 0]
            best = cand[np.argsort(-(self.unit[cand] @ q), kind="stable")[:k]]
            found[i, : len(best)] = best
        return (
            found,
            len(queries) / (time.perf_counter() - start),
            (time.thread_time() - cpu) / len(queries) * 1e6,
        )


def child(args: argparse.Namespace) -> None:
    """Searches one library for the parent, a line of JSON per request on
    stdin: {"ef", "depth"} -> {"qps", "found"}."""
    unit = unit_rows(args.out, args.rows)
    queries = np.load(os.path.join(args.out, "queries.npy"))[: args.queries]
    queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    searcher = Searcher(args.child, index_file(args, args.child), unit)
    print(json.dumps({"ready": True}), flush=True)
    for line in sys.stdin:
        ask = json.loads(line)
        found, qps, cpu_us = searcher.run(queries, ask["ef"], ask["depth"], args.k)
        print(json.dumps({"qps": qps, "cpu_us": cpu_us, "found": found.tolist()}), flush=True)


class Child:
    def __init__(self, args: argparse.Namespace, library: str) -> None:
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--child", library, *forwarded(args)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        assert json.loads(self.process.stdout.readline())["ready"]

    def run(self, queries: np.ndarray, ef: int, depth: int, k: int) -> tuple[np.ndarray, float, float]:
        self.process.stdin.write(json.dumps({"ef": ef, "depth": depth}) + "\n")
        self.process.stdin.flush()
        answer = json.loads(self.process.stdout.readline())
        return np.array(answer["found"], np.int64), answer["qps"], answer["cpu_us"]

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait()


def forwarded(args: argparse.Namespace) -> list[str]:
    return [
        "--rows",
        str(args.rows),
        "--dims",
        str(args.dims),
        "--out",
        args.out,
        "--queries",
        str(args.queries),
        "--k",
        str(args.k),
        "--m",
        str(args.m),
        "--ef-construction",
        str(args.ef_construction),
        "--threads",
        str(args.threads),
    ]


class TimedGraph:
    """faiss's index with its `search` timed (wall and this thread's CPU
    time), everything else passed through."""

    def __init__(self, graph) -> None:
        self.graph, self.wall, self.cpu = graph, 0.0, 0.0

    def __getattr__(self, name: str):
        return getattr(self.graph, name)

    def search(self, *args, **kwargs):
        start, began = time.perf_counter(), time.thread_time()
        try:
            return self.graph.search(*args, **kwargs)
        finally:
            self.wall += time.perf_counter() - start
            self.cpu += time.thread_time() - began


def overhead(e, qs: np.ndarray, k: int, rounds: int) -> dict[str, float]:
    """µs per query of `similar(q, k, approximate=True)` and, inside the
    same call, of faiss's own `search` (its graph's search timed where mave
    calls it): the difference is mave's work around faiss, measured on the
    same inputs in the same cache state (a separate call of faiss's search
    before or after would find the query's graph neighbourhood already
    cached, or leave it cached, and move the difference by 100 µs and
    more). The mean of the best of `rounds` rounds, in wall time and in this
    thread's CPU time, and the median over every query of every round."""
    from mave import _index

    index = _index.open_index(e)
    timed = TimedGraph(index._index)
    index._index = timed
    best: dict[str, float] = {}
    overheads: list[float] = []
    try:
        for _ in range(rounds):
            wall = cpu = 0.0
            timed.wall = timed.cpu = 0.0
            for q in qs:
                inside = timed.wall
                start, began = time.perf_counter(), time.thread_time()
                e.similar(q, k, approximate=True)
                took = time.perf_counter() - start
                wall += took
                cpu += time.thread_time() - began
                overheads.append(took - (timed.wall - inside))
            n = len(qs)
            for key, value in [
                ("similar_us", wall),
                ("similar_cpu_us", cpu),
                ("faiss_us", timed.wall),
                ("faiss_cpu_us", timed.cpu),
                ("overhead_us", wall - timed.wall),
                ("overhead_cpu_us", cpu - timed.cpu),
            ]:
                best[key] = min(best.get(key, np.inf), value / n * 1e6)
    finally:
        index._index = timed.graph
    best["overhead_median_us"] = float(np.median(overheads)) * 1e6
    return {key: round(value, 1) for key, value in best.items()}


def recall(found: np.ndarray, truth: np.ndarray) -> float:
    return float(
        np.mean([len(set(f.tolist()) & set(t.tolist())) / truth.shape[1] for f, t in zip(found, truth)])
    )


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--dims", type=int, default=300)
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--exact-queries", type=int, default=50, help="queries per round for exact search")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--seed", type=int, default=23)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--m", type=int, default=16, help="graph degree (M, connectivity)")
    p.add_argument("--ef-construction", type=int, default=100)
    p.add_argument("--ef", type=int, nargs="+", default=[32, 64, 128, 256], help="search breadths")
    p.add_argument(
        "--depth", type=int, nargs="+", default=[1, 3], help="candidates re-ranked, as multiples of k"
    )
    p.add_argument("--threads", type=int, default=2, help="threads for building")
    p.add_argument(
        "--recall",
        type=float,
        default=0.95,
        help="the recall mave's index is built for (mave index --recall)",
    )
    p.add_argument("--libraries", nargs="*", default=LIBRARIES)
    p.add_argument("--out", default=None)
    p.add_argument("--json", default=None)
    p.add_argument("--build", metavar="LIBRARY", help="build this index only (used by the run)")
    p.add_argument("--child", metavar="LIBRARY", help=argparse.SUPPRESS)
    p.add_argument("--data-only", action="store_true", help="generate the data and stop")
    args = p.parse_args()
    args.out = args.out or os.path.join(HERE, "out", f"ann-{args.dims}")
    os.makedirs(args.out, exist_ok=True)
    if args.child:
        child(args)
        return 0
    if not os.path.exists(os.path.join(args.out, "queries.npy")):
        start = time.perf_counter()
        make_data(args.out, max(args.rows, 1_000_000), args.dims, args.queries, args.seed)
        print(f"data generated in {time.perf_counter() - start:.0f} s", file=sys.stderr)
    if args.data_only:
        return 0
    if args.build:
        build(args, args.build)
        return 0
    import mave
    from mave import _index

    for library in args.libraries:
        if not os.path.exists(index_file(args, library) + ".json"):
            print(f"building {library} ...", file=sys.stderr, flush=True)
            subprocess.run([sys.executable, __file__, "--build", library, *forwarded(args)], check=True)
    e = mave.load(make_file(args.out, args.rows))
    e.matrix.sum()  # pages in, as a server that has run a while has them
    unit = unit_rows(args.out, args.rows)
    qs = np.load(os.path.join(args.out, "queries.npy"))[: args.queries]
    qs = qs / np.linalg.norm(qs, axis=1, keepdims=True)
    if not args.libraries:  # exact search alone: its own queries only
        qs = qs[: args.exact_queries]
    truth_path = os.path.join(args.out, f"truth-{args.rows}-{len(qs)}.npy")
    if not os.path.exists(truth_path):
        np.save(truth_path, e.nearest(qs, k=args.k)[0])
    truth = np.load(truth_path)[:, : args.k]

    searchers: dict[str, Searcher | Child] = {
        name: Child(args, name)
        if name.startswith("usearch")
        else Searcher(name, index_file(args, name), unit)
        for name in args.libraries
    }
    best: dict[tuple[str, int, int], float] = {}
    cpu: dict[tuple[str, int, int], float] = {}
    found: dict[tuple[str, int, int], np.ndarray] = {}

    def keep(key: tuple[str, int, int], rows: np.ndarray, qps: float, cpu_us: float) -> None:
        best[key] = max(best.get(key, 0.0), qps)
        cpu[key] = min(cpu.get(key, float("inf")), cpu_us)
        found[key] = rows

    def timed(ask, queries):
        """The answers, queries per second and CPU µs per query (this
        thread's: every search here runs on it)."""
        start, began = time.perf_counter(), time.thread_time()
        answers = [ask(q) for q in queries]
        return (
            answers,
            len(queries) / (time.perf_counter() - start),
            (time.thread_time() - began) / len(queries) * 1e6,
        )

    n = args.exact_queries
    for round_ in range(args.rounds):
        began = time.perf_counter()
        answers, qps, cpu_us = timed(lambda q: e.similar(q, k=args.k, threads=1), qs[:n])
        keep(("exact", 0, 0), np.array([[e.index(w) for w, _ in a] for a in answers]), qps, cpu_us)
        if "faiss-sq8" in args.libraries:
            answers, qps, cpu_us = timed(lambda q: e.similar(q, k=args.k, approximate=True), qs)
            keep(
                ("mave", _index.open_index(e).breadth, _index.OVERSAMPLE),
                np.array([[e.index(w) for w, _ in a] for a in answers]),
                qps,
                cpu_us,
            )
        for name, searcher in searchers.items():
            for ef in args.ef:
                for depth in args.depth:
                    keep((name, ef, depth), *searcher.run(qs, ef, depth, args.k))
        print(
            f"round {round_ + 1} of {args.rounds}: {time.perf_counter() - began:.0f} s",
            file=sys.stderr,
            flush=True,
        )
    for searcher in searchers.values():
        if isinstance(searcher, Child):
            searcher.close()

    exact_qps, exact_cpu = best[("exact", 0, 0)], cpu[("exact", 0, 0)]
    results = []
    for (name, ef, depth), qps in best.items():
        rows = found[(name, ef, depth)]
        row = {
            "library": name,
            "rows": args.rows,
            "ef": ef or None,
            "depth": depth or None,
            "recall@10": round(recall(rows, truth[: len(rows)]), 4),
            "qps": round(qps, 1),
            "us_per_query": round(1e6 / qps, 1),
            "x_exact": round(qps / exact_qps, 1),
            "cpu_us_per_query": round(cpu[(name, ef, depth)], 1),
            "x_exact_cpu": round(exact_cpu / cpu[(name, ef, depth)], 1),
        }
        built = index_file(args, "faiss-sq8" if name == "mave" else name) + ".json"
        if name != "exact" and os.path.exists(built):
            with open(built) as f:
                row.update(json.load(f))
        results.append(row)
        print(json.dumps(row), flush=True)
    if "faiss-sq8" in args.libraries:
        row = {"library": "mave overhead", **overhead(e, qs, args.k, args.rounds)}
        results.append(row)
        print(json.dumps(row), flush=True)
    print(f"load average: {os.getloadavg()}", file=sys.stderr)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
