"""Vectors of strings outside the vocabulary, composed from their character
n-grams, for the four subword vocabulary kinds.

The expected rows come from independent implementations written here (the
n-gram order, both FNV-1a variants) and from the `mmh3` package for floret, so
a fault in the module's enumeration or hashing shows as a wrong vector.
"""

import re
import subprocess

import mmh3
import numpy as np
import pytest

import _mave
import fifu

DIMS = 10  # more than eight: the sum of squares uses the partial sums


def ngrams(text, min_n, max_n):
    """N-grams by start position, longest first, lengths in code points."""
    out = []
    for start in range(len(text)):
        left = len(text) - start
        if left < min_n:
            break
        for length in range(min(max_n, left), min_n - 1, -1):
            out.append(text[start : start + length])
    return out


def fasttext_hash(text):
    h = 0x811C9DC5
    for byte in text.encode("utf-8"):
        signed = byte - 256 if byte >= 0x80 else byte
        h = ((h ^ (signed & 0xFFFFFFFF)) * 0x01000193) & 0xFFFFFFFF
    return h


def fnv64_bucket(text, exponent):
    h = 0xCBF29CE484222325
    data = len(text).to_bytes(8, "little") + b"".join(ord(c).to_bytes(4, "little") for c in text)
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h & ((1 << exponent) - 1)


def floret_indices(text, buckets, hashes, seed):
    h1, h2 = mmh3.hash64(text.encode("utf-8"), seed=seed, signed=False)
    words = [h1 & 0xFFFFFFFF, h1 >> 32, h2 & 0xFFFFFFFF, h2 >> 32]
    return [w % buckets for w in words[:hashes]]


def scaled(total, contiguous):
    """Unit-length scaling with the module's summation orders, in float32."""
    squares = [np.float32(x) * np.float32(x) for x in total]
    if contiguous:
        partial = [np.float32(0)] * 8
        blocks = len(total) // 8
        for b in range(blocks):
            for k in range(8):
                partial[k] = np.float32(partial[k] + squares[8 * b + k])
        s = ((partial[0] + partial[4]) + (partial[1] + partial[5])) + (partial[2] + partial[6])
        s = np.float32(s + (partial[3] + partial[7]))
        for sq in squares[blocks * 8 :]:
            s = np.float32(s + sq)
    else:
        s = np.float32(0)
        for sq in squares:
            s = np.float32(s + sq)
    norm = np.sqrt(np.float32(s), dtype=np.float32)
    return np.array([np.float32(x) / norm for x in total], dtype=np.float32)


def composed(matrix, rows, contiguous=True):
    total = np.zeros(matrix.shape[1], dtype=np.float32)
    for r in rows:
        total = (total + matrix[r]).astype(np.float32)
    return scaled(total, contiguous)


def random_matrix(rows, seed):
    rng = np.random.default_rng(seed)
    # Wide magnitudes make the two summation orders give different bits.
    return (rng.standard_normal((rows, DIMS)) * 2.0 ** rng.integers(-8, 8, (rows, DIMS))).astype(np.float32)


def dense(matrix):
    return fifu.nd_array_raw(matrix.shape[0], matrix.shape[1], matrix.astype("<f4").tobytes())


class Kind:
    """A crafted file of one vocabulary kind and the rows a word should get."""

    def __init__(self, name, vocab_chunk, n_rows, rows_of, words=()):
        self.name, self.vocab_chunk, self.n_rows, self.rows_of, self.words = (
            name,
            vocab_chunk,
            n_rows,
            rows_of,
            list(words),
        )


WORDS = ["Haus", "Baum"]


