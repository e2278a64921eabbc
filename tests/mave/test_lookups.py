"""Lookups of mave against _mave on every kind of file: the same vectors,
bit for bit, whatever the vocabulary and the storage; mave's vectors are the
bits _mave writes into a contiguous array, whatever the layout of `out`."""

import numpy as np
import pytest

import _mave
import mave

# Known words, strings composed from n-grams, strings without a vector.
QUERIES = ["Haus", "Baum", "grün", "Hausbaum", "ab", "a", "", "Häuser", "umgrün", "<Ha", "zzzz"]


def reference(model, word, dims, layout):
    """The vector _mave writes into an array of the given layout, or None."""
    base, view = layout(dims)
    if not model.load_embedding(word, view):
        return None
    return np.array(view, copy=True)


LAYOUTS = {
    "contiguous": lambda n: (None, np.zeros(n, np.float32)),
    "strided": lambda n: (None, np.zeros(2 * n, np.float32)[::2]),
    "reversed": lambda n: (None, np.zeros(n, np.float32)[::-1]),
    # One byte into a buffer: no float is aligned.
    "unaligned": lambda n: (None, np.frombuffer(bytearray(4 * n + 1), np.float32, n, offset=1)),
}


def bits(a):
    return np.ascontiguousarray(a).view(np.uint32)


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_vectors_equal_mave_for_every_kind_and_layout(fixture_dir, layout):
    for name, path in sorted(fixture_dir.items()):
        e = mave.load(path)
        m = _mave.FfModel(path)
        words = QUERIES + list(e.words)
        for word in words:
            expected = reference(m, word, e.dims, LAYOUTS["contiguous"])
            _, out = LAYOUTS[layout](e.dims)
            got = e.embedding(word, out)
            if expected is None:
                assert got is None, (name, word)
                continue
            assert got is out
            assert np.array_equal(bits(out), bits(expected)), (name, word)
            assert np.array_equal(bits(e[word]), bits(expected)), (name, word)


def test_embed_rows_equal_single_lookups(fixture_dir):
    for name, path in sorted(fixture_dir.items()):
        e = mave.load(path)
        m = _mave.FfModel(path)
        words = (QUERIES + list(e.words)) * 3
        vectors, found = e.embed(words)
        assert vectors.shape == (len(words), e.dims) and vectors.dtype == np.float32
        # A batch written into a transposed (column-major) array gets the
        # same bits as a new array.
        columns = np.zeros((e.dims, len(words)), np.float32).T
        vectors_t, found_t = e.embed(iter(words), out=columns, threads=2)
        assert vectors_t is columns
        unaligned = np.frombuffer(
            bytearray(4 * len(words) * e.dims + 1), np.float32, len(words) * e.dims, offset=1
        ).reshape(len(words), e.dims)
        vectors_u, found_u = e.embed(words, out=unaligned)
        assert vectors_u is unaligned and np.array_equal(found_u, found)
        assert np.array_equal(bits(vectors_u), bits(vectors))
        for i, word in enumerate(words):
            expected = reference(m, word, e.dims, LAYOUTS["contiguous"])
            assert found[i] == (expected is not None), (name, word)
            assert found_t[i] == found[i]
            if expected is None:
                assert not vectors[i].any() and not vectors_t[i].any()
            else:
                assert np.array_equal(bits(vectors[i]), bits(expected)), (name, word)
                assert np.array_equal(bits(vectors_t[i]), bits(expected)), (name, word)


# Two-dimensional layouts of `out` for embed: (rows, dims) -> array.
MATRIX_LAYOUTS = {
    "row-major": lambda r, d: np.zeros((r, d), np.float32),
    "column-major": lambda r, d: np.zeros((r, d), np.float32, order="F"),
    "strided": lambda r, d: np.zeros((2 * r, 3 * d), np.float32)[::2, ::3],
    "reversed": lambda r, d: np.zeros((r, d), np.float32)[::-1, ::-1],
    "unaligned": lambda r, d: np.frombuffer(bytearray(4 * r * d + 1), np.float32, r * d, offset=1).reshape(
        r, d
    ),
}


