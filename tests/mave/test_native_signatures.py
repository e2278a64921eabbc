"""Every function and method of mave._native declares its parameters once:
the signature inspect reads and the parser that refuses calls come from the
same declaration. Each refused call is checked against a function written in
Python with that signature, so that the TypeErrors are worded as CPython's
own and the signature cannot disagree with what the parser accepts."""

import inspect
import itertools

import pytest

import mave
from mave import _native


def native_callables():
    """(name, callable) of every function of _native, every method of its
    types (bound, as a user calls them) and the constructor."""
    found = [(name, f) for name, f in vars(_native).items() if callable(f) and not isinstance(f, type)]
    for cls in (_native.Embeddings, _native.Words, _native._Tokenizer):
        for name, f in vars(cls).items():
            if inspect.ismethoddescriptor(f) and not name.startswith("__"):
                found.append((f"{cls.__name__}.{name}", f))
    found.append(("Embeddings", _native.Embeddings))
    found.append(("_Tokenizer", _native._Tokenizer))
    return found


TOKENIZER_JSON = (
    '{"model": {"type": "WordLevel", "vocab": {"[UNK]": 0, "a": 1}, "unk_token": "[UNK]"}, '
    '"pre_tokenizer": {"type": "WhitespaceSplit"}}'
)


def python_twin(name, signature):
    """A function written in Python with the same name and parameters."""
    params = [p.replace(annotation=inspect.Parameter.empty) for p in signature.parameters.values()]
    namespace = {}
    exec(f"def {name}{signature.replace(parameters=params)}: pass", namespace)
    return namespace[name]


def refused_calls(signature):
    """Argument lists that a function of this signature may refuse: none, one
    too many positions (with and without keyword-only ones), an unknown
    keyword, a positional-only one by keyword, one given twice."""
    params = list(signature.parameters.values())
    P = inspect.Parameter
    positional = [p for p in params if p.kind in (P.POSITIONAL_ONLY, P.POSITIONAL_OR_KEYWORD)]
    keyword_only = [p for p in params if p.kind == P.KEYWORD_ONLY]
    required = [0] * sum(p.default is P.empty for p in positional)
    calls = [
        ((), {}),
        ((0,) * (len(positional) + 1), {}),
        (tuple(required), {"no_such": 0}),
        ((0,) * (len(positional) + 2), {p.name: 0 for p in keyword_only}),
    ]
    for p in positional:
        keywords = {p.name: 0}
        calls.append((tuple(required), keywords))
        if p.kind == P.POSITIONAL_OR_KEYWORD:
            calls.append(((0,) * (positional.index(p) + 1), keywords))
    return calls


def bound(name, f, demo):
    owner, _, method = name.rpartition(".")
    if owner == "Embeddings":
        return getattr(demo, method)
    if owner == "Words":
        return getattr(demo.words, method)
    if owner == "_Tokenizer":
        return getattr(_native._Tokenizer(TOKENIZER_JSON), method)
    return f


def test_every_native_callable_has_a_signature():
    names = [name for name, _ in native_callables()]
    # The list is complete: nothing without a declared signature slipped by.
    assert {
        "convert",
        "write",
        "storage_info",
        "_write_quantized",
        "Embeddings.embed",
        "Embeddings.get",
        "Embeddings.index",
        "Words.index",
        "Embeddings",
        "_Tokenizer",
        "_Tokenizer.encode_batch",
    } <= set(names)
    for name, f in native_callables():
        inspect.signature(f)  # ValueError when there is none


@pytest.mark.parametrize("name", [name for name, _ in native_callables()])
def test_refused_calls_are_worded_as_cpython_words_them(name, demo):
    f = dict(native_callables())[name]
    target = bound(name, f, demo)
    signature = inspect.signature(target)
    twin = python_twin(name.rpartition(".")[2], signature)
    checked = 0
    for args, kwargs in refused_calls(signature):
        try:
            twin(*args, **kwargs)
        except TypeError as expected:
            with pytest.raises(TypeError) as got:
                target(*args, **kwargs)
            assert str(got.value) == str(expected), (args, kwargs)
            checked += 1
    assert checked >= 2


def test_left_out_arguments_are_none(demo):
    # "=None" in a signature is what the parser gives for a left-out argument.
    assert inspect.signature(demo.get).parameters["default"].default is None
    assert demo.get("") is None and demo.get("", 5) == 5  # "<>" is shorter than any n-gram
    assert demo.embedding("") is None and demo.embedding("", None) is None
    assert (demo.reconstruct() == demo.reconstruct(None)).all()
    assert demo.reconstruct().shape == (demo.matrix.shape[0], demo.dims)


def test_the_messages_of_the_issue():
    def message(call):
        with pytest.raises(TypeError) as e:
            call()
        return str(e.value)

    assert (
        message(lambda: _native.storage_info())
        == "storage_info() missing 1 required positional argument: 'e'"
    )
    assert (
        message(lambda: _native.convert("a", "text", "b", "text", True, None, 7))
        == "convert() takes 6 positional arguments but 7 were given"
    )
    assert message(lambda: _native.write(path="x", x=1)) == "write() got an unexpected keyword argument 'x'"


def test_mave_wrappers_inherit_or_declare_signatures(demo):
    # The methods mave.Embeddings inherits show the compiled signatures;
    # those it writes in Python show theirs.
    assert str(inspect.signature(mave.Embeddings.embed)) == "(self, /, words, out=None, *, threads=None)"
    assert str(inspect.signature(demo.get)) == "(word, default=None, /)"
    for name in mave.__all__:
        f = getattr(mave, name)
        if callable(f) and not isinstance(f, type) or name == "Embeddings":
            inspect.signature(f)
    for name, f in inspect.getmembers(mave.Embeddings, callable):
        if not name.startswith("_"):
            inspect.signature(getattr(demo, name))


@pytest.mark.parametrize("shape", list(itertools.product((0, 1, 3), (False, True))))
def test_embed_takes_threads_by_keyword_only(demo, shape):
    n, keyword = shape
    words = ["free"] * n
    if keyword:
        vectors, found = demo.embed(words, threads=1)
        assert vectors.shape == (n, demo.dims) and found.all()
    else:
        with pytest.raises(
            TypeError, match=r"embed\(\) takes from 1 to 2 positional arguments " r"but 3 were given"
        ):
            demo.embed(words, None, 1)
