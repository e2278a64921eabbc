"""build_model: progress lines, OSError texts, and what is left at output_path."""

import pathlib

import numpy as np
import pytest

import _mave
import fifu
from suite import DATA_DIR, MATRIX, WORDS

MODELS = DATA_DIR / "fasttext"
CBOW = str(MODELS / "cbow-en.bin")
LINE1 = "Reading fasttext embeddings\n"
LINE2 = "Writing fasttext embeddings\n"
DONE = "Done\n"


def os_error(call):
    with pytest.raises(OSError) as info:
        call()
    e = info.value
    assert type(e) is OSError
    assert (e.errno, e.strerror, e.filename) == (None, None, None)
    assert len(e.args) == 1 and str(e) == e.args[0]
    return e.args[0]


class TestConversion:
    def test_success(self, tmp_path, capfd):
        out = tmp_path / "cbow.fifu"
        assert _mave.build_model(CBOW, str(out)) is None
        assert capfd.readouterr() == (LINE1 + LINE2 + DONE, "")
        m = _mave.FfModel(str(out))
        assert m.get_dims() == 16
        a = np.zeros(16, np.float32)
        assert m.load_embedding("the", a) is True
        assert abs(float(np.linalg.norm(a)) - 1.0) < 1e-5

    def test_keywords_and_overwrite(self, tmp_path, capfd):
        fresh, reused = tmp_path / "fresh.fifu", tmp_path / "reused.fifu"
        reused.write_bytes(b"\xff" * 2_000_000)  # longer than the result: must be truncated
        _mave.build_model(CBOW, str(fresh))
        _mave.build_model(output_path=str(reused), input_path=CBOW)
        assert reused.read_bytes() == fresh.read_bytes()
        capfd.readouterr()

    def test_final_write_failure_reported(self, tmp_path, run_python):
        # The file size limit lets everything but the last buffered bytes out,
        # so only the closing write-out fails, after "Done".
        reference = tmp_path / "reference.fifu"
        _mave.build_model(CBOW, str(reference))
        limit = reference.stat().st_size - 1
        result = run_python(f"""
            import resource, signal, sys, _mave
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))
            try:
                _mave.build_model({CBOW!r}, {str(tmp_path / "limited.fifu")!r})
            except OSError as e:
                sys.stderr.write(f"{{type(e).__name__}}: {{e}}\\n")
        """)
        assert result.stdout.decode() == LINE1 + LINE2 + DONE
        assert result.stderr.decode() == "OSError: File too large (os error 27)\n"


class TestFailures:
    def test_missing_input(self, tmp_path, capfd):
        out = tmp_path / "out.fifu"
        message = os_error(lambda: _mave.build_model(str(tmp_path / "missing.bin"), str(out)))
        assert message == "No such file or directory (os error 2)"
        assert capfd.readouterr() == (LINE1, "")
        assert not out.exists()

    def test_not_caught_as_file_not_found(self, tmp_path, capfd):
        with pytest.raises(OSError):
            try:
                _mave.build_model(str(tmp_path / "missing.bin"), str(tmp_path / "o"))
            except FileNotFoundError:
                pytest.fail("caught as FileNotFoundError")
        capfd.readouterr()

    @pytest.mark.parametrize(
        "make_input, message",
        [
            (
                lambda tmp: tmp / "model.fifu",
                "Invalid file format Expected 793712314 as magic, got: 1967548742",
            ),
            (
                lambda tmp: MODELS / "supervised.bin",
                "Invalid file format fastText prediction models are not supported",
            ),
            (lambda tmp: tmp / "empty.bin", "Cannot fastText read magic"),
            (lambda tmp: tmp, "Cannot fastText read magic"),
        ],
    )
    def test_unreadable_input(self, tmp_path, capfd, make_input, message):
        (tmp_path / "model.fifu").write_bytes(fifu.dense_embeddings(WORDS, MATRIX))
        (tmp_path / "empty.bin").write_bytes(b"")
        out = tmp_path / "out.fifu"
        assert os_error(lambda: _mave.build_model(str(make_input(tmp_path)), str(out))) == message
        assert capfd.readouterr() == (LINE1, "")
        assert not out.exists()

    def test_aborting_failure_inside_conversion(self, tmp_path, capfd):
        out = tmp_path / "out.fifu"
        with pytest.raises(BaseException) as info:
            _mave.build_model(str(MODELS / "skipgram-maxn0.bin"), str(out))
        assert type(info.value).__name__ == "PanicException"
        assert info.value.args == (
            "The maximum length should be equal to or greater than the minimum length.",
        )
        stdout, stderr = capfd.readouterr()
        assert stdout == LINE1
        assert info.value.args[0] in stderr
        assert not out.exists()

    @pytest.mark.parametrize(
        "make_output, message",
        [
            (lambda tmp: tmp / "no" / "such" / "dir.fifu", "No such file or directory (os error 2)"),
            (lambda tmp: tmp, "Is a directory (os error 21)"),
            (lambda tmp: "bad\0name", "file name contained an unexpected NUL byte"),
        ],
    )
    def test_output_cannot_be_created(self, tmp_path, capfd, make_output, message):
        assert os_error(lambda: _mave.build_model(CBOW, str(make_output(tmp_path)))) == message
        assert capfd.readouterr() == (LINE1 + LINE2, "")

    def test_write_failure(self, capfd):
        message = os_error(lambda: _mave.build_model(CBOW, "/dev/full"))
        assert message.startswith("Cannot ")
        assert capfd.readouterr() == (LINE1 + LINE2, "")

    @pytest.mark.parametrize(
        "args, message",
        [
            (
                (pathlib.Path("in.bin"), "out"),
                "argument 'input_path': 'PosixPath' object cannot be converted to 'PyString'",
            ),
            (
                ("in.bin", pathlib.Path("out")),
                "argument 'output_path': 'PosixPath' object cannot be converted to 'PyString'",
            ),
            ((None, None), "argument 'input_path': 'NoneType' object cannot be converted to 'PyString'"),
        ],
    )
    def test_path_objects_refused(self, tmp_path, monkeypatch, capfd, args, message):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(TypeError) as info:
            _mave.build_model(*args)
        assert info.value.args == (message,)
        assert capfd.readouterr() == ("", "")
        assert list(tmp_path.iterdir()) == []

    def test_closed_stdout(self, tmp_path, run_python):
        out = tmp_path / "out.fifu"
        result = run_python(f"""
            import os, sys, _mave
            os.close(1)
            try:
                _mave.build_model({CBOW!r}, {str(out)!r})
            except BaseException as e:
                sys.stderr.write(f"CAUGHT {{type(e).__name__}} {{e}}\\n")
        """)
        assert result.stderr.decode().endswith(
            "CAUGHT PanicException failed printing to stdout: Bad file descriptor (os error 9)\n"
        )
        assert not out.exists()
