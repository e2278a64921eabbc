"""Argument matching and conversion at the boundary: the refusal catalogue."""

import pathlib
import sys

import numpy as np
import pytest

import _mave


@pytest.fixture
def a(model):
    return np.zeros(model.get_dims(), np.float32)


# (call, message): `m` is the model, `a` a suitable array.
CATALOGUE = [
    (
        lambda m, a: m.load_embedding("w", a, 1),
        "FfModel.load_embedding() takes 2 positional arguments but 3 were given",
    ),
    (
        lambda m, a: _mave.build_model("x", "y", "z"),
        "build_model() takes 2 positional arguments but 3 were given",
    ),
    (lambda m, a: _mave.FfModel("x", "y"), "FfModel.__new__() takes 1 positional arguments but 2 were given"),
    (lambda m, a: m.eval("x", "y"), "FfModel.eval() takes 1 positional arguments but 2 were given"),
    (lambda m, a: m.eval("x", haystack="y"), "FfModel.eval() got multiple values for argument 'haystack'"),
    (
        lambda m, a: m.load_embedding("w", a, sentence="w"),
        "FfModel.load_embedding() got multiple values for argument 'sentence'",
    ),
    (
        lambda m, a: _mave.FfModel("x", embeddings_path="y"),
        "FfModel.__new__() got multiple values for argument 'embeddings_path'",
    ),
    (lambda m, a: m.eval(word="x"), "FfModel.eval() got an unexpected keyword argument 'word'"),
    (lambda m, a: _mave.FfModel(path="x"), "FfModel.__new__() got an unexpected keyword argument 'path'"),
    (
        lambda m, a: _mave.build_model(input_path="x", out="y"),
        "build_model() got an unexpected keyword argument 'out'",
    ),
    (
        lambda m, a: m.eval(**{"x\ud800": 1}),
        "FfModel.eval() got an unexpected keyword argument 'x\ufffd\ufffd\ufffd'",
    ),
    (
        lambda m, a: m.load_embedding(),
        "FfModel.load_embedding() missing 2 required positional arguments: 'sentence' and 'a'",
    ),
    (
        lambda m, a: m.load_embedding(a=a),
        "FfModel.load_embedding() missing 1 required positional argument: 'sentence'",
    ),
    (
        lambda m, a: m.load_embedding("w"),
        "FfModel.load_embedding() missing 1 required positional argument: 'a'",
    ),
    (lambda m, a: m.eval(), "FfModel.eval() missing 1 required positional argument: 'haystack'"),
    (
        lambda m, a: _mave.FfModel(),
        "FfModel.__new__() missing 1 required positional argument: 'embeddings_path'",
    ),
    (
        lambda m, a: _mave.build_model(),
        "build_model() missing 2 required positional arguments: 'input_path' and 'output_path'",
    ),
    (
        lambda m, a: _mave.build_model(output_path="y"),
        "build_model() missing 1 required positional argument: 'input_path'",
    ),
    (lambda m, a: m.eval(42), "argument 'haystack': 'int' object cannot be converted to 'PyString'"),
    (
        lambda m, a: _mave.FfModel(b"x"),
        "argument 'embeddings_path': 'bytes' object cannot be converted to 'PyString'",
    ),
    (
        lambda m, a: _mave.FfModel(pathlib.PurePosixPath("x")),
        "argument 'embeddings_path': 'PurePosixPath' object cannot be converted to 'PyString'",
    ),
    (
        lambda m, a: m.load_embedding(None, a),
        "argument 'sentence': 'NoneType' object cannot be converted to 'PyString'",
    ),
    (
        lambda m, a: m.load_embedding(1, [1.0]),
        "argument 'sentence': 'int' object cannot be converted to 'PyString'",
    ),
    (
        lambda m, a: _mave.build_model(1.5, "y"),
        "argument 'input_path': 'float' object cannot be converted to 'PyString'",
    ),
    (
        lambda m, a: _mave.build_model("x", b"y"),
        "argument 'output_path': 'bytes' object cannot be converted to 'PyString'",
    ),
    (
        lambda m, a: m.eval(TestNested.Inner()),
        "argument 'haystack': 'TestNested.Inner' object cannot be converted to 'PyString'",
    ),
]


