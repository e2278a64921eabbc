"""Smoke test of an installed mave: version, conversion, loading, lookups,
searches.

Run by scripts/build-wheels (and tests/mave/test_wheel.py, scripts/run-tests
after installing the sdist, cibuildwheel's test command) inside a fresh
virtual environment holding only the package and what it requires, in
isolated mode so that nothing from the source tree is imported:

    python -I scripts/wheel_smoke.py MODEL.bin WORK_DIR [--any-location]

Converts the fastText model, loads the result with mave and _mave, checks
that both give the same vectors, searches (nearest and similar against
NumPy's cosines: the OpenBLAS of scipy-openblas32 at work), runs the
installed `mave` command (its version, `mave convert` to text and back,
`mave info --json`), and prints one JSON line: the version, the NumPy
version, the file's shape, a SHA-256 of the vectors of a fixed list of
strings, which the test compares with the build tree's answer, and the first
word's neighbours. Exits non-zero on any failure. --any-location accepts a
mave that is not installed (the build tree's, for the reference answer).
"""

import hashlib
import importlib.metadata
import json
import os
import pickle
import subprocess
import sys

import numpy as np

import _mave
import mave

QUERIES = ["the", "of", "and", "house", "Haus", "zzzzqx", "unseenword", "a", ""]


def main(model, work_dir, any_location=False):
    # Installed, not picked up from a source tree.
    if not any_location:
        for module in (mave, _mave):
            assert "site-packages" in module.__file__, module.__file__
        # The one version number, as the installer recorded it.
        assert mave.__version__ == importlib.metadata.version("mave"), mave.__version__

    out = os.path.join(work_dir, "smoke.fifu")
    # Conversion prints its progress on file descriptor 1: keep the JSON line
    # alone on standard output by converting in a child.
    isolated = ["-I"] if sys.flags.isolated else []
    subprocess.run(
        [sys.executable, *isolated, "-c", f"import _mave; _mave.build_model({model!r}, {out!r})"],
        check=True,
        stdout=subprocess.DEVNULL,
    )

    e = mave.load(out)
    m = _mave.FfModel(out)
    assert e.dims == m.get_dims() and len(e) > 0
    words = list(e.words)
    queries = QUERIES + words[:50]
    vectors, found = e.embed(queries)
    single = np.zeros(e.dims, np.float32)
    for i, word in enumerate(queries):
        assert m.load_embedding(word, single) == bool(found[i]), word
        if found[i]:
            assert np.array_equal(single.view(np.uint32), vectors[i].view(np.uint32)), word
            assert np.array_equal(e[word].view(np.uint32), single.view(np.uint32)), word
    assert found[len(QUERIES) :].all()
    again = pickle.loads(pickle.dumps(e))
    assert again.path == e.path and np.array_equal(again.embed(queries)[0], vectors)

    # The search, on the OpenBLAS the package loads from scipy-openblas32:
    # nearest and similar find the same neighbours, scored as NumPy's cosines.
    rows_matrix = e.embed(words)[0]
    unit = rows_matrix / np.linalg.norm(rows_matrix, axis=1, keepdims=True)
    asked = words[:20]
    rows, scores = e.nearest(asked, 5)
    for i, word in enumerate(asked):
        similar = e.similar(word, 5)
        assert [w for w, _ in similar] == [words[r] for r in rows[i]], word
        assert np.allclose([s for _, s in similar], scores[i], atol=1e-6), word
        assert np.allclose(scores[i], unit[rows[i]] @ unit[i], atol=1e-5), word
    neighbours = [w for w, _ in e.similar(words[0], 5)]

    # The command line as installed: its version, mave convert into word2vec
    # text and back, and mave info of the result.
    if not any_location:
        command = os.path.join(os.path.dirname(sys.executable), "mave")
        version = subprocess.run([command, "--version"], check=True, capture_output=True, text=True).stdout
        assert mave.__version__ in version, version
        vec, back = os.path.join(work_dir, "smoke.vec"), os.path.join(work_dir, "back.fifu")
        subprocess.run([command, "convert", out, vec], check=True, capture_output=True)
        subprocess.run([command, "convert", vec, back, "--no-normalize"], check=True, capture_output=True)
        info = json.loads(
            subprocess.run(
                [command, "info", back, "--json"], check=True, capture_output=True, text=True
            ).stdout
        )
        assert info["vocabulary"] == {"kind": "simple", "words": len(e)}, info
        assert np.array_equal(mave.load(back).embed(words)[0], e.embed(words)[0])

    digest = hashlib.sha256(vectors.tobytes() + found.tobytes()).hexdigest()
    print(
        json.dumps(
            {
                "version": mave.__version__,
                "numpy": np.__version__,
                "words": len(e),
                "dims": e.dims,
                "vectors": digest,
                "neighbours": neighbours,
            }
        )
    )


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], "--any-location" in sys.argv[3:])
