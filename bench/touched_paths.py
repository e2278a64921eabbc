#!/usr/bin/env python3
"""The paths a change touches, with several builds in one run: conversions
(_mave.build_model, word2vec -> finalfusion, finalfusion -> text), lookups
(_mave load_embedding, mave embed), searches (similar, nearest) and encoding
(encode of word vectors), each timed in processor time on one thread.

    bench/touched_paths.py DATA_DIR BUILD_DIR... [--turns 5]

DATA_DIR holds fasttext.bin, vectors.bin (word2vec) and vectors.fifu, as
bench/conversion_builds.py makes them. Every build runs in a fresh
interpreter with PYTHONPATH at its directory; the builds take turns in an
order that alternates from turn to turn, and each figure is the best over
the turns (and over the rounds inside a turn).
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time


def best(f, rounds=3):
    times = []
    for _ in range(rounds):
        start = time.process_time()
        f()
        times.append(time.process_time() - start)
    return min(times)


def worker(data, out):
    import numpy as np

    import _mave
    import mave

    r = {}
    r["build_model"] = best(lambda: _mave.build_model(f"{data}/fasttext.bin", f"{out}/bm.fifu"))
    r["convert w2v"] = best(lambda: mave.convert(f"{data}/vectors.bin", f"{out}/w2v.fifu"))
    r["convert ff->text"] = best(lambda: mave.convert(f"{data}/vectors.fifu", f"{out}/ff.txt"), 2)
    e = mave.load(f"{data}/vectors.fifu")
    rng = np.random.default_rng(0)
    words = [e.words[int(i)] for i in rng.integers(0, len(e), 200_000)]
    r["embed 200k"] = best(lambda: e.embed(words, threads=1))
    m = _mave.FfModel(f"{data}/vectors.fifu")
    a = np.empty(e.dims, np.float32)
    r["load_embedding 50k"] = best(lambda: [m.load_embedding(w, a) for w in words[:50_000]])
    q = words[:20]
    r["similar x20"] = best(lambda: [e.similar(w, 10, threads=1) for w in q])
    r["nearest 200"] = best(lambda: e.nearest(q * 10, 10, threads=1))
    texts = [" ".join(words[i : i + 12]) for i in range(0, 120_000, 12)]
    r["encode 10k texts"] = best(lambda: e.encode(texts, threads=1))
    print(json.dumps(r))


def main(argv):
    if argv[:1] == ["--worker"]:
        worker(argv[1], argv[2])
        return 0
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("data")
    p.add_argument("builds", nargs="+")
    p.add_argument("--turns", type=int, default=5)
    args = p.parse_args(argv)
    results = {b: [] for b in args.builds}
    for turn in range(args.turns):
        for b in args.builds if turn % 2 == 0 else args.builds[::-1]:
            with tempfile.TemporaryDirectory() as out:
                child = subprocess.run(
                    [sys.executable, "-P", __file__, "--worker", args.data, out],
                    env={**os.environ, "PYTHONPATH": b},
                    capture_output=True,
                    text=True,
                    check=True,
                )
                results[b].append(json.loads(child.stdout.strip().splitlines()[-1]))
    names = [os.path.basename(os.path.normpath(b)) for b in args.builds]
    print(f"{'CPU seconds (best)':22s}" + "".join(f"{n:>16s}" for n in names) + "   last/first")
    for key in results[args.builds[0]][0]:
        v = [min(t[key] for t in results[b]) for b in args.builds]
        print(f"{key:22s}" + "".join(f"{x:16.3f}" for x in v) + f"   {v[-1] / v[0]:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
