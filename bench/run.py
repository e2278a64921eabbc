#!/usr/bin/env python3
"""Benchmarks of _mave and mave against the tools users pick instead: gensim
(KeyedVectors, load_facebook_vectors) and fastText's Python bindings
(load_model, get_word_vector), on the same generated data in the same run.

Prints one table: the median of repeated rounds for each tool, the floors
(a C++ program of the core, a bare method call, a file copy, Python's own
printing), the ratios and the targets. Nothing here fails on time; the last
column only says whether this run met the target.

Usage (bench/run.sh builds the module and the C++ program first):
    bench/run.py [--large] [--rounds R] [--seed S] [--only 1,3] [sizes...]

Data is generated from the seed into bench/out/ (git-ignored) and reused by
later runs with the same sizes; --fresh regenerates it, --clean deletes it at
the end. Each tool runs in its own child process, so that one tool's memory
does not weigh on another's timings and resident memory can be measured.
"""

import argparse
import gc
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

ns = time.perf_counter_ns

# ---------------------------------------------------------------------------
# Helpers shared by the parent and the workers


def read_lines(path, limit=None):
    with open(path, encoding="utf-8") as f:
        out = f.read().split("\n")
    if out and out[-1] == "":
        out.pop()
    return out[:limit] if limit else out


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


MAPPING_HEADER = re.compile(r"^[0-9a-f]+-[0-9a-f]+ ")


def mapped_rss_kib(path):
    """Resident KiB of this process's mappings of `path`: the pages it has
    touched, whatever the page cache holds."""
    real = os.path.realpath(path)
    total = 0
    inside = False
    with open("/proc/self/smaps") as f:
        for line in f:
            if MAPPING_HEADER.match(line):
                fields = line.split(None, 5)
                inside = len(fields) == 6 and fields[5].strip() == real
            elif inside and line.startswith("Rss:"):
                total += int(line.split()[1])
    return total


def rounds_of(run, rounds, warmup=True):
    """Times `run` (one whole round) `rounds` times with the collector off,
    after one untimed round."""
    if warmup:
        run()
    times = []
    gc.collect()
    gc.disable()
    try:
        for _ in range(rounds):
            t0 = ns()
            run()
            times.append(ns() - t0)
    finally:
        gc.enable()
    return times


# ---------------------------------------------------------------------------
# Workers: each runs in a child process and writes a JSON result.


def worker_load(spec):
    """Load time, resident memory after one load, and the matrix pages the
    loader touched (none should be)."""
    tool, path = spec["tool"], spec["path"]
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
    result = {"rss_growth_kib": after - before,
              "matrix_rss_after_load_kib": mapped_rss_kib(matrix_path)}
    import numpy as np
    words = read_lines(spec["queries"], 1000)
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
    result["ns"] = rounds_of(run, spec["rounds"])
    return result


def worker_lookup(spec):
    """Per-call lookups of the query strings into a preallocated array (ours)
    or as returned arrays (the peers). Also returns the first vectors, so that
    the parent can check that the tools agree."""
    import numpy as np
    tool, path, rounds = spec["tool"], spec["path"], spec["rounds"]
    queries = read_lines(spec["queries"], spec.get("limit"))
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


def worker_eval(spec):
    """eval of whole vectors with fd 1 on /dev/null, against printing the
    repr of the same values as a Python list of floats."""
    import numpy as np
    import _mave
    m = _mave.FfModel(spec["path"])
    words = read_lines(spec["queries"], spec["limit"])
    a = np.zeros(m.get_dims(), np.float32)
    lists = []
    for w in words:
        m.load_embedding(w, a)
        lists.append(a.tolist())

    def run_eval():
        for w in words:
            m.eval(w)

    def run_print():
        for values in lists:
            print(repr(values))
        sys.stdout.flush()

    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        result = {"n": len(words), "ns": rounds_of(run_eval, spec["rounds"]),
                  "print_ns": rounds_of(run_print, spec["rounds"])}
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(devnull)
        os.close(saved)
    return result


