#!/usr/bin/env python3
"""Quality and speed of mave.quantize.

Quality: a real fastText model (skipgram, 300 dims by default) trained with
the fastText command-line tool on a corpus rebuilt from two Debian
documentation packages (the reStructuredText sources of the Python 3.11
manuals in python3.11-doc and the kernel documentation in linux-doc-6.1),
converted with _mave.build_model, then quantized with product quantization
(PQ) and with a learned rotation (OPQ) at the default settings. For each:
file size against the dense file, cosine between every word's original and
reconstructed vector (mean and 5th percentile), overlap of the top 10 of
`similar` with the dense file's for 1000 query words, and known-word lookups
(_mave's load_embedding, as measure 6 of bench/run.py).

Speed: quantizing a 1M x 300 dense file of synthetic rows with the defaults.

Usage (bench/run-quantize.sh installs what it needs and builds first):
    bench/quantize.py [--only quality,speed] [--dims 300] [--rows 1000000] ...

Everything generated lives in bench/out/quantize (git-ignored) and is reused
by later runs with the same settings; --fresh regenerates it.
"""

import argparse
import glob
import gzip
import json
import os
import platform
import re
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

CORPUS_SOURCES = [
    # (package, glob, kind): the manuals' own text, not their HTML.
    ("python3.11-doc", "/usr/share/doc/python3.11/html/_sources/**/*.txt", "text"),
    ("linux-doc-6.1", "/usr/share/doc/linux-doc-6.1/Documentation/**/*", "text-or-gz"),
]
WORD = re.compile(r"[a-z0-9]+")


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def build_corpus(path):
    """Lower-cased words of letters and digits, one output line per input
    line, files in sorted order: the same packages give the same corpus."""
    tokens = 0
    with open(path, "w", encoding="utf-8") as out:
        for _, pattern, kind in CORPUS_SOURCES:
            for name in sorted(glob.glob(pattern, recursive=True)):
                if os.path.isdir(name):
                    continue
                if name.endswith(".gz"):
                    if kind != "text-or-gz":
                        continue
                    opener = lambda p: gzip.open(p, "rt", encoding="utf-8", errors="replace")  # noqa: E731
                elif name.endswith((".txt", ".rst")) or kind == "text":
                    opener = lambda p: open(p, encoding="utf-8", errors="replace")  # noqa: E731
                else:
                    continue
                with opener(name) as f:
                    for line in f:
                        words = WORD.findall(line.lower())
                        if words:
                            out.write(" ".join(words) + "\n")
                            tokens += len(words)
    return tokens


def train_model(args, corpus, prefix):
    cmd = [
        "fasttext",
        "skipgram",
        "-input",
        str(corpus),
        "-output",
        str(prefix),
        "-dim",
        str(args.dims),
        "-epoch",
        str(args.epoch),
        "-minCount",
        str(args.min_count),
        "-thread",
        "2",
        "-seed",
        str(args.seed),
        "-verbose",
        "0",
    ]
    log("+", " ".join(cmd))
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    os.unlink(f"{prefix}.vec")


def timed(f, *a, **kw):
    t = time.perf_counter()
    r = f(*a, **kw)
    return r, time.perf_counter() - t


def timed_with_cpu(f, *a, **kw):
    """Wall and CPU seconds (of this process, all threads): the machine is
    shared, so the CPU time tells how much of the wall time was waiting."""
    cpu = time.process_time()
    r, wall = timed(f, *a, **kw)
    return r, wall, time.process_time() - cpu


def cosines(a, b):
    num = np.einsum("ij,ij->i", a, b, dtype=np.float64)
    den = np.linalg.norm(a.astype(np.float64), axis=1) * np.linalg.norm(b.astype(np.float64), axis=1)
    return num / np.where(den > 0, den, 1)


