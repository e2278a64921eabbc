"""Measures of file conversion:

convert  build_model of a synthetic fastText model against gensim's
         load_facebook_vectors and a file copy; peak resident memory
import   mave.convert of a word2vec binary, a .vec text file and its .vec.gz
         into finalfusion against gensim's load_word2vec_format and a file
         copy (zcat > /dev/null for the .gz)
"""

import os
import shutil
import subprocess
import time

from common import log, median, ns, peak_rss_kib, recache, rounds_of, rss_kib, x

# ---------------------------------------------------------------------------
# Workers (child processes)


def worker_convert(job):
    """One conversion, timed inside the process (wall and CPU time, every
    thread's), with the process's peak resident memory. (VmHWM belongs to the memory of this program only; the
    ru_maxrss that wait4 reports for a child can include the memory of the
    parent it was forked from.)"""
    t0, c0 = ns(), time.process_time_ns()
    if job["tool"] == "mave":
        import _mave

        _mave.build_model(job["input"], job["output"])
    else:
        from gensim.models.fasttext import load_facebook_vectors

        load_facebook_vectors(job["input"])
    return {"ns": ns() - t0, "cpu_ns": time.process_time_ns() - c0, "peak_rss_kib": peak_rss_kib()}


def worker_import(job):
    """One conversion of a word2vec binary or text file into finalfusion
    (mave.convert), or gensim's load_word2vec_format of the same file, timed
    inside the process after the imports, with the process's peak resident
    memory and its resident memory before the work."""
    if job["tool"] == "mave":
        import mave

        def work():
            mave.convert(job["input"], job["output"], src_format=job["format"])
    else:
        from gensim.models import KeyedVectors

        def work():
            KeyedVectors.load_word2vec_format(job["input"], binary=job["format"] == "word2vec")

    base = rss_kib()
    t0, c0 = ns(), time.process_time_ns()
    work()
    return {
        "ns": ns() - t0,
        "cpu_ns": time.process_time_ns() - c0,
        "peak_rss_kib": peak_rss_kib(),
        "base_rss_kib": base,
    }


# ---------------------------------------------------------------------------
# The parent


def measure_convert(args, runner, table, conv):
    log("convert: conversion")
    src = conv / "model.bin"
    out = args.out / "converted.fifu"
    copy = args.out / "copied.bin"

    def copy_round():
        shutil.copyfile(src, copy)
        os.unlink(copy)

    def ours_round():
        r = runner.child(worker_convert, {"tool": "mave", "input": str(src), "output": str(out)})
        os.unlink(out)
        return r

    t_copy = median(rounds_of(copy_round, args.rounds)) / 1e9
    ours_round()
    ours = [ours_round() for _ in range(args.rounds)]
    slow = max(1, min(args.rounds, 3))
    gs = [runner.child(worker_convert, {"tool": "gensim", "input": str(src)}) for _ in range(slow)]
    t_ours = median([r["ns"] for r in ours]) / 1e9
    t_gs = median([r["ns"] for r in gs]) / 1e9
    table.add(
        "convert",
        f"build_model ({args.conv_words} words, {args.conv_buckets} buckets x "
        f"{args.conv_dims} dims) vs load_facebook_vectors",
        "s",
        t_ours,
        t_gs,
        None,
        f"{t_copy:.2f} (shutil.copyfile)",
        f"peer/mave {x(t_gs / t_ours)}, mave/copy {x(t_ours / t_copy)}",
        ">=5x peer, <=2x copy",
        t_gs / t_ours >= 5 and t_ours / t_copy <= 2,
    )
    matrix_bytes = (args.conv_words + args.conv_buckets) * args.conv_dims * 4
    vocab_bytes = int((conv / "vocab_bytes").read_text())
    budget = (1.15 * matrix_bytes + vocab_bytes) / 2**20
    peak = max(r["peak_rss_kib"] for r in ours) / 1024
    table.add(
        "convert",
        "peak resident memory of the conversion (whole process)",
        "MiB",
        peak,
        max(r["peak_rss_kib"] for r in gs) / 1024,
        None,
        f"{budget:.0f} (1.15 x matrix + words)",
        f"mave/budget {x(peak / budget)}",
        "<=1x budget",
        peak <= budget,
    )