def peak_rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def worker_convert(spec):
    """One conversion, timed inside the process, with the process's peak
    resident memory. (VmHWM belongs to the memory of this program only; the
    ru_maxrss that wait4 reports for a child can include the memory of the
    parent it was forked from.)"""
    t0 = ns()
    if spec["tool"] == "mave":
        import _mave
        _mave.build_model(spec["input"], spec["output"])
    else:
        from gensim.models.fasttext import load_facebook_vectors
        load_facebook_vectors(spec["input"])
    return {"ns": ns() - t0, "peak_rss_kib": peak_rss_kib()}


def worker_import(spec):
    """One conversion of a word2vec binary or text file into finalfusion
    (mave.convert), or gensim's load_word2vec_format of the same file, timed
    inside the process after the imports, with the process's peak resident
    memory and its resident memory before the work."""
    if spec["tool"] == "mave":
        import mave

        def work():
            mave.convert(spec["input"], spec["output"], src_format=spec["format"])
    else:
        from gensim.models import KeyedVectors

        def work():
            KeyedVectors.load_word2vec_format(spec["input"], binary=spec["format"] == "word2vec")
    base = rss_kib()
    t0 = ns()
    work()
    return {"ns": ns() - t0, "peak_rss_kib": peak_rss_kib(), "base_rss_kib": base}


WORKERS = {"load": worker_load, "lookup": worker_lookup, "eval": worker_eval,
           "convert": worker_convert, "import": worker_import}


# ---------------------------------------------------------------------------
# The parent: data, children, table


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


class Runner:
    def __init__(self, args):
        self.args = args
        self.env = dict(os.environ)
        self.env["PYTHONPATH"] = os.pathsep.join(
            [str(args.build_dir), self.env.get("PYTHONPATH", "")]).rstrip(os.pathsep)

    def child(self, name, spec, *, stdout=subprocess.DEVNULL):
        """Runs a worker and returns its result."""
        result_path = self.args.out / f".result-{os.getpid()}.json"
        command = [sys.executable, str(Path(__file__)), "--worker", name, json.dumps(spec),
                   str(result_path)]
        proc = subprocess.run(command, stdout=stdout, stderr=subprocess.PIPE, env=self.env)
        if proc.returncode != 0:
            sys.stderr.write(proc.stderr.decode(errors="replace"))
            raise SystemExit(f"worker {name} {spec} failed with {proc.returncode}")
        with open(result_path) as f:
            result = json.load(f)
        os.unlink(result_path)
        return result


def dataset_dir(args, name):
    d = args.out / name
    if args.fresh and d.exists():
        shutil.rmtree(d)
    return d, (d / ".complete").exists()


def write_lines(path, items):
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(items))
        f.write("\n")


def make_dense(args, runner):
    """Words, a unit-row matrix and its norms, written as a finalfusion file,
    in gensim's format, as a fastText model without subwords (so that all
    three tools hold the same vectors), and as a product-quantized file; the
    known-word queries."""
    import numpy as np
    from fifu_files import write_dense, write_quantized
    from make_fasttext_model import words, write_model
    n, dims = args.words, args.dims
    d, done = dataset_dir(args, f"dense-{n}x{dims}-q{args.lookups}-s{args.seed}")
    if done:
        return d
    log(f"generating {n} words x {dims} dims in {d}")
    d.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(args.seed)
    vocab = words(n, rng)
    matrix = rng.standard_normal((n, dims), dtype=np.float32)
    norms = np.sqrt(np.einsum("ij,ij->i", matrix, matrix, dtype=np.float32))
    matrix /= norms[:, None]
    write_dense(d / "model.fifu", vocab, matrix, norms)
    text = [w.decode() for w in vocab]
    write_lines(d / "words.txt", text)
    write_lines(d / "known.txt", [text[i] for i in rng.integers(0, n, size=args.lookups)])
    write_model(d / "model0.bin", vocab, dims, 0, rng, output_rows=1, minn=0, maxn=0,
                word_rows=matrix)
    write_quantized(d / "pq.fifu", vocab, dims, args.pq_subquantizers, 256, rng)

    from gensim.models import KeyedVectors
    kv = KeyedVectors(dims, count=0, dtype=np.float32)
    kv.add_vectors(text, matrix)
    kv.save(str(d / "gensim.kv"))
    del kv, matrix
    (d / ".complete").touch()
    return d


