"""The search's OpenBLAS: the library of the scipy-openblas32 package (a
dependency of mave), which the compiled part loads by path when the package
is imported instead of linking it, so that an extension built anywhere (an
isolated ``pip install``, a wheel repaired by auditwheel) finds it with no
path from the build machine and no copy of its own."""

from __future__ import annotations

import importlib.util
import os
import sys

from mave import _native

# The file scipy-openblas32 installs in its lib folder (what its
# get_lib_dir() and get_library(fullname=True) name).
_LIBRARY = "libscipy_openblas.dylib" if sys.platform == "darwin" else "libscipy_openblas.so"


def library_path() -> str:
    """The path of scipy-openblas32's library, found without importing the
    package: its import loads the library into the process's global
    namespace, where its symbols would stand in for the copy SciPy bundles.

    Raises ImportError when the package is not installed."""
    spec = importlib.util.find_spec("scipy_openblas32")
    if spec is None or not spec.submodule_search_locations:
        raise ImportError(
            "mave's search needs the scipy-openblas32 package, which is not "
            "installed: pip install scipy-openblas32",
            name="scipy_openblas32",
        )
    return os.path.join(list(spec.submodule_search_locations)[0], "lib", _LIBRARY)


def load() -> None:
    """Loads the library for the search, once per process (again is harmless).

    The search spreads its work over the threads it is given; OpenBLAS's own
    pool (a thread per core, started when the library loads) would only
    oversubscribe those cores and hold threads in every worker process. So
    the library is loaded single-threaded, and the variable is put back for
    whatever loads after.

    Raises ImportError with the loader's reason (and the library's ``path``)
    when it cannot be used."""
    path = library_path()
    saved = os.environ.get("OPENBLAS_NUM_THREADS")
    os.environ["OPENBLAS_NUM_THREADS"] = "1"
    try:
        _native._load_blas(path)
    finally:
        if saved is None:
            del os.environ["OPENBLAS_NUM_THREADS"]
        else:
            os.environ["OPENBLAS_NUM_THREADS"] = saved
