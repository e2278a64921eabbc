"""The `mave` command line run as a user types it: `python -m mave ...` in a
child process; exit codes, stdout and stderr lines, --json parsed."""

import fcntl
import json
import os
import select
import signal
import struct
import subprocess
import sys
import termios
import time

import numpy as np
import pytest

import mave
from suite import child_environment


def run(*args, stdin=None, stderr=subprocess.PIPE):
    return subprocess.run(
        [sys.executable, "-m", "mave", *map(str, args)],
        input=stdin,
        capture_output=stderr is subprocess.PIPE,
        stderr=None if stderr is subprocess.PIPE else stderr,
        text=True,
        env=child_environment(),
        timeout=120,
    )


@pytest.fixture
def small(tmp_path):
    words = ["house", "tree", "grün", "</s>"]
    matrix = np.arange(12, dtype=np.float32).reshape(4, 3) / 7
    vec = tmp_path / "small.vec"
    vec.write_text(
        "4 3\n" + "".join(w + " " + " ".join(map(str, row)) + "\n" for w, row in zip(words, matrix))
    )
    return vec, words, matrix


def test_convert_writes_silently_and_reads_formats_from_options(small, tmp_path):
    vec, words, matrix = small
    done = run("convert", vec, tmp_path / "s.fifu")
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    assert list(mave.load(tmp_path / "s.fifu").words) == words

    done = run("convert", "--from", "text", "--to", "word2vec", "--no-normalize", vec, tmp_path / "s.data")
    assert (done.returncode, done.stderr) == (0, "")
    assert mave.detect_format(tmp_path / "s.data") == "word2vec"
    done = run("convert", tmp_path / "s.data", tmp_path / "raw.fifu", "--from", "word2vec", "--no-normalize")
    assert np.array_equal(mave.load(tmp_path / "raw.fifu").matrix, matrix)


@pytest.mark.parametrize(
    "args,status,last_line",
    [
        (
            ["convert", "{bad}", "{out}"],
            1,
            "mave: error: {bad}: line 2: word \"abc\" has 1 values, expected 2",
        ),
        (
            ["convert", "{missing}", "{out}"],
            1,
            "mave: error: [Errno 2] No such file or directory: '{missing}'",
        ),
        (
            ["convert", "{good}", "{tmp}/out.dat"],
            1,
            "mave: error: cannot tell the output format of '{tmp}/out.dat' "
            "from its extension (known: .fifu (finalfusion), .bin (word2vec), .vec (text), .txt (glove), .floret (floret), "
            ".parquet (parquet)); name the format with --to on the command line (dst_format= in Python): finalfusion, "
            "word2vec, text, glove, floret, parquet, model2vec",
        ),
        (
            ["info", "{good}"],
            1,
            'mave: error: {good}: byte 0: not a finalfusion file: it starts with "4 3\\n", not "FiFu"',
        ),
        (["convert", "{good}"], 2, "mave convert: error: the following arguments are required: DST"),
        (
            ["convert", "{good}", "{out}", "--to", "fasttext"],
            2,
            "mave convert: error: argument --to: invalid choice: "
            "'fasttext' (choose from 'finalfusion', 'word2vec', 'text', 'glove', 'floret', 'parquet', 'model2vec')",
        ),
        (
            ["similar", "{good}", "x", "-k", "0"],
            2,
            "mave similar: error: argument -k: must be at least 1, not 0",
        ),
        ([], 2, "mave: error: the following arguments are required: COMMAND"),
        (
            ["frobnicate"],
            2,
            "mave: error: argument COMMAND: invalid choice: 'frobnicate' (choose from 'convert', 'info', "
            "'similar', 'analogy', 'evaluate', 'lookup', 'quantize', 'serve', 'index', 'encode')",
        ),
    ],
)
def test_failures_are_one_line_and_usage_errors_exit_2(small, tmp_path, args, status, last_line):
    vec, _, _ = small
    (tmp_path / "bad.vec").write_text("1 2\nabc 1.5\n")
    names = {
        "bad": tmp_path / "bad.vec",
        "out": tmp_path / "out.fifu",
        "missing": tmp_path / "missing.vec",
        "good": vec,
        "tmp": tmp_path,
    }
    done = run(*[a.format(**names) for a in args])
    assert done.returncode == status
    lines = done.stderr.splitlines()
    assert lines[-1] == last_line.format(**names)
    if status == 1:
        assert len(lines) == 1 and done.stdout == ""
    else:
        assert lines[0].startswith("usage: mave")
    assert not (tmp_path / "out.fifu").exists()