def lookup_ns(path, words, rounds=3):
    """ns per _mave load_embedding call over `words`, median of rounds."""
    import _mave

    m = _mave.FfModel(str(path))
    v = np.zeros(m.get_dims(), np.float32)
    f = m.load_embedding
    for w in words[:1000]:
        f(w, v)
    times = []
    for _ in range(rounds):
        t = time.perf_counter_ns()
        for w in words:
            f(w, v)
        times.append((time.perf_counter_ns() - t) / len(words))
    return sorted(times)[len(times) // 2]


def quality(args, out):
    import _mave
    import mave

    tag = f"ft-{args.dims}d-e{args.epoch}-c{args.min_count}-s{args.seed}"
    corpus = out / "corpus.txt"
    if args.fresh or not corpus.exists():
        log("building the corpus from", ", ".join(p for p, _, _ in CORPUS_SOURCES))
        tokens = build_corpus(corpus)
        (out / "corpus.tokens").write_text(str(tokens))
    tokens = int((out / "corpus.tokens").read_text())
    model = out / f"{tag}.bin"
    if args.fresh or not model.exists():
        log(f"training fastText on {tokens:,} tokens")
        _, t = timed(train_model, args, corpus, out / tag)
        log(f"trained in {t:.0f} s")
    dense = out / f"{tag}.fifu"
    if args.fresh or not dense.exists():
        subprocess.run(
            [sys.executable, "-c", f"import _mave; _mave.build_model({str(model)!r}, " f"{str(dense)!r})"],
            check=True,
            stdout=subprocess.DEVNULL,
        )
    d = mave.load(dense)
    words = list(d.words)
    rng = np.random.default_rng(args.seed)
    queries = [words[i] for i in rng.choice(len(words), size=min(1000, len(words)), replace=False)]
    lookups = [words[i] for i in rng.integers(0, len(words), size=args.lookups)]
    # Strings outside the vocabulary, composed from n-gram rows: each query
    # with its middle letter doubled.
    vocab = set(words)
    oov = [
        w
        for w in (q[: len(q) // 2] + q[len(q) // 2 :][:1] + q[len(q) // 2 :] for q in queries)
        if w not in vocab
    ]
    dense_oov, _ = d.embed(oov)
    original = np.asarray(d.matrix[: len(words)])
    dense_similar = [[w for w, _ in d.similar(q, k=10)] for q in queries]
    rows = {
        "model": {
            "tokens": tokens,
            "words": len(words),
            "rows": d.matrix.shape[0],
            "dims": d.dims,
            "dense_bytes": dense.stat().st_size,
        },
        "dense_lookup_ns": lookup_ns(dense, lookups),
    }
    for method in ("pq", "opq"):
        path = out / f"{tag}.{method}.fifu"
        _, seconds, cpu = timed_with_cpu(
            mave.quantize, dense, path, opq=(method == "opq"), seed=args.seed, threads=args.threads
        )
        q = mave.load(path)
        rebuilt = q.reconstruct(range(len(words)))
        cos = cosines(original, rebuilt)
        # Bucket rows: most are zero in a model of a few million tokens (never
        # trained) and come back as zero; the others are measured.
        bucket_rows = d.matrix.shape[0] - len(words)
        bucket = {}
        if bucket_rows:
            pick = np.sort(rng.choice(bucket_rows, size=min(100_000, bucket_rows), replace=False))
            pick += len(words)
            source = np.asarray(d.matrix[pick])
            rebuilt_buckets = q.reconstruct(pick.tolist())
            zero = ~source.any(axis=1)
            bucket = {
                "bucket_rows_sampled": len(pick),
                "bucket_zero_fraction": float(zero.mean()),
                "bucket_zero_rows_rebuilt_zero": not rebuilt_buckets[zero].any(),
                "bucket_mean_cos": float(cosines(source[~zero], rebuilt_buckets[~zero]).mean()),
            }
        quantized_oov, _ = q.embed(oov)
        oov_cos = cosines(dense_oov, quantized_oov)
        overlap = np.mean(
            [
                len(set(a) & {w for w, _ in q.similar(query, k=10)}) / 10
                for query, a in zip(queries, dense_similar)
            ]
        )
        rows[method] = {
            "seconds": seconds,
            "cpu_seconds": cpu,
            "bytes": path.stat().st_size,
            "size_ratio": path.stat().st_size / dense.stat().st_size,
            "mean_cos": float(cos.mean()),
            "p5_cos": float(np.percentile(cos, 5)),
            **bucket,
            "oov_strings": len(oov),
            "oov_mean_cos": float(oov_cos.mean()),
            "oov_p5_cos": float(np.percentile(oov_cos, 5)),
            "top10_overlap": float(overlap),
            "lookup_ns": lookup_ns(path, lookups),
            "settings": q.metadata["quantizer"],
        }
        log(method, json.dumps(rows[method]))
        if not args.keep:
            path.unlink()
    return rows


def speed(args, out):
    import mave
    from fifu_files import write_dense

    dense = out / f"synthetic-{args.rows}x{args.speed_dims}.fifu"
    if args.fresh or not dense.exists():
        log(f"writing {args.rows:,} x {args.speed_dims} synthetic rows")
        rng = np.random.default_rng(args.seed)
        # Rows from a few hundred directions plus noise, not white noise: the
        # k-means converges as on real rows. Its time does not depend on it.
        centers = rng.standard_normal((512, args.speed_dims)).astype(np.float32)
        matrix = np.empty((args.rows, args.speed_dims), np.float32)
        for s in range(0, args.rows, 65536):
            n = min(65536, args.rows - s)
            matrix[s : s + n] = centers[rng.integers(0, 512, n)] + rng.standard_normal(
                (n, args.speed_dims)
            ).astype(np.float32)
        lengths = np.linalg.norm(matrix, axis=1)
        matrix /= lengths[:, None]
        words = [f"w{i}".encode() for i in range(args.rows)]
        write_dense(dense, words, matrix, lengths.astype(np.float32))
        del matrix
    stages = {}
    start = time.perf_counter()

    def progress(stage, done, total):
        if done == total:
            stages[stage] = time.perf_counter() - start

    path = out / "synthetic.opq.fifu"
    _, seconds, cpu = timed_with_cpu(mave.quantize, dense, path, threads=args.threads, progress=progress)
    size = path.stat().st_size
    path.unlink()
    return {
        "rows": args.rows,
        "dims": args.speed_dims,
        "seconds": seconds,
        "cpu_seconds": cpu,
        "stages_done_at": stages,
        "bytes": size,
        "size_ratio": size / dense.stat().st_size,
    }


def versions():
    from importlib import metadata

    out = {}
    for name in ("numpy", "faiss-cpu"):
        try:
            out[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            out[name] = "missing"
    try:
        out["fasttext"] = subprocess.run(
            ["dpkg-query", "-W", "-f", "${Version}", "fasttext"], capture_output=True, text=True
        ).stdout
    except OSError:
        out["fasttext"] = "?"
    return out


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--only", default="quality,speed")
    p.add_argument("--dims", type=int, default=300, help="dimensions of the fastText model")
    p.add_argument("--epoch", type=int, default=5)
    p.add_argument("--min-count", type=int, default=5)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--lookups", type=int, default=200_000, help="known-word lookups timed")
    p.add_argument("--rows", type=int, default=1_000_000, help="rows of the speed test")
    p.add_argument("--speed-dims", type=int, default=300)
    p.add_argument("--threads", type=int, default=None, help="faiss threads (default: faiss's)")
    p.add_argument("--out", type=Path, default=HERE / "out" / "quantize")
    p.add_argument("--fresh", action="store_true")
    p.add_argument("--keep", action="store_true", help="keep the quantized files")
    p.add_argument("--json", type=Path)
    args = p.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    result = {
        "machine": f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores",
        "python": platform.python_version(),
        "versions": versions(),
        "command": os.environ.get("MAVE_BENCH_COMMAND", " ".join(sys.argv)),
    }
    only = set(args.only.split(","))
    if "quality" in only:
        result["quality"] = quality(args, args.out)
    if "speed" in only:
        result["speed"] = speed(args, args.out)
    text = json.dumps(result, indent=2)
    print(text)
    if args.json:
        args.json.write_text(text + "\n")


if __name__ == "__main__":
    main(sys.argv[1:])
