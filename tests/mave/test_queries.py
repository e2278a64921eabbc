"""similar, analogy, nearest and the evaluations against gensim run as a
black box on the same matrix: a model trained with the fastText tool on the
Google analogy questions' words and English text, converted to finalfusion,
and a KeyedVectors holding its vocabulary rows."""

import os
import shutil
import subprocess

import numpy as np
import pytest

import mave
from mave import _native

gensim_models = pytest.importorskip("gensim.models")
TEST_DATA = os.path.join(os.path.dirname(pytest.importorskip("gensim").__file__), "test", "test_data")
QUESTIONS = os.path.join(TEST_DATA, "questions-words.txt")
HERE = os.path.dirname(os.path.abspath(__file__))
ENGLISH = os.path.join(HERE, "..", "data", "fasttext", "english.txt")


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    if shutil.which("fasttext") is None:
        pytest.skip("the fastText tool is not installed (scripts/setup installs it)")
    root = tmp_path_factory.mktemp("analogy-model")
    corpus = root / "corpus.txt"
    with open(QUESTIONS, encoding="utf-8") as f:
        lines = [line for line in f if not line.startswith(":")]
    with open(ENGLISH, encoding="utf-8") as f:
        corpus.write_text("".join(lines) + f.read(), encoding="utf-8")
    subprocess.run(
        [
            "fasttext",
            "skipgram",
            "-input",
            str(corpus),
            "-output",
            str(root / "m"),
            "-dim",
            "32",
            "-epoch",
            "5",
            "-minCount",
            "3",
            "-thread",
            "1",
            "-bucket",
            "20000",
            "-verbose",
            "0",
        ],
        check=True,
    )
    path = root / "m.fifu"
    mave.convert(root / "m.bin", path)
    e = mave.load(path)
    kv = gensim_models.KeyedVectors(e.dims)
    kv.add_vectors(list(e.words), e.matrix[: len(e)].copy())
    return e, kv


def same_top(got, expected, tolerance=1e-6):
    """The same words with the same scores; order may differ only among
    scores within the tolerance."""
    assert len(got) == len(expected)
    assert np.allclose([s for _, s in got], [s for _, s in expected], atol=tolerance)
    for (w, s), (v, t) in zip(got, expected):
        if w != v:
            ties = [x for x, u in expected if abs(u - s) <= tolerance]
            assert w in ties, (got, expected)
    assert {w for w, _ in got} <= {w for w, _ in expected} | {
        w for w, s in got if abs(s - got[-1][1]) <= tolerance
    }


# gensim's most_similar_cosmul calls its own deprecated init_sims.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_similar_and_cosmul_match_gensim(model):
    e, kv = model
    queries = [
        (["king", "woman"], ["man"]),
        (["Paris"], []),
        (["France", "Berlin"], ["Paris"]),
        (["good", "better", "software"], ["bad", "free"]),
    ]
    for positive, negative in queries:
        for restrict in (None, 500):
            same_top(
                e.similar(positive, negative=negative or None, restrict=restrict),
                kv.most_similar(positive=positive, negative=negative, topn=10, restrict_vocab=restrict),
            )
    for a, b, c in [("man", "king", "woman"), ("Athens", "Greece", "Baghdad"), ("good", "better", "bad")]:
        same_top(
            e.analogy(a, b, c, method="mul"), kv.most_similar_cosmul(positive=[b, c], negative=[a], topn=10)
        )
        same_top(e.analogy(a, b, c), kv.most_similar(positive=[b, c], negative=[a], topn=10))


def test_nearest_is_similar_query_by_query(model):
    e, _ = model
    words = list(e.words[:300:7])
    for restrict in (None, 1000, {"king", "queen", "Paris", "France", "software"}):
        rows, cosines = e.nearest(words, k=8, restrict=restrict, threads=2)
        assert rows.dtype == np.int64 and cosines.dtype == np.float32 and rows.shape == (len(words), 8)
        for word, r, c in zip(words, rows, cosines):
            expected = e.similar(word, 8, restrict=restrict, threads=1)
            assert [e.words[i] for i in r[r >= 0]] == [w for w, _ in expected]
            assert np.allclose(c[r >= 0], [s for _, s in expected], atol=1e-6)
            assert np.isnan(c[r < 0]).all()
    # A vector query is not left out of its own answer.
    rows, _ = e.nearest(e.matrix[[5, 9]], k=1)
    assert rows[:, 0].tolist() == [5, 9]


