"""The package as a user gets it: scripts/build-wheels builds the sdist and
the wheels once (the test command runs it before the suites and names its
directory in MAVE_WHEEL_DIR; without it the tests here build the x86-64
wheel themselves), repairs them with auditwheel and smoke-tests them in fresh
virtual environments of every supported CPython; the tests here read what it
made and install the same wheel beside NumPy 1.26. The answers must be the
build tree's, bit for bit.

Building needs PyPI (build requirements, NumPy): MAVE_SKIP_NETWORK=1 skips
the tests that build."""

import json
import os
import re
import subprocess
import sys
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest

import mave

ROOT = Path(__file__).resolve().parents[2]
SMOKE = ROOT / "scripts" / "wheel_smoke.py"
MODEL = ROOT / "tests" / "data" / "fasttext" / "demo-skipgram.bin"


def requirement_lines(path):
    return {
        line.strip() for line in path.read_text().splitlines() if line.strip() and not line.startswith("#")
    }


def test_requirement_files_hold_the_extras():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    extras = project["optional-dependencies"]
    # What the test command installs is the test extra (plus build tools); the
    # bench script installs the bench extra.
    assert set(extras["test"]) <= requirement_lines(ROOT / "scripts" / "requirements-dev.txt")
    assert set(extras["bench"]) <= requirement_lines(ROOT / "bench" / "requirements.txt")
    assert set(extras["dask"]) <= {r.replace("dataframe,", "") for r in extras["test"]}
    # The NumPy 1 test environment holds the oldest NumPy the package accepts.
    (numpy,) = [r for r in project["dependencies"] if r.startswith("numpy")]
    oldest = re.search(r">=([0-9.]+)", numpy).group(1)
    numpy1 = requirement_lines(ROOT / "scripts" / "requirements-numpy1.txt")
    assert f"numpy=={oldest}.*" in numpy1
    # The package's other requirements (scipy-openblas32: the search's
    # OpenBLAS, loaded at import) are in every environment that imports it
    # from the build tree or from a wheel installed without them.
    others = set(project["dependencies"]) - {numpy}
    assert others <= numpy1 and others <= requirement_lines(
        ROOT / "scripts" / "requirements-wheel-tests.txt"
    ), others


def test_cibuildwheel_table_builds_and_tests_as_build_wheels_does():
    """cibuildwheel cannot run here (no container engine): what its table
    names must exist, and it must build and test what scripts/build-wheels
    does."""
    table = tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["cibuildwheel"]
    for source in table["test-sources"]:
        assert (ROOT / source).is_file(), source
        assert source in table["test-command"]
    assert table["test-command"].startswith("python -I scripts/wheel_smoke.py ")
    assert table["repair-wheel-command"] == "auditwheel repair -w {dest_dir} {wheel}"
    # Every dependency from its pinned archive, through an option CMake has.
    (define,) = table["config-settings"]
    option = define.removeprefix("cmake.define.")
    assert f"option({option} " in (ROOT / "cmake" / "MaveDependencies.cmake").read_text()
    # Built for 3.11's stable ABI, tested on every version build-wheels tests.
    versions = re.search(r'PYTHON_VERSIONS="([^"]+)"', (ROOT / "scripts" / "common.sh").read_text())
    assert sorted(table["build"]) == [
        f"cp{v.replace('.', '')}-manylinux_*" for v in versions.group(1).split()
    ]
    assert table["linux"]["archs"] == ["x86_64", "aarch64"]


ARCH = os.uname().machine


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """The x86-64 wheel, the sdist, and what scripts/build-wheels printed."""
    if os.environ.get("MAVE_SKIP_NETWORK") == "1":
        pytest.skip("MAVE_SKIP_NETWORK=1: building the wheel needs PyPI")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the compilers would run with the sanitizer runtimes preloaded")
    pytest.importorskip("build")
    pytest.importorskip("auditwheel")
    built = os.environ.get("MAVE_WHEEL_DIR")
    if built:
        out = Path(built)
        (wheel,) = out.glob(f"mave-*_{ARCH}.whl")
        (sdist,) = out.glob("mave-*.tar.gz")
        return wheel, sdist, (out / "build-wheels.log").read_text()
    out = tmp_path_factory.mktemp("dist")
    result = subprocess.run(
        [str(ROOT / "scripts" / "build-wheels"), str(out)],
        capture_output=True,
        text=True,
        timeout=1800,
        env={**os.environ, "MAVE_WHEEL_ARCHS": ARCH},
    )
    assert result.returncode == 0, (result.stdout + result.stderr)[-6000:]
    (wheel,) = out.glob("mave-*.whl")
    (sdist,) = out.glob("mave-*.tar.gz")
    return wheel, sdist, result.stdout


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """The smoke test's answer from the build tree the other tests use."""
    work = tmp_path_factory.mktemp("reference")
    build_tree = os.path.dirname(os.path.dirname(os.path.abspath(mave.__file__)))
    result = subprocess.run(
        [sys.executable, str(SMOKE), str(MODEL), str(work), "--any-location"],
        capture_output=True,
        text=True,
        check=True,
        env={**os.environ, "PYTHONPATH": build_tree},
    )
    return json.loads(result.stdout)


def smoke_answers(stdout):
    return [json.loads(line) for line in stdout.splitlines() if line.startswith('{"version"')]


def smoke_answer(stdout):
    (answer,) = smoke_answers(stdout)
    return answer