def test_help_of_every_command_has_an_example():
    for command in [[], ["convert"], ["info"], ["similar"], ["analogy"], ["lookup"], ["encode"]]:
        done = run(*command, "--help")
        assert done.returncode == 0 and "example:\n  mave " in done.stdout, command
    done = run("--version")
    assert (done.returncode, done.stdout) == (0, f"mave {mave.__version__}\n")


@pytest.mark.parametrize("name", ["fasttext-dense-meta", "explicit-quantized-norms-meta", "simple-dense"])
def test_info_text_and_json(fixture_dir, name):
    e = mave.load(fixture_dir[name])
    done = run("info", "--json", fixture_dir[name])
    assert done.returncode == 0 and done.stderr == ""
    info = json.loads(done.stdout)
    assert info["path"] == e.path and info["dims"] == e.dims
    assert info["vocabulary"] == {"kind": e.vocab_kind, "words": len(e)}
    assert info["matrix"]["kind"] == e.storage_kind and info["matrix"]["cols"] == e.dims
    if e.storage_kind == "dense":
        assert info["matrix"]["bytes"] == e.matrix.nbytes and info["matrix"]["rows"] == len(e.matrix)
    assert info["norms"] == (e.norms is not None) and info["metadata"] == e.metadata
    expected_subwords = (
        None if e.subwords is None else {k: v for k, v in vars(e.subwords).items() if v is not None}
    )
    assert info["subwords"] == expected_subwords

    text = run("info", fixture_dir[name]).stdout.splitlines()
    labels = [line[:12].strip() for line in text]
    assert [label for label in labels if label] == [
        "file",
        "vocabulary",
        "dims",
        "matrix",
        "subwords",
        "norms",
        "index",
        "metadata",
    ]
    assert info["index"] is None and "index       none" in text
    assert len({line.index(line.split()[1], len(line.split()[0])) for line in text if line[0] != " "}) == 1
    assert f"{e.vocab_kind}, {len(e):,} words" in text[1]


def test_lookup_prints_vec_lines_from_arguments_and_stdin(converted_models):
    path = converted_models["demo-skipgram"]
    e = mave.load(path)
    done = run("lookup", path, "the", "licence", "Lizenzz")
    assert done.returncode == 0 and done.stderr == ""
    lines = done.stdout.splitlines()
    assert [line.split(" ")[0] for line in lines] == ["the", "licence", "Lizenzz"]
    for line in lines:
        word, *values = line.split(" ")
        assert np.array_equal(np.array(values, np.float32).view(np.uint32), e[word].view(np.uint32))

    words = list(e.words)[:2500]
    done = run("lookup", path, stdin="\n".join(words) + "\n")
    assert done.returncode == 0
    assert [line.split(" ", 1)[0] for line in done.stdout.splitlines()] == words


def test_lookup_of_a_word_without_vector_fails_at_the_end(small):
    vec, _, _ = small
    done = run("convert", vec, vec.with_suffix(".fifu"))
    done = run("lookup", vec.with_suffix(".fifu"), "tree", "nope", "house")
    assert done.returncode == 1
    assert [line.split(" ")[0] for line in done.stdout.splitlines()] == ["tree", "house"]
    assert done.stderr == "mave: no vector for 'nope'\n"


def test_lookup_into_a_closed_pipe_ends_quietly(converted_models):
    path = converted_models["demo-skipgram"]
    words = "\n".join(list(mave.load(path).words) * 20)
    child = subprocess.Popen(
        f"{sys.executable} -m mave lookup {path} | head -n 1",
        shell=True,
        text=True,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=child_environment(),
    )
    out, err = child.communicate(words, timeout=120)
    assert (len(out.splitlines()), err, child.returncode) == (1, "", 0)


def on_a_terminal(*args):
    """Runs the command with stderr on a pseudo-terminal; returns (status, what the terminal showed)."""
    leader, follower = os.openpty()
    # A terminal of 80 columns: a new pseudo-terminal has none, and tqdm draws
    # nothing on a terminal without width.
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    child = subprocess.Popen(
        [sys.executable, "-m", "mave", *map(str, args)],
        stderr=follower,
        stdout=subprocess.DEVNULL,
        env=child_environment(),
    )
    os.close(follower)
    shown = b""
    while True:
        ready, _, _ = select.select([leader], [], [], 60)
        if not ready:
            break
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        shown += chunk
    os.close(leader)
    return child.wait(timeout=60), shown.decode(errors="replace")


