"""The errors a Python user expects for bad arguments, with messages that
say what was wrong; and objects that travel to other processes by path."""

import multiprocessing
import pickle

import numpy as np
import pytest

import mave


@pytest.fixture(scope="module")
def e(converted_models):
    return mave.load(converted_models["demo-skipgram"])


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda e: e[3], TypeError, "key must be str, not int"),
        (lambda e: e[""], KeyError, None),  # "<>" is shorter than any n-gram
        (lambda e: e.get(3), TypeError, "word must be str, not int"),
        (lambda e: e.get(), TypeError, r"get\(\) missing 1 required positional argument: 'word'"),
        (lambda e: e.index("sofware"), KeyError, "sofware"),
        (
            lambda e: e.embedding("software", [0.0] * 24),
            TypeError,
            "out must be a numpy.ndarray of float32, not list",
        ),
        (
            lambda e: e.embedding("software", np.zeros(24)),
            TypeError,
            "out must have dtype float32, not float64",
        ),
        (
            lambda e: e.embedding("software", np.zeros(25, np.float32)),
            ValueError,
            r"out has shape \(25,\), but the vectors have shape \(24,\)",
        ),
        (
            lambda e: e.embedding("software", np.zeros((2, 12), np.float32)),
            ValueError,
            r"out has shape \(2, 12\), but the vectors have shape \(24,\)",
        ),
        (
            lambda e: e.embedding("software", np.zeros(24, np.float32), 1),
            TypeError,
            r"takes from 1 to 2 positional arguments but 3 were given",
        ),
        (lambda e: e.embedding(wrd="software"), TypeError, "unexpected keyword argument 'wrd'"),
        (lambda e: e.embed(["software", 7, "free"]), TypeError, r"words\[1\] must be str, not int"),
        (lambda e: e.embed(42), TypeError, "words must be an iterable of str, not int"),
        (
            lambda e: e.embed(["a", "b"], np.zeros((3, 24), np.float32)),
            ValueError,
            r"out has shape \(3, 24\), but 2 words of 24 dimensions need \(2, 24\)",
        ),
        (
            lambda e: e.embed(["a"], np.zeros((1, 24), np.float32)[::, ::1].T.T[:, :0]),
            ValueError,
            r"out has shape \(1, 0\)",
        ),
        (
            lambda e: e.embed(["a"], np.zeros((1, 24), np.float32).view(np.int32)),
            TypeError,
            "out must have dtype float32, not int32",
        ),
        (lambda e: e.embed(["a"], threads=0), ValueError, "threads must be between 1 and 1024, got 0"),
        (lambda e: e.embed(["a"], threads="2"), TypeError, "threads must be an int or None, not str"),
        (lambda e: e.embed(["a"], None, 2), TypeError, "takes from 1 to 2 positional arguments"),
        (
            lambda e: e.reconstruct([0, 10**9]),
            IndexError,
            "row 1000000000 is out of range for a matrix of 9082 rows",
        ),
        (lambda e: e.reconstruct(["x"]), TypeError, None),
    ],
)
def test_bad_arguments(e, call, error, message):
    with pytest.raises(error, match=message):
        call(e)


def test_rows_by_number_in_any_integer_form(e):
    expected = e.reconstruct([3, -1])
    for rows in ([3, -1], (3, -1), np.array([3, -1]), np.array([3, 9081], np.uint32)):
        assert np.array_equal(e.reconstruct(rows), expected)
    assert np.array_equal(e.reconstruct(np.int64(3)), expected[:1])
    assert e.reconstruct([]).shape == (0, 24)


def test_read_only_targets_are_refused_and_left_alone(e):
    out = np.zeros((2, 24), np.float32)
    out.flags.writeable = False
    with pytest.raises(ValueError, match="out is read-only"):
        e.embed(["free", "software"], out)
    with pytest.raises(ValueError, match="out is read-only"):
        e.embedding("free", out[0])
    assert not out.any()


def test_surrogates_and_non_str_keys(e):
    assert "\ud800" not in e and 3 not in e and None not in e
    with pytest.raises(UnicodeEncodeError):
        e["\ud800"]
    with pytest.raises(UnicodeEncodeError):
        e.embed(["free", "\ud800"])


def vectors_in_child(embeddings, words):
    return embeddings.embed(words)[0]


def test_pickled_objects_reopen_their_file_in_other_processes(e):
    clone = pickle.loads(pickle.dumps(e))
    assert clone.path == e.path and len(clone) == len(e) and clone is not e
    words = ["software", "sofware", "the"]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        rows = pool.starmap(vectors_in_child, [(e, words)] * 2)
    for got in rows:
        assert np.array_equal(got.view(np.uint32), e.embed(words)[0].view(np.uint32))
    error = mave.FormatError("x: y", "x", "y")
    again = pickle.loads(pickle.dumps(error))
    assert (str(again), again.filename, again.reason) == ("x: y", "x", "y")
