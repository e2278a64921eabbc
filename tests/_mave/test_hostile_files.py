"""Hostile files: truncated and corrupted files of every kind, and counts up to
2^64 - 1, end in the exception the module promises and never in a crash, a
hang or an oversized allocation.

Every fixture of fixture_files (each vocabulary kind, dense and quantized
storage, with and without metadata and norms; small fastText models) and the
real fastText models under tests/data/fasttext is cut at every byte offset,
and every byte of its fixed-width fields is set to 0x00, 0xFF and to its value
plus and minus one. A file that loads is then asked for words with
load_embedding and eval. FfModel may only raise PanicException, build_model
only OSError or PanicException (its aborting failures: repeated words, bucket
limits, n-gram lengths).

The variants of one file run in a child process (hostile_runner.py), so that
a crash fails the test with the variant that caused it instead of ending
pytest; the child's address space is capped, so that an oversized
allocation shows as MemoryError.
"""

import json
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import _mave
import fifu
import fixture_files
from suite import DATA_DIR, SUPPORT_DIR, pinned_child_environment

RUNNER = SUPPORT_DIR / "hostile_runner.py"
MODELS = DATA_DIR / "fasttext"

FINALFUSION = fixture_files.finalfusion_fixtures()
FASTTEXT = fixture_files.fasttext_fixtures()
REAL_MODELS = [
    "skipgram-maxn0.bin",
    "skipgram-minn1.bin",
    "supervised.bin",
    "supervised-quantized.ftz",
    "multilingual-skipgram.bin",
    "cbow-en.bin",
    "demo-skipgram.bin",
]

# A variant that takes longer than this is a hang for these small files
# (a load takes well under a millisecond; ASan makes that a few).
VARIANT_SECONDS = 2.0
MEMORY_LIMIT_MB = 512


def corruptions(fields):
    """Every byte of every field set to 0x00 and 0xFF and moved by +1 and -1."""
    for f in fields:
        for offset in range(f.offset, f.offset + f.width):
            yield offset


def byte_variants(data, offsets):
    variants = []
    for offset in offsets:
        old = data[offset]
        for new in {0x00, 0xFF, (old + 1) % 256, (old - 1) % 256} - {old}:
            variants.append(["set", offset, new])
    return variants


def run_variants(tmp_path, data, action, variants, *, memory_limit_mb=MEMORY_LIMIT_MB):
    """[(variant, outcome, cpu seconds, wall seconds, peak RSS growth kB)]."""
    base = tmp_path / "base"
    base.write_bytes(data)
    job = {
        "base": str(base),
        "work": str(tmp_path / "work"),
        "action": action,
        "variants": variants,
        "progress": str(tmp_path / "progress"),
        "results": str(tmp_path / "results.json"),
        "memory_limit_mb": memory_limit_mb,
    }
    (tmp_path / "job.json").write_text(json.dumps(job))
    env = pinned_child_environment()
    # Under AddressSanitizer an oversized allocation must fail, not be tried.
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":allocator_may_return_null=1:max_allocation_size_mb=%d" % (memory_limit_mb)
    stderr = tmp_path / "stderr"
    with open(stderr, "wb") as err:
        child = subprocess.run(
            [sys.executable, *[f"-W{o}" for o in sys.warnoptions], str(RUNNER), str(tmp_path / "job.json")],
            stdout=subprocess.DEVNULL,
            stderr=err,
            env=env,
            timeout=600,
        )
    if child.returncode != 0:
        progress = (tmp_path / "progress").read_text().strip() or "0"
        index = int(progress)
        tail = stderr.read_bytes()[-3000:].decode(errors="replace")
        pytest.fail(f"child died ({child.returncode}) on variant {variants[index]}:\n{tail}")
    results = json.loads((tmp_path / "results.json").read_text())
    return [(v, *r) for v, r in zip(variants, results)]


def findings(results, allowed):
    """Variants with an outcome outside `allowed`, or that took too long."""
    return [r for r in results if r[1] not in allowed or r[3] > VARIANT_SECONDS]


def storage_end(fixture):
    """The shortest prefix that still loads: up to the end of the matrix
    chunk (where the norms chunk starts, or the end of the file); for a
    matrix without data, up to its element type, as skipping the padding
    needs no bytes."""
    fields = {f.name: f for f in fixture.fields}
    if "rows" in fields:
        (rows,) = struct.unpack_from("<Q", fixture.data, fields["rows"].offset)
        (cols,) = struct.unpack_from("<I", fixture.data, fields["cols"].offset)
        if rows * cols == 0:
            return fields["element type"].offset + 4
    if "norms identifier" in fields:
        return fields["norms identifier"].offset
    return len(fixture.data)