def test_evaluate_analogies_matches_gensim(model):
    e, kv = model
    for restrict, case_insensitive in [(300_000, True), (2000, True), (300_000, False)]:
        got = mave.evaluate_analogies(
            e, QUESTIONS, restrict=restrict, case_insensitive=case_insensitive, threads=2
        )
        score, sections = kv.evaluate_word_analogies(
            QUESTIONS, restrict_vocab=restrict, case_insensitive=case_insensitive
        )
        assert got.accuracy == pytest.approx(score, abs=1e-12)
        expected = [
            (s["section"], len(s["correct"]), len(s["correct"]) + len(s["incorrect"])) for s in sections[:-1]
        ]
        assert got.sections == expected
        total = sections[-1]
        assert (got.correct, got.answered) == (
            len(total["correct"]),
            len(total["correct"]) + len(total["incorrect"]),
        )
        assert got.answered + got.skipped == 19544
    assert mave.evaluate_analogies(e, QUESTIONS).correct > 500  # the model answers many


@pytest.mark.parametrize("name", ["wordsim353.tsv", "simlex999.txt"])
def test_evaluate_word_pairs_matches_gensim(model, name):
    e, kv = model
    path = os.path.join(TEST_DATA, name)
    for dummy in (False, True):
        got = mave.evaluate_word_pairs(e, path, dummy4unknown=dummy)
        pearson, spearman, oov = kv.evaluate_word_pairs(path, dummy4unknown=dummy)
        assert got.pearson == pytest.approx(pearson[0], abs=1e-6)
        assert got.spearman == pytest.approx(spearman[0], abs=1e-6)
        assert got.oov_ratio == pytest.approx(oov, abs=1e-12)


def test_small_queries_match_gensim(model):
    e, kv = model
    assert e.similarity("king", "queen") == pytest.approx(float(kv.similarity("king", "queen")), abs=1e-6)
    words = ["France", "Germany", "Italy", "software"]
    assert e.doesnt_match(words) == kv.doesnt_match(words)
    assert np.allclose(e.mean_vector(words[:3]), kv.get_mean_vector(words[:3]), atol=1e-6)
    assert np.allclose(
        e.mean_vector(words[:3], weights=[1, -2, 0.5], normalize=True),
        kv.get_mean_vector(words[:3], weights=[1, -2, 0.5], post_normalize=True),
        atol=1e-6,
    )
    import mave.dask

    texts = ["king of France", "", "software freedom"]
    assert np.array_equal(e.mean_vectors(texts), mave.dask.mean_vectors(texts, e))


