"""Measures of nearest neighbours:

similar            similar(word, k=10) on the dense file against one NumPy
                   matrix-vector product over the same mapped matrix and
                   gensim's most_similar (its first call, which computes the
                   norms, and its later calls)
similar-quantized  similar on product-quantized files of the same words (50
                   and 100 subquantizers) against dense similar, with the
                   overlap of the top 10
"""

from common import log, ns, per_call, read_lines, recache, rounds_of, x
from data import similar_queries

# ---------------------------------------------------------------------------
# Workers (child processes)


def worker_similar(job):
    """similar(word, 10) per query word, or the peers on the same words."""
    import numpy as np

    tool, rounds = job["tool"], job["rounds"]
    queries = read_lines(job["queries"], job["limit"])
    result = {"n": len(queries)}
    if tool == "mave":
        import mave

        e = mave.load(job["path"])
        threads = job.get("threads")
        answers = {}

        def run():
            for w in queries:
                answers[w] = [word for word, _ in e.similar(w, 10, threads=threads)]

        result["ns"] = rounds_of(run, rounds)
        result["answers"] = answers
    elif tool == "numpy":
        import mave

        e = mave.load(job["path"])
        matrix = e.matrix[: len(e)]
        vectors = [e[w] for w in queries]

        def run():
            for v in vectors:
                matrix @ v

        result["ns"] = rounds_of(run, rounds)
    else:
        from gensim.models import KeyedVectors

        kv = KeyedVectors.load(job["path"], mmap="r")
        t0 = ns()
        kv.most_similar(queries[0], topn=10)
        result["first_ns"] = ns() - t0

        def run():
            for w in queries:
                kv.most_similar(w, topn=10)

        result["ns"] = rounds_of(run, rounds)
    return result


def worker_quantize(job):
    """Writes a product-quantized copy of a dense file; the time it took."""
    import mave

    if not hasattr(mave, "quantize"):
        return {"missing": True}
    t0 = ns()
    mave.quantize(job["input"], job["output"], subquantizers=job["subquantizers"], sample=job["sample"])
    return {"ns": ns() - t0}


# ---------------------------------------------------------------------------
# The parent


def measure_similar(args, runner, table, dense):
    """Returns the dense result: its time and answers are what the quantized
    files are held against."""
    log("similar: similar on the dense file")
    recache(dense / "model.fifu")
    if (dense / "gensim.kv.vectors.npy").exists():
        recache(dense / "gensim.kv.vectors.npy")
    queries = similar_queries(args, dense)
    job = {"queries": queries, "limit": args.similar_queries, "rounds": args.rounds}
    ours = runner.child(worker_similar, dict(job, tool="mave", path=str(dense / "model.fifu")))
    npy = runner.child(worker_similar, dict(job, tool="numpy", path=str(dense / "model.fifu")))
    gs = runner.child(worker_similar, dict(job, tool="gensim", path=str(dense / "gensim.kv")))
    t, t_np, t_gs = per_call(ours) / 1e6, per_call(npy) / 1e6, per_call(gs) / 1e6
    t_first = gs["first_ns"] / 1e6
    table.add(
        "similar",
        f"similar(word, 10), {args.words} x {args.dims} dense (gensim: " "most_similar, later calls)",
        "ms/query",
        t,
        t_gs,
        None,
        f"{t_np:.1f} (NumPy matrix @ vector)",
        f"mave/numpy {x(t / t_np)}, gensim first/mave {x(t_first / t)}, " f"gensim later/mave {x(t_gs / t)}",
        "<=1.3x numpy, >=10x gensim first, >=1x gensim later",
        t / t_np <= 1.3 and t_first / t >= 10 and t_gs / t >= 1,
    )
    table.add(
        "similar",
        "  gensim's first most_similar call (computes the norms)",
        "ms",
        None,
        t_first,
        None,
        "",
        "",
    )
    return ours


def measure_similar_quantized(args, runner, table, dense, dense_result):
    log("similar-quantized: similar on quantized files")
    queries = similar_queries(args, dense)
    t_dense = per_call(dense_result) / 1e6
    for subquantizers in (50, 100):
        path = dense / f"pq{subquantizers}.fifu"
        if not path.exists():
            log(f"quantizing the dense file with {subquantizers} subquantizers")
            made = runner.child(
                worker_quantize,
                {
                    "input": str(dense / "model.fifu"),
                    "output": str(path),
                    "subquantizers": subquantizers,
                    "sample": args.pq_sample,
                },
            )
            if made.get("missing"):
                table.notes.append("similar-quantized: mave.quantize is not available; skipped")
                return
        recache(path)
        r = runner.child(
            worker_similar,
            {
                "tool": "mave",
                "path": str(path),
                "queries": queries,
                "limit": args.similar_queries,
                "rounds": args.rounds,
            },
        )
        t = per_call(r) / 1e6
        overlap = [
            len(set(r["answers"][w]) & set(dense_result["answers"][w])) / 10 for w in dense_result["answers"]
        ]
        mean_overlap = sum(overlap) / len(overlap)
        table.add(
            "similar-quantized",
            f"similar(word, 10), quantized, {subquantizers} " "subquantizers",
            "ms/query",
            t,
            None,
            None,
            f"{t_dense:.1f} (dense, similar)",
            f"dense/pq {x(t_dense / t)}, top-10 overlap {mean_overlap:.2f}",
            ">=1.5x dense" if subquantizers == 50 else "reported",
            t_dense / t >= 1.5 if subquantizers == 50 else None,
        )


def add_arguments(p):
    p.add_argument(
        "--similar-queries",
        type=int,
        default=20,
        help="query words of the measures similar and similar-quantized",
    )
    p.add_argument(
        "--pq-sample",
        type=int,
        default=100_000,
        help="rows the quantizers of similar-quantized are trained on",
    )