@pytest.mark.parametrize("name", sorted(FINALFUSION))
def test_finalfusion_files(tmp_path, name):
    fixture = FINALFUSION[name]
    data = fixture.data
    truncations = [["truncate", n] for n in range(len(data) + 1)]
    variants = truncations + byte_variants(data, corruptions(fixture.fields))
    results = run_variants(tmp_path, data, "load", variants)

    assert findings(results, {"ok", "panic"}) == []
    # Cut before the end of the matrix, a file fails; cut after it, it loads
    # without norms.
    end = storage_end(fixture)
    for change, outcome, *_ in results[: len(truncations)]:
        assert outcome == ("ok" if change[1] >= end else "panic"), change


@pytest.mark.parametrize("name", sorted(FASTTEXT))
def test_fasttext_models(tmp_path, name):
    fixture = FASTTEXT[name]
    data = fixture.data
    variants = [["truncate", n] for n in range(len(data) + 1)]
    variants += byte_variants(data, corruptions(fixture.fields))
    results = run_variants(tmp_path, data, "convert", variants)
    assert findings(results, {"ok", "oserror", "panic"}) == []
    assert results[len(data)][1] == "ok"


def sampled_truncations(length, matrix_start, matrix_end):
    """Every offset through the settings and the first and last 2 kB of the
    dictionary and the matrix shape, where each cut stops the reader at a new
    field; every 61st offset through the rest of the dictionary, whose entries
    are alike; every 4093rd through the matrix data, whose cuts all fail the
    same way before it is read; and every offset around the end of the input
    matrix, where reading stops."""
    offsets = set(range(min(92 + 2048, length + 1)))
    offsets |= set(range(92, matrix_start, 61))
    offsets |= set(range(max(matrix_start - 2048, 0), min(matrix_start + 64, length + 1)))
    offsets |= set(range(matrix_start, length + 1, 4093))
    offsets |= set(range(max(matrix_end - 8, 0), min(matrix_end + 9, length + 1)))
    offsets.add(length)
    return sorted(offsets)


@pytest.mark.parametrize("name", REAL_MODELS)
def test_real_fasttext_models(tmp_path, name):
    data = (MODELS / name).read_bytes()
    fields, matrix_start, matrix_end = fixture_files.real_fasttext_fields(data)
    variants = [["truncate", n] for n in sampled_truncations(len(data), matrix_start, matrix_end)]
    # All fields of the header and the matrix shape; of the dictionary, the
    # entries of the first and the last three words (the others are alike).
    entries = [f for f in fields if f.name in ("word frequency", "entry type")]
    kept = [f for f in fields if f not in entries] + entries[:6] + entries[-6:]
    variants += byte_variants(data, corruptions(kept))
    results = run_variants(tmp_path, data, "convert", variants)
    assert findings(results, {"ok", "oserror", "panic"}) == []
    # Whatever follows the input matrix is not read: a cut there changes
    # nothing, a cut before it fails.
    whole = next(outcome for change, outcome, *_ in results if change == ["truncate", len(data)])
    for change, outcome, *_ in results:
        if change[0] == "truncate" and change[1] < matrix_end:
            assert outcome == "oserror", change
        elif change[0] == "truncate":
            assert outcome == whole, change


# --- Counts up to 2^64 - 1 ---------------------------------------------------

HUGE = {4: [2**31 - 1, 2**31, 2**32 - 1], 8: [2**32, 2**63 - 1, 2**63, 2**64 - 1]}
COUNT_SECONDS = 0.1
COUNT_MEMORY_MB = 100


def huge_count_variants(fields):
    variants = []
    for f in fields:
        if f.is_count:
            fmt = {4: "I", 8: "Q"}[f.width]
            variants += [["put", f.offset, fmt, value] for value in HUGE[f.width]]
    return variants


def assert_fast_and_small(results):
    """Each huge count is refused (or harmlessly ignored) within 100 ms of CPU
    time and 100 MB of memory. CPU time rather than wall time, so that other
    processes on a busy machine cannot make it flaky; the address space is
    capped 100 MB above the child's start-up size, so that a larger
    allocation fails instead of passing untouched."""
    slow = [r for r in results if r[2] > COUNT_SECONDS]
    big = [r for r in results if r[4] > COUNT_MEMORY_MB * 1024]
    assert (slow, big) == ([], [])