class TestNested:
    class Inner:
        pass


@pytest.mark.parametrize("call, message", CATALOGUE, ids=[message[:60] for _, message in CATALOGUE])
def test_refusals(model, a, capfd, call, message):
    with pytest.raises(TypeError) as info:
        call(model, a)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    # A refused call changes nothing and prints nothing.
    assert not a.any()
    assert capfd.readouterr() == ("", "")


def test_named_error_has_no_cause_and_suppresses_context(model):
    with pytest.raises(TypeError) as info:
        model.eval(42)
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True


def test_positional_parse_errors_are_plain(model):
    with pytest.raises(TypeError) as info:
        model.eval()
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is False


@pytest.mark.parametrize(
    "call",
    [
        lambda m, a: m.eval("\ud800"),
        lambda m, a: m.load_embedding("\udfff", a),
        lambda m, a: _mave.FfModel("\ud800"),
        lambda m, a: _mave.build_model("x\udc80", "y"),
    ],
)
def test_unencodable_text_raises_the_interpreters_error(model, a, call):
    with pytest.raises(UnicodeEncodeError) as info:
        call(model, a)
    assert "argument" not in str(info.value)
    assert not a.any()


def test_keywords_in_any_order(model, a):
    assert model.load_embedding(a=a, sentence="Haus") is True
    assert a.tolist() == [0.5, -1.25, 3.0, 0.0]
    assert model.eval(haystack="nothing") is None


def test_str_subclass_arguments(model, a):
    class Text(str):
        pass

    assert model.load_embedding(Text("Baum"), a) is True
    assert a.tolist() == [1.0, 2.0, -3.0, 4.0]


def test_sentence_text_is_exact(model, a):
    # No normalisation or stripping: only the exact bytes match.
    assert model.load_embedding("grün", a) is True
    for variant in ("gru\u0308n", " grün", "Grün", "", "grün\0"):
        assert model.load_embedding(variant, a) is False


class TestReferenceCounts:
    """Arguments are borrowed for the call only, whatever way it ends."""

    @pytest.mark.parametrize(
        "call, raises",
        [
            (lambda m, s, a: m.load_embedding(s, a), None),
            (lambda m, s, a: m.load_embedding(sentence=s, a=a), None),
            (lambda m, s, a: m.load_embedding(s, a[:-1]), BaseException),
            (lambda m, s, a: m.load_embedding(s, a, s), TypeError),
            (lambda m, s, a: m.load_embedding(s, a.astype(np.float64)), TypeError),
            (lambda m, s, a: m.load_embedding(s, list(a)), TypeError),
            (lambda m, s, a: m.load_embedding(a, s), TypeError),
            (lambda m, s, a: m.eval(s), None),
            (lambda m, s, a: m.eval(haystack=s, extra=a), TypeError),
            (lambda m, s, a: _mave.FfModel(s), BaseException),
            (lambda m, s, a: _mave.build_model(s, a), TypeError),
        ],
    )
    def test_unchanged(self, model, capfd, call, raises):
        sentence = "".join(["Ha", "us"])  # a fresh object, not an interned literal
        a = np.zeros(4, np.float32)
        before = (sys.getrefcount(model), sys.getrefcount(sentence), sys.getrefcount(a))
        for _ in range(3):
            if raises is None:
                call(model, sentence, a)
            else:
                with pytest.raises(raises):
                    call(model, sentence, a)
        after = (sys.getrefcount(model), sys.getrefcount(sentence), sys.getrefcount(a))
        assert before == after
        capfd.readouterr()

    def test_no_objects_left_behind(self, model):
        a = np.zeros(4, np.float32)
        sentence = "".join(["Ba", "um"])
        for _ in range(100):
            model.load_embedding(sentence, a)
        blocks = sys.getallocatedblocks()
        for _ in range(10_000):
            model.load_embedding(sentence, a)
            model.load_embedding("absent", a)
        assert sys.getallocatedblocks() - blocks < 10