def kinds():
    fasttext_buckets, exponent, floret_buckets = 1009, 10, 997
    table = [("<gr", 5), ("ün", 9), ("Stra", 5), ("aße>", 2), ("<x>", 7)]
    dense_index = {}
    for _, stored in table:
        dense_index.setdefault(stored, len(dense_index))
    table_rows = {text: dense_index[stored] for text, stored in table}
    return [
        Kind(
            "fasttext",
            fifu.fasttext_vocab(WORDS, 3, 6, fasttext_buckets),
            len(WORDS) + fasttext_buckets,
            lambda w: [len(WORDS) + fasttext_hash(g) % fasttext_buckets for g in ngrams(f"<{w}>", 3, 6)],
            WORDS,
        ),
        Kind(
            "bucket",
            fifu.bucket_vocab(WORDS, 2, 4, exponent),
            len(WORDS) + (1 << exponent),
            lambda w: [len(WORDS) + fnv64_bucket(g, exponent) for g in ngrams(f"<{w}>", 2, 4)],
            WORDS,
        ),
        Kind(
            "explicit",
            fifu.explicit_vocab(WORDS, table, 2, 4),
            len(WORDS) + len(dense_index),
            lambda w: [len(WORDS) + table_rows[g] for g in ngrams(f"<{w}>", 2, 4) if g in table_rows],
            WORDS,
        ),
        Kind(
            "floret",
            fifu.floret_vocab(3, 5, floret_buckets, 4, 2024, "⟨", "⟩"),
            floret_buckets,
            lambda w: [
                i
                for g in [f"⟨{w}⟩"] + ngrams(f"⟨{w}⟩", 3, 5)
                for i in floret_indices(g, floret_buckets, 4, 2024)
            ],
        ),
    ]


@pytest.fixture(params=kinds(), ids=lambda k: k.name)
def kind_file(request, write_file):
    kind = request.param
    matrix = random_matrix(kind.n_rows, seed=len(kind.name))
    path = write_file(fifu.assemble(kind.vocab_chunk, dense(matrix)), f"{kind.name}.fifu")
    return kind, matrix, _mave.FfModel(path), path


QUERIES = ["grün", "Straße", "x", "Hausboot", "日本語", "e\u0301", "aa"]


def test_composed_vectors_match_the_independently_derived_rows(kind_file):
    kind, matrix, model, _ = kind_file
    assert model.get_dims() == DIMS
    for word in QUERIES:
        rows = kind.rows_of(word)
        a = np.full(DIMS, 7.0, dtype=np.float32)
        found = model.load_embedding(word, a)
        assert found == bool(rows), word
        if not rows:
            assert (a == 7.0).all()
            continue
        np.testing.assert_array_equal(a, composed(matrix, rows), err_msg=word)
        # Strided and reversed targets sum their squares in index order.
        big = np.zeros(2 * DIMS, dtype=np.float32)
        assert model.load_embedding(word, big[::2])
        np.testing.assert_array_equal(big[::2], composed(matrix, rows, contiguous=False))
        assert (big[1::2] == 0).all()
        x = np.zeros(DIMS, dtype=np.float32)
        assert model.load_embedding(word, x[::-1])
        np.testing.assert_array_equal(x[::-1], composed(matrix, rows, contiguous=False))


def test_known_words_get_their_own_rows(kind_file):
    kind, matrix, model, _ = kind_file
    a = np.zeros(DIMS, dtype=np.float32)
    for i, word in enumerate(kind.words):
        assert model.load_embedding(word, a)
        np.testing.assert_array_equal(a, matrix[i])


def test_eval_prints_the_composed_vector(kind_file, run_python):
    kind, matrix, _, path = kind_file
    words = [w for w in QUERIES if kind.rows_of(w)]
    out = run_python(f"""
        import _mave
        m = _mave.FfModel({path!r})
        for w in {words!r}:
            m.eval(w)
        m.eval("zzz-no-vector-here") if {kind.name!r} == "explicit" else None
        """).stdout.decode()
    lines = out.splitlines()
    assert len(lines) == len(words)
    for word, line in zip(words, lines):
        elements = (
            re.match(r"\[(.*)\], shape=\[10\], strides=\[1\], layout=CFcf \(0xf\), const ndim=1$", line)
            .group(1)
            .split(", ")
        )
        printed = np.array([np.float32(e) for e in elements], dtype=np.float32)
        np.testing.assert_array_equal(printed, composed(matrix, kind.rows_of(word)), err_msg=word)