def misspellings(vocab, count, rng, lo=6, hi=15):
    """Strings of lo..hi characters made from vocabulary words by one or two
    edits (substitution, insertion, deletion, transposition), none of them a
    vocabulary word."""
    letters = "abcdefghijklmnopqrstuvwxyz"
    known = set(vocab)
    out = []
    while len(out) < count:
        w = list(vocab[int(rng.integers(len(vocab)))])
        for _ in range(int(rng.integers(1, 3))):
            op = int(rng.integers(4))
            i = int(rng.integers(len(w)))
            c = letters[int(rng.integers(26))]
            if op == 0:
                w[i] = c
            elif op == 1:
                w.insert(i, c)
            elif op == 2 and len(w) > 1:
                del w[i]
            elif i + 1 < len(w):
                w[i], w[i + 1] = w[i + 1], w[i]
        s = "".join(w)
        if lo <= len(s) <= hi and s not in known:
            out.append(s)
    return out


def make_subword(args, runner):
    """A fastText model with subwords (and the output matrix fastText's loader
    wants), its conversion, and out-of-vocabulary queries."""
    import numpy as np
    from make_fasttext_model import words, write_model
    n, dims, buckets = args.ft_words, args.ft_dims, args.ft_buckets
    d, done = dataset_dir(args, f"subword-{n}x{dims}-b{buckets}-q{args.oov}-s{args.seed}")
    if done:
        return d
    log(f"generating a fastText model of {n} words, {buckets} buckets x {dims} dims in {d}")
    d.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(args.seed + 1)
    vocab = words(n, rng)
    write_model(d / "model.bin", vocab, dims, buckets, rng, output_rows=n)
    text = [w.decode() for w in vocab]
    write_lines(d / "oov.txt", misspellings(text, args.oov, rng))
    log("converting it with build_model")
    runner.child("convert", {"tool": "mave", "input": str(d / "model.bin"),
                             "output": str(d / "model.fifu")})
    (d / ".complete").touch()
    return d


def make_conversion_input(args, runner):
    import numpy as np
    from make_fasttext_model import words, write_model
    n, dims, buckets = args.conv_words, args.conv_dims, args.conv_buckets
    d, done = dataset_dir(args, f"convert-{n}x{dims}-b{buckets}-s{args.seed}")
    if done:
        return d
    log(f"generating a fastText model of {n} words, {buckets} buckets x {dims} dims in {d}")
    d.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(args.seed + 2)
    vocab = words(n, rng)
    write_model(d / "model.bin", vocab, dims, buckets, rng)
    (d / "vocab_bytes").write_text(str(sum(len(w) for w in vocab)))
    (d / ".complete").touch()
    return d


def make_import_inputs(args, runner):
    """The same words and vectors as a word2vec binary file and as a .vec text
    file, in the form gensim writes them: no newline after a binary row, the
    shortest decimal of each float32 in text."""
    import numpy as np
    from make_fasttext_model import words
    n, dims = args.imp_words, args.dims
    d, done = dataset_dir(args, f"import-{n}x{dims}-s{args.seed}")
    if done:
        return d
    log(f"generating {n} words x {dims} dims as word2vec binary and text in {d}")
    d.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(args.seed + 3)
    vocab = words(n, rng)
    with open(d / "vectors.bin", "wb") as binary:
        binary.write(f"{n} {dims}\n".encode())
        for start in range(0, n, 10_000):
            block = rng.standard_normal((min(10_000, n - start), dims), dtype=np.float32)
            for word, row in zip(vocab[start:start + 10_000], block):
                binary.write(word + b" " + row.tobytes())
    # Printing 300M floats from Python takes many minutes; mave's text writer
    # (the shortest text of each float32, as gensim writes) takes seconds.
    subprocess.run([sys.executable, "-c", "import sys, mave; mave.convert(sys.argv[1], sys.argv[2], "
                    "src_format='word2vec', dst_format='text', normalize=False)",
                    str(d / "vectors.bin"), str(d / "vectors.vec")], env=runner.env, check=True)
    (d / "vocab_bytes").write_text(str(sum(len(w) for w in vocab)))
    (d / ".complete").touch()
    return d


