import importlib.machinery
import subprocess
import sys
import textwrap

import pytest

import _mave  # built extension on PYTHONPATH; fail early when it is missing
import fifu
from suite import MATRIX, WORDS, pinned_child_environment

# This folder bears the module's name: should the extension be missing from
# the path, `import _mave` could bind a namespace package instead of failing.
if not (_mave.__file__ or "").endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
    raise ImportError(f"_mave is not the built extension: {_mave!r} (PYTHONPATH=<build dir>?)")


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


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter; fd 1 and fd 2 are captured as bytes."""

    def run(code, *, flags=None, stdout=subprocess.PIPE, check=True, preload=None):
        """`flags` replaces the parent's interpreter flags when given;
        `preload` is a shared library for LD_PRELOAD."""
        flags = _interpreter_flags() if flags is None else flags
        command = [sys.executable, *flags, "-c", textwrap.dedent(code)]
        env = pinned_child_environment()
        if preload is not None:
            env["LD_PRELOAD"] = " ".join(filter(None, [preload, env.get("LD_PRELOAD")]))
        result = subprocess.run(command, stdout=stdout, stderr=subprocess.PIPE, env=env, timeout=120)
        if check and result.returncode != 0:
            raise AssertionError(
                f"child failed ({result.returncode}):\n{result.stderr.decode(errors='replace')}"
            )
        return result

    return run
