"""Fixtures of the mave package tests.

The package is imported from the build tree (PYTHONPATH=<build dir>), beside
_mave, which the exactness tests use as the reference. The file builders
(fifu.py, fixture_files.py) live in tests/support, shared with the _mave tests.
"""

import subprocess
import sys
import textwrap

import pytest

import fixture_files
import mave
from suite import FASTTEXT_DIR, child_environment


@pytest.fixture(scope="session")
def fixture_dir(tmp_path_factory):
    """Every kind of finalfusion file (vocabulary x storage x metadata and
    norms), written once per session: name -> path."""
    root = tmp_path_factory.mktemp("fixtures")
    paths = {}
    for name, fixture in fixture_files.finalfusion_fixtures().items():
        path = root / f"{name}.fifu"
        path.write_bytes(fixture.data)
        paths[name] = str(path)
    return paths


@pytest.fixture(scope="session")
def converted_models(tmp_path_factory):
    """The real fastText test models converted by _mave.build_model: name -> path."""
    import _mave

    root = tmp_path_factory.mktemp("models")
    paths = {}
    for name in ["demo-skipgram", "cbow-en", "multilingual-skipgram"]:
        out = root / f"{name}.fifu"
        subprocess.run(
            [
                sys.executable,
                "-c",
                f"import _mave; _mave.build_model({str(FASTTEXT_DIR / (name + '.bin'))!r}, " f"{str(out)!r})",
            ],
            check=True,
            stdout=subprocess.DEVNULL,
            env=child_environment(),
        )
        paths[name] = str(out)
    return paths


@pytest.fixture(scope="session")
def demo(converted_models):
    return mave.load(converted_models["demo-skipgram"])


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter and returns the CompletedProcess."""

    def run(code, *, check=True, timeout=300):
        result = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=child_environment(),
            timeout=timeout,
        )
        if check and result.returncode != 0:
            raise AssertionError(f"child failed ({result.returncode}):\n{result.stderr}")
        return result

    return run