def test_bad_questions_and_arguments(model, tmp_path):
    e, _ = model
    for call, error, pattern in [
        (lambda: e.similar("king", 0), ValueError, "k must be at least 1"),
        (lambda: e.nearest(["king"], k=-2), ValueError, "k must be at least 1"),
        (lambda: e.similar("king", restrict=0), ValueError, "restrict must be at least 1"),
        (lambda: e.similar("king", restrict=np.ones(3, bool)), ValueError, r"restrict has shape \(3,\)"),
        (lambda: e.similar("king", restrict=["king", "no-such-word"]), KeyError, "no-such-word"),
        (lambda: e.similar("king", restrict=True), TypeError, "restrict"),
        (lambda: e.similar([], negative="king"), ValueError, "positive term"),
        (lambda: e.analogy("a", "b", "c", method="sum"), ValueError, "method must be"),
        (lambda: e.nearest(np.zeros((2, 3))), ValueError, "queries has shape"),
        (lambda: e.doesnt_match([]), ValueError, "at least one word"),
        (lambda: e.mean_vector(["king"], weights=[1, 2]), ValueError, "weights"),
        (lambda: mave.evaluate_analogies(e, QUESTIONS, method="x"), ValueError, "method"),
        (lambda: e.nearest(["king"], k=2.0), TypeError, "k must be an int"),
        (
            lambda: e.nearest(e.matrix[:2], restrict=np.ones(len(e) + 1, bool)),
            ValueError,
            r"restrict has shape",
        ),
        (lambda: e.nearest(["king"], restrict=-3), ValueError, "restrict must be at least 1"),
        (lambda: e.nearest("king"), TypeError, "queries must be"),
        (lambda: e.analogy("king", "queen", "man", method=None), ValueError, "method must be"),
        (lambda: e.similar("king", negative=[3]), ValueError, r"negative has shape \(1,\)"),
        (lambda: e.similar("king", negative=[["man"]]), TypeError, "negative"),
        (lambda: mave.evaluate_analogies(e, QUESTIONS, restrict=0), ValueError, "restrict"),
        # The questions behind the methods are checked once, when made,
        # and the search checks that they fit the model.
        (
            lambda: _native.Questions(e.matrix[:3], positive=[1], negative=[1]),
            ValueError,
            "the term counts do not add up to the terms",
        ),
        (
            lambda: _native.Questions(
                e.matrix[:2], exclude=np.zeros(1, np.uint64), exclude_offsets=[0, 2, 1]
            ),
            ValueError,
            "the exclusion offsets do not fit the questions",
        ),
        (
            lambda: _native.Questions(e.matrix[:2], positive=[2], negative=[0], term_of=[0, 2]),
            ValueError,
            "a shared term beyond the terms",
        ),
        (lambda: _native.Questions(e.matrix[:2], term_of=[0, 1]), ValueError, "shared terms without counts"),
        (
            lambda: _native.Questions(e.matrix[:2], positive=[1, 1]),
            ValueError,
            "the positive and negative counts differ",
        ),
        (
            lambda: e._search(
                _native.Questions(np.ones((1, e.dims + 1), np.float32)), 3, len(e), None, False, 1
            ),
            ValueError,
            "terms have",
        ),
        (
            lambda: e._search(e.matrix[:2], 3, len(e), None, False, 1),
            TypeError,
            "questions must be Questions, not numpy.ndarray",
        ),
    ]:
        with pytest.raises(error, match=pattern):
            call()
    # Queries without a direction (zero, NaN, infinite) have no answer.
    hostile = np.zeros((3, e.dims), np.float32)
    hostile[1, 0], hostile[2, 1] = np.nan, np.inf
    rows, cosines = e.nearest(hostile, k=4)
    assert (rows == -1).all() and np.isnan(cosines).all()
    assert e.similar(hostile[1]) == [] and e.analogy(hostile[0], "king", "queen") == []
    bad = tmp_path / "bad.txt"
    for text, line, error in [
        (": s\nking queen man\n", 2, mave.FormatError),
        ("king queen man woman\n", 1, mave.FormatError),
        (": s\nking queen man woman\nking queen man wom\xe4n\n".encode("latin-1"), 3, mave.FormatError),
    ]:
        if isinstance(text, bytes):
            bad.write_bytes(text)
        else:
            bad.write_text(text)
        with pytest.raises(error, match=f"line {line}:"):
            mave.evaluate_analogies(e, bad)
    bad.write_text("king\tqueen\t7.5\nking queen 3\n")
    with pytest.raises(mave.FormatError, match="line 2: expected two words and a score"):
        mave.evaluate_word_pairs(e, bad)
    bad.write_text("# header\nking\tqueen\t7.5\nking\tman\tmany\n")
    with pytest.raises(mave.FormatError, match="line 3: the score 'many'") as info:
        mave.evaluate_word_pairs(e, bad)
    assert info.value.filename == str(bad)


def test_evaluate_on_the_command_line(model, tmp_path):
    import json
    import sys

    e, _ = model
    run = [sys.executable, "-m", "mave", "evaluate"]
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(
            [os.path.dirname(os.path.dirname(mave.__file__)), os.environ.get("PYTHONPATH", "")]
        ),
    )
    done = subprocess.run(
        run + ["analogies", e.path, QUESTIONS, "--json", "--method", "mul", "--restrict", "2000"],
        capture_output=True,
        text=True,
        env=env,
    )
    expected = mave.evaluate_analogies(e, QUESTIONS, method="mul", restrict=2000)
    got = json.loads(done.stdout)
    assert got["correct"] == expected.correct and got["skipped"] == expected.skipped
    assert [tuple(s) for s in got["sections"]] == expected.sections
    done = subprocess.run(run + ["analogies", e.path, QUESTIONS], capture_output=True, text=True, env=env)
    assert done.stdout.splitlines()[0].split()[:4] == [
        "capital-common-countries",
        str(mave.evaluate_analogies(e, QUESTIONS).sections[0][1]),
        "/",
        "506",
    ]
    pairs = os.path.join(TEST_DATA, "wordsim353.tsv")
    done = subprocess.run(run + ["pairs", e.path, pairs, "--json"], capture_output=True, text=True, env=env)
    assert json.loads(done.stdout) == pytest.approx(vars(mave.evaluate_word_pairs(e, pairs)))
    bad = tmp_path / "bad.txt"
    bad.write_text(": s\nking queen\n")
    done = subprocess.run(run + ["analogies", e.path, str(bad)], capture_output=True, text=True, env=env)
    assert done.returncode == 1 and done.stderr.startswith(f"mave: error: {bad}: line 2: ")
