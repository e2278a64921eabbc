#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: the small valid files of every
kind that the hostile-file tests use (tests/support/fixture_files.py), of
the word2vec, text and GloVe formats, and small tokenizer.json files of every
pipeline the core tokenizer runs (trained by the tokenizers package).

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

import tokenizer_texts  # noqa: E402

SMALL_TEXT = ["the cat sat on the mat", "a dog's life, isn't it?", "café naïve résumé 123", "東京 and 서울",
              "well-known [CLS] <s> tokens", "Ünïcödé   spaces\there"] * 4
write("tokenizer", {f"{name}.json": t.to_str().encode() for name, t in
                    tokenizer_texts.build_tokenizers(seed=0, vocab_size=40, text=SMALL_TEXT).items()})
