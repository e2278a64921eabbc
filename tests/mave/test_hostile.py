"""Hostile files through mave: every kind of finalfusion file cut at every
byte and with every fixed field corrupted loads exactly when _mave loads it,
and every failure is an OSError or a mave.FormatError, never a crash, a
PanicException or a hang, whatever is done with what loads."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

import fixture_files
from suite import SUPPORT_DIR, child_environment

RUNNER = Path(__file__).with_name("mave_hostile_runner.py")
FINALFUSION = fixture_files.finalfusion_fixtures()
VARIANT_SECONDS = 2.0


def byte_variants(fixture):
    """Every byte of every fixed field set to 0x00 and 0xFF and moved by 1."""
    variants = []
    for f in fixture.fields:
        for offset in range(f.offset, f.offset + f.width):
            old = fixture.data[offset]
            for new in {0x00, 0xFF, (old + 1) % 256, (old - 1) % 256} - {old}:
                variants.append(["set", offset, new])
    return variants


@pytest.mark.parametrize("name", sorted(FINALFUSION))
def test_finalfusion_variants(tmp_path, name):
    fixture = FINALFUSION[name]
    variants = [["truncate", n] for n in range(len(fixture.data) + 1)] + byte_variants(fixture)
    base = tmp_path / "base"
    base.write_bytes(fixture.data)
    job = {
        "base": str(base),
        "work": str(tmp_path / "work"),
        "variants": variants,
        "progress": str(tmp_path / "progress"),
        "results": str(tmp_path / "results.json"),
        "memory_limit_mb": 512,
    }
    (tmp_path / "job.json").write_text(json.dumps(job))
    env = child_environment()
    env["PYTHONPATH"] += ":" + str(SUPPORT_DIR)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":allocator_may_return_null=1:max_allocation_size_mb=512"
    child = subprocess.run(
        [sys.executable, str(RUNNER), str(tmp_path / "job.json")], capture_output=True, env=env, timeout=900
    )
    if child.returncode != 0:
        index = int((tmp_path / "progress").read_text().strip() or "0")
        pytest.fail(
            f"child died ({child.returncode}) on variant {variants[index]}:\n"
            f"{child.stderr.decode(errors='replace')[-3000:]}"
        )
    results = json.loads((tmp_path / "results.json").read_text())
    findings = [
        (v, r)
        for v, r in zip(variants, results)
        if r[0] not in ("ok", "formaterror", "oserror") or r[3] > VARIANT_SECONDS
    ]
    assert findings == []
    disagreements = [(v, r) for v, r in zip(variants, results) if r[1] != r[2]]
    assert disagreements == []
