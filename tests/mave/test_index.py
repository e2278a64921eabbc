"""The approximate-neighbours index: built beside the model by `mave index`,
used by `similar` and `nearest` with approximate=True (found beside the
file or given), its answers re-ranked to true cosines with high recall
against exact search on real models, exclusion and padding, a clear error
without an index, and a stale index refused."""

import shutil
import subprocess
import sys

import numpy as np
import pytest

import mave
from suite import FASTTEXT_DIR, child_environment
from mave import _index
from serve_helpers import clustered_model

pytest.importorskip("faiss")


@pytest.fixture(scope="module")
def indexed(tmp_path_factory):
    path = clustered_model(tmp_path_factory.mktemp("index") / "clusters.fifu")
    result = subprocess.run([sys.executable, "-m", "mave", "index", path], capture_output=True,
                            text=True, env=child_environment(), timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == path + ".hnsw"
    return mave.load(path)


@pytest.fixture(scope="module")
def real_indexed(converted_models, tmp_path_factory):
    """Trained models, each with its index beside it: two converted
    fastText test models, and a word2vec-style model of every word of the
    English corpus (3.5k words) trained by the fastText tool."""
    root = tmp_path_factory.mktemp("real")
    paths = {name: root / f"{name}.fifu" for name in ["demo-skipgram", "cbow-en", "all-words"]}
    for name in ["demo-skipgram", "cbow-en"]:
        shutil.copyfile(converted_models[name], paths[name])
    tool = shutil.which("fasttext")
    if tool is None:
        pytest.skip("the fastText command-line tool is not installed")
    subprocess.run([tool, "skipgram", "-input", str(FASTTEXT_DIR / "english.txt"), "-output",
                    str(root / "all-words"), "-minCount", "1", "-minn", "0", "-maxn", "0", "-dim", "32",
                    "-epoch", "25", "-thread", "1", "-seed", "42", "-verbose", "0"], check=True, timeout=300)
    mave.convert(root / "all-words.vec", paths["all-words"], src_format="text")
    models = {}
    for name, path in paths.items():
        models[name] = mave.load(path)
        _index.build_index(models[name])
    return models


def true_cosine(e, word, query):
    row = e[word].astype(np.float64)
    q = np.asarray(query, np.float64)
    return float(row @ q / np.linalg.norm(row) / np.linalg.norm(q))


@pytest.mark.parametrize("name", ["demo-skipgram", "cbow-en", "all-words"])
def test_recall_and_true_cosines_on_real_models(real_indexed, name):
    # Every word of a trained model asks for its 10 neighbours both ways: the
    # approximate answer finds nearly all of the exact one, and each cosine
    # it gives is the exact search's for that word.
    e = real_indexed[name]
    words = list(e.words)
    hits = total = 0
    for word in words:
        approximate = e.similar(word, 10, approximate=True)
        exact = dict(e.similar(word, 10))
        assert word not in dict(approximate) and len(approximate) == len(exact)
        assert [c for _, c in approximate] == sorted((c for _, c in approximate), reverse=True)
        for w, c in approximate:
            assert c == pytest.approx(exact[w] if w in exact else true_cosine(e, w, e[word]), abs=1e-5)
        hits += len(set(dict(approximate)) & set(exact))
        total += len(exact)
    assert len(words) >= 300 and hits / total >= 0.95
    # nearest answers the same questions in one call, alike.
    rows, cosines = e.nearest(words[:50], 10, approximate=True)
    for i, word in enumerate(words[:50]):
        one = e.similar(word, 10, approximate=True)
        assert [e.words[r] for r in rows[i]] == [w for w, _ in one]
        assert cosines[i].tolist() == pytest.approx([c for _, c in one], abs=1e-6)


def test_clustered_recall_and_cosines(indexed):
    e = indexed
    rng = np.random.default_rng(1)
    hits = 0
    for word in [f"w{i}" for i in rng.choice(len(e), 100, replace=False)]:
        approximate = e.similar(word, 10, approximate=True)
        exact = e.similar(word, 10)
        assert len(approximate) == 10 and word not in dict(approximate)
        for w, c in approximate:
            assert c == pytest.approx(true_cosine(e, w, e[word]), abs=1e-6)
        hits += len({w for w, _ in approximate} & {w for w, _ in exact})
    assert hits / 1000 >= 0.95


def test_nearest_pads_and_excludes(indexed):
    e = indexed
    rows, cosines = e.nearest(["w1", "w2"], 5, approximate=True)
    assert rows.shape == (2, 5) and rows.dtype == np.int64 and cosines.dtype == np.float32
    assert e.index("w1") not in rows[0] and e.index("w2") not in rows[1]
    # A vector query excludes nothing: w3 is its own nearest row.
    rows, cosines = e.nearest(e.matrix[[3, 4]], 5, approximate=True)
    assert rows[0, 0] == 3 and rows[1, 0] == 4
    assert np.allclose(cosines[:, 0], 1.0, atol=1e-6)
    # More neighbours than words: the end is padded as exact search pads it.
    rows, cosines = e.nearest(e.matrix[:2], len(e) + 3, approximate=True)
    exact_rows, exact_cosines = e.nearest(e.matrix[:2], len(e) + 3)
    assert (rows[:, -3:] == -1).all() and np.isnan(cosines[:, -3:]).all()
    assert (exact_rows[:, -3:] == -1).all()
    # Every row is found at that breadth: the answers are the exact ones.
    assert np.array_equal(np.sort(rows[:, :-3]), np.sort(exact_rows[:, :-3]))
    # A zero query has no direction: nothing, as exact search answers.
    rows, cosines = e.nearest(np.zeros((1, e.dims), np.float32), 3, approximate=True)
    assert (rows == -1).all() and np.isnan(cosines).all()


def test_similar_with_negative_terms_vectors_and_restrict(indexed):
    e = indexed
    # The same direction as the scan's (mean of unit vectors, negative ones
    # subtracted), the three words left out.
    got = e.similar(["w1", "w2"], 5, negative=["w3"], approximate=True)
    exact = e.similar(["w1", "w2"], 5, negative=["w3"])
    assert [w for w, _ in got] == [w for w, _ in exact]
    assert np.allclose([c for _, c in got], [c for _, c in exact], atol=1e-6)
    got = e.similar([e["w9"], "w10"], 5, approximate=True)
    assert [w for w, _ in got] == [w for w, _ in e.similar([e["w9"], "w10"], 5)]
    # A zero vector has no direction, either way.
    assert e.similar(np.zeros(e.dims), 3, approximate=True) == e.similar(np.zeros(e.dims), 3) == []
    # With restrict the answer is the exact one over those rows.
    assert e.similar("w1", 5, restrict=100, approximate=True) == e.similar("w1", 5, restrict=100)
    rows, _ = e.nearest(["w1"], 5, restrict=100, approximate=True)
    assert np.array_equal(rows, e.nearest(["w1"], 5, restrict=100)[0])


def test_missing_given_or_stale_index(tmp_path, indexed):
    small = clustered_model(tmp_path / "small.fifu", n=50)
    e = mave.load(small)
    assert not _index.has_index(e)
    for ask in (lambda: e.similar("w1", 3, approximate=True),
                lambda: e.nearest(["w1"], 3, approximate=True),
                lambda: e.similar("w1", 3, restrict=10, approximate=True)):
        with pytest.raises(FileNotFoundError, match=r"has no approximate-neighbours index .* "
                                                    r"build it with `mave index .*small.fifu`"):
            ask()
    with pytest.raises(FileNotFoundError, match="there is no index .*elsewhere.hnsw"):
        e.similar("w1", 3, approximate=tmp_path / "elsewhere.hnsw")
    with pytest.raises(TypeError, match="approximate must be a bool or the path"):
        e.similar("w1", 3, approximate=1)
    # An index given by its path, written anywhere.
    elsewhere = _index.build_index(e, tmp_path / "elsewhere.hnsw")
    got, exact = e.similar("w1", 3, approximate=elsewhere), e.similar("w1", 3)
    assert [w for w, _ in got] == [w for w, _ in exact]
    assert [c for _, c in got] == pytest.approx([c for _, c in exact], abs=1e-6)
    assert not _index.has_index(e)
    # An index of another model (here: of more rows) is refused, not used.
    shutil.copyfile(indexed.path + ".hnsw", tmp_path / "small.fifu.hnsw")
    with pytest.raises(ValueError, match="is not an index of"):
        e.similar("w1", 3, approximate=True)
    # So is a file that is no index at all.
    (tmp_path / "small.fifu.hnsw").write_bytes(b"IHNs" + bytes(100))
    with pytest.raises(ValueError, match="is not an index of"):
        e.similar("w1", 3, approximate=True)


def test_without_faiss_the_error_says_what_to_install(indexed, run_python):
    result = run_python(f"""
        import sys
        sys.modules["faiss"] = None  # as if it were not installed
        import mave
        e = mave.load({indexed.path!r})
        print(e.similar("w1", 2))
        try:
            e.similar("w1", 2, approximate=True)
        except ImportError as error:
            print(error)
    """)
    lines = result.stdout.splitlines()
    assert len(lines) == 2 and lines[1] == \
        "the approximate-neighbours index needs faiss: pip install mave[serve]"


def test_models_load_after_the_index_library(indexed, converted_models):
    # An index library that carries its own C++ runtime can break the
    # parsing of float metadata in the same process: one must not.
    indexed.similar("w1", 3, approximate=True)
    assert mave.load(converted_models["cbow-en"]).metadata["sampling_threshold"] == 0.0001


def test_quantized_model_is_indexed_from_its_reconstructed_rows(tmp_path, indexed):
    path = str(tmp_path / "pq.fifu")
    mave.quantize(indexed.path, path, subquantizers=8, bits=6, sample=1000, iterations=5, opq=False,
                  seed=0)
    e = mave.load(path)
    _index.build_index(e)
    got = e.similar("w7", 10, approximate=True)
    exact = e.similar("w7", 10)
    assert len({w for w, _ in got} & {w for w, _ in exact}) >= 8
    for w, c in got:
        assert c == pytest.approx(dict(exact).get(w, c), abs=1e-5)
