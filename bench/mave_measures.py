"""The measures of the mave package (7 to 12), beside the _mave measures of
run.py, on the same generated data and in the same run:

 7  embed of random known words, one thread, against the C++ floor that
    copies the same rows by precomputed row number, gensim's kv[list] and a
    Python loop of _mave's load_embedding;
 8  embed of out-of-vocabulary strings (composed from n-grams), two threads
    against one;
 9  similar(word, k=10) on the dense file against one NumPy matrix-vector
    product over the same mapped matrix and gensim's most_similar (its first
    call, which computes the norms, and its later calls);
10  similar on product-quantized files of the same words (50 and 100
    subquantizers) against dense similar, with the overlap of the top 10;
11  e[word] of known words against _mave's load_embedding, and e.embedding
    into a preallocated array;
12  mave.load against _mave.FfModel of the same file.
"""

import os
import subprocess

from run import log, median, per_call, read_lines, recache, rounds_of, x, ns

# ---------------------------------------------------------------------------
# Workers (child processes)


def worker_embed(spec):
    """Batch lookups of all queries at once; per-word time."""
    import numpy as np
    tool, rounds = spec["tool"], spec["rounds"]
    queries = read_lines(spec["queries"], spec.get("limit"))
    result = {"n": len(queries)}
    if tool == "mave":
        import mave
        e = mave.load(spec["path"])
        out = np.empty((len(queries), e.dims), np.float32)
        threads = spec.get("threads")

        def run():
            e.embed(queries, out=out, threads=threads)
        rows, found = e.embed(queries[:20])
        result["check"] = rows.tolist()
    else:
        from gensim.models import KeyedVectors
        kv = KeyedVectors.load(spec["path"])

        def run():
            kv[queries]
        result["check"] = np.asarray(kv[queries[:20]], np.float32).tolist()
    result["ns"] = rounds_of(run, rounds)
    return result


def worker_single(spec):
    """e[word] and e.embedding(word, out) per call, and _mave's
    load_embedding over the same words in the same process."""
    import numpy as np
    import _mave
    import mave
    queries = read_lines(spec["queries"], spec.get("limit"))
    e = mave.load(spec["path"])
    m = _mave.FfModel(spec["path"])
    a = np.zeros(e.dims, np.float32)
    load_embedding, embedding = m.load_embedding, e.embedding

    def getitem():
        for w in queries:
            e[w]

    def into():
        for w in queries:
            embedding(w, a)

    def pinned():
        for w in queries:
            load_embedding(w, a)
    result = {"n": len(queries)}
    # Interleaved, so that the machine's noise weighs on each alike.
    for name, run in (("getitem_ns", getitem), ("into_ns", into), ("pinned_ns", pinned)):
        result[name] = []
    for _ in range(spec["rounds"]):
        for name, run in (("getitem_ns", getitem), ("into_ns", into), ("pinned_ns", pinned)):
            result[name] += rounds_of(run, 1, warmup=not result[name])
    return result


def worker_similar(spec):
    """similar(word, 10) per query word, or the peers on the same words."""
    import numpy as np
    tool, rounds = spec["tool"], spec["rounds"]
    queries = read_lines(spec["queries"], spec["limit"])
    result = {"n": len(queries)}
    if tool == "mave":
        import mave
        e = mave.load(spec["path"])
        threads = spec.get("threads")
        answers = {}

        def run():
            for w in queries:
                answers[w] = [word for word, _ in e.similar(w, 10, threads=threads)]
        result["ns"] = rounds_of(run, rounds)
        result["answers"] = answers
    elif tool == "numpy":
        import mave
        e = mave.load(spec["path"])
        matrix = e.matrix[:len(e)]
        vectors = [e[w] for w in queries]

        def run():
            for v in vectors:
                matrix @ v
        result["ns"] = rounds_of(run, rounds)
    else:
        from gensim.models import KeyedVectors
        kv = KeyedVectors.load(spec["path"], mmap="r")
        t0 = ns()
        kv.most_similar(queries[0], topn=10)
        result["first_ns"] = ns() - t0

        def run():
            for w in queries:
                kv.most_similar(w, topn=10)
        result["ns"] = rounds_of(run, rounds)
    return result


def worker_load_both(spec):
    """mave.load and _mave.FfModel of the same file, interleaved."""
    import _mave
    import mave
    result = {"mave_ns": [], "pinned_ns": []}
    for _ in range(spec["rounds"]):
        result["mave_ns"] += rounds_of(lambda: mave.load(spec["path"]), 1,
                                       warmup=not result["mave_ns"])
        result["pinned_ns"] += rounds_of(lambda: _mave.FfModel(spec["path"]), 1,
                                         warmup=not result["pinned_ns"])
    return result