def measure_import(args, runner, table, imp):
    log("13: word2vec binary and text into finalfusion")
    matrix_bytes = args.imp_words * args.dims * 4
    vocab_bytes = int((imp / "vocab_bytes").read_text())
    budget = (1.15 * matrix_bytes + vocab_bytes) / 2**20
    out = args.out / "imported.fifu"
    for fmt, name in (("word2vec", "vectors.bin"), ("text", "vectors.vec")):
        src = imp / name
        copy = args.out / "copied"

        def copy_round():
            shutil.copyfile(src, copy)
            os.unlink(copy)

        def ours_round():
            r = runner.child("import", {"tool": "mave", "format": fmt, "input": str(src),
                                        "output": str(out)})
            os.unlink(out)
            return r

        recache(src)
        t_copy = median(rounds_of(copy_round, args.rounds)) / 1e9
        ours_round()
        ours = [ours_round() for _ in range(args.rounds)]
        # gensim's text reader takes minutes on the large data: one round.
        slow = max(1, min(args.rounds, 3 if fmt == "word2vec" else 1))
        gs = [runner.child("import", {"tool": "gensim", "format": fmt, "input": str(src)})
              for _ in range(slow)]
        t_ours = median([r["ns"] for r in ours]) / 1e9
        t_gs = median([r["ns"] for r in gs]) / 1e9
        size = os.path.getsize(src) / 2**30
        if fmt == "word2vec":
            table.add("13", f"word2vec binary {args.imp_words} x {args.dims} ({size:.2f} GiB) -> "
                      "finalfusion vs load_word2vec_format(binary=True)", "s", t_ours, t_gs, None,
                      f"{t_copy:.2f} (shutil.copyfile)",
                      f"peer/mave {x(t_gs / t_ours)}, mave/copy {x(t_ours / t_copy)}",
                      ">=10x peer, <=2x copy", t_gs / t_ours >= 10 and t_ours / t_copy <= 2)
        else:
            table.add("13", f".vec text {args.imp_words} x {args.dims} ({size:.2f} GiB) -> "
                      "finalfusion vs load_word2vec_format(binary=False)", "s", t_ours, t_gs, None,
                      f"{t_copy:.2f} (shutil.copyfile)",
                      f"peer/mave {x(t_gs / t_ours)}, mave/copy {x(t_ours / t_copy)}",
                      ">=5x peer", t_gs / t_ours >= 5)
        def growth(results):
            return max(r["peak_rss_kib"] - r["base_rss_kib"] for r in results) / 1024
        peak = growth(ours)
        table.add("13", "peak resident memory of that conversion, beyond the imported modules",
                  "MiB", peak, growth(gs), None,
                  f"{budget:.0f} (1.15 x matrix + words)", f"mave/budget {x(peak / budget)}",
                  "<=1x budget", peak <= budget)


