"""The approximate-neighbours index: built beside the model, found by the
queries, its answers re-ranked to true cosines, recall against exact search,
exclusion and padding, and a stale index refused."""

import shutil
import subprocess
import sys

import numpy as np
import pytest

import mave
from suite import child_environment
from mave import _index
from mave._serve import _queries
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


def test_answers_are_exact_cosines_with_high_recall(indexed):
    e = indexed
    assert _index.open_index(e) is not None
    rows = e.reconstruct(range(len(e)))
    rng = np.random.default_rng(1)
    hits = 0
    for word in [f"w{i}" for i in rng.choice(len(e), 100, replace=False)]:
        approximate = _queries.similar(e, [word], 10, approximate=True)
        exact = _queries.similar(e, [word], 10, approximate=False)
        assert exact == e.similar(word, 10)
        assert len(approximate) == 10 and word not in dict(approximate)
        # Every cosine is the true one of that word, and the order is by it.
        for w, c in approximate:
            row = rows[e.index(w)]
            q = e[word]
            assert c == pytest.approx(float(row @ q / np.linalg.norm(row) / np.linalg.norm(q)), abs=1e-6)
        assert [c for _, c in approximate] == sorted((c for _, c in approximate), reverse=True)
        hits += len({w for w, _ in approximate} & {w for w, _ in exact})
    assert hits / 1000 >= 0.95


def test_nearest_pads_and_excludes(indexed):
    e = indexed
    rows, cosines = _queries.nearest(e, ["w1", "w2", e["w3"]], 5, approximate=True)
    exact_rows, exact_cosines = _queries.nearest(e, ["w1", "w2", e["w3"]], 5, approximate=False)
    assert rows.shape == (3, 5) and rows.dtype == np.int64 and cosines.dtype == np.float32
    assert e.index("w1") not in rows[0] and e.index("w2") not in rows[1]
    # A vector query excludes nothing: w3 is its own nearest row.
    assert rows[2, 0] == exact_rows[2, 0] == e.index("w3")
    assert np.allclose(cosines[2, 0], 1.0, atol=1e-6)
    # More neighbours than words: the end is padded.
    rows, cosines = _index.open_index(e).search(e, e.matrix[:2], len(e) + 3)
    assert (rows[:, -3:] == -1).all() and np.isnan(cosines[:, -3:]).all()
    assert _queries.nearest(e, [], 5)[0].shape == (0, 5)


def test_similar_with_negative_terms_and_restrict(indexed):
    e = indexed
    got = _queries.similar(e, ["w1", "w2"], 5, negative=["w3"], approximate=False)
    unit = [e[w] / np.linalg.norm(e[w]) for w in ("w1", "w2", "w3")]
    target = unit[0] + unit[1] - unit[2]
    rows = e.reconstruct(range(len(e)))
    cosines = rows @ target / np.linalg.norm(rows, axis=1) / np.linalg.norm(target)
    cosines[[e.index("w1"), e.index("w2"), e.index("w3")]] = -np.inf
    expected = [f"w{i}" for i in np.argsort(-cosines, kind="stable")[:5]]
    assert [w for w, _ in got] == expected
    restricted = _queries.similar(e, ["w1"], 5, restrict=100)
    assert all(e.index(w) < 100 for w, _ in restricted)
    assert len(restricted) == 5


def test_missing_or_stale_index(tmp_path, indexed):
    small = clustered_model(tmp_path / "small.fifu", n=50)
    e = mave.load(small)
    assert _index.open_index(e) is None
    with pytest.raises(LookupError, match="mave index"):
        _queries.similar(e, ["w1"], 3, approximate=True)
    # An index of another model (here: of more rows) is refused, not used.
    shutil.copyfile(indexed.path + ".hnsw", tmp_path / "small.fifu.hnsw")
    with pytest.raises(ValueError, match="is not an index of"):
        _index.open_index(e)
    # So is a file that is no index at all.
    (tmp_path / "small.fifu.hnsw").write_bytes(b"IHNs" + bytes(100))
    with pytest.raises(ValueError, match="is not an index of"):
        _index.open_index(e)


def test_models_load_after_the_index_library(indexed, converted_models):
    # An index library that carries its own C++ runtime can break the
    # parsing of float metadata in the same process: one must not.
    _queries.similar(indexed, ["w1"], 3, approximate=True)
    assert mave.load(converted_models["cbow-en"]).metadata["sampling_threshold"] == 0.0001


def test_quantized_model_is_indexed_from_its_reconstructed_rows(tmp_path, indexed):
    pytest.importorskip("faiss")
    path = str(tmp_path / "pq.fifu")
    mave.quantize(indexed.path, path, subquantizers=8, bits=6, sample=1000, iterations=5, opq=False,
                  seed=0)
    e = mave.load(path)
    _index.build_index(e)
    got = _queries.similar(e, ["w7"], 10, approximate=True)
    exact = e.similar("w7", 10)
    assert len({w for w, _ in got} & {w for w, _ in exact}) >= 8
    for w, c in got:
        assert c == pytest.approx(dict(exact).get(w, c), abs=1e-5)