def measure_import(args, runner, table, imp):
    log("import: word2vec binary and text into finalfusion")
    matrix_bytes = args.imp_words * args.dims * 4
    vocab_bytes = int((imp / "vocab_bytes").read_text())
    budget = (1.15 * matrix_bytes + vocab_bytes) / 2**20
    out = args.out / "imported.fifu"
    for fmt, name in (("word2vec", "vectors.bin"), ("text", "vectors.vec"), ("text", "vectors.vec.gz")):
        src = imp / name
        copy = args.out / "copied"
        gz = name.endswith(".gz")

        def copy_round():
            if gz:  # the floor of reading a .gz: decompressing it
                with open(os.devnull, "wb") as null:
                    subprocess.run(["gzip", "-dc", str(src)], stdout=null, check=True)
                return
            shutil.copyfile(src, copy)
            os.unlink(copy)

        def ours_round():
            r = runner.child(
                worker_import, {"tool": "mave", "format": fmt, "input": str(src), "output": str(out)}
            )
            os.unlink(out)
            return r

        recache(src)
        t_copy = median(rounds_of(copy_round, args.rounds)) / 1e9
        ours_round()
        ours = [ours_round() for _ in range(args.rounds)]
        # gensim's text reader takes minutes on the large data: one round.
        slow = max(1, min(args.rounds, 3 if fmt == "word2vec" else 1))
        gs = [
            runner.child(worker_import, {"tool": "gensim", "format": fmt, "input": str(src)})
            for _ in range(slow)
        ]
        t_ours = median([r["ns"] for r in ours]) / 1e9
        t_gs = median([r["ns"] for r in gs]) / 1e9
        size = os.path.getsize(src) / 2**30
        if fmt == "word2vec":
            table.add(
                "import",
                f"word2vec binary {args.imp_words} x {args.dims} ({size:.2f} GiB) "
                "-> finalfusion vs load_word2vec_format(binary=True)",
                "s",
                t_ours,
                t_gs,
                None,
                f"{t_copy:.2f} (shutil.copyfile)",
                f"peer/mave {x(t_gs / t_ours)}, mave/copy {x(t_ours / t_copy)}",
                ">=10x peer, <=2x copy",
                t_gs / t_ours >= 10 and t_ours / t_copy <= 2,
            )
        elif gz:
            table.add(
                "import",
                f".vec.gz {args.imp_words} x {args.dims} ({size:.2f} GiB) -> "
                "finalfusion vs load_word2vec_format(.gz)",
                "s",
                t_ours,
                t_gs,
                None,
                f"{t_copy:.2f} (zcat > /dev/null)",
                f"peer/mave {x(t_gs / t_ours)}, mave/zcat {x(t_ours / t_copy)}",
                "reported",
                None,
            )
        else:
            table.add(
                "import",
                f".vec text {args.imp_words} x {args.dims} ({size:.2f} GiB) -> "
                "finalfusion vs load_word2vec_format(binary=False)",
                "s",
                t_ours,
                t_gs,
                None,
                f"{t_copy:.2f} (shutil.copyfile)",
                f"peer/mave {x(t_gs / t_ours)}, mave/copy {x(t_ours / t_copy)}",
                ">=30x peer, <=3x copy",
                t_gs / t_ours >= 30 and t_ours / t_copy <= 3,
            )

        def growth(results):
            return max(r["peak_rss_kib"] - r["base_rss_kib"] for r in results) / 1024

        peak = growth(ours)
        table.add(
            "import",
            "peak resident memory of that conversion, beyond the imported " "modules",
            "MiB",
            peak,
            growth(gs),
            None,
            f"{budget:.0f} (1.15 x matrix + words)",
            f"mave/budget {x(peak / budget)}",
            "<=1x budget",
            peak <= budget,
        )