def test_wheel_is_manylinux_abi3_and_holds_the_package(dist):
    wheel, _, log = dist
    # auditwheel repair tags the wheel for the oldest glibc its symbols allow,
    # and for the glibc zig targets.
    tags = re.findall(r"manylinux_(\d+)_(\d+)_" + ARCH, wheel.name)
    assert tags, wheel.name
    # glibc 2.28 or older, whatever the build machine's.
    assert min((int(major), int(minor)) for major, minor in tags) <= (2, 28), wheel.name
    assert wheel.name.startswith(f"mave-{mave.__version__}-cp311-abi3-"), wheel.name
    assert f"manylinux_2_28_{ARCH}" in wheel.name, wheel.name
    # abi3audit read both extensions and found nothing outside 3.11's stable ABI.
    assert re.search(r"2 extensions scanned;\s+0 ABI version mismatches\s+and\s+0 ABI violations", log), log
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        metadata = z.read(f"mave-{mave.__version__}.dist-info/METADATA").decode()
    top = {name.split("/")[0] for name in names}
    # Nothing bundled (no mave.libs): the OpenBLAS of the search is loaded at
    # run time from the scipy-openblas32 package the wheel requires.
    assert top <= {"mave", f"mave-{mave.__version__}.dist-info"} | {
        n for n in names if re.fullmatch(r"_mave\.abi3\.so", n)
    }, top
    # The package, its types (py.typed, the compiled part's stub) and both
    # extensions.
    for required in [
        "mave/__init__.py",
        "mave/_embeddings.py",
        "mave/dask.py",
        "mave/py.typed",
        "mave/_native.pyi",
        "mave/_version.py",
        "mave/_serve/static/index.html",
        "mave/_serve/static/explorer.js",
        "mave/_serve/static/explorer.css",
    ]:
        assert required in names
    assert "mave/_native.abi3.so" in names and "_mave.abi3.so" in names
    # No sources or build files in the package (the dist-info's entry_points.txt is metadata).
    assert not [
        n for n in names if n.endswith((".cpp", ".hpp", ".h", ".txt", ".cmake")) and ".dist-info/" not in n
    ]
    assert any(n.endswith(".dist-info/entry_points.txt") for n in names)  # the console script
    assert f"Version: {mave.__version__}\n" in metadata
    assert "Requires-Dist: numpy<3,>=1.26\n" in metadata
    assert "Requires-Dist: scipy-openblas32>=0.3.27\n" in metadata
    assert "Requires-Python: >=3.11\n" in metadata
    assert "Provides-Extra: dask\n" in metadata


def test_sdist_holds_what_the_build_needs(dist):
    _, sdist, _ = dist
    prefix = f"mave-{mave.__version__}/"
    with tarfile.open(sdist) as t:
        names = {name.removeprefix(prefix) for name in t.getnames()}
    tracked = subprocess.run(
        ["git", "ls-files", "src", "cmake", "CMakeLists.txt", "pyproject.toml"],
        cwd=ROOT,
        capture_output=True,
        text=True,
    )
    if tracked.returncode == 0:
        # Every source the build compiles; `python -m build` has built the
        # wheel from this very sdist.
        assert set(tracked.stdout.split()) <= names
    assert "src/format/metadata.cpp" in names and "cmake/MaveDependencies.cmake" in names
    assert not [n for n in names if n.startswith(("tests/", "fuzz/", "bench/", "scripts/"))]


def test_wheel_in_fresh_environments_with_numpy_1_and_2(dist, reference, tmp_path):
    wheel, _, log = dist
    # scripts/build-wheels ran the smoke test with the newest NumPy, in a
    # fresh environment of every supported CPython (and, where it built the
    # aarch64 wheel, under emulation).
    newest = smoke_answers(log)
    assert len(newest) >= 3 and all(a["numpy"].startswith("2.") for a in newest)
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    subprocess.run(
        [python, "-m", "pip", "install", "-q", "--disable-pip-version-check", str(wheel), "numpy==1.26.*"],
        check=True,
        timeout=900,
    )
    result = subprocess.run(
        [python, "-I", str(SMOKE), str(MODEL), str(tmp_path)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    oldest = smoke_answer(result.stdout)
    assert oldest["numpy"].startswith("1.26.")
    for answer in [*newest, oldest]:
        assert {k: answer[k] for k in ("version", "words", "dims", "vectors")} == {
            k: reference[k] for k in ("version", "words", "dims", "vectors")
        }


def test_extensions_export_their_init_only_and_carry_their_cxx_runtime(dist, tmp_path):
    """The C++ runtime zig links in stays private: a symbol of it (or of the
    core) exported from an extension would bind to another library's copy in
    the same process. No C++ runtime is needed from the system either, nor
    zlib, libbz2 or liblzma: those are compiled in from their pinned sources
    (the build machine's are built for a newer glibc), nor OpenBLAS: the
    package loads it at run time, so the wheel bundles nothing."""
    elftools = pytest.importorskip("elftools.elf.elffile")
    wheel, _, _ = dist
    with zipfile.ZipFile(wheel) as z:
        modules = [n for n in z.namelist() if n.endswith(".so")]
        z.extractall(tmp_path, members=modules)
    assert sorted(modules) == ["_mave.abi3.so", "mave/_native.abi3.so"]
    for name in modules:
        with open(tmp_path / name, "rb") as f:
            elf = elftools.ELFFile(f)
            exported = {
                s.name
                for s in elf.get_section_by_name(".dynsym").iter_symbols()
                if s["st_shndx"] != "SHN_UNDEF"
                and s.name
                and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
            }
            needed = {
                t.needed
                for t in elf.get_section_by_name(".dynamic").iter_tags()
                if t.entry.d_tag == "DT_NEEDED"
            }
        init = "PyInit_" + Path(name).name.split(".")[0]
        assert exported == {init}, (name, sorted(exported)[:20])
        assert not [lib for lib in needed if "c++" in lib or "stdc++" in lib or "python" in lib], needed
        assert not [lib for lib in needed if re.match(r"lib(z|bz2|lzma|scipy_openblas)[-.]", lib)], needed
