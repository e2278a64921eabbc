"""Exporting a large model as a static model folder: the time and memory of
`mave convert SRC DST --to model2vec` against Model2Vec writing the same
vocabulary and table from memory (`StaticModel(...).save_pretrained`), and a
file copy of the source as the floor. Each runs in a child process of its
own; the parent reads the child's peak resident memory (VmHWM, which counts
the pages of a mapped file it touched) and samples its anonymous memory
(RssAnon: what the process itself allocated). Then Model2Vec loads the export
and encodes texts, compared with mave's encode of the source.

    .venv/bin/python bench/model2vec_export.py            # 1M words x 300 dims
    .venv/bin/python bench/model2vec_export.py --words 200000 --dims 100

The source (a finalfusion file of random unit rows, with norms) is made once
in --out and reused; the exports are removed at the end. Nothing here is a
test: the figures are printed.
"""

import argparse
import os
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def status_kib(pid, field):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def measure(command):
    """Runs `command`; returns (seconds, peak VmHWM MiB, peak sampled RssAnon MiB, stdout)."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    peaks = {"anon": 0, "hwm": 0}

    def sample():
        while child.poll() is None:
            peaks["anon"] = max(peaks["anon"], status_kib(child.pid, "RssAnon"))
            peaks["hwm"] = max(peaks["hwm"], status_kib(child.pid, "VmHWM"))
            time.sleep(0.01)

    sampler = threading.Thread(target=sample)
    sampler.start()
    out, _ = child.communicate()
    seconds = time.perf_counter() - start
    sampler.join()
    if child.returncode != 0:
        raise SystemExit(f"{command} failed with status {child.returncode}")
    return seconds, peaks["hwm"] / 1024, peaks["anon"] / 1024, out


MODEL2VEC_SAVE = """
import sys, time
import numpy as np
import mave
from model2vec import StaticModel
from tokenizers import Tokenizer, models, pre_tokenizers
src, dst = sys.argv[1:3]
e = mave.load(src)
start = time.perf_counter()
words = list(e.words)
table = np.zeros((len(words) + 1, e.dims), np.float32)
table[:-1] = e.matrix[:len(words)]
vocab = {w: i for i, w in enumerate(words)}
vocab["[UNK]"] = len(words)
tok = Tokenizer(models.WordLevel(vocab, unk_token="[UNK]"))
tok.pre_tokenizer = pre_tokenizers.WhitespaceSplit()
StaticModel(vectors=table, tokenizer=tok, normalize=False, max_length=None).save_pretrained(dst)
print(time.perf_counter() - start)
"""

CHECK = """
import sys, time
import numpy as np
import mave
from model2vec import StaticModel
src, folder = sys.argv[1:3]
e = mave.load(src)
start = time.perf_counter()
model = StaticModel.from_pretrained(folder)
loaded = time.perf_counter() - start
rng = np.random.default_rng(0)
rows = rng.integers(0, len(e), size=(2000, 12))
texts = [" ".join(e.words[int(r)] for r in row) for row in rows]
diff = float(np.abs(model.encode(texts) - e.encode(texts)).max())
print(loaded, diff)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--words", type=int, default=1_000_000)
    parser.add_argument("--dims", type=int, default=300)
    parser.add_argument("--out", type=Path, default=HERE / "out")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    src = args.out / f"m2v-source-{args.words}x{args.dims}.fifu"
    if not src.exists():
        import numpy as np

        import mave

        rng = np.random.default_rng(args.seed)
        matrix = rng.standard_normal((args.words, args.dims), dtype=np.float32)
        mave.write(src, [f"w{i}" for i in range(args.words)], matrix)
        del matrix
    ours, theirs, copy = (args.out / name for name in ("m2v-mave", "m2v-model2vec", "m2v-copy.fifu"))
    for path in (ours, theirs, copy):
        shutil.rmtree(path, ignore_errors=True) if path.is_dir() else path.unlink(missing_ok=True)
    python = sys.executable
    try:
        copy_s, copy_hwm, _, _ = measure(
            [python, "-c", "import shutil, sys; shutil.copyfile(*sys.argv[1:])", str(src), str(copy)]
        )
        mave_s, mave_hwm, mave_anon, _ = measure(
            [python, "-m", "mave", "convert", str(src), str(ours), "--to", "model2vec", "-q"]
        )
        peer_s, peer_hwm, peer_anon, out = measure([python, "-c", MODEL2VEC_SAVE, str(src), str(theirs)])
        peer_save_s = float(out)
        _, _, _, out = measure([python, "-c", CHECK, str(src), str(ours)])
        load_s, diff = map(float, out.split())
        table_mib = (args.words + 1) * args.dims * 4 / 2**20
        print(f"model: {args.words:,} words x {args.dims} dims, table {table_mib:,.0f} MiB; " f"source {src}")
        print(f"{'':44} {'seconds':>8} {'VmHWM MiB':>10} {'RssAnon MiB':>12}")
        print(
            f"{'mave convert --to model2vec (whole process)':44} {mave_s:8.2f} {mave_hwm:10,.0f} "
            f"{mave_anon:12,.0f}"
        )
        print(
            f"{'Model2Vec save_pretrained (whole process)':44} {peer_s:8.2f} {peer_hwm:10,.0f} "
            f"{peer_anon:12,.0f}"
        )
        print(f"{'  of which building and saving':44} {peer_save_s:8.2f}")
        print(f"{'copy of the source file (floor)':44} {copy_s:8.2f} {copy_hwm:10,.0f}")
        print(f"ratios: Model2Vec/mave {peer_s / mave_s:.2f}x, mave/copy {mave_s / copy_s:.2f}x")
        print(
            f"Model2Vec from_pretrained of the export: {load_s:.2f} s; encode of 2000 texts of 12 "
            f"known words, largest difference from mave's encode: {diff:.2e}"
        )
    finally:
        for path in (ours, theirs):
            shutil.rmtree(path, ignore_errors=True)
        copy.unlink(missing_ok=True)


if __name__ == "__main__":
    main()
