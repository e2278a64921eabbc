"""Leak checks: many calls of every method, on success and on each error path,
grow neither the process nor the reference counts of the objects passed in.

Each scenario runs in a fresh interpreter (leak_runner.py) with its output
sent to /dev/null at the descriptor level. A million calls of get_dims,
load_embedding and eval, and 20,000 of the heavier FfModel construction and
build_model (MAVE_LEAK_CALLS sets the million; the constructions follow at a
fiftieth of it).

Tolerance: after a warm-up of a tenth of the calls, the resident size may grow
by at most 2 MiB over the loop. Anything a call could leak is at least one
heap block (32 bytes with glibc), so a leak on every call shows as 32 MB over
a million calls and 640 kB over 20,000 constructions, where a single leaked
FfModel also holds its vocabulary and a mapping (counted separately below);
2 MiB stays above the allocator's noise (arenas settling, free lists) while
catching a leak on every call of any method. Open descriptors and mappings
must not change at all, and each object passed in must have exactly the
reference count it had before.

Under AddressSanitizer (scripts/run-asan-tests) freed memory sits in ASan's
quarantine, so the resident size says nothing: only descriptors, mappings and
reference counts are checked there, over fewer calls.
"""

import json
import os
import subprocess
import sys

import pytest

import fifu
import fixture_files
from suite import MATRIX, SUPPORT_DIR, WORDS, pinned_child_environment

RUNNER = SUPPORT_DIR / "leak_runner.py"
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
CALLS = int(os.environ.get("MAVE_LEAK_CALLS", 20_000 if SANITIZED else 1_000_000))
CONSTRUCTIONS = max(CALLS // 50, 100)
RSS_TOLERANCE = 2 * 1024 * 1024

LIGHT = [
    "get_dims",
    "load_embedding known",
    "load_embedding unknown",
    "load_embedding composed",
    "load_embedding keywords",
    "load_embedding length mismatch",
    "load_embedding list target",
    "load_embedding float64 target",
    "load_embedding int sentence",
    "load_embedding missing argument",
    "load_embedding unknown keyword",
    "eval known",
    "eval composed",
    "eval unknown",
    "eval int",
]
HEAVY = [
    "FfModel",
    "FfModel missing file",
    "FfModel directory",
    "FfModel int path",
    "build_model",
    "build_model missing input",
    "build_model finalfusion input",
]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("leaks")
    model = d / "model" / "model.fifu"
    model.parent.mkdir()
    model.write_bytes(fifu.dense_embeddings(WORDS, MATRIX))
    subword = d / "subword.fifu"
    subword.write_bytes(fixture_files.finalfusion_fixtures()["fasttext-dense-meta"].data)
    fasttext = d / "model.bin"
    fasttext.write_bytes(fixture_files.fasttext_fixtures()["ft-small"].data)
    return [str(model), str(subword), str(fasttext)]


@pytest.mark.parametrize("name", LIGHT + HEAVY)
def test_no_growth(tmp_path, files, name):
    calls = CONSTRUCTIONS if name in HEAVY else CALLS
    results = tmp_path / "results.json"
    child = subprocess.run(
        [
            sys.executable,
            *[f"-W{o}" for o in sys.warnoptions],
            str(RUNNER),
            name,
            str(calls),
            *files,
            str(results),
        ],
        env=pinned_child_environment(),
        capture_output=True,
        timeout=900,
    )
    assert child.returncode == 0, child.stderr.decode(errors="replace")[-3000:]
    report = json.loads(results.read_text())

    refs_before, refs_after = report["refs"]
    assert refs_after == refs_before
    assert report["fds"][1] == report["fds"][0]
    assert report["maps"][1] == report["maps"][0]
    if not SANITIZED:
        rss_before, rss_after = report["rss"]
        assert (
            rss_after - rss_before <= RSS_TOLERANCE
        ), f"{name}: grew by {rss_after - rss_before} bytes over {calls} calls"
