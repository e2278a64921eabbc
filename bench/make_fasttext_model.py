#!/usr/bin/env python3
"""Writes a large synthetic fastText binary model for conversion benchmarks.

The layout is the one fastText training writes (magic, version 12, the
settings block, the dictionary, the input matrix), filled with made-up words
and seeded random float32 values, written block by block so that the
generator itself stays small. The defaults give 200000 words x 100 dims plus
1000000 buckets: a 480 MB input matrix. The output matrix that fastText
appends is left out unless --output-matrix is given; the converter never
reads it, but fastText's own loader needs it.

Usage: make_fasttext_model.py OUT.bin [--words N] [--dims D] [--buckets B]
                              [--seed S] [--output-matrix]
Never commit the result. bench/run.py imports `words` and `write_model`.
"""

import argparse
import struct

import numpy as np

MAGIC = 793712314
VERSION = 12
LETTERS = np.frombuffer(b"abcdefghijklmnopqrstuvwxyz", np.uint8)


def words(n, rng):
    """n distinct lower-case words of 3 to 12 letters, a few with non-ASCII."""
    seen = set()
    out = []
    while len(out) < n:
        lengths = rng.integers(3, 13, size=n)
        letters = LETTERS[rng.integers(0, 26, size=int(lengths.sum()))].tobytes()
        at = 0
        for k, length in enumerate(lengths):
            w = letters[at : at + length]
            at += length
            if k % 97 == 0:
                w = w + "é".encode()
            if w not in seen:
                seen.add(w)
                out.append(w)
                if len(out) == n:
                    break
    return out


def settings(dims, buckets, minn=3, maxn=6):
    # dims, ws, epoch, minCount, neg, wordNgrams, loss (ns), model (sg),
    # bucket, minn, maxn, lrUpdateRate, t
    return struct.pack("<12Id", dims, 5, 5, 5, 5, 1, 2, 2, buckets, minn, maxn, 100, 1e-4)


def write_matrix(f, rows, cols, rng, block_rows=65536):
    f.write(struct.pack("<QQ", rows, cols))
    for start in range(0, rows, block_rows):
        n = min(block_rows, rows - start)
        block = rng.uniform(-1.0 / cols, 1.0 / cols, size=(n, cols)).astype("<f4")
        f.write(block.tobytes())


def write_model(path, vocab, dims, buckets, rng, *, output_rows=0, minn=3, maxn=6, word_rows=None):
    """A model over the byte strings `vocab`. The input matrix is random, or
    starts with the float32 array `word_rows` (len(vocab) x dims) when given;
    an output matrix of `output_rows` rows follows when that is not 0. A model
    without subwords has minn = maxn = 0 and buckets = 0, as fastText's
    -maxn 0 writes it."""
    with open(path, "wb") as f:
        f.write(struct.pack("<II", MAGIC, VERSION))
        f.write(settings(dims, buckets, minn, maxn))
        # vocab_size, word_count, label_count, token_count, pruned_vocab_size
        f.write(struct.pack("<IIIqq", len(vocab), len(vocab), 0, 100 * len(vocab), -1))
        f.write(
            b"".join(w + b"\0" + struct.pack("<QB", len(vocab) - rank, 0) for rank, w in enumerate(vocab))
        )
        f.write(b"\0")  # not quantized
        if word_rows is None:
            write_matrix(f, len(vocab) + buckets, dims, rng)
        else:
            f.write(struct.pack("<QQ", len(vocab) + buckets, dims))
            f.write(np.ascontiguousarray(word_rows, dtype="<f4").data)
            for start in range(0, buckets, 65536):
                n = min(65536, buckets - start)
                f.write(rng.uniform(-1.0 / dims, 1.0 / dims, size=(n, dims)).astype("<f4").data)
        if output_rows:
            f.write(b"\0")
            write_matrix(f, output_rows, dims, rng)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--words", type=int, default=200_000)
    parser.add_argument("--dims", type=int, default=100)
    parser.add_argument("--buckets", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--output-matrix", action="store_true")
    args = parser.parse_args()

    rng = np.random.default_rng(args.seed)
    vocab = words(args.words, rng)
    write_model(
        args.out, vocab, args.dims, args.buckets, rng, output_rows=len(vocab) if args.output_matrix else 0
    )
    matrix_bytes = (len(vocab) + args.buckets) * args.dims * 4
    vocab_bytes = sum(len(w) for w in vocab)
    print(
        f"{args.out}: {len(vocab)} words ({vocab_bytes} bytes of text), "
        f"{len(vocab) + args.buckets} x {args.dims} input matrix ({matrix_bytes} bytes)"
    )


if __name__ == "__main__":
    main()
