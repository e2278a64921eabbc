#!/usr/bin/env python3
"""Writes the seeds of the embeddings fuzz target that mave.quantize writes:
one small file of each kind it produces (simple and subword vocabularies,
with and without the learned rotation), from the dense fixtures of
tests/support/fixture_files.py.

    PYTHONPATH=build/test fuzz/make_quantized_corpus.py   # needs faiss

They are fuzz/corpus/embeddings/quantized-*, which fuzz/make_corpus.py
leaves alone.
"""

import pathlib
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "support"))

import fixture_files  # noqa: E402
import mave  # noqa: E402

# (seed name, dense fixture, settings); each fixture has 4 dimensions and at
# least 4 rows where a rotation is learned.
SEEDS = [
    ("quantized-simple-pq-norms", "simple-dense-meta-norms", dict(opq=False, bits=1)),
    ("quantized-fasttext-opq", "fasttext-dense-meta", dict(opq=True, bits=3, subquantizers=2)),
    ("quantized-explicit-opq-norms", "explicit-dense-norms", dict(opq=True, bits=2)),
    ("quantized-floret-pq", "floret-dense-meta", dict(opq=False, bits=2, subquantizers=4)),
]


def main():
    fixtures = fixture_files.finalfusion_fixtures()
    out = HERE / "corpus" / "embeddings"
    with tempfile.TemporaryDirectory() as tmp:
        for name, fixture, settings in SEEDS:
            src = pathlib.Path(tmp) / f"{fixture}.fifu"
            src.write_bytes(fixtures[fixture].data)
            mave.quantize(src, out / name, threads=1, **settings)


main()