@pytest.fixture(params=["dense", "quantized"])
def wide_model(request, converted_models, tmp_path_factory):
    """(storage kind, path): a converted fastText model (24 dims, so that the
    order of a sum of squares shows in its bits), or its quantized form with a
    projection."""
    dense = converted_models["demo-skipgram"]
    if request.param == "dense":
        return "dense", dense
    pytest.importorskip("faiss")  # mave.quantize's optional dependency
    quantized = tmp_path_factory.mktemp("wide") / "demo-pq.fifu"
    mave.quantize(dense, quantized, subquantizers=8, bits=4, sample=1000, iterations=3, seed=1, threads=1)
    return "quantized", str(quantized)


def test_every_out_layout_gives_the_bits_of_a_new_array(wide_model):
    kind, path = wide_model
    e = mave.load(path)
    m = _mave.FfModel(path)
    assert e.storage_kind == kind
    known = list(e.words)[:40]
    composed = [w + "xq" for w in known[:20]] + ["qzxv" + w for w in known[20:]]
    words = known + composed
    expected = np.stack([e[w] for w in words])
    for i, w in enumerate(words):
        assert np.array_equal(bits(e.get(w)), bits(expected[i])), w
        assert np.array_equal(bits(reference(m, w, e.dims, LAYOUTS["contiguous"])), bits(expected[i])), w
    for layout, make in sorted(LAYOUTS.items()):
        for i, w in enumerate(words):
            _, out = make(e.dims)
            assert e.embedding(w, out) is out
            assert np.array_equal(bits(out), bits(expected[i])), (layout, w)
    for layout, make in sorted(MATRIX_LAYOUTS.items()):
        for threads in (1, 2):
            out = make(len(words), e.dims)
            vectors, found = e.embed(words, out=out, threads=threads)
            assert vectors is out and found.all()
            assert np.array_equal(bits(out), bits(expected)), (layout, threads)
    # _mave keeps its order per layout: a strided array there gets other bits
    # for some composed strings, so the comparisons above can tell.
    differing = 0
    for i, w in enumerate(composed, start=len(known)):
        strided = np.zeros(2 * e.dims, np.float32)[::2]
        assert m.load_embedding(w, strided)
        differing += not np.array_equal(bits(strided), bits(expected[i]))
    assert differing > 0


def test_vocabulary_and_properties(fixture_dir):
    e = mave.load(fixture_dir["fasttext-dense-meta"])
    assert len(e) == 3 and list(e.words) == ["Haus", "Baum", "grün"] and list(e) == list(e.words)
    assert "Haus" in e and "Hausbaum" not in e and 3 not in e
    assert e.index("grün") == 2 and e.words.index("Baum") == 1 and e.words[-1] == "grün"
    with pytest.raises(KeyError):
        e.index("Hausbaum")
    # Words.index takes the bounds of Sequence.index, as a list's does.
    words, as_list = e.words, list(e.words)
    for args in [
        ("Baum", 1),
        ("Baum", 0, 2),
        ("grün", -1),
        ("Haus", -5, 1),
        ("Baum", 1, 10**30),
        ("Baum", 2),
        ("Haus", 1, 3),
        ("Baum", 0, -2),
        ("Hausbaum",),
    ]:
        try:
            expected = as_list.index(*args)
        except ValueError:
            with pytest.raises(ValueError, match="is not in the vocabulary"):
                words.index(*args)
        else:
            assert words.index(*args) == expected, args
    assert words.index("Baum", None, None) == 1
    assert e.vocab_kind == "fasttext" and e.storage_kind == "dense"
    assert e.subwords == mave.SubwordSettings("fasttext", 3, 6, 5, None, None, None, "<", ">")
    assert e.metadata == {"model": "test", "training": {"dims": 4, "loss": 0.25}}
    assert e.norms is None
    assert e.matrix.shape == (8, 4) and not e.matrix.flags.writeable
    assert mave.load(fixture_dir["simple-dense"]).subwords is None


def test_errors_name_the_file(tmp_path, fixture_dir):
    with pytest.raises(FileNotFoundError) as missing:
        mave.load(tmp_path / "missing.fifu")
    assert missing.value.filename == str(tmp_path / "missing.fifu")
    bad = tmp_path / "bad.fifu"
    with open(fixture_dir["simple-dense"], "rb") as f:
        bad.write_bytes(f.read()[:30])
    with pytest.raises(mave.FormatError) as damaged:
        mave.load(bad)
    assert damaged.value.filename == str(bad) and str(damaged.value).startswith(str(bad) + ": ")
    quantized = mave.load(fixture_dir["simple-quantized"])
    with pytest.raises(ValueError, match="reconstruct"):
        quantized.matrix
