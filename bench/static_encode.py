#!/usr/bin/env python3
"""Encoding texts with a static sentence model: mave's `e.encode` against
Model2Vec's `StaticModel.encode` (its default settings) on the same folder,
and against the `tokenizers` package's `encode_batch_fast` alone (their
tokenization only, our whole encode), in the same run.

    PYTHONPATH=build/test .venv/bin/python bench/static_encode.py [--texts 100000] [--rounds 3]

The model: a WordPiece tokenizer of 30,000 tokens with the BERT normalizer
and pre-tokenizer, trained here by the `tokenizers` package on generated
text (bench/tokenizer_speed.py), and a float32 table of 30,000 x 256 from
NumPy, saved by Model2Vec's own `save_pretrained` (normalize on). The texts
are 5 to 40 words from the same generator. Each figure is the median of the
rounds; threads: mave's default (all cores), Model2Vec's default
(multiprocessing above 10,000 texts), the package's own pool.
"""

import argparse
import os
import random
import sys
import tempfile

import numpy as np

import mave
from tokenizer_speed import make_texts, median_time, train_word_piece, words


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--texts", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--vocab", type=int, default=30_000)
    parser.add_argument("--dims", type=int, default=256)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    from model2vec import StaticModel

    rng = random.Random(args.seed)
    vocabulary = words(rng, 60_000)
    tokenizer = train_word_piece(rng, vocabulary, args.vocab)
    texts = make_texts(rng, vocabulary, args.texts)
    table = (
        np.random.default_rng(args.seed)
        .normal(size=(tokenizer.get_vocab_size(), args.dims))
        .astype(np.float32)
    )
    with tempfile.TemporaryDirectory() as folder:
        StaticModel(vectors=table, tokenizer=tokenizer, normalize=True).save_pretrained(folder)
        theirs = StaticModel.from_pretrained(folder)
        e = mave.load(folder)
        assert e._tokenization == "native"
        # The same vectors, or the comparison means nothing.
        sample = texts[:2000]
        np.testing.assert_allclose(e.encode(sample), theirs.encode(sample), rtol=0, atol=2e-5)
        rows = [
            ("mave e.encode", lambda: e.encode(texts)),
            ("mave e.encode threads=1", lambda: e.encode(texts, threads=1)),
            ("Model2Vec StaticModel.encode", lambda: theirs.encode(texts)),
            (
                "tokenizers encode_batch_fast (ids only)",
                lambda: tokenizer.encode_batch_fast(texts, add_special_tokens=False),
            ),
        ]
        results = [(name, median_time(f, args.rounds)) for name, f in rows]
    n_words = sum(len(t.split()) for t in texts)
    ours = results[0][1]
    print(
        f"{len(texts)} texts, {n_words} words; WordPiece of {tokenizer.get_vocab_size()} tokens x "
        f"{args.dims}; {os.cpu_count()} cores; median of {args.rounds}; load {os.getloadavg()[0]:.1f}"
    )
    print(f"{'':42s} {'seconds':>9s} {'texts/s':>11s} {'its time / mave':>16s}")
    for name, seconds in results:
        print(f"{name:42s} {seconds:9.3f} {len(texts) / seconds:11.0f} {seconds / ours:15.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