@pytest.mark.parametrize("name", sorted(FINALFUSION))
def test_huge_counts_in_finalfusion_files(tmp_path, name):
    fixture = FINALFUSION[name]
    variants = huge_count_variants(fixture.fields)
    results = run_variants(tmp_path, fixture.data, "load", variants, memory_limit_mb=COUNT_MEMORY_MB)
    assert findings(results, {"ok", "panic"}) == []
    assert_fast_and_small(results)


@pytest.mark.parametrize("name", sorted(FASTTEXT) + ["skipgram-minn1.bin"])
def test_huge_counts_in_fasttext_models(tmp_path, name):
    if name in FASTTEXT:
        data, fields = FASTTEXT[name].data, FASTTEXT[name].fields
    else:
        data = (MODELS / name).read_bytes()
        fields = fixture_files.real_fasttext_fields(data)[0]
    results = run_variants(
        tmp_path, data, "convert", huge_count_variants(fields), memory_limit_mb=COUNT_MEMORY_MB
    )
    assert findings(results, {"ok", "oserror", "panic"}) == []
    assert_fast_and_small(results)


# --- Faults found by fuzzing -------------------------------------------------


def metadata_file(text):
    b = fixture_files.Builder()
    fixture_files.header(b, [5, 1, 2])
    fixture_files.metadata(b, text)
    fixture_files.words_chunk(b, 1, ["a"])
    fixture_files.dense_chunk(b, [[1.0]])
    return bytes(b.data)


def zero_row_matrix_file(cols):
    """A floret vocabulary, which composes every string, over a matrix of no
    rows that claims `cols` columns."""
    b = fixture_files.Builder()
    fixture_files.header(b, [9, 2])
    fixture_files.floret_chunk(b)
    at = b.start_chunk(2, "matrix")
    b.put("Q", 0, "rows")
    b.put("I", cols, "cols")
    b.put("I", 10, "element type")
    b.padding()
    b.end_chunk(at)
    return bytes(b.data)


REGRESSIONS = {
    # toml++ 3.3.0 reached __builtin_unreachable() when it classified a
    # non-ASCII code point outside a string as whitespace or not.
    "metadata é outside a string": (metadata_file("a = é\n"), "panic"),
    "metadata U+FB30 after a value": (metadata_file("a = 1\ufb30\n"), "panic"),
    "metadata U+FB30 as a key": (metadata_file("\ufb30 = 1\n"), "panic"),
    "metadata U+FB30 after a line-ending backslash": (metadata_file('a = """x\\\n\ufb30"""\n'), "ok"),
    "metadata U+1680 as whitespace": (metadata_file("a\u1680= 1\n"), "panic"),
    # A composed lookup allocated the vector before checking the rows, so a
    # matrix of no rows claiming 2^32 - 1 columns made eval ask for 16 GiB.
    "composed lookup on a matrix without rows": (zero_row_matrix_file(2**32 - 1), "ok"),
}


def long_marker_floret_file(marker_length):
    """Floret markers of `marker_length` characters and no limit on the
    n-gram length: any string has about marker_length^2 / 2 n-grams, each
    hashed to four rows."""
    b = fixture_files.Builder()
    fixture_files.header(b, [9, 2])
    fixture_files.floret_chunk(b, min_n=1, max_n=2**32 - 1, buckets=1, hashes=4, begin="<" * marker_length)
    fixture_files.dense_chunk(b, [[1.0, 2.0]])
    return bytes(b.data)


def test_composed_rows_are_not_all_held_at_once(tmp_path):
    # Found by review: a composed lookup listed all of a string's subword rows
    # before summing them. Here that list is 12.5 million rows, 100 MB, from a
    # 2.6 kB file; a file of 64 kB asked for 64 GB.
    data = long_marker_floret_file(2500)
    results = run_variants(
        tmp_path, data, "look up once", [["truncate", len(data)]], memory_limit_mb=COUNT_MEMORY_MB
    )
    assert [r[1] for r in results] == ["ok"]
    assert results[0][4] < COUNT_MEMORY_MB * 1024


@pytest.mark.parametrize("name", sorted(REGRESSIONS))
def test_fuzzing_regressions(tmp_path, name):
    data, expected = REGRESSIONS[name]
    results = run_variants(tmp_path, data, "load", [["truncate", len(data)]], memory_limit_mb=COUNT_MEMORY_MB)
    assert [r[1] for r in results] == [expected]
    assert_fast_and_small(results)


