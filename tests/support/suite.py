"""What the two Python suites share beside the file builders: where the test
data lives, the small dense model, and the environment of child interpreters.

Children import the same extension modules as the test process, whatever
their working directory, so each environment puts the directory the module
came from first on PYTHONPATH.
"""

import os
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent
DATA_DIR = TESTS / "data"
FASTTEXT_DIR = DATA_DIR / "fasttext"
# Where the shared builders and runners live; children that import them need it.
SUPPORT_DIR = TESTS / "support"

# A small dense model: the words, their rows, and one non-ASCII word so that
# UTF-8 lookups are exercised.
WORDS = ["Haus", "Baum", "grün"]
MATRIX = [
    [0.5, -1.25, 3.0, 0.0],
    [1.0, 2.0, -3.0, 4.0],
    [-0.5, 0.25, 0.125, 8.0],
]


def panic_type():
    """_mave's PanicException: not exported, so one is provoked to get hold
    of the class (it derives from BaseException)."""
    import _mave

    try:
        _mave.FfModel("/nonexistent/panic-probe")
    except BaseException as e:  # noqa: B036
        return type(e)
    raise AssertionError("FfModel of a missing file did not fail")


def _with_path_first(directory):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([directory, env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    return env


def pinned_child_environment():
    """Children find the same _mave whatever their working directory."""
    import _mave

    return _with_path_first(os.path.dirname(os.path.abspath(_mave.__file__)))


def child_environment():
    """Children import the same mave and _mave, whatever their working directory."""
    import mave

    return _with_path_first(os.path.dirname(os.path.dirname(os.path.abspath(mave.__file__))))
