import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _mave  # noqa: F401  (built extension on PYTHONPATH; fail early when it is missing)
import fifu

DATA_DIR = Path(__file__).resolve().parent.parent / "data"

# A small dense model: the words, their rows, and one non-ASCII word so that
# UTF-8 lookups are exercised.
WORDS = ["Haus", "Baum", "grün"]
MATRIX = [
    [0.5, -1.25, 3.0, 0.0],
    [1.0, 2.0, -3.0, 4.0],
    [-0.5, 0.25, 0.125, 8.0],
]


@pytest.fixture
def write_file(tmp_path):
    """Writes bytes to a fresh file under tmp_path and returns its path as str."""
    counter = iter(range(1_000_000))

    def write(data, name=None):
        path = tmp_path / (name or f"file{next(counter)}.fifu")
        path.write_bytes(data)
        return str(path)

    return write


@pytest.fixture
def model_path(write_file):
    return write_file(fifu.dense_embeddings(WORDS, MATRIX), "model.fifu")


@pytest.fixture
def model(model_path):
    return _mave.FfModel(model_path)


def _interpreter_flags():
    """The parent's warning and dev-mode flags, so children run as strictly."""
    flags = [f"-W{option}" for option in sys.warnoptions]
    if sys.flags.dev_mode:
        flags += ["-X", "dev"]
    return flags


def _child_environment():
    """Children find the same _mave whatever their working directory."""
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(_mave.__file__))
    env["PYTHONPATH"] = os.pathsep.join([module_dir, env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    return env


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter; fd 1 and fd 2 are captured as bytes."""

    def run(code, *, flags=None, stdout=subprocess.PIPE, check=True, preload=None):
        """`flags` replaces the parent's interpreter flags when given;
        `preload` is a shared library for LD_PRELOAD."""
        flags = _interpreter_flags() if flags is None else flags
        command = [sys.executable, *flags, "-c", textwrap.dedent(code)]
        env = _child_environment()
        if preload is not None:
            env["LD_PRELOAD"] = " ".join(filter(None, [preload, env.get("LD_PRELOAD")]))
        result = subprocess.run(command, stdout=stdout, stderr=subprocess.PIPE, env=env,
                                timeout=120)
        if check and result.returncode != 0:
            raise AssertionError(
                f"child failed ({result.returncode}):\n{result.stderr.decode(errors='replace')}")
        return result

    return run