def test_replacing_a_loaded_file_by_rename_keeps_the_loaded_model(tmp_path):
    # The way the README gives to update a file that is in use.
    path = tmp_path / "model.fifu"
    path.write_bytes(fifu.dense_embeddings(["a"], [[1.0, 2.0]]))
    old = _mave.FfModel(str(path))
    fresh = tmp_path / "model.fifu.new"
    fresh.write_bytes(fifu.dense_embeddings(["a", "b"], [[3.0, 4.0], [5.0, 6.0]]))
    os.replace(fresh, path)

    a = np.zeros(2, np.float32)
    assert old.load_embedding("a", a) and a.tolist() == [1.0, 2.0]
    assert old.load_embedding("b", a) is False
    new = _mave.FfModel(str(path))
    assert new.load_embedding("b", a) and a.tolist() == [5.0, 6.0]


def test_conversion_refuses_more_columns_than_the_file_can_hold(tmp_path, capfd):
    # Found by review: a model without words or buckets may declare a matrix of
    # no rows and 2^32 + 5 columns; the converted file said 5 columns, and the
    # conversion reported success.
    fixture = fixture_files.fasttext_model("wide", [], buckets=0, output_matrix=False)
    data = bytearray(fixture.data)
    (columns,) = [f for f in fixture.fields if f.name == "column_count"]
    struct.pack_into("<Q", data, columns.offset, 2**32 + 5)
    model = tmp_path / "wide.bin"
    model.write_bytes(data)
    with pytest.raises(OSError) as info:
        _mave.build_model(str(model), str(tmp_path / "wide.fifu"))
    assert info.value.args == ("Cannot write number of columns of the embedding matrix",)
    capfd.readouterr()


# --- The formats mave converts from --------------------------------------------

IMPORTS = fixture_files.import_fixtures()
IMPORT_CASES = [(fmt, name) for fmt in sorted(IMPORTS) for name in sorted(IMPORTS[fmt])]


@pytest.mark.parametrize("fmt,name", IMPORT_CASES)
def test_imported_formats(tmp_path, fmt, name):
    # mave.convert of every cut and every changed byte either converts (and
    # the result loads and answers lookups) or raises mave.FormatError, and a
    # failure leaves nothing in the output's directory.
    pytest.importorskip("mave")
    data = IMPORTS[fmt][name]
    truncations = [["truncate", n] for n in range(len(data) + 1)]
    variants = truncations + byte_variants(data, range(len(data)))
    results = run_variants(tmp_path, data, f"import {fmt}", variants)
    assert findings(results, {"ok", "formaterror"}) == []
    # The whole file converts, an empty one does not; with a header (or the
    # binary's count), a cut before the last row leaves rows missing.
    assert results[len(data)][1] == "ok" and results[0][1] == "formaterror"
    if fmt != "glove":
        last_row = data.rstrip(b"\n").rindex(b"\n") + 1 if fmt == "text" else data.rindex(b"\xe6\x97\xa5")
        assert {r[1] for r in results[:last_row]} == {"formaterror"}


@pytest.mark.parametrize("fmt", ["word2vec", "text"])
def test_huge_header_counts_in_imported_formats(tmp_path, fmt):
    pytest.importorskip("mave")
    data = next(iter(IMPORTS[fmt].values())).removeprefix(b"\xef\xbb\xbf")
    header_end = data.index(b"\n")
    variants = [
        ["splice", 0, header_end, f"{words} {dims}".encode().hex()]
        for words in [0, 1, 4, 2**31, 2**32 - 1, 2**63, 2**64 - 1]
        for dims in [1, 3, 2**31, 2**32 - 1, 2**32, 2**64 - 1]
    ]
    results = run_variants(tmp_path, data, f"import {fmt}", variants, memory_limit_mb=COUNT_MEMORY_MB)
    assert findings(results, {"ok", "formaterror"}) == []
    # Only the true "4 3" converts (after "0 D" the rows are more words than
    # the header announces).
    ok = [bytes.fromhex(change[3]).decode() for change, outcome, *_ in results if outcome == "ok"]
    assert ok == ["4 3"]
    assert_fast_and_small(results)


@pytest.mark.parametrize("fmt", ["word2vec", "text"])
def test_no_rows_of_many_columns(tmp_path, fmt):
    # Found by fuzzing: a header of 0 words and 822220428 dimensions made the
    # writers set aside a row of that many floats (3.3 GB) for rows that do
    # not exist.
    pytest.importorskip("mave")
    results = run_variants(
        tmp_path, b"0 4294967295\n", f"import {fmt}", [["truncate", 14]], memory_limit_mb=COUNT_MEMORY_MB
    )
    assert [r[1] for r in results] == ["ok"]
    assert_fast_and_small(results)