def test_progress_bar_only_on_a_terminal_and_not_with_quiet(tmp_path):
    words = [f"w{i}" for i in range(50_000)]
    mave.write(tmp_path / "big.fifu", words, np.ones((50_000, 20), np.float32))
    status, shown = on_a_terminal("convert", tmp_path / "big.fifu", tmp_path / "big.vec")
    assert status == 0 and "writing" in shown and "rows" in shown
    status, shown = on_a_terminal("convert", tmp_path / "big.vec", tmp_path / "back.fifu")
    assert status == 0 and "reading" in shown
    status, shown = on_a_terminal("convert", "--quiet", tmp_path / "big.vec", tmp_path / "again.fifu")
    assert (status, shown) == (0, "")


def test_similar_and_analogy_print_the_searches(converted_models):
    path = converted_models["demo-skipgram"]
    e = mave.load(path)
    done = run("similar", path, "licence", "-k", "3")
    assert done.returncode == 0
    rows = [line.rsplit(None, 1) for line in done.stdout.splitlines()]
    assert [(w, float(s)) for w, s in rows] == [(w, round(s, 4)) for w, s in e.similar("licence", 3)]

    done = run("analogy", path, "software", "program", "license", "-k", "2")
    assert done.returncode == 0
    rows = [line.rsplit(None, 1) for line in done.stdout.splitlines()]
    assert [w for w, _ in rows] == [w for w, _ in e.analogy("software", "program", "license", 2)]

    # Several words are one query (the mean of their unit vectors), with
    # negative words and a restriction to the first words.
    done = run("similar", path, "licence", "program", "--negative", "free", "-k", "4", "--restrict", "500")
    rows = [line.rsplit(None, 1) for line in done.stdout.splitlines()]
    assert [w for w, _ in rows] == [
        w for w, _ in e.similar(["licence", "program"], 4, negative="free", restrict=500)
    ]

    done = run("analogy", path, "software", "program", "license", "--method", "mul", "-k", "2")
    rows = [line.rsplit(None, 1) for line in done.stdout.splitlines()]
    assert [w for w, _ in rows] == [
        w for w, _ in e.analogy("software", "program", "license", 2, method="mul")
    ]


def test_similar_of_a_word_without_vector(small):
    vec, _, _ = small
    run("convert", vec, vec.with_suffix(".fifu"))
    for command in (["similar", "nope"], ["analogy", "house", "tree", "nope"]):
        done = run(command[0], vec.with_suffix(".fifu"), *command[1:])
        assert (done.returncode, done.stdout, done.stderr) == (1, "", "mave: error: no such word: 'nope'\n")


_INTERRUPTIBLE_MAVE = (
    "import runpy, signal, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
    "sys.argv[0] = 'mave'; runpy.run_module('mave', run_name='__main__')"
)


def test_ctrl_c_stops_a_conversion_and_leaves_nothing(tmp_path):
    # Interrupted once the output is being written beside its path. On a busy
    # machine the polling can miss a short write: then it runs again, longer.
    for rows in (400_000, 1_600_000, 4_000_000):
        mave.write(
            tmp_path / "big.fifu",
            [f"w{i}" for i in range(rows)],
            np.random.default_rng(0).standard_normal((rows, 50), dtype=np.float32),
        )
        # Ctrl-C raises KeyboardInterrupt as in a terminal, even when this
        # test runs in a background job, whose children inherit SIGINT ignored.
        child = subprocess.Popen(
            [
                sys.executable,
                "-c",
                _INTERRUPTIBLE_MAVE,
                "convert",
                str(tmp_path / "big.fifu"),
                str(tmp_path / "big.vec"),
            ],
            stderr=subprocess.PIPE,
            text=True,
            env=child_environment(),
        )
        while child.poll() is None and not any(name.endswith(".tmp") for name in os.listdir(tmp_path)):
            time.sleep(0.001)
        if child.poll() is None:
            break
        assert (child.returncode, child.communicate()[1]) == (0, "")
        os.unlink(tmp_path / "big.vec")
    else:
        pytest.fail("every conversion ended before its output was seen being written")
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=60)
    assert (child.returncode, err) == (130, "mave: interrupted\n")
    assert os.listdir(tmp_path) == ["big.fifu"]