def test_worked_rows_of_ab_in_a_fasttext_vocabulary():
    # Ten words and 2000000 buckets: 'ab' composes rows 621752, 209518, 1241766.
    assert [10 + fasttext_hash(g) % 2_000_000 for g in ngrams("<ab>", 3, 6)] == [621752, 209518, 1241766]


def load_failure(write_file, *chunks):
    path = write_file(fifu.assemble(*chunks))
    with pytest.raises(BaseException) as info:
        _mave.FfModel(path)
    assert type(info.value).__name__ == "PanicException"
    return str(info.value)


def test_construction_failures_at_load(write_file):
    m = np.zeros((4, 2), dtype=np.float32)
    assert load_failure(write_file, fifu.fasttext_vocab(["a", "a"], 3, 6, 2), dense(m)) == (
        "assertion `left == right` failed: words contained duplicate entries.\n  left: 2\n right: 1"
    )
    assert load_failure(write_file, fifu.explicit_vocab(["a", "a"], [("x", 1), ("x", 2)]), dense(m)) == (
        "ngrams contains duplicate entries."
    )
    assert load_failure(write_file, fifu.bucket_vocab(["a"], 3, 6, 65), dense(m)) == (
        "The largest possible buckets exponent is 64."
    )
    assert load_failure(write_file, fifu.bucket_vocab(["a"], 3, 6, 64), dense(m)) == (
        "The upper bound of the indexer cannot be represented by the native word size."
    )
    assert load_failure(write_file, fifu.fasttext_vocab(["a"], 3, 6, 2**31), dense(m)) == (
        "The largest possible number of buckets is: 2147483647"
    )
    assert "Floret needs at least 1 bucket." in load_failure(
        write_file, fifu.floret_vocab(buckets=0), dense(m)
    )
    for hashes in (0, 5):
        assert load_failure(write_file, fifu.floret_vocab(hashes=hashes), dense(m)) == (
            "called `Result::unwrap()` on an `Err` value: Read { desc: \"Number of hashes should be "
            f"in be more than 0 and less than 5, was: {hashes}\", error: Kind(InvalidData) }}"
        )


@pytest.mark.parametrize(
    "min_n, max_n, message",
    [
        (0, 6, "The minimum n-gram length cannot be zero."),
        (4, 3, "The maximum length should be equal to or greater than the minimum length."),
    ],
)
def test_ngram_length_errors_come_at_the_first_unknown_word(write_file, min_n, max_n, message):
    path = write_file(
        fifu.assemble(fifu.fasttext_vocab(["known"], min_n, max_n, 3), dense(random_matrix(4, 1)))
    )
    model = _mave.FfModel(path)  # loads
    a = np.zeros(DIMS, dtype=np.float32)
    assert model.load_embedding("known", a)
    with pytest.raises(BaseException, match=re.escape(message)) as info:
        model.load_embedding("unknown", a)
    assert type(info.value).__name__ == "PanicException"
    assert model.load_embedding("known", a)  # still usable


def test_zero_fasttext_buckets_fail_only_on_subword_lookups(write_file):
    path = write_file(fifu.assemble(fifu.fasttext_vocab(["known"], 3, 6, 0), dense(random_matrix(1, 2))))
    model = _mave.FfModel(path)
    a = np.zeros(DIMS, dtype=np.float32)
    assert model.load_embedding("known", a)
    with pytest.raises(BaseException, match="attempt to calculate the remainder with a divisor of zero"):
        model.load_embedding("other", a)
    # A word too short for any n-gram never hashes.
    assert not model.load_embedding("", a)


def test_floret_gives_every_string_a_vector_even_the_empty_one(write_file):
    buckets = 31
    matrix = random_matrix(buckets, 3)
    path = write_file(fifu.assemble(fifu.floret_vocab(3, 6, buckets, 2, 0), dense(matrix)))
    model = _mave.FfModel(path)
    a = np.zeros(DIMS, dtype=np.float32)
    assert model.load_embedding("", a)
    np.testing.assert_array_equal(a, composed(matrix, floret_indices("<>", buckets, 2, 0)))
