"""The search's OpenBLAS, loaded by path at import from the scipy-openblas32
package rather than linked: nothing of the build machine is needed where the
package is installed, a library that cannot be loaded is an ImportError (never
a crash), the library's thread pool stays at one thread, and its symbols stay
out of the process's namespace."""

import importlib.metadata
import json
import os
import textwrap

import numpy as np
import pytest

from mave import _native, _openblas

NATIVE = _native.__file__


def test_the_extension_neither_links_nor_points_at_openblas():
    """What made an isolated `pip install .` unusable: a DT_NEEDED on the
    library and a run path into the deleted build environment."""
    elffile = pytest.importorskip("elftools.elf.elffile")
    with open(NATIVE, "rb") as f:
        dynamic = elffile.ELFFile(f).get_section_by_name(".dynamic")
        tags = [
            (t.entry.d_tag, getattr(t, "needed", getattr(t, "runpath", getattr(t, "rpath", ""))))
            for t in dynamic.iter_tags()
        ]
    assert not [v for tag, v in tags if tag == "DT_NEEDED" and "openblas" in v], tags
    assert not [v for tag, v in tags if tag in ("DT_RUNPATH", "DT_RPATH")], tags


@pytest.mark.parametrize(
    "library, reason",
    [
        ("no-such-dir/libscipy_openblas.so", "No such file"),
        (__file__, "ELF"),  # not a shared library
        ("libm.so.6", "lacks scipy_cblas_sgemm"),  # a library without OpenBLAS's routines
    ],
)
def test_a_library_that_cannot_serve_is_an_import_error(library, reason, demo):
    with pytest.raises(ImportError, match="mave cannot load OpenBLAS") as caught:
        _native._load_blas(library)
    assert reason in str(caught.value) and caught.value.path == library
    # The library loaded at import still serves.
    rows, scores = demo.nearest(["the"], 3)
    assert rows.shape == (1, 3) and np.isfinite(scores).all()


@pytest.mark.parametrize(
    "damage, message",
    [
        ("missing", "mave's search needs the scipy-openblas32 package, which is not installed"),
        ("no library", "mave cannot load OpenBLAS (the scipy-openblas32 package) for its search: "),
    ],
)
def test_import_without_a_usable_openblas_fails_cleanly(damage, message, run_python, tmp_path):
    if damage == "missing":
        setup = "sys.modules['scipy_openblas32'] = None"
    else:
        # A scipy_openblas32 package whose library is gone, ahead on the path.
        (tmp_path / "scipy_openblas32" / "lib").mkdir(parents=True)
        (tmp_path / "scipy_openblas32" / "__init__.py").write_text("")
        setup = f"sys.path.insert(0, {str(tmp_path)!r})"
    result = run_python(f"import sys\n{setup}\nimport mave\n", check=False)
    assert result.returncode == 1, result.stderr  # an exception, not a signal
    assert "ImportError: " + message in result.stderr, result.stderr


def test_openblas_is_loaded_single_threaded_and_privately(run_python, converted_models):
    """OpenBLAS starts a thread per core when it loads unless told one: the
    import neither adds threads nor leaves the variable set (or changes the
    user's), and the library's symbols are not global, where they would
    stand in for SciPy's own copy of OpenBLAS."""
    code = textwrap.dedent(f"""
        import ctypes, json, os
        import numpy  # its own OpenBLAS, and its threads, come first
        before = len(os.listdir("/proc/self/task"))
        os.environ.pop("OPENBLAS_NUM_THREADS", None)
        import mave
        after = len(os.listdir("/proc/self/task"))
        unset = "OPENBLAS_NUM_THREADS" not in os.environ
        e = mave.load({converted_models["demo-skipgram"]!r})
        rows, _ = e.nearest(["the", "of"], 5, threads=1)
        maps = open("/proc/self/maps").read()
        print(json.dumps({{
            "before": before, "after": after, "unset": unset, "rows": rows.shape,
            "global": hasattr(ctypes.CDLL(None), "scipy_cblas_sgemm"),
            "mapped": {os.path.realpath(_openblas.library_path())!r} in maps,
            "threads": len(os.listdir("/proc/self/task"))}}))
    """)
    answer = json.loads(run_python(code).stdout)
    assert answer["after"] == answer["before"] == answer["threads"], answer
    assert answer["unset"] and answer["rows"] == [2, 5] and not answer["global"], answer
    assert answer["mapped"], answer
    # A value the user set survives the import.
    kept = run_python(
        "import os; os.environ['OPENBLAS_NUM_THREADS'] = '3'; import mave; "
        "print(os.environ['OPENBLAS_NUM_THREADS'])"
    ).stdout
    assert kept.strip() == "3"


def test_the_library_is_the_one_scipy_openblas32_installed():
    files = [
        f
        for f in importlib.metadata.files("scipy-openblas32")
        if f.name == os.path.basename(_openblas.library_path())
    ]
    assert [os.path.realpath(f.locate()) for f in files] == [os.path.realpath(_openblas.library_path())]
