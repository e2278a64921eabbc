"""Approximate nearest neighbours: usearch, faiss HNSW and hnswlib against
exact search on the same rows.

For each library: build time (threads as given), the index's size on disk,
the resident memory the built index takes, and for each search breadth:
recall@10 against exact top 10 by cosine and queries per second, one thread,
one query per call (as a service asks). Exact search is mave's own
(`e.similar(vector, k=10, threads=1)`), on a finalfusion file of the same
rows. The top 10 of an index are re-ranked by exact cosine over the file's
rows before recall is counted, as `mave` does with them.

The data, generated once into bench/out/ann (git-ignored): rows drawn around
a two-level hierarchy of cluster centres plus a shared offset and noise, so
that neighbours have cosines near those of trained word vectors (0.5-0.8)
rather than the near-orthogonal rows of plain Gaussian noise; queries are
fresh draws of the same process. Ground truth is computed with NumPy.

    nice -n 10 .venv/bin/python bench/ann_compare.py --rows 1000000 --dims 300
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import sys
import time

import numpy as np
import psutil

HERE = os.path.dirname(os.path.abspath(__file__))


def draw(rng: np.random.Generator, n: int, tops: np.ndarray, subs: np.ndarray,
         shared: np.ndarray) -> np.ndarray:
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
    base = np.concatenate([draw(rng, min(100_000, rows - i), tops, subs, shared)
                           for i in range(0, rows, 100_000)])
    q = draw(rng, queries, tops, subs, shared)
    np.save(os.path.join(out, "base.npy"), base)
    np.save(os.path.join(out, "queries.npy"), q)


def unit_rows(out: str, rows: int) -> np.ndarray:
    base = np.load(os.path.join(out, "base.npy"), mmap_mode="r")[:rows]
    unit = np.empty(base.shape, np.float32)
    for s in range(0, rows, 100_000):
        part = np.asarray(base[s:s + 100_000])
        unit[s:s + 100_000] = part / np.linalg.norm(part, axis=1, keepdims=True)
    return unit


def exact_top(unit: np.ndarray, q: np.ndarray, k: int = 10) -> np.ndarray:
    """The rows of the k best cosines of each query, by NumPy."""
    qn = q / np.linalg.norm(q, axis=1, keepdims=True)
    best = np.full((len(q), k), -np.inf, np.float32)
    best_rows = np.zeros((len(q), k), np.int64)
    for start in range(0, len(unit), 50_000):
        scores = qn @ unit[start:start + 50_000].T
        top = np.argpartition(-scores, k, axis=1)[:, :k]
        cand = np.concatenate([best, np.take_along_axis(scores, top, 1)], 1)
        cand_rows = np.concatenate([best_rows, top + start], 1)
        order = np.argsort(-cand, axis=1, kind="stable")[:, :k]
        best = np.take_along_axis(cand, order, 1)
        best_rows = np.take_along_axis(cand_rows, order, 1)
    return best_rows


def make_file(out: str, rows: int) -> str:
    """The rows as a finalfusion file (unit rows, lengths in the norms)."""
    import mave
    path = os.path.join(out, f"base-{rows}.fifu")
    if not os.path.exists(path):
        base = np.load(os.path.join(out, "base.npy"), mmap_mode="r")[:rows]
        mave.write(path, (f"w{i}" for i in range(rows)), base)
    return path


def rss() -> int:
    gc.collect()
    return psutil.Process().memory_info().rss


def recall(found: np.ndarray, truth: np.ndarray) -> float:
    return float(np.mean([len(set(f.tolist()) & set(t.tolist())) / truth.shape[1]
                          for f, t in zip(found, truth)]))


def rerank(unit: np.ndarray, q: np.ndarray, cand: np.ndarray, k: int) -> np.ndarray:
    cand = cand[cand >= 0]
    scores = unit[np.sort(cand)] @ q
    return np.sort(cand)[np.argsort(-scores, kind="stable")[:k]]


def timed_queries(search, unit, qs, truth, k):
    found = []
    start = time.perf_counter()
    for q in qs:
        found.append(rerank(unit, q, search(q), k))
    seconds = time.perf_counter() - start
    return recall(np.array(found), truth), len(qs) / seconds


def run_library(name: str, unit: np.ndarray, qs: np.ndarray, truth: np.ndarray, args) -> list[dict]:
    out = os.path.join(args.out, f"index-{name}")
    before = rss()
    start = time.perf_counter()
    if name == "hnswlib":
        import hnswlib
        index = hnswlib.Index(space="ip", dim=unit.shape[1])
        index.init_index(max_elements=len(unit), M=args.m, ef_construction=args.ef_construction)
        index.set_num_threads(args.threads)
        for s in range(0, len(unit), 100_000):
            index.add_items(unit[s:s + 100_000], np.arange(s, min(s + 100_000, len(unit))))
        build = time.perf_counter() - start
        memory = rss() - before
        index.save_index(out)
        index.set_num_threads(1)

        def search_with(ef):
            index.set_ef(max(ef, args.k))
            return lambda q: index.knn_query(q, k=args.k)[0][0].astype(np.int64)
    elif name.startswith("faiss"):
        import faiss
        faiss.omp_set_num_threads(args.threads)
        if name == "faiss-sq8":
            # Rows as 8-bit codes; the file's codes memory-mapped when read.
            index = faiss.IndexHNSWSQ(unit.shape[1], faiss.ScalarQuantizer.QT_8bit, args.m,
                                      faiss.METRIC_INNER_PRODUCT)
            index.train(unit[:: max(1, len(unit) // 100_000)])
        else:
            index = faiss.IndexHNSWFlat(unit.shape[1], args.m, faiss.METRIC_INNER_PRODUCT)
        index.hnsw.efConstruction = args.ef_construction
        for s in range(0, len(unit), 100_000):
            index.add(np.ascontiguousarray(unit[s:s + 100_000]))
        build = time.perf_counter() - start
        memory = rss() - before
        faiss.write_index(index, out)
        del index
        gc.collect()
        index = faiss.read_index(out, faiss.IO_FLAG_MMAP_IFC)
        faiss.omp_set_num_threads(1)
        count = args.k if name == "faiss" else 3 * args.k

        def search_with(ef):
            params = faiss.SearchParametersHNSW(efSearch=max(ef, count))
            return lambda q: index.search(q[None, :], count, params=params)[1][0].astype(np.int64)
    else:
        from usearch.index import Index
        dtype = name.split("-")[1]
        index = Index(ndim=unit.shape[1], metric="cos", dtype=dtype, connectivity=args.m,
                      expansion_add=args.ef_construction)
        for s in range(0, len(unit), 100_000):
            index.add(np.arange(s, min(s + 100_000, len(unit))), unit[s:s + 100_000],
                      threads=args.threads)
        build = time.perf_counter() - start
        memory = rss() - before
        index.save(out)
        del index
        gc.collect()
        index = Index.restore(out, view=True)
        # i8 and f16 rows rank candidates roughly; exact cosine re-ranks 3k.
        count = args.k if dtype == "f32" else 3 * args.k

        def search_with(ef):
            index.expansion_search = max(ef, count)
            return lambda q: index.search(q, count, threads=1).keys.astype(np.int64)
    size = os.path.getsize(out)
    rows = []
    for ef in args.ef:
        r, qps = timed_queries(search_with(ef), unit, qs, truth, args.k)
        rows.append({"library": name, "rows": len(unit), "ef": ef, "recall@10": round(r, 4), "qps": round(qps, 1),
                     "build_s": round(build, 1), "memory_mb": round(memory / 2**20),
                     "file_mb": round(size / 2**20)})
        print(json.dumps(rows[-1]), flush=True)
    return rows


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--dims", type=int, default=300)
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--exact-queries", type=int, default=100)
    p.add_argument("--seed", type=int, default=23)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--m", type=int, default=16, help="graph degree (M, connectivity)")
    p.add_argument("--ef-construction", type=int, default=100)
    p.add_argument("--ef", type=int, nargs="+", default=[16, 32, 64, 128])
    p.add_argument("--threads", type=int, default=2, help="threads for building")
    p.add_argument("--libraries", nargs="*", default=["faiss-sq8", "usearch-i8", "hnswlib", "faiss", "usearch-f32"])
    p.add_argument("--out", default=None)
    p.add_argument("--json", default=None)
    p.add_argument("--subset", type=int, default=None, help="index only the first rows")
    p.add_argument("--no-exact", action="store_true", help="leave out mave's exact search")
    p.add_argument("--data-only", action="store_true", help="generate the data and stop")
    args = p.parse_args()
    args.out = args.out or os.path.join(HERE, "out", f"ann-{args.dims}")
    os.makedirs(args.out, exist_ok=True)
    if not os.path.exists(os.path.join(args.out, "queries.npy")):
        start = time.perf_counter()
        make_data(args.out, args.rows, args.dims, args.queries, args.seed)
        print(f"data generated in {time.perf_counter() - start:.0f} s", file=sys.stderr)
    if args.data_only:
        return 0
    rows = args.subset or args.rows
    unit = unit_rows(args.out, rows)
    qs = np.load(os.path.join(args.out, "queries.npy"))
    qs = qs / np.linalg.norm(qs, axis=1, keepdims=True)
    truth_path = os.path.join(args.out, f"truth-{rows}.npy")
    if not os.path.exists(truth_path):
        np.save(truth_path, exact_top(unit, qs))
    truth = np.load(truth_path)[:, :args.k]
    results = []
    if not args.no_exact:
        import mave
        e = mave.load(make_file(args.out, rows))
        e.matrix.sum()  # pages in, as a server that has run a while has them
        n = args.exact_queries
        start = time.perf_counter()
        exact = [[e.index(w) for w, _ in e.similar(q, k=args.k, threads=1)] for q in qs[:n]]
        exact_qps = n / (time.perf_counter() - start)
        results.append({"library": "exact (mave similar, 1 thread)", "rows": rows,
                        "recall@10": recall(np.array(exact), truth[:n]), "qps": round(exact_qps, 1)})
        print(json.dumps(results[0]), flush=True)
        # mave's own index (mave index FILE), when built: the same queries
        # through the path e.similar(..., approximate=True) takes.
        from mave import _index
        index = _index.open_index(e)
        if index is not None:
            m = len(qs)
            start = time.perf_counter()
            found = [index.search(e, q[None, :], args.k)[0][0] for q in qs]
            qps = m / (time.perf_counter() - start)
            results.append({"library": "mave index (faiss HNSW, 8-bit codes, re-ranked)", "rows": rows,
                            "ef": _index.SEARCH_BREADTH, "recall@10": round(recall(np.array(found), truth), 4),
                            "qps": round(qps, 1), "speedup": round(qps / exact_qps, 1)})
            print(json.dumps(results[-1]), flush=True)
        del e
    for name in args.libraries:
        results += run_library(name, unit, qs, truth, args)
        gc.collect()
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