def worker_quantize(spec):
    """Writes a product-quantized copy of a dense file; the time it took."""
    import mave
    if not hasattr(mave, "quantize"):
        return {"missing": True}
    t0 = ns()
    mave.quantize(spec["input"], spec["output"], subquantizers=spec["subquantizers"],
                  sample=spec["sample"])
    return {"ns": ns() - t0}


WORKERS = {"mave_embed": worker_embed, "mave_single": worker_single,
           "mave_similar": worker_similar, "mave_load": worker_load_both,
           "mave_quantize": worker_quantize}


# ---------------------------------------------------------------------------
# The parent


def lookup_floor(args, dense, queries):
    """copy_rows / fill_embeddings of bench/lookup_floor.cpp, ns per word."""
    probe = subprocess.run([str(args.build_dir / "bench" / "mave_bench_lookup"),
                            str(dense / "model.fifu"), queries, str(args.rounds)],
                           capture_output=True, text=True, check=True)
    out = {}
    for line in probe.stdout.splitlines():
        name, med, *_ = line.split()
        out[name] = float(med)
    return out


def measure_embed(args, runner, table, dense, pinned_per_call):
    log("7: embed of known words")
    recache(dense / "model.fifu")
    queries = str(dense / "known.txt")
    ours = runner.child("mave_embed", {"tool": "mave", "path": str(dense / "model.fifu"),
                                       "queries": queries, "rounds": args.rounds, "threads": 1})
    gs = runner.child("mave_embed", {"tool": "gensim", "path": str(dense / "gensim.kv"),
                                     "queries": queries, "rounds": args.rounds})
    floor = lookup_floor(args, dense, queries)
    t, t_gs = per_call(ours), per_call(gs)
    t_floor = min(floor["copy_rows"], floor["copy_rows_whole"])
    pinned = f", _mave loop/mave {x(pinned_per_call / t)}" if pinned_per_call else ""
    met = t / t_floor <= 1.5 and t_gs / t >= 20 and (not pinned_per_call or pinned_per_call / t >= 5)
    table.add("7", f"embed of {ours['n']} random known words, threads=1 (mave / kv[list])",
              "ns/word", t, t_gs, None, f"{t_floor:.1f} (C++ copy of the rows by number)",
              f"mave/floor {x(t / t_floor)}, gensim/mave {x(t_gs / t)}{pinned}",
              "<=1.5x floor, >=20x gensim, >=5x _mave loop", met)
    table.add("7", "  the core's batch lookup alone (C++, one thread)", "ns/word",
              floor["fill_embeddings"], None, None, f"{t_floor:.1f}",
              f"core/floor {x(floor['fill_embeddings'] / t_floor)}")
    same = ours["check"] == gs["check"]
    table.notes.append(f"check 7: embed's first 20 rows equal gensim's bit for bit: "
                       f"{'yes' if same else 'NO'}")


def measure_embed_threads(args, runner, table, sub):
    log("8: embed of out-of-vocabulary strings on 1 and 2 threads")
    recache(sub / "model.fifu")
    spec = {"tool": "mave", "path": str(sub / "model.fifu"), "queries": str(sub / "oov.txt"),
            "rounds": args.rounds}
    one = runner.child("mave_embed", dict(spec, threads=1))
    two = runner.child("mave_embed", dict(spec, threads=2))
    t1, t2 = per_call(one), per_call(two)
    table.add("8", f"embed of {one['n']} OOV strings, threads=2 vs threads=1", "ns/word", t2,
              None, None, f"{t1:.0f} (threads=1)", f"speed-up {x(t1 / t2)}", ">=1.7x",
              t1 / t2 >= 1.7)


def similar_queries(args, dense):
    from run import write_lines
    path = dense / f"similar-{args.similar_queries}.txt"
    if not path.exists():
        write_lines(path, read_lines(dense / "known.txt", args.similar_queries))
    return str(path)


