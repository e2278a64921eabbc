"""Measures of one lookup per call:

lookups    _mave's load_embedding of known words into one array, against
           gensim's kv[word] and fastText's get_word_vector of the same rows;
           over random words and over words among the first few thousand
oov        load_embedding of out-of-vocabulary strings, composed from
           n-grams, against the peers' composition
quantized  load_embedding on the product-quantized file (projection, norms)
           and on one without a projection
single     mave's e[word] and e.embedding(word, out) against _mave's
           load_embedding in the same process
"""

from common import cosine, log, ns, per_call, read_lines, recache, rounds_of, x
from data import hot_queries, plain_quantized

# ---------------------------------------------------------------------------
# Workers (child processes)


def worker_lookup(job):
    """Per-call lookups of the query strings into a preallocated array (ours)
    or as returned arrays (the peers). Also returns the first vectors, so that
    the parent can check that the tools agree."""
    import numpy as np

    tool, path, rounds = job["tool"], job["path"], job["rounds"]
    queries = read_lines(job["queries"], job.get("limit"))
    result = {"n": len(queries)}
    t0 = ns()
    if tool == "mave":
        import _mave

        m = _mave.FfModel(path)
        a = np.zeros(m.get_dims(), np.float32)

        def run():
            for w in queries:
                m.load_embedding(w, a)

        def floor():
            for w in queries:
                m.get_dims()

        def vector(w):
            assert m.load_embedding(w, a)
            return a.copy()
    elif tool in ("gensim", "gensim-fasttext"):
        if tool == "gensim":
            from gensim.models import KeyedVectors

            kv = KeyedVectors.load(path)
        else:
            from gensim.models.fasttext import load_facebook_vectors

            kv = load_facebook_vectors(path)

        def run():
            for w in queries:
                kv[w]

        floor = None

        def vector(w):
            return np.asarray(kv[w], np.float32)
    else:
        import fasttext

        ft = fasttext.load_model(path)

        def run():
            for w in queries:
                ft.get_word_vector(w)

        floor = None

        def vector(w):
            return np.asarray(ft.get_word_vector(w), np.float32)

    result["load_ns"] = ns() - t0
    result["check"] = [vector(w).tolist() for w in queries[:20]]
    result["ns"] = rounds_of(run, rounds)
    if floor is not None:
        result["floor_ns"] = rounds_of(floor, rounds)
    return result


def worker_single(job):
    """e[word] and e.embedding(word, out) per call, and _mave's
    load_embedding over the same words in the same process."""
    import numpy as np
    import _mave
    import mave

    queries = read_lines(job["queries"], job.get("limit"))
    e = mave.load(job["path"])
    m = _mave.FfModel(job["path"])
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
    for _ in range(job["rounds"]):
        for name, run in (("getitem_ns", getitem), ("into_ns", into), ("pinned_ns", pinned)):
            result[name] += rounds_of(run, 1, warmup=not result[name])
    return result


# ---------------------------------------------------------------------------
# The parent


def lookups_by(args, runner, queries, tools):
    """The lookup worker's result for each (tool, model path), in order."""
    return [
        runner.child(
            worker_lookup, {"tool": tool, "path": str(path), "queries": queries, "rounds": args.rounds}
        )
        for tool, path in tools
    ]


def measure_known(args, runner, table, dense):
    """Returns ours per call on random words, the dense figure other measures
    compare with."""
    log("lookups: known-word lookups")
    recache(dense / "model.fifu")
    t_ours = None
    for queries, label in (
        (
            str(dense / "known.txt"),
            f"{args.lookups} random words " "(load_embedding / kv[w] / get_word_vector)",
        ),
        (hot_queries(args, dense), f"the same count among {args.hot} words (in cache)"),
    ):
        ours, gs, ft = lookups_by(
            args,
            runner,
            queries,
            (
                ("mave", dense / "model.fifu"),
                ("gensim", dense / "gensim.kv"),
                ("fasttext", dense / "model0.bin"),
            ),
        )
        t_mave, t_gs, t_ft = per_call(ours), per_call(gs), per_call(ft)
        t_floor = per_call(ours, "floor_ns")
        best = min(t_gs, t_ft)
        table.add(
            "lookups",
            f"known-word lookup, {label}",
            "ns/call",
            t_mave,
            t_gs,
            t_ft,
            f"{t_floor:.1f} (m.get_dims() loop)",
            f"peer/mave {x(best / t_mave)}, mave/floor {x(t_mave / t_floor)}",
            ">=5x peer, <=2.5x floor",
            best / t_mave >= 5 and t_mave / t_floor <= 2.5,
        )
        if t_ours is None:
            t_ours = t_mave
            same = ours["check"] == gs["check"] == ft["check"]
            table.notes.append(
                f"check lookups: the first 20 vectors are bit-identical across "
                f"the three tools: {'yes' if same else 'NO'}"
            )
    return t_ours


