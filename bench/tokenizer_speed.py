#!/usr/bin/env python3
"""Tokenization alone: the core tokenizer (mave._native._Tokenizer) against
the `tokenizers` package's encode_batch_fast and encode_batch, on the same
texts in the same run, and the time to read large tokenizer.json files.

    PYTHONPATH=build/test .venv/bin/python bench/tokenizer_speed.py [--texts 100000] [--rounds 5]

The tokenizer is a WordPiece model of 30,000 tokens with the BERT normalizer
and pre-tokenizer (bert-base-uncased's pipeline), trained here by the
`tokenizers` package on generated text; the texts are 5 to 40 words drawn
from the same generator. Both tokenize without special tokens. Each figure
is the median of the rounds; threads: ours as chosen by default (all cores),
theirs as the package's own pool (all cores).
"""

import argparse
import json
import os
import random
import statistics
import sys
import time

import numpy as np
from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, trainers

from mave import _native

SYLLABLES = [
    "ka",
    "to",
    "ri",
    "ne",
    "sa",
    "mi",
    "lo",
    "pu",
    "en",
    "ar",
    "sch",
    "tion",
    "ing",
    "ed",
    "qu",
    "ve",
    "é",
    "ü",
    "ø",
    "ll",
    "th",
    "ch",
    "ra",
    "de",
    "in",
    "un",
    "re",
    "st",
    "er",
    "al",
]
PUNCTUATION = [".", ",", "!", "?", ";", ":", "'s", "(", ")", "-"]


def words(rng, n):
    out = set()
    while len(out) < n:
        out.add("".join(rng.choice(SYLLABLES) for _ in range(rng.randint(1, 4))))
    return sorted(out)


def make_texts(rng, vocabulary, n, low=5, high=40):
    # Zipf-like: a word's weight falls with its rank.
    weights = 1.0 / np.arange(1, len(vocabulary) + 1)
    cumulative = np.cumsum(weights / weights.sum())
    texts = []
    for _ in range(n):
        k = rng.randint(low, high)
        picks = np.searchsorted(cumulative, [rng.random() for _ in range(k)])
        parts = []
        for i in picks:
            w = vocabulary[min(int(i), len(vocabulary) - 1)]
            r = rng.random()
            if r < 0.08:
                w = w.capitalize()
            elif r < 0.12:
                w += rng.choice(PUNCTUATION)
            elif r < 0.14:
                w = str(rng.randint(0, 5000))
            parts.append(w)
        texts.append(" ".join(parts))
    return texts


def median_time(f, rounds):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def train_word_piece(rng, vocabulary, vocab_size):
    corpus = make_texts(rng, vocabulary, 60_000, 5, 40)
    t = Tokenizer(models.WordPiece(unk_token="[UNK]"))
    t.normalizer = normalizers.BertNormalizer()
    t.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    t.train_from_iterator(
        corpus,
        trainers.WordPieceTrainer(
            vocab_size=vocab_size,
            special_tokens=["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"],
            show_progress=False,
        ),
    )
    return t


