#!/usr/bin/env python3
"""e.to_arrow() and Parquet conversions on a generated model: the word
column made from the vocabulary's bytes against one made from a str per
word, the table's own memory, and the time and peak memory of converting to
Parquet and back (mave's own table, and a table as pandas writes it: lists
of float64 in one row group).

Usage (from the repository, with the package built, e.g.
`PYTHONPATH=build/test`):
    bench/arrow_bench.py [--words N] [--dims D] [--rounds R] [--seed S] [--out DIR]

Each conversion runs in a fresh process, which reports its peak resident
memory (VmHWM, which counts the mapped input's pages too) and its highest
anonymous memory (RssAnon, read at each progress call) above what it held
after its imports. Nothing here fails on time.
"""

import argparse
import os
import statistics
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np

MIB = 2**20
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import machine  # noqa: E402


def anonymous_rss():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("RssAnon:"))


def median_seconds(work, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def convert_in_child(src, dst, **options):
    """Seconds, the growth of the peak resident memory (VmHWM: the pages of a
    mapped input count too) and of the anonymous memory (RssAnon, sampled
    at each progress call) of mave.convert in a fresh process, after its
    imports."""
    code = textwrap.dedent(f"""
        import time, mave, mave._parquet
        def status(key):
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key))
        anonymous = [status("RssAnon:")]
        def progress(phase, done, total):
            anonymous.append(status("RssAnon:"))
        before = status("VmHWM:")
        start = time.perf_counter()
        mave.convert({str(src)!r}, {str(dst)!r}, progress=progress, **{options!r})
        print(time.perf_counter() - start, status("VmHWM:") - before,
              max(anonymous) - anonymous[0])
    """)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    seconds, grown, anonymous = out.stdout.split()
    return float(seconds), int(grown), int(anonymous)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--words", type=int, default=500_000)
    p.add_argument("--dims", type=int, default=300)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--out", type=Path, default=HERE / "out")
    args = p.parse_args(argv)

    import pyarrow as pa
    import pyarrow.parquet as pq

    import mave
    from mave import _arrow

    args.out.mkdir(parents=True, exist_ok=True)
    path = args.out / f"arrow-{args.words}x{args.dims}-{args.seed}.fifu"
    rng = np.random.default_rng(args.seed)
    if not path.exists():
        # Words of 3 to 14 characters, as a real vocabulary's.
        # Unit rows and their norms, as converted models hold them.
        vocab = [f"w{i}{'x' * (i % 11)}" for i in range(args.words)]
        mave.write(
            path,
            vocab,
            rng.standard_normal((args.words, args.dims), dtype=np.float32),
            metadata={"source": "bench/arrow_bench.py"},
        )
    e = mave.load(path)
    n = len(e)
    matrix_bytes = n * e.dims * 4

    rows = {}
    rows["word column from the vocabulary's bytes (`to_arrow`'s)"] = median_seconds(
        lambda: _arrow.word_chunks(e, 0, n), args.rounds
    )
    rows["word column from a str per word (`pa.array(e.words[:])`)"] = median_seconds(
        lambda: pa.array(e.words[:], pa.string()), args.rounds
    )
    rows["`e.to_arrow()`"] = median_seconds(e.to_arrow, args.rounds)
    rows["`e.to_arrow_batches(65536)`, every batch"] = median_seconds(
        lambda: [b.num_rows for b in e.to_arrow_batches(65536)], args.rounds
    )
    before = anonymous_rss()
    table = e.to_arrow()
    float(table.column("vector").chunk(0).values.to_numpy().sum(dtype=np.float64))
    table_growth = anonymous_rss() - before
    del table

    conversions = {}
    parquet = args.out / "arrow-bench.parquet"
    conversions["finalfusion -> Parquet (`mave convert x.fifu x.parquet`)"] = convert_in_child(
        path, parquet
    ) + (parquet.stat().st_size,)
    back = args.out / "arrow-bench-back.fifu"
    conversions["Parquet -> finalfusion (mave's table)"] = convert_in_child(parquet, back) + (
        back.stat().st_size,
    )
    identical = back.read_bytes() == path.read_bytes()
    # As pandas writes lists: list<double>, one row group.
    pandas_like = args.out / "arrow-bench-pandas.parquet"
    if not pandas_like.exists():
        m = e.matrix.astype(np.float64)
        offsets = pa.array(np.arange(0, m.size + 1, e.dims, dtype=np.int32))
        pq.write_table(
            pa.table(
                {
                    "text": pa.array(e.words[:], pa.large_string()),
                    "embedding": pa.ListArray.from_arrays(offsets, pa.array(m.ravel())),
                }
            ),
            pandas_like,
            row_group_size=n,
        )
        del m, offsets
    conversions["Parquet as pandas writes it (list<double>, 1 row group) -> finalfusion"] = convert_in_child(
        pandas_like, args.out / "arrow-bench-pandas.fifu", columns=("text", "embedding"), normalize=False
    ) + ((args.out / "arrow-bench-pandas.fifu").stat().st_size,)

    print(
        f"{machine()}, load average {os.getloadavg()[0]:.1f}; python {sys.version.split()[0]}, "
        f"numpy {np.__version__}, pyarrow {pa.__version__}, mave {mave.__version__}"
    )
    print(
        f"{n:,} words x {e.dims} dims (matrix {matrix_bytes / MIB:.0f} MiB), median of "
        f"{args.rounds} rounds"
    )
    print("command: bench/arrow_bench.py " + " ".join(argv))
    print()
    print("| work | milliseconds |")
    print("|---|---|")
    for name, seconds in rows.items():
        print(f"| {name} | {seconds * 1000:.2f} |")
    print()
    print(
        f"Private (anonymous) memory after `e.to_arrow()` and reading every vector: "
        f"+{table_growth / MIB:.1f} MiB for a {matrix_bytes / MIB:.0f} MiB matrix."
    )
    print()
    print(
        "| conversion | seconds | peak resident growth (VmHWM) | anonymous memory growth "
        "(RssAnon, highest seen) | output |"
    )
    print("|---|---|---|---|---|")
    for name, (seconds, grown, anonymous, size) in conversions.items():
        print(
            f"| {name} | {seconds:.2f} | {grown / MIB:.0f} MiB | {anonymous / MIB:.0f} MiB | "
            f"{size / MIB:.0f} MiB |"
        )
    print()
    print(f"finalfusion -> Parquet -> finalfusion gives the same bytes: {identical}")


if __name__ == "__main__":
    main(sys.argv[1:])
