"""`mave encode MODEL TEXTS -o OUT.npy` run as a user types it: the rows
equal Embeddings.encode's bit for bit, from a file and from standard input,
over batches that do not divide the texts; failures in the house style."""

import os

import numpy as np
import pytest

import mave
from test_cli import on_a_terminal, run

# Empty lines, runs of whitespace, a CRLF line end, unknown words (composed
# from subwords by this fastText model), non-ASCII text.
LINES = [
    "free software",
    "",
    "  the   licence \t terms ",
    "sofwtare xyzzy",
    "grün 日本語 😀",
    "distribute copies of the software",
]


@pytest.fixture(scope="module")
def texts():
    rng = np.random.default_rng(3)
    return [LINES[i] for i in rng.integers(0, len(LINES), size=1001)]


def write_lines(path, texts, newline="\n", last_newline=True):
    data = newline.join(texts) + (newline if last_newline else "")
    path.write_bytes(data.encode("utf-8"))


@pytest.mark.parametrize(
    "options,keywords",
    [
        ([], {}),
        (["--normalize", "--threads", "2"], {"normalize": True, "threads": 2}),
        (["--max-length", "2", "--no-normalize"], {"max_length": 2, "normalize": False}),
    ],
    ids=["defaults", "normalize-threads", "max-length"],
)
@pytest.mark.parametrize("stdin", [False, True], ids=["file", "stdin"])
def test_rows_equal_encode_bit_for_bit(converted_models, texts, tmp_path, options, keywords, stdin):
    model = converted_models["demo-skipgram"]
    path, out = tmp_path / "texts.txt", tmp_path / "out.npy"
    write_lines(path, texts)
    args = ["encode", model, "-" if stdin else path, "-o", out, "--batch-size", "64", *options]
    done = run(*args, stdin=path.read_text(encoding="utf-8") if stdin else None)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    rows = np.load(out, mmap_mode="r")
    expected = mave.load(model).encode(texts, **keywords)
    assert rows.dtype == np.float32 and rows.shape == (1001, expected.shape[1])
    assert np.array_equal(rows.view(np.uint32), expected.view(np.uint32))
    assert sorted(os.listdir(tmp_path)) == ["out.npy", "texts.txt"]


@pytest.mark.parametrize(
    "data,texts",
    [
        (b"", []),
        (b"\n", [""]),
        (b"one\r\ntwo", ["one", "two"]),
        (b"\xef\xbb\xbffree\n\n", ["free", ""]),
        (b"a\rb\n", ["a\rb"]),
    ],
)
def test_line_ends_and_empty_input(converted_models, tmp_path, data, texts):
    model = converted_models["demo-skipgram"]
    (tmp_path / "t.txt").write_bytes(data)
    done = run("encode", model, tmp_path / "t.txt", "-o", tmp_path / "o.npy")
    assert done.returncode == 0, done.stderr
    rows = np.load(tmp_path / "o.npy")
    e = mave.load(model)
    assert rows.shape == (len(texts), e.dims)
    assert np.array_equal(rows, e.encode(texts).reshape(len(texts), e.dims))


@pytest.mark.parametrize(
    "args,status,message",
    [
        (
            ["{model}", "{bad}", "-o", "{out}"],
            1,
            "mave: error: {bad}: line 2 is not valid UTF-8 (byte 3 of the line)",
        ),
        (
            ["{model}", "{missing}", "-o", "{out}"],
            1,
            "mave: error: [Errno 2] No such file or directory: '{missing}'",
        ),
        (
            ["{missing}", "{bad}", "-o", "{out}"],
            1,
            "mave: error: [Errno 2] No such file or directory: '{missing}'",
        ),
        (
            ["{model}", "{good}", "-o", "{missing}/o.npy"],
            1,
            "mave: error: [Errno 2] No such file or directory: '{missing}/o.npy'",
        ),
        (
            ["{model}", "{good}", "-o", "-"],
            1,
            "mave: error: -o -: the output must be a file (its header is completed last)",
        ),
        (["{model}", "{good}"], 2, "mave encode: error: the following arguments are required: -o/--output"),
        (
            ["{model}", "{good}", "-o", "{out}", "--batch-size", "0"],
            2,
            "mave encode: error: argument --batch-size: must be at least 1, not 0",
        ),
    ],
)
def test_failures_leave_no_output(converted_models, tmp_path, args, status, message):
    (tmp_path / "bad.txt").write_bytes(b"fine\nab\xffcd\n")
    (tmp_path / "good.txt").write_text("free\n")
    names = {
        "model": converted_models["demo-skipgram"],
        "bad": tmp_path / "bad.txt",
        "good": tmp_path / "good.txt",
        "missing": tmp_path / "missing.txt",
        "out": tmp_path / "o.npy",
    }
    done = run("encode", *[a.format(**names) for a in args])
    assert (done.returncode, done.stderr.splitlines()[-1]) == (status, message.format(**names))
    assert sorted(os.listdir(tmp_path)) == ["bad.txt", "good.txt"]


def test_progress_bar_on_a_terminal_only(converted_models, tmp_path):
    write_lines(tmp_path / "t.txt", ["free software"] * 200_000)
    status, shown = on_a_terminal(
        "encode", converted_models["demo-skipgram"], tmp_path / "t.txt", "-o", tmp_path / "o.npy"
    )
    assert status == 0 and "reading" in shown
    status, shown = on_a_terminal(
        "encode", "-q", converted_models["demo-skipgram"], tmp_path / "t.txt", "-o", tmp_path / "o.npy"
    )
    assert (status, shown) == (0, "")
    assert np.load(tmp_path / "o.npy").shape[0] == 200_000
