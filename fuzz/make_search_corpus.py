#!/usr/bin/env python3
"""Writes the seed corpus of the search fuzz target (fuzz/search_fuzzer.cpp):
searches on small dense matrices of ordinary and special values, with each
kind of argument broken once, and searches on the embeddings seeds (dense and
quantized finalfusion files).

    fuzz/make_search_corpus.py   # rewrites fuzz/corpus/search/*

An input is [flags][n][n argument bytes][the matrix's values or a file];
the argument bytes are read in the order the target reads them.
"""

import pathlib
import random

HERE = pathlib.Path(__file__).resolve().parent

FILE, COSMUL, GROUPED, ALLOW, OFFSETS, BROKEN_TERMS, BROKEN_COUNTS, RAW_OFFSETS = (
    1,
    2,
    4,
    8,
    16,
    32,
    64,
    128,
)
# The target's value kinds (the byte before a value).
ZERO, NAN, INF, NEG_INF, SUBNORMAL, HUGE, ORDINARY = 0, 1, 2, 3, 4, 5, 7


def value(x=None, kind=ORDINARY):
    """A value of the target's stream: an ordinary one is x/16 for x in
    -128..127."""
    return bytes([kind]) + (bytes([x & 0xFF]) if kind == ORDINARY else b"")


def seed(
    flags,
    questions,
    terms,
    rest,
    *,
    dims=None,
    rows=None,
    exclude=(),
    offsets=(),
    k=3,
    n_rows=None,
    allow=None,
    allow_len=None,
    threads=2,
    broken_counts=None,
    extra_offset=None,
    shared=None,
):
    """One input. questions: a count (ungrouped) or (positive, negative)
    pairs; shared: (distinct terms, the term each question names in turn)."""
    a = bytearray()
    if not flags & FILE:
        a += bytes([dims - 1, rows])
    if flags & GROUPED:
        a.append(len(questions))
        for p, n in questions:
            a += bytes([p, n])
        if flags & BROKEN_COUNTS:
            a.append(broken_counts)
    else:
        a.append(questions)
    if shared is None:
        a.append(0)
    else:
        distinct, term_of = shared
        a.append(1 + 2 * (distinct - 1))
        a += bytes(term_of)
    for t in terms:
        a += t
    a.append(len(exclude))
    a += bytes(exclude)
    if flags & OFFSETS:
        a += bytes(offsets)
        if flags & RAW_OFFSETS:
            a.append(extra_offset)
    # k: one byte (k % 12) unless it is a multiple of 8, then a u32 follows.
    a += bytes([12 if k == 0 else k]) if k < 12 and k % 8 else bytes([0]) + k.to_bytes(4, "big")
    if n_rows is None:
        a.append(0)  # every row
    else:
        a += bytes([3, n_rows])
    if flags & ALLOW:
        # As many flags as candidates, or allow_len of them (3 is off).
        a += bytes([1]) if allow_len is None else bytes([0, allow_len])
        a += bytes(allow)
    a.append(threads)
    assert len(a) < 256
    return bytes([flags, len(a)]) + bytes(a) + rest


def matrix(rng, rows, dims, special=()):
    out = bytearray()
    for i in range(rows * dims):
        out += value(kind=special[i]) if i in special else value(rng.randrange(-128, 128))
    return bytes(out)


def query(rng, dims):
    return b"".join(value(rng.randrange(-128, 128)) for _ in range(dims))


