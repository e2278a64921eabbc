"""Measures of mave's batch lookup:

embed          embed of random known words on one thread, against the C++
               floor that copies the same rows by precomputed row number
               (bench/lookup_floor.cpp), the core's batch lookup alone,
               gensim's kv[list] and a Python loop of _mave's load_embedding
embed-threads  embed of out-of-vocabulary strings (composed from n-grams),
               two threads against one
"""

import subprocess

from common import log, per_call, read_lines, recache, rounds_of, x

# ---------------------------------------------------------------------------
# Worker (child process)


def worker_embed(job):
    """Batch lookups of all queries at once; per-word time."""
    import numpy as np

    tool, rounds = job["tool"], job["rounds"]
    queries = read_lines(job["queries"], job.get("limit"))
    result = {"n": len(queries)}
    if tool == "mave":
        import mave

        e = mave.load(job["path"])
        out = np.empty((len(queries), e.dims), np.float32)
        threads = job.get("threads")

        def run():
            e.embed(queries, out=out, threads=threads)

        rows, found = e.embed(queries[:20])
        result["check"] = rows.tolist()
    else:
        from gensim.models import KeyedVectors

        kv = KeyedVectors.load(job["path"])

        def run():
            kv[queries]

        result["check"] = np.asarray(kv[queries[:20]], np.float32).tolist()
    result["ns"] = rounds_of(run, rounds)
    return result


# ---------------------------------------------------------------------------
# The parent


def lookup_floor(args, dense, queries):
    """copy_rows / fill_embeddings of bench/lookup_floor.cpp, ns per word."""
    probe = subprocess.run(
        [
            str(args.build_dir / "bench" / "mave_bench_lookup"),
            str(dense / "model.fifu"),
            queries,
            str(args.rounds),
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    out = {}
    for line in probe.stdout.splitlines():
        name, med, *_ = line.split()
        out[name] = float(med)
    return out


def measure_embed(args, runner, table, dense, pinned_per_call):
    log("embed: embed of known words")
    recache(dense / "model.fifu")
    queries = str(dense / "known.txt")
    ours = runner.child(
        worker_embed,
        {
            "tool": "mave",
            "path": str(dense / "model.fifu"),
            "queries": queries,
            "rounds": args.rounds,
            "threads": 1,
        },
    )
    gs = runner.child(
        worker_embed,
        {"tool": "gensim", "path": str(dense / "gensim.kv"), "queries": queries, "rounds": args.rounds},
    )
    floor = lookup_floor(args, dense, queries)
    t, t_gs = per_call(ours), per_call(gs)
    t_floor = min(floor["copy_rows"], floor["copy_rows_whole"])
    pinned = f", _mave loop/mave {x(pinned_per_call / t)}" if pinned_per_call else ""
    met = t / t_floor <= 1.5 and t_gs / t >= 20 and (not pinned_per_call or pinned_per_call / t >= 5)
    table.add(
        "embed",
        f"embed of {ours['n']} random known words, threads=1 (mave / kv[list])",
        "ns/word",
        t,
        t_gs,
        None,
        f"{t_floor:.1f} (C++ copy of the rows by number)",
        f"mave/floor {x(t / t_floor)}, gensim/mave {x(t_gs / t)}{pinned}",
        "<=1.5x floor, >=20x gensim, >=5x _mave loop",
        met,
    )
    table.add(
        "embed",
        "  the core's batch lookup alone (C++, one thread)",
        "ns/word",
        floor["fill_embeddings"],
        None,
        None,
        f"{t_floor:.1f}",
        f"core/floor {x(floor['fill_embeddings'] / t_floor)}",
    )
    same = ours["check"] == gs["check"]
    table.notes.append(
        f"check embed: embed's first 20 rows equal gensim's bit for bit: " f"{'yes' if same else 'NO'}"
    )


def measure_embed_threads(args, runner, table, sub):
    log("embed-threads: embed of out-of-vocabulary strings on 1 and 2 threads")
    recache(sub / "model.fifu")
    job = {
        "tool": "mave",
        "path": str(sub / "model.fifu"),
        "queries": str(sub / "oov.txt"),
        "rounds": args.rounds,
    }
    one = runner.child(worker_embed, dict(job, threads=1))
    two = runner.child(worker_embed, dict(job, threads=2))
    t1, t2 = per_call(one), per_call(two)
    table.add(
        "embed-threads",
        f"embed of {one['n']} OOV strings, threads=2 vs threads=1",
        "ns/word",
        t2,
        None,
        None,
        f"{t1:.0f} (threads=1)",
        f"speed-up {x(t1 / t2)}",
        ">=1.7x",
        t1 / t2 >= 1.7,
    )
