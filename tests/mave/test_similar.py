"""similar() and analogy() against brute force with NumPy over the rows
that lookups give: dense and quantized files, rows of any length, ties,
exclusion, threads, and the errors of bad arguments."""

import numpy as np
import pytest

import fifu
import mave
from fifu import quantized_array

N_WORDS, DIMS = 600, 12


def words(n):
    return [f"w{i:04d}" for i in range(n)]


def brute_force(matrix, query, k, exclude=()):
    """(row, cosine) of the k best rows by cosine in float64, ties by row."""
    lengths = np.linalg.norm(matrix.astype(np.float64), axis=1) * np.linalg.norm(query)
    with np.errstate(invalid="ignore", divide="ignore"):
        cosines = matrix.astype(np.float64) @ query.astype(np.float64) / lengths
    order = [r for r in np.lexsort((np.arange(len(matrix)), -cosines)) if r not in exclude and lengths[r] > 0]
    return [(int(r), float(cosines[r])) for r in order[:k]]


def check(e, query, k, exclude=(), *, threads=None, tolerance=1e-5):
    rows = e.reconstruct(range(len(e)))
    expected = brute_force(rows, np.asarray(e[query] if isinstance(query, str) else query), k, exclude)
    got = e.similar(query, k, threads=threads)
    assert len(got) == len(expected)
    assert np.allclose([c for _, c in got], [c for _, c in expected], atol=tolerance)
    # The words agree wherever the cosines are told apart by more than rounding.
    cosines = [c for _, c in expected]
    for i, (r, c) in enumerate(expected):
        neighbours = cosines[max(i - 1, 0) : i] + cosines[i + 1 : i + 2]
        if all(abs(c - n) > 10 * tolerance for n in neighbours):
            assert got[i][0] == e.words[r]
    return got


@pytest.fixture(scope="module")
def dense_path(tmp_path_factory):
    rng = np.random.default_rng(7)
    # Rows of very different lengths: cosines must not assume unit rows.
    matrix = rng.normal(size=(N_WORDS, DIMS)) * rng.choice([1e-3, 1.0, 40.0], size=(N_WORDS, 1))
    matrix[5] = 0.0  # a zero row has no cosine
    matrix[9] = matrix[3]  # the same row twice: a tie
    path = tmp_path_factory.mktemp("dense") / "dense.fifu"
    path.write_bytes(fifu.dense_embeddings(words(N_WORDS), matrix.astype(np.float32).tolist()))
    return str(path)


def quantized_file(path, *, projection, norms, seed=11, n_sub=4, n_centroids=16):
    rng = np.random.default_rng(seed)
    sub_len = DIMS // n_sub
    centroids = rng.normal(size=(n_sub, n_centroids, sub_len)).astype(np.float32)
    codes = rng.integers(0, n_centroids, size=(N_WORDS, n_sub), dtype=np.uint8)
    p = None
    if projection == "rotation":
        p = np.linalg.qr(rng.normal(size=(DIMS, DIMS)))[0].astype(np.float32)
    elif projection == "general":
        p = rng.normal(size=(DIMS, DIMS)).astype(np.float32)
    n = None if not norms else (rng.random(N_WORDS) * 3 + 0.1).astype(np.float32)
    path.write_bytes(
        fifu.assemble(
            fifu.simple_vocab(words(N_WORDS)),
            quantized_array(n_sub, DIMS, n_centroids, N_WORDS, centroids, codes, p, n),
        )
    )
    return str(path)


def test_dense_against_brute_force(dense_path):
    e = mave.load(dense_path)
    rng = np.random.default_rng(1)
    for k in [1, 10, 50, N_WORDS + 5]:
        for threads in [None, 1, 2, 3]:
            query = rng.normal(size=DIMS).astype(np.float32)
            got = check(e, query, k, threads=threads)
            assert len(got) == min(k, N_WORDS - 1)  # the zero row never comes back
    # A word is left out of its own answer; a vector is not.
    got = check(e, "w0003", 5, exclude=(3,))
    assert "w0003" not in [w for w, _ in got]
    assert e.similar(e["w0003"], 2)[0][0] == "w0003"
    # Rows 3 and 9 are equal: equal cosines come in row order.
    tie = e.similar(e["w0003"], 2)
    assert [w for w, _ in tie] == ["w0003", "w0009"] and tie[0][1] == tie[1][1]


@pytest.mark.parametrize("projection", [None, "rotation", "general"])
@pytest.mark.parametrize("norms", [False, True])
def test_quantized_against_brute_force_on_rebuilt_rows(tmp_path, projection, norms):
    e = mave.load(quantized_file(tmp_path / "q.fifu", projection=projection, norms=norms))
    assert e.storage_kind == "quantized"
    rng = np.random.default_rng(2)
    for threads in [1, 2]:
        check(e, rng.normal(size=DIMS).astype(np.float32), 20, threads=threads, tolerance=1e-4)
        check(e, "w0042", 20, exclude=(42,), threads=threads, tolerance=1e-4)


def test_analogy_is_the_search_for_b_minus_a_plus_c(dense_path):
    e = mave.load(dense_path)
    unit = {w: e[w].astype(np.float64) / np.linalg.norm(e[w]) for w in ["w0001", "w0002", "w0004"]}
    target = unit["w0002"] - unit["w0001"] + unit["w0004"]
    expected = brute_force(e.reconstruct(range(len(e))), target, 7, exclude=(1, 2, 4))
    got = e.analogy("w0001", "w0002", "w0004", k=7)
    assert [w for w, _ in got] == [e.words[r] for r, _ in expected]
    assert np.allclose([c for _, c in got], [c for _, c in expected], atol=1e-5)


def test_composed_queries_and_vocabularies_without_words(fixture_dir):
    e = mave.load(fixture_dir["fasttext-dense-meta"])
    # "Hausbaum" is no word: its composed vector is the query, nothing is excluded.
    assert [w for w, _ in e.similar("Hausbaum", 3)] == [
        e.words[r] for r, _ in brute_force(e.reconstruct(range(len(e))), e["Hausbaum"], 3)
    ]
    assert mave.load(fixture_dir["floret-dense-meta"]).similar("Haus") == []


def test_bad_arguments(dense_path):
    e = mave.load(dense_path)
    with pytest.raises(KeyError):
        e.similar("no such word")
    with pytest.raises(KeyError):
        e.analogy("w0001", "nope", "w0002")
    with pytest.raises(ValueError, match=r"query has shape \(3,\), but the vectors have shape \(12,\)"):
        e.similar([1.0, 2.0, 3.0])
    with pytest.raises(TypeError, match="query must be a str or a vector"):
        e.similar(object())
    for k in (-1, 0):
        with pytest.raises(ValueError, match="k must be at least 1"):
            e.similar("w0001", k)
    with pytest.raises(TypeError, match="k must be an int"):
        e.similar("w0001", 2.5)
    with pytest.raises(ValueError, match="threads must be between 1 and 1024"):
        e.similar("w0001", threads=0)
    assert e.similar(np.zeros(DIMS)) == []  # a zero query has no cosine