def main():
    rng = random.Random(7)
    seeds = {}
    d, r = 4, 30
    m = matrix(rng, r, d)
    seeds["dense-one-query"] = seed(0, 1, [query(rng, d)], m, dims=d, rows=r)
    seeds["dense-three-queries-restricted"] = seed(
        0, 3, [query(rng, d) for _ in range(3)], m, dims=d, rows=r, k=5, n_rows=12, threads=0
    )
    seeds["dense-grouped-excluded-allowed"] = seed(
        GROUPED | OFFSETS | ALLOW,
        [(2, 1), (1, 0)],
        [query(rng, d) for _ in range(4)],
        m,
        dims=d,
        rows=r,
        exclude=[3, 4, 29, 31],
        offsets=[2, 2],
        k=6,
        n_rows=20,
        allow=[1, 1, 0] * 7,
    )
    seeds["dense-cosmul"] = seed(
        GROUPED | COSMUL | OFFSETS,
        [(2, 1), (2, 2)],
        [query(rng, d) for _ in range(7)],
        m,
        dims=d,
        rows=r,
        exclude=[0, 1, 2],
        offsets=[3, 0],
        k=10,
    )
    seeds["dense-shared-terms"] = seed(
        GROUPED | OFFSETS,
        [(2, 1), (2, 1), (1, 1)],
        [query(rng, d) for _ in range(4)],
        m,
        dims=d,
        rows=r,
        exclude=[0, 1, 2, 1, 3],
        offsets=[3, 3, 0],
        k=5,
        shared=(4, [0, 1, 2, 3, 1, 0, 2, 2]),
    )
    seeds["dense-shared-terms-cosmul"] = seed(
        GROUPED | COSMUL,
        [(2, 1), (1, 2)],
        [query(rng, d) for _ in range(3)],
        m,
        dims=d,
        rows=r,
        k=7,
        shared=(3, [0, 1, 2, 2, 1, 0]),
    )
    seeds["broken-shared-term"] = seed(
        GROUPED | BROKEN_COUNTS,
        [(2, 1)],
        [query(rng, d) for _ in range(2)],
        m,
        dims=d,
        rows=r,
        broken_counts=0,
        shared=(2, [0, 1, 2]),
    )
    seeds["dense-no-positive"] = seed(
        GROUPED, [(0, 2), (1, 0)], [query(rng, d) for _ in range(3)], m, dims=d, rows=r
    )
    special = {
        0: NAN,
        5: INF,
        9: NEG_INF,
        12: SUBNORMAL,
        13: SUBNORMAL,
        14: SUBNORMAL,
        15: SUBNORMAL,
        17: HUGE,
        18: HUGE,
        19: HUGE,
        40: ZERO,
        41: ZERO,
        42: ZERO,
        43: ZERO,
    }
    seeds["dense-special-rows"] = seed(
        0, 2, [query(rng, d), query(rng, d)], matrix(rng, r, d, special), dims=d, rows=r, k=40
    )
    seeds["dense-special-queries"] = seed(
        0,
        4,
        [
            value(kind=NAN) + query(rng, d - 1),
            value(kind=ZERO) * d,
            value(kind=HUGE) * d,
            value(kind=SUBNORMAL) * d,
        ],
        m,
        dims=d,
        rows=r,
    )
    seeds["dense-k-0"] = seed(0, 1, [query(rng, d)], m, dims=d, rows=r, k=0)
    seeds["dense-k-beyond-rows"] = seed(0, 2, [query(rng, d)] * 2, m, dims=d, rows=r, k=200)
    seeds["broken-terms"] = seed(BROKEN_TERMS, 1, [query(rng, d)], m, dims=d, rows=r)
    seeds["broken-counts"] = seed(
        GROUPED | BROKEN_COUNTS, [(1, 1)], [query(rng, d)] * 2, m, dims=d, rows=r, broken_counts=0
    )
    seeds["broken-counts-beyond-terms"] = seed(
        GROUPED | BROKEN_COUNTS, [(1, 1)], [query(rng, d)] * 2, m, dims=d, rows=r, broken_counts=1
    )
    seeds["broken-offsets"] = seed(
        OFFSETS | RAW_OFFSETS,
        2,
        [query(rng, d)] * 2,
        m,
        dims=d,
        rows=r,
        exclude=[1, 2],
        offsets=[2, 1],
        extra_offset=1,
    )
    seeds["broken-offsets-count"] = seed(
        OFFSETS | RAW_OFFSETS,
        2,
        [query(rng, d)] * 2,
        m,
        dims=d,
        rows=r,
        exclude=[1, 2],
        offsets=[1, 2],
        extra_offset=0,
    )
    seeds["broken-allow-list"] = seed(
        ALLOW, 1, [query(rng, d)], m, dims=d, rows=r, allow=[1] * 9, allow_len=9
    )
    seeds["allow-list-longer"] = seed(
        ALLOW, 1, [query(rng, d)], m, dims=d, rows=r, allow=[1, 0, 1] * 12, allow_len=36, n_rows=10
    )
    # The embeddings seeds, all of 4 dims.
    for name in [
        "simple-dense",
        "simple-dense-meta-norms",
        "simple-quantized",
        "quantized-simple-pq-norms",
        "fasttext-quantized-projection-norms",
        "quantized-fasttext-opq",
    ]:
        data = (HERE / "corpus" / "embeddings" / name).read_bytes()
        width = 4
        for flags, tag in ((FILE | GROUPED | OFFSETS, "add"), (FILE | GROUPED | OFFSETS | COSMUL, "mul")):
            seeds[f"file-{name}-{tag}"] = seed(
                flags, [(2, 1)], [query(rng, width) for _ in range(3)], data, exclude=[0], offsets=[1], k=4
            )
            seeds[f"file-{name}-{tag}-shared"] = seed(
                flags,
                [(2, 1), (1, 1)],
                [query(rng, width) for _ in range(3)],
                data,
                exclude=[0, 1],
                offsets=[1, 2],
                k=4,
                shared=(3, [0, 1, 2, 2, 0]),
            )
    directory = HERE / "corpus" / "search"
    directory.mkdir(parents=True, exist_ok=True)
    for old in directory.glob("*"):
        old.unlink()
    for name, data in seeds.items():
        (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()