def measure_similar(args, runner, table, dense):
    log("9: similar on the dense file")
    recache(dense / "model.fifu")
    if (dense / "gensim.kv.vectors.npy").exists():
        recache(dense / "gensim.kv.vectors.npy")
    queries = similar_queries(args, dense)
    spec = {"queries": queries, "limit": args.similar_queries, "rounds": args.rounds}
    ours = runner.child("mave_similar", dict(spec, tool="mave", path=str(dense / "model.fifu")))
    npy = runner.child("mave_similar", dict(spec, tool="numpy", path=str(dense / "model.fifu")))
    gs = runner.child("mave_similar", dict(spec, tool="gensim", path=str(dense / "gensim.kv")))
    t, t_np, t_gs = per_call(ours) / 1e6, per_call(npy) / 1e6, per_call(gs) / 1e6
    t_first = gs["first_ns"] / 1e6
    table.add("9", f"similar(word, 10), {args.words} x {args.dims} dense (gensim: most_similar, "
              "later calls)", "ms/query", t, t_gs, None,
              f"{t_np:.1f} (NumPy matrix @ vector)",
              f"mave/numpy {x(t / t_np)}, gensim first/mave {x(t_first / t)}, "
              f"gensim later/mave {x(t_gs / t)}",
              "<=1.3x numpy, >=10x gensim first, >=1x gensim later",
              t / t_np <= 1.3 and t_first / t >= 10 and t_gs / t >= 1)
    table.add("9", "  gensim's first most_similar call (computes the norms)", "ms", None,
              t_first, None, "", "")
    return ours


def measure_similar_quantized(args, runner, table, dense, dense_result):
    log("10: similar on quantized files")
    queries = similar_queries(args, dense)
    t_dense = per_call(dense_result) / 1e6
    for subquantizers in (50, 100):
        path = dense / f"pq{subquantizers}.fifu"
        if not path.exists():
            log(f"quantizing the dense file with {subquantizers} subquantizers")
            made = runner.child("mave_quantize", {"input": str(dense / "model.fifu"),
                                                  "output": str(path),
                                                  "subquantizers": subquantizers,
                                                  "sample": args.pq_sample})
            if made.get("missing"):
                table.notes.append("measure 10: mave.quantize is not available; skipped")
                return
        recache(path)
        r = runner.child("mave_similar", {"tool": "mave", "path": str(path), "queries": queries,
                                          "limit": args.similar_queries, "rounds": args.rounds})
        t = per_call(r) / 1e6
        overlap = [len(set(r["answers"][w]) & set(dense_result["answers"][w])) / 10
                   for w in dense_result["answers"]]
        mean_overlap = sum(overlap) / len(overlap)
        table.add("10", f"similar(word, 10), quantized, {subquantizers} subquantizers", "ms/query",
                  t, None, None, f"{t_dense:.1f} (dense, measure 9)",
                  f"dense/pq {x(t_dense / t)}, top-10 overlap {mean_overlap:.2f}",
                  ">=1.5x dense" if subquantizers == 50 else "reported",
                  t_dense / t >= 1.5 if subquantizers == 50 else None)


def measure_single(args, runner, table, dense):
    log("11: e[word] against load_embedding")
    recache(dense / "model.fifu")
    for queries, label in ((str(dense / "known.txt"), "random words"),
                           (str(dense / f"hot-{args.hot}.txt"), f"among {args.hot} words")):
        r = runner.child("mave_single", {"path": str(dense / "model.fifu"), "queries": queries,
                                         "limit": args.single_lookups, "rounds": args.rounds})
        t, t_into, t_pinned = (per_call(r, "getitem_ns"), per_call(r, "into_ns"),
                               per_call(r, "pinned_ns"))
        table.add("11", f"e[word], {r['n']} {label} (e.embedding(w, out) in the floor column)",
                  "ns/call", t, None, None, f"{t_pinned:.0f} (_mave load_embedding)",
                  f"mave/_mave {x(t / t_pinned)}, embedding(w, out)/_mave {x(t_into / t_pinned)}",
                  "<=1.3x _mave", t / t_pinned <= 1.3)


def measure_load_both(args, runner, table, dense):
    log("12: mave.load against FfModel")
    recache(dense / "model.fifu")
    r = runner.child("mave_load", {"path": str(dense / "model.fifu"), "rounds": args.rounds})
    t, t_pinned = median(r["mave_ns"]) / 1e6, median(r["pinned_ns"]) / 1e6
    table.add("12", f"mave.load ({args.words} x {args.dims} dense) vs _mave.FfModel", "ms", t,
              None, None, f"{t_pinned:.1f} (FfModel)", f"mave/_mave {x(t / t_pinned)}",
              "<=1.1x _mave", t / t_pinned <= 1.1)


def add_arguments(p):
    p.add_argument("--similar-queries", type=int, default=20,
                   help="query words of measures 9 and 10")
    p.add_argument("--single-lookups", type=int, default=200_000,
                   help="queries of measure 11")
    p.add_argument("--pq-sample", type=int, default=100_000,
                   help="rows the quantizers of measure 10 are trained on")