def recache(path):
    """Drops the file from the page cache and reads it once from start to end,
    so that every run maps it as it would a file freshly read from disk (the
    kernel's read-ahead then caches it in large folios, which it maps with
    2 MiB pages; a file just written can sit in small ones)."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        while os.read(fd, 1 << 23):
            pass
    finally:
        os.close(fd)


def median(xs):
    return statistics.median(xs)


def per_call(result, key="ns"):
    return median(result[key]) / result["n"]


def cosine(u, v):
    import numpy as np
    u, v = np.asarray(u, np.float64), np.asarray(v, np.float64)
    return float(u @ v / (np.linalg.norm(u) * np.linalg.norm(v)))


class Table:
    COLUMNS = ["#", "measure", "unit", "mave", "gensim", "fastText", "floor / baseline",
               "ratios", "target", "met"]

    def __init__(self):
        self.rows = []
        self.notes = []

    def add(self, number, measure, unit, mave=None, gensim=None, fasttext=None, floor=None,
            ratios="", target="", met=None):
        self.rows.append([number, measure, unit, fmt(mave), fmt(gensim), fmt(fasttext),
                          floor if isinstance(floor, str) else fmt(floor), ratios, target,
                          "" if met is None else ("yes" if met else "NO")])

    def print(self):
        rows = [self.COLUMNS] + self.rows
        widths = [max(len(str(r[i])) for r in rows) for i in range(len(self.COLUMNS))]
        numeric = {3, 4, 5}
        for k, r in enumerate(rows):
            cells = [str(c).rjust(widths[i]) if i in numeric else str(c).ljust(widths[i])
                     for i, c in enumerate(r)]
            print("  ".join(cells).rstrip())
            if k == 0:
                print("  ".join("-" * w for w in widths))
        for note in self.notes:
            print(note)


def fmt(value):
    if value is None:
        return "-"
    if isinstance(value, str):
        return value
    if value >= 100:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def x(value):
    return f"{value:.1f}x" if value >= 10 else f"{value:.2f}x"


def measure_load(args, runner, table, dense):
    log("1: load")
    path = str(dense / "model.fifu")
    recache(path)
    recache(dense / "gensim.kv.vectors.npy")
    queries = str(dense / "known.txt")
    ours = runner.child("load", {"tool": "mave", "path": path, "queries": queries,
                                 "rounds": args.rounds})
    peer = runner.child("load", {"tool": "gensim", "path": str(dense / "gensim.kv"),
                                 "queries": queries, "rounds": args.rounds})
    probe = subprocess.run([str(args.build_dir / "bench" / "mave_bench_load"), path,
                            str(args.rounds)], capture_output=True, text=True, check=True)
    floors = {}
    for line in probe.stdout.splitlines():
        name, *values = line.split()
        floors[name] = [int(v) for v in values]
    t_ours, t_peer = median(ours["ns"]) / 1e6, median(peer["ns"]) / 1e6
    t_floor, t_core = floors["floor"][0] / 1e6, floors["core"][0] / 1e6
    table.add("1", f"load FfModel ({args.words} x {args.dims} dense) vs "
              "KeyedVectors.load(mmap='r')", "ms", t_ours, t_peer, None,
              f"{t_floor:.2f} (C++ vocab read + hash set)",
              f"peer/mave {x(t_peer / t_ours)}, mave/floor {x(t_ours / t_floor)}",
              ">=10x peer, <=3x floor", t_peer / t_ours >= 10 and t_ours / t_floor <= 3)
    table.add("1", "  the core's read_embeddings_mapped alone (C++, no Python)", "ms",
              t_core, None, None, f"{t_floor:.2f}", f"core/floor {x(t_core / t_floor)}")
    word_bytes = os.path.getsize(dense / "words.txt") - args.words  # less the newlines
    growth = ours["rss_growth_kib"] * 1024
    per_word = (growth - word_bytes) / args.words
    table.add("1", "resident memory growth per word beyond the words' bytes", "B/word",
              per_word, (peer["rss_growth_kib"] * 1024 - word_bytes) / args.words, None,
              f"words' bytes {word_bytes / args.words:.1f}/word", "", "<= 64 B/word",
              per_word <= 64)
    table.add("1", "matrix KiB mapped into the process after load (after 1000 lookups)", "KiB",
              f"{ours['matrix_rss_after_load_kib']} ({ours['matrix_rss_after_1000_lookups_kib']})",
              f"{peer['matrix_rss_after_load_kib']} ({peer['matrix_rss_after_1000_lookups_kib']})",
              None, f"matrix {args.words * args.dims * 4 // 1024} KiB", "", "0 after load",
              ours["matrix_rss_after_load_kib"] == 0)


def hot_queries(args, dense):
    """Known-word queries drawn from the first few thousand words only, so that
    their index entries and rows stay in the caches: the lookup's own cost
    without the memory latency of a large vocabulary."""
    import numpy as np
    path = dense / f"hot-{args.hot}.txt"
    if not path.exists():
        words = read_lines(dense / "words.txt", args.hot)
        rng = np.random.default_rng(args.seed + 3)
        write_lines(path, [words[i] for i in rng.integers(0, len(words), size=args.lookups)])
    return str(path)


def measure_known(args, runner, table, dense):
    log("2: known-word lookups")
    recache(dense / "model.fifu")
    t_ours = None
    for queries, label in ((str(dense / "known.txt"), f"{args.lookups} random words "
                            "(load_embedding / kv[w] / get_word_vector)"),
                           (hot_queries(args, dense),
                            f"the same count among {args.hot} words (in cache)")):
        ours = runner.child("lookup", {"tool": "mave", "path": str(dense / "model.fifu"),
                                       "queries": queries, "rounds": args.rounds})
        gs = runner.child("lookup", {"tool": "gensim", "path": str(dense / "gensim.kv"),
                                     "queries": queries, "rounds": args.rounds})
        ft = runner.child("lookup", {"tool": "fasttext", "path": str(dense / "model0.bin"),
                                     "queries": queries, "rounds": args.rounds})
        t_mave, t_gs, t_ft = per_call(ours), per_call(gs), per_call(ft)
        t_floor = per_call(ours, "floor_ns")
        best = min(t_gs, t_ft)
        table.add("2", f"known-word lookup, {label}", "ns/call", t_mave, t_gs, t_ft,
                  f"{t_floor:.1f} (m.get_dims() loop)",
                  f"peer/mave {x(best / t_mave)}, mave/floor {x(t_mave / t_floor)}",
                  ">=5x peer, <=2.5x floor", best / t_mave >= 5 and t_mave / t_floor <= 2.5)
        if t_ours is None:
            t_ours = t_mave
            same = ours["check"] == gs["check"] == ft["check"]
            table.notes.append(f"check 2: the first 20 vectors are bit-identical across the "
                               f"three tools: {'yes' if same else 'NO'}")
    return t_ours


def measure_oov(args, runner, table, sub):
    log("3: composed lookups of out-of-vocabulary strings")
    queries = str(sub / "oov.txt")
    recache(sub / "model.fifu")
    ours = runner.child("lookup", {"tool": "mave", "path": str(sub / "model.fifu"),
                                   "queries": queries, "rounds": args.rounds})
    gs = runner.child("lookup", {"tool": "gensim-fasttext", "path": str(sub / "model.bin"),
                                 "queries": queries, "rounds": args.rounds})
    ft = runner.child("lookup", {"tool": "fasttext", "path": str(sub / "model.bin"),
                                 "queries": queries, "rounds": args.rounds})
    t_ours, t_gs, t_ft = per_call(ours), per_call(gs), per_call(ft)
    best = min(t_gs, t_ft)
    table.add("3", f"composed lookup, {ours['n']} OOV misspellings of 6-15 chars "
              f"({args.ft_dims} dims, {args.ft_buckets} buckets)", "ns/call", t_ours, t_gs,
              t_ft, None, f"peer/mave {x(best / t_ours)}", ">=5x peer", best / t_ours >= 5)
    cos = [min(cosine(a, b), cosine(a, c))
           for a, b, c in zip(ours["check"], gs["check"], ft["check"])]
    table.notes.append(f"check 3: least cosine between our first 20 composed vectors and "
                       f"the peers': {min(cos):.7f}")


def measure_eval(args, runner, table, dense):
    log("4: eval")
    r = runner.child("eval", {"path": str(dense / "model.fifu"),
                              "queries": str(dense / "known.txt"), "limit": args.evals,
                              "rounds": args.rounds})
    t_ours, t_print = per_call(r) / 1e3, per_call(r, "print_ns") / 1e3
    table.add("4", f"eval of a {args.dims}-dim vector, fd 1 on /dev/null", "us/line", t_ours,
              None, None, f"{t_print:.2f} (print(repr(list)))",
              f"baseline/mave {x(t_print / t_ours)}", ">=1x baseline", t_print / t_ours >= 1)


def measure_convert(args, runner, table, conv):
    log("5: conversion")
    src = conv / "model.bin"
    out = args.out / "converted.fifu"
    copy = args.out / "copied.bin"

    def copy_round():
        shutil.copyfile(src, copy)
        os.unlink(copy)

    def ours_round():
        r = runner.child("convert", {"tool": "mave", "input": str(src), "output": str(out)})
        os.unlink(out)
        return r

    t_copy = median(rounds_of(copy_round, args.rounds)) / 1e9
    ours_round()
    ours = [ours_round() for _ in range(args.rounds)]
    slow = max(1, min(args.rounds, 3))
    gs = [runner.child("convert", {"tool": "gensim", "input": str(src)}) for _ in range(slow)]
    t_ours = median([r["ns"] for r in ours]) / 1e9
    t_gs = median([r["ns"] for r in gs]) / 1e9
    table.add("5", f"build_model ({args.conv_words} words, {args.conv_buckets} buckets x "
              f"{args.conv_dims} dims) vs load_facebook_vectors", "s", t_ours, t_gs, None,
              f"{t_copy:.2f} (shutil.copyfile)",
              f"peer/mave {x(t_gs / t_ours)}, mave/copy {x(t_ours / t_copy)}",
              ">=5x peer, <=2x copy", t_gs / t_ours >= 5 and t_ours / t_copy <= 2)
    matrix_bytes = (args.conv_words + args.conv_buckets) * args.conv_dims * 4
    vocab_bytes = int((conv / "vocab_bytes").read_text())
    budget = (1.15 * matrix_bytes + vocab_bytes) / 2**20
    peak = max(r["peak_rss_kib"] for r in ours) / 1024
    table.add("5", "peak resident memory of the conversion (whole process)", "MiB", peak,
              max(r["peak_rss_kib"] for r in gs) / 1024, None,
              f"{budget:.0f} (1.15 x matrix + words)", f"mave/budget {x(peak / budget)}",
              "<=1x budget", peak <= budget)


def measure_quantized(args, runner, table, dense, dense_per_call):
    log("6: quantized lookups")
    recache(dense / "pq.fifu")
    r = runner.child("lookup", {"tool": "mave", "path": str(dense / "pq.fifu"),
                                "queries": str(dense / "known.txt"), "limit": args.pq_lookups,
                                "rounds": args.rounds})
    t = per_call(r)
    dense_text = f"{dense_per_call:.1f} (dense, measure 2)" if dense_per_call else "-"
    table.add("6", f"quantized lookup, {args.dims} dims, {args.pq_subquantizers} "
              "subquantizers + projection + norms", "ns/call", t, None, None, dense_text,
              f"pq/dense {x(t / dense_per_call)}" if dense_per_call else "", "reported")


def versions():
    from importlib import metadata
    out = {}
    for name in ("numpy", "gensim", "fasttext-wheel"):
        try:
            out[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            out[name] = "missing"
    return out


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) / 2**20
    return f"{model}, {os.cpu_count()} cores, {mem:.0f} GiB, Linux {platform.release()}"


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--large", action="store_true",
                   help="1M words x 300 dims, 1M lookups (about 10 GB of data, 5 minutes)")
    p.add_argument("--rounds", type=int, default=5, help="timed rounds per measure (median)")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--only", default="1,2,3,4,5,6,7,8,9,10,11,12,13",
                   help="measures to run, e.g. 1,3")
    p.add_argument("--words", type=int, help="dense vocabulary (default 200k, large 1M)")
    p.add_argument("--dims", type=int, default=300)
    p.add_argument("--lookups", type=int, help="known-word queries (default 200k, large 1M)")
    p.add_argument("--hot", type=int, default=5000,
                   help="vocabulary prefix of the in-cache known-word queries")
    p.add_argument("--oov", type=int, help="OOV queries (default 50k, large 200k)")
    p.add_argument("--ft-words", type=int, help="words of the subword model (50k, large 200k)")
    p.add_argument("--ft-dims", type=int, default=300)
    p.add_argument("--ft-buckets", type=int, default=2_000_000)
    p.add_argument("--conv-words", type=int, default=200_000)
    p.add_argument("--conv-dims", type=int, default=100)
    p.add_argument("--conv-buckets", type=int, default=1_000_000)
    p.add_argument("--evals", type=int, default=20_000, help="vectors printed per round")
    p.add_argument("--imp-words", type=int,
                   help="words of the word2vec binary and text inputs (default 200k, large 1M)")
    p.add_argument("--pq-lookups", type=int, help="quantized queries (default lookups / 4)")
    p.add_argument("--pq-subquantizers", type=int, default=100)
    p.add_argument("--build-dir", type=Path, default=ROOT / "build-bench")
    p.add_argument("--out", type=Path, default=HERE / "out")
    p.add_argument("--fresh", action="store_true", help="regenerate the data")
    p.add_argument("--clean", action="store_true", help="delete the data directory at the end")
    p.add_argument("--json", type=Path, help="also write the table's rows here")
    import mave_measures
    mave_measures.add_arguments(p)
    args = p.parse_args(argv)
    big = args.large
    args.words = args.words or (1_000_000 if big else 200_000)
    args.lookups = args.lookups or (1_000_000 if big else 200_000)
    args.oov = args.oov or (200_000 if big else 50_000)
    args.ft_words = args.ft_words or (200_000 if big else 50_000)
    args.imp_words = args.imp_words or (1_000_000 if big else 200_000)
    args.pq_lookups = args.pq_lookups or args.lookups // 4
    args.only = {int(k) for k in args.only.split(",") if k}
    args.build_dir = args.build_dir.resolve()
    args.out = args.out.resolve()
    return args


def main(argv):
    if len(argv) >= 1 and argv[0] == "--worker":
        import mave_measures
        name, spec, result_path = argv[1], json.loads(argv[2]), argv[3]
        result = {**WORKERS, **mave_measures.WORKERS}[name](spec)
        with open(result_path, "w") as f:
            json.dump(result, f)
        return
    args = parse_args(argv)
    if not any(args.build_dir.glob("_mave*.so")):
        raise SystemExit(f"no _mave module in {args.build_dir}: run bench/run.sh, or build "
                         "with -DMAVE_BUILD_BENCH=ON first")
    args.out.mkdir(parents=True, exist_ok=True)
    runner = Runner(args)
    started = time.monotonic()
    table = Table()
    import mave_measures
    dense = make_dense(args, runner) if args.only & {1, 2, 4, 6, 7, 9, 10, 11, 12} else None
    sub = make_subword(args, runner) if args.only & {3, 8} else None
    conv = make_conversion_input(args, runner) if 5 in args.only else None
    imp = make_import_inputs(args, runner) if 13 in args.only else None
    dense_per_call = None
    if 1 in args.only:
        measure_load(args, runner, table, dense)
    if 2 in args.only:
        dense_per_call = measure_known(args, runner, table, dense)
    if 3 in args.only:
        measure_oov(args, runner, table, sub)
    if 4 in args.only:
        measure_eval(args, runner, table, dense)
    if 5 in args.only:
        measure_convert(args, runner, table, conv)
    if 6 in args.only:
        measure_quantized(args, runner, table, dense, dense_per_call)
    if 7 in args.only:
        mave_measures.measure_embed(args, runner, table, dense, dense_per_call)
    if 8 in args.only:
        mave_measures.measure_embed_threads(args, runner, table, sub)
    if args.only & {9, 10}:
        similar = mave_measures.measure_similar(args, runner, table, dense)
        if 10 in args.only:
            mave_measures.measure_similar_quantized(args, runner, table, dense, similar)
    if 11 in args.only:
        hot_queries(args, dense)
        mave_measures.measure_single(args, runner, table, dense)
    if 12 in args.only:
        mave_measures.measure_load_both(args, runner, table, dense)
    if 13 in args.only:
        measure_import(args, runner, table, imp)

    v = versions()
    print()
    print(f"machine: {machine()}")
    print(f"python {platform.python_version()}, numpy {v['numpy']}, gensim {v['gensim']}, "
          f"fasttext-wheel {v['fasttext-wheel']}; seed {args.seed}; median of {args.rounds} "
          f"rounds after one warm-up (conversion peer: {max(1, min(args.rounds, 3))} rounds)")
    print("command: " + os.environ.get("MAVE_BENCH_COMMAND", f"bench/run.py {' '.join(argv)}").rstrip())
    print()
    table.print()
    where = "deleted" if args.clean else f"kept in {args.out}"
    print(f"\nwall time {time.monotonic() - started:.0f} s; data {where}")
    if args.json:
        args.json.write_text(json.dumps({"columns": Table.COLUMNS, "rows": table.rows,
                                         "notes": table.notes}, indent=1))
    if args.clean:
        shutil.rmtree(args.out)


if __name__ == "__main__":
    main(sys.argv[1:])
