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

SMALL_TEXT = [
    "the cat sat on the mat",
    "a dog's life, isn't it?",
    "café naïve résumé 123",
    "東京 and 서울",
    "well-known [CLS] <s> tokens",
    "Ünïcödé   spaces\there",
] * 4
write(
    "tokenizer",
    {
        f"{name}.json": t.to_str().encode()
        for name, t in tokenizer_texts.build_tokenizers(seed=0, vocab_size=40, text=SMALL_TEXT).items()
    },
)


def safetensors_seeds():
    """Small static-model tables: every element type, a mapping with weights,
    an unaligned table, metadata, tensors in another order."""
    import json
    import struct
    import tempfile

    import numpy as np
    import static_folders

    rng = np.random.default_rng(0)
    table = rng.normal(size=(6, 4)).astype(np.float32)
    seeds = {
        "f32": ({"embeddings": table}, {}, 0),
        "f16": ({"embeddings": table.astype(np.float16)}, {}, 0),
        "bf16": ({"embeddings": static_folders.bf16_bits(table)}, {"embeddings": "BF16"}, 0),
        "i8": ({"embeddings": (table * 40).astype(np.int8)}, {}, 0),
        "unaligned": ({"embeddings": table}, {}, 1),
        "mapping-weights": (
            {
                "mapping": np.array([2, 0, 1, 1, 2, 0, 0], dtype=np.int64),
                "embeddings": table[:3],
                "weights": rng.uniform(size=7).astype(np.float32),
            },
            {},
            0,
        ),
        "st-name": ({"embedding.weight": table}, {}, 0),
    }
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        for name, (tensors, dtypes, lead) in seeds.items():
            path = pathlib.Path(tmp) / name
            static_folders.write_safetensors(path, tensors, dtypes=dtypes, lead=lead)
            out[name] = path.read_bytes()
    # The header's metadata and tensors listed against the order of their data.
    header = {
        "__metadata__": {"format": "np"},
        "weights": {"dtype": "F16", "shape": [2], "data_offsets": [8, 12]},
        "embeddings": {"dtype": "I8", "shape": [2, 4], "data_offsets": [0, 8]},
    }
    text = json.dumps(header).encode()
    out["metadata-reordered"] = struct.pack("<Q", len(text)) + text + bytes(range(12))
    return out


def token_vocab_seeds():
    """tokenizer.json files of each model kind, small: trained by the
    tokenizers package, and written by hand."""
    import json

    import static_folders

    out = {}
    for kind, size in (("wordpiece", 100), ("bpe-unk", 100), ("unigram", 220)):
        tokenizer = static_folders.train_tokenizer(kind, vocab_size=size)
        out[kind] = tokenizer.to_str().encode()
    out["wordlevel"] = json.dumps(
        {"model": {"type": "WordLevel", "unk_token": "[UNK]", "vocab": {"[UNK]": 0, "a": 1, "b": 2}}}
    ).encode()
    out["untyped-added"] = json.dumps(
        {
            "added_tokens": [{"id": 3, "content": "<s>"}],
            "model": {"vocab": [["<unk>", 0.0], ["▁a", -1.0], ["b", -2.0]], "unk_id": 0},
        }
    ).encode()
    return out


write("safetensors", safetensors_seeds())
write("token_vocab", token_vocab_seeds())