def measure_oov(args, runner, table, sub):
    log("oov: composed lookups of out-of-vocabulary strings")
    queries = str(sub / "oov.txt")
    recache(sub / "model.fifu")
    ours, gs, ft = lookups_by(
        args,
        runner,
        queries,
        (
            ("mave", sub / "model.fifu"),
            ("gensim-fasttext", sub / "model.bin"),
            ("fasttext", sub / "model.bin"),
        ),
    )
    t_ours, t_gs, t_ft = per_call(ours), per_call(gs), per_call(ft)
    best = min(t_gs, t_ft)
    table.add(
        "oov",
        f"composed lookup, {ours['n']} OOV misspellings of 6-15 chars "
        f"({args.ft_dims} dims, {args.ft_buckets} buckets)",
        "ns/call",
        t_ours,
        t_gs,
        t_ft,
        None,
        f"peer/mave {x(best / t_ours)}",
        ">=5x peer",
        best / t_ours >= 5,
    )
    cos = [min(cosine(a, b), cosine(a, c)) for a, b, c in zip(ours["check"], gs["check"], ft["check"])]
    table.notes.append(
        f"check oov: least cosine between our first 20 composed vectors and " f"the peers': {min(cos):.7f}"
    )


def quantized_lookups(args, runner, path, dense):
    """The lookup worker's result for the known-word queries in a quantized file."""
    recache(path)
    return runner.child(
        worker_lookup,
        {
            "tool": "mave",
            "path": str(path),
            "queries": str(dense / "known.txt"),
            "limit": args.pq_lookups,
            "rounds": args.rounds,
        },
    )


def measure_quantized(args, runner, table, dense, dense_per_call):
    """Lookups in the quantized file with its projection and in one without:
    the cost of the rotation is their ratio (aim: at most 2x)."""
    log("quantized: quantized lookups, with and without a projection")
    plain = per_call(quantized_lookups(args, runner, plain_quantized(args, dense), dense))
    t = per_call(quantized_lookups(args, runner, dense / "pq.fifu", dense))
    dense_text = f"{dense_per_call:.1f} (dense, lookups)" if dense_per_call else "-"
    table.add(
        "quantized",
        f"quantized lookup, {args.dims} dims, {args.pq_subquantizers} " "subquantizers + projection + norms",
        "ns/call",
        t,
        None,
        None,
        dense_text,
        f"pq/dense {x(t / dense_per_call)}" if dense_per_call else "",
        "reported",
    )
    table.add(
        "quantized",
        "the same words in a quantized file without a projection",
        "ns/call",
        plain,
        None,
        None,
        None,
        f"projection/plain {x(t / plain)}",
        "<=2x plain",
        t / plain <= 2,
    )


def measure_single(args, runner, table, dense):
    log("single: e[word] against load_embedding")
    recache(dense / "model.fifu")
    for queries, label in (
        (str(dense / "known.txt"), "random words"),
        (hot_queries(args, dense), f"among {args.hot} words"),
    ):
        r = runner.child(
            worker_single,
            {
                "path": str(dense / "model.fifu"),
                "queries": queries,
                "limit": args.single_lookups,
                "rounds": args.rounds,
            },
        )
        t, t_into, t_pinned = (per_call(r, "getitem_ns"), per_call(r, "into_ns"), per_call(r, "pinned_ns"))
        table.add(
            "single",
            f"e[word], {r['n']} {label} (e.embedding(w, out) in the floor " "column)",
            "ns/call",
            t,
            None,
            None,
            f"{t_pinned:.0f} (_mave load_embedding)",
            f"mave/_mave {x(t / t_pinned)}, embedding(w, out)/_mave {x(t_into / t_pinned)}",
            "<=1.3x _mave",
            t / t_pinned <= 1.3,
        )


def add_arguments(p):
    p.add_argument("--single-lookups", type=int, default=200_000, help="queries of the measure single")
