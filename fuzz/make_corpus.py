#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: the small valid files of every
kind that the hostile-file tests use (tests/support/fixture_files.py), and
of the word2vec, text and GloVe formats.

    fuzz/make_corpus.py   # rewrites fuzz/corpus/<target>/*

The real fastText models under tests/data/fasttext are seeds too; fuzz/run.sh
and the ctest replay pass them from there instead of copying them.
"""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "support"))

import fixture_files  # noqa: E402


def write(target, files):
    directory = HERE / "corpus" / target
    directory.mkdir(parents=True, exist_ok=True)
    for old in directory.glob("*"):
        # The files mave.quantize writes come from fuzz/make_quantized_corpus.py.
        if not old.name.startswith("quantized-"):
            old.unlink()
    for name, data in files.items():
        (directory / name).write_bytes(data)


write("embeddings", {name: f.data for name, f in fixture_files.finalfusion_fixtures().items()})
write("fasttext", {name: f.data for name, f in fixture_files.fasttext_fixtures().items()})
for fmt, files in fixture_files.import_fixtures().items():
    write(fmt, files)
