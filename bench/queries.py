#!/usr/bin/env python3
"""Measures of the batched queries: the Google analogy evaluation against
gensim's, nearest() against NumPy's bare product and against one similar()
call per query, and quantized nearest() against dense (top-10 overlap).

Data is generated from the seed into bench/out/queries/ (git-ignored): a
dense matrix of random normal rows whose vocabulary starts with every word
of the Google analogy questions (so that all are answerable), then filler
words. The measures of a comparison run in interleaved rounds (one call of
each per round, so that load from other processes weighs on all alike) and
each keeps its best time; ratios come from one run. The load average is
printed before and after.

Usage (PYTHONPATH=<build dir>, as bench/run.sh sets it):
    bench/queries.py [--words 300000] [--nearest-words 1000000] [--dims 300]
                     [--gensim-every 20] [--gensim-rounds 2] [--similar-calls 100]
                     [--rounds 3] [--only analogies|nearest]

gensim's per-question loop over 19.5k questions takes many minutes, so it
answers every --gensim-every-th question (each section kept) and mave the
same subset and the whole file; the ratio is per question on the subset.
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

import mave

OUT = Path(__file__).resolve().parent / "out" / "queries"


class Rows(list):
    """The table, each row printed as soon as it is measured."""

    def append(self, row):
        name, seconds, ratio, target = row
        s = "" if seconds is None else f"{seconds:9.3f}"
        r = "" if ratio is None else f"{ratio:8.2f}"
        print(f"{name:<58} {s:>9} {r:>8}  {target or ''}", flush=True)
        super().append(row)


def interleaved(rounds, calls, limits=None):
    """Runs each call once per round, in turn; name -> (best time, result).
    limits: name -> fewer rounds for a slow call."""
    limits = limits or {}
    best = {}
    for r in range(rounds):
        for name, fn in calls.items():
            if r >= limits.get(name, rounds):
                continue
            start = time.perf_counter()
            result = fn()
            elapsed = time.perf_counter() - start
            if name not in best or elapsed < best[name][0]:
                best[name] = (elapsed, result)
    return best


def questions_file():
    import gensim

    return os.path.join(os.path.dirname(gensim.__file__), "test", "test_data", "questions-words.txt")


def model(path, n_words, dims, seed, first_words=()):
    if not path.exists():
        rng = np.random.default_rng(seed)
        first = list(dict.fromkeys(first_words))
        words = first + [f"filler{i}" for i in range(n_words - len(first))]
        matrix = rng.standard_normal((n_words, dims), dtype=np.float32)
        mave.write(path, words, matrix)
    return mave.load(path)


def analogy_measures(args, rows):
    from gensim.models import KeyedVectors

    questions = questions_file()
    words = [
        w for line in open(questions, encoding="utf-8") if not line.startswith(":") for w in line.split()
    ]
    e = model(OUT / f"analogy-{args.words}x{args.dims}.fifu", args.words, args.dims, args.seed, words)
    subset = OUT / f"questions-every-{args.gensim_every}.txt"
    with open(questions, encoding="utf-8") as f, open(subset, "w", encoding="utf-8") as out:
        n = 0
        for line in f:
            if line.startswith(":"):
                out.write(line)
            else:
                n += 1
                if n % args.gensim_every == 0:
                    out.write(line)
    kv = KeyedVectors(e.dims)
    kv.add_vectors(list(e.words), e.matrix)
    kv.fill_norms()
    runs = interleaved(
        args.rounds,
        {
            "full": lambda: mave.evaluate_analogies(e, questions),
            "sub": lambda: mave.evaluate_analogies(e, subset),
            "gensim": lambda: kv.evaluate_word_analogies(str(subset)),
        },
        {"gensim": args.gensim_rounds},
    )
    (t_full, full), (t_sub, sub) = runs["full"], runs["sub"]
    t_gensim, (score, sections) = runs["gensim"]
    answered = len(sections[-1]["correct"]) + len(sections[-1]["incorrect"])
    assert answered == sub.answered and abs(score - sub.accuracy) < 1e-12
    rows.append(("evaluate_analogies, all %d questions" % full.answered, t_full, None, None))
    rows.append(("evaluate_analogies, %d-question subset" % sub.answered, t_sub, None, None))
    rows.append(("gensim evaluate_word_analogies, same subset", t_gensim, None, None))
    rows.append(("  ratio gensim / mave per question", None, t_gensim / t_sub, ">= 20x"))
    rows.append(
        (
            "  gensim extrapolated to all questions (s)",
            t_gensim * full.answered / sub.answered,
            (t_gensim * full.answered / sub.answered) / t_full,
            ">= 20x",
        )
    )


def nearest_measures(args, rows):
    e = model(
        OUT / f"nearest-{args.nearest_words}x{args.dims}.fifu", args.nearest_words, args.dims, args.seed + 1
    )
    rng = np.random.default_rng(args.seed + 2)
    queries = rng.standard_normal((args.queries, e.dims), dtype=np.float32)
    matrix = e.matrix
    e.nearest(queries[:1], k=10)  # row lengths, computed once per file
    calls = queries[: args.similar_calls]
    runs = interleaved(
        args.rounds,
        {
            "numpy": lambda: (queries @ matrix.T, None)[1],
            "nearest": lambda: e.nearest(queries, k=10),
            "similar": lambda: [e.similar(q, 10) for q in calls],
        },
    )
    t_numpy, t_nearest, t_similar = (runs[n][0] for n in ("numpy", "nearest", "similar"))
    found = runs["nearest"][1][0]
    # nearest is similar query by query.
    assert [e.words[r] for r in found[0]] == [w for w, _ in runs["similar"][1][0]]
    t_similar_all = t_similar * len(queries) / len(calls)
    rows.append((f"nearest, {len(queries)} queries over {len(e):,} x {e.dims}", t_nearest, None, None))
    rows.append(("numpy queries @ matrix.T (no top k)", t_numpy, t_nearest / t_numpy, "<= 1.5x"))
    rows.append(
        (
            f"similar x {len(queries)} (from {len(calls)} calls)",
            t_similar_all,
            t_similar_all / t_nearest,
            ">= 10x",
        )
    )
    if args.quantized_words:
        dense = model(
            OUT / f"q-source-{args.quantized_words}x{args.dims}.fifu",
            args.quantized_words,
            args.dims,
            args.seed + 3,
        )
        qpath = OUT / f"q-{args.quantized_words}x{args.dims}.fifu"
        if not qpath.exists():
            mave.quantize(dense.path, qpath, sample=min(args.quantized_words, 50_000))
        q = mave.load(qpath)
        some = dense.matrix[rng.choice(len(dense), 200, replace=False)]
        some = some + 0.5 * rng.standard_normal(some.shape, dtype=np.float32)
        exact, _ = dense.nearest(some, k=10)
        q.nearest(some[:1], k=10)
        runs = interleaved(
            args.rounds,
            {"quantized": lambda: q.nearest(some, k=10), "dense": lambda: dense.nearest(some, k=10)},
        )
        t_q, (approx, _) = runs["quantized"]
        t_dense = runs["dense"][0]
        overlap = np.mean([len(set(a) & set(b)) / 10 for a, b in zip(exact, approx)])
        rows.append(
            (
                f"quantized nearest, 200 queries over {len(q):,} x {q.dims}",
                t_q,
                t_dense / t_q,
                "dense/pq, reported",
            )
        )
        rows.append(("  top-10 overlap with dense", None, overlap, "reported"))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--words", type=int, default=300_000)
    p.add_argument("--nearest-words", type=int, default=1_000_000)
    p.add_argument("--quantized-words", type=int, default=100_000)
    p.add_argument("--dims", type=int, default=300)
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--gensim-every", type=int, default=20)
    p.add_argument("--gensim-rounds", type=int, default=2)
    p.add_argument("--similar-calls", type=int, default=100)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--only", choices=("analogies", "nearest"))
    args = p.parse_args()
    OUT.mkdir(parents=True, exist_ok=True)
    print("load average before:", " ".join(f"{x:.2f}" for x in os.getloadavg()))
    print(f"{'measure':<58} {'seconds':>9} {'ratio':>8}  target", flush=True)
    rows = Rows()
    if args.only in (None, "analogies"):
        analogy_measures(args, rows)
    if args.only in (None, "nearest"):
        nearest_measures(args, rows)
    print("load average after:", " ".join(f"{x:.2f}" for x in os.getloadavg()))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