def large_tokenizers(rng, n):
    """tokenizer.json texts with n tokens: WordPiece, Unigram and byte-level BPE."""
    tokens = set()
    while len(tokens) < n:
        tokens.add("".join(rng.choice(SYLLABLES) for _ in range(rng.randint(1, 5))) + str(len(tokens) % 97))
    tokens = sorted(tokens)
    word_piece = {
        "version": "1.0",
        "added_tokens": [],
        "normalizer": {
            "type": "BertNormalizer",
            "clean_text": True,
            "handle_chinese_chars": True,
            "strip_accents": None,
            "lowercase": True,
        },
        "pre_tokenizer": {"type": "BertPreTokenizer"},
        "model": {
            "type": "WordPiece",
            "unk_token": tokens[0],
            "continuing_subword_prefix": "##",
            "max_input_chars_per_word": 100,
            "vocab": {t: i for i, t in enumerate(tokens)},
        },
    }
    unigram = {
        "version": "1.0",
        "added_tokens": [],
        "normalizer": {"type": "NFKC"},
        "pre_tokenizer": {"type": "Metaspace", "replacement": "▁", "prepend_scheme": "always", "split": True},
        "model": {
            "type": "Unigram",
            "unk_id": 0,
            "byte_fallback": False,
            "vocab": [[t, -float(i % 1000) / 10] for i, t in enumerate(tokens)],
        },
    }
    # BPE: a token a merge of its first character and the rest where both are
    # tokens (random tokens rarely are: the file is mostly its vocabulary).
    index = {t: i for i, t in enumerate(tokens)}
    merges = [[t[:1], t[1:]] for t in tokens if len(t) > 1 and t[:1] in index and t[1:] in index]
    bpe = {
        "version": "1.0",
        "added_tokens": [],
        "normalizer": None,
        "pre_tokenizer": None,
        "model": {
            "type": "BPE",
            "dropout": None,
            "unk_token": None,
            "continuing_subword_prefix": None,
            "end_of_word_suffix": None,
            "fuse_unk": False,
            "byte_fallback": False,
            "ignore_merges": False,
            "vocab": index,
            "merges": merges,
        },
    }
    return {"WordPiece": json.dumps(word_piece), "Unigram": json.dumps(unigram), "BPE": json.dumps(bpe)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--texts", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--vocab", type=int, default=30_000)
    parser.add_argument("--large", type=int, default=500_000, help="tokens of the large tokenizer.json files")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    vocabulary = words(rng, 60_000)
    reference = train_word_piece(rng, vocabulary, args.vocab)
    ours = _native._Tokenizer(reference.to_str())
    assert ours.unsupported == ""
    texts = make_texts(rng, vocabulary, args.texts)
    n_words = sum(len(t.split()) for t in texts)
    # The same ids, or the comparison means nothing.
    ids, offsets = ours.encode_batch(texts)
    check = reference.encode_batch(texts[:2000], add_special_tokens=False)
    for i, e in enumerate(check):
        assert ids[offsets[i] : offsets[i + 1]].tolist() == e.ids, texts[i]

    rows = [
        ("mave _Tokenizer.encode_batch", lambda: ours.encode_batch(texts)),
        ("mave _Tokenizer.encode_batch threads=1", lambda: ours.encode_batch(texts, threads=1)),
        (
            "tokenizers encode_batch_fast",
            lambda: reference.encode_batch_fast(texts, add_special_tokens=False),
        ),
        ("tokenizers encode_batch", lambda: reference.encode_batch(texts, add_special_tokens=False)),
    ]
    results = [(name, median_time(f, args.rounds)) for name, f in rows]
    fast = results[2][1]
    print(
        f"{len(texts)} texts, {n_words} words, {int(offsets[-1])} ids; WordPiece of "
        f"{reference.get_vocab_size()} tokens; {os.cpu_count()} cores; median of {args.rounds}"
    )
    print(f"{'':44s} {'seconds':>9s} {'texts/s':>11s} {'vs encode_batch_fast':>21s}")
    for name, seconds in results:
        print(f"{name:44s} {seconds:9.3f} {len(texts) / seconds:11.0f} {fast / seconds:20.2f}x")

    print(f"\nreading tokenizer.json of {args.large} tokens (median of {args.rounds}):")
    for kind, text in large_tokenizers(rng, args.large).items():
        seconds = median_time(lambda: _native._Tokenizer(text), args.rounds)
        theirs = median_time(lambda: Tokenizer.from_str(text), max(1, args.rounds // 2))
        print(
            f"  {kind:10s} {len(text) / 1e6:6.1f} MB  mave {seconds * 1000:7.1f} ms   "
            f"tokenizers Tokenizer.from_str {theirs * 1000:7.1f} ms"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
