"""mave.quantize: every kind of source written as a quantized file that both
readers load, rows equal to faiss's own decoding of the same codes, norms
kept, settings refused before any work, the same file for the same seed, and
written files that hold up when cut and corrupted."""

import json
import math
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import _mave
import mave
from mave import _quantize

import fifu
from suite import FASTTEXT_DIR, SUPPORT_DIR, child_environment

faiss = pytest.importorskip("faiss")

QUERIES = ["Haus", "Baum", "grün", "Hausbaum", "ab", "a", "", "umgrün", "zzzz", "<Ha"]
DENSE_FIXTURES = [
    "simple-dense",
    "simple-dense-meta-norms",
    "bucket-dense-norms",
    "fasttext-dense-meta",
    "explicit-dense-norms",
    "floret-dense-meta",
]
HOSTILE_RUNNER = SUPPORT_DIR / "hostile_runner.py"


def small_bits(rows):
    """The most bits (up to 3) whose centroids the rows can train."""
    return max(1, min(3, int(math.log2(rows))))


def vector(model, word, dims):
    a = np.zeros(dims, np.float32)
    return a if model.load_embedding(word, a) else None


def lengths(x):
    return np.linalg.norm(np.asarray(x, np.float64), axis=1)


# The simple fixtures have fewer rows (3) than dimensions (4): too few to
# learn a rotation from (refused below).
@pytest.mark.parametrize(
    "name, opq",
    [(n, opq) for n in DENSE_FIXTURES for opq in (False, True) if not (opq and n.startswith("simple"))],
)
def test_every_kind_is_read_by_both_readers_with_its_vocabulary_metadata_and_norms(
    fixture_dir, tmp_path, name, opq
):
    src = mave.load(fixture_dir[name])
    dst = tmp_path / "q.fifu"
    rows = src.matrix.shape[0]
    mave.quantize(fixture_dir[name], dst, bits=small_bits(rows), opq=opq, subquantizers=2, threads=1)
    q = mave.load(dst)
    m = _mave.FfModel(str(dst))
    assert q.storage_kind == "quantized" and m.get_dims() == q.dims == src.dims
    assert list(q.words) == list(src.words)
    assert (q.vocab_kind, q.subwords) == (src.vocab_kind, src.subwords)

    metadata = dict(q.metadata)
    settings = metadata.pop("quantizer")
    assert metadata == (src.metadata or {})
    assert settings == {
        "method": "opq" if opq else "pq",
        "subquantizers": 2,
        "bits": small_bits(rows),
        "sample": rows,
        "iterations": 25,
        "seed": 0,
        "library": f"faiss {faiss.__version__}",
    }

    # Word rows at unit length (norms keep the lengths), subword rows at their own.
    source_lengths = lengths(src.matrix)
    rebuilt = q.reconstruct()
    words = len(src)
    assert np.allclose(lengths(rebuilt[:words]), 1, atol=1e-6)
    assert np.allclose(lengths(rebuilt[words:]), source_lengths[words:], rtol=1e-6)
    expected_norms = source_lengths[:words] * (1 if src.norms is None else src.norms)
    assert np.allclose(q.norms, expected_norms, rtol=1e-6)

    # Both readers give the same vector for the same string, and a string has
    # one exactly when it has one in the source.
    for word in QUERIES + list(src.words):
        ours = q.get(word)
        theirs = vector(m, word, q.dims)
        assert (ours is None) == (theirs is None) == (src.get(word) is None), word
        if ours is not None:
            assert np.array_equal(ours.view(np.uint32), theirs.view(np.uint32)), word


def quantize_parts(source, opq, **settings):
    """Train, encode and write as mave.quantize does, keeping faiss's objects."""
    e = mave.load(source)
    plan = _quantize._plan(
        e,
        settings.pop("subquantizers", None),
        8,
        opq,
        settings.pop("sample", None),
        settings.pop("iterations", None),
        0,
    )
    trained = _quantize._train(faiss, e, plan, None)
    encoded = _quantize._encode(faiss, e, trained, None)
    return e, plan, trained, encoded


@pytest.mark.parametrize("opq", [False, True], ids=["pq", "opq"])
def test_rows_are_faiss_decoding_of_the_same_codes(converted_models, tmp_path, opq):
    """The file's rows, rebuilt by the reader (centroids side by side, times
    the projection, times the row's norm), are what faiss's own decoder makes
    of the same codes: pq.decode, then the inverse of the rotation."""
    source = converted_models["demo-skipgram"]
    e, plan, trained, encoded = quantize_parts(source, opq, sample=3000, iterations=8)
    dst = tmp_path / "q.fifu"
    _quantize._write(faiss, e, dst, plan, trained, encoded)
    q = mave.load(dst)

    decoded = trained.pq.decode(encoded.codes)
    if opq:
        decoded = trained.rotation.reverse_transform(decoded)
    expected = decoded * encoded.row_norms[:, None]
    rebuilt = q.reconstruct()
    scale = np.maximum(1, np.abs(expected).max(axis=1, keepdims=True))
    largest = float(np.abs(rebuilt - expected).max())
    print(f"largest difference to faiss's decoding ({'opq' if opq else 'pq'}): {largest:.3g}")
    assert np.all(np.abs(rebuilt - expected) <= 4e-7 * scale * 8)
    # The rows point where the source's do (a transposed rotation would not),
    # and zero rows stay zero.
    zero = lengths(e.matrix) == 0
    assert not rebuilt[zero].any()
    source, rebuilt = e.matrix[~zero], rebuilt[~zero]
    cos = np.einsum("ij,ij->i", rebuilt, source) / (lengths(rebuilt) * lengths(source))
    assert cos.mean() > 0.9


def test_a_fasttext_model_is_quantized_as_its_conversion_and_a_seed_gives_one_file(
    converted_models, tmp_path
):
    model = FASTTEXT_DIR / "demo-skipgram.bin"
    settings = dict(bits=5, sample=2000, iterations=5, threads=1)
    mave.quantize(model, tmp_path / "a.fifu", seed=3, **settings)
    mave.quantize(converted_models["demo-skipgram"], tmp_path / "b.fifu", seed=3, **settings)
    mave.quantize(model, tmp_path / "c.fifu", seed=4, **settings)
    a, b, c = ((tmp_path / n).read_bytes() for n in ["a.fifu", "b.fifu", "c.fifu"])
    assert a == b
    assert a != c
    # The temporary conversion is gone.
    assert sorted(os.listdir(tmp_path)) == ["a.fifu", "b.fifu", "c.fifu"]


def test_unit_rows_keep_their_norms_exactly_and_zero_rows_stay_zero(tmp_path):
    rng = np.random.default_rng(5)
    matrix = rng.standard_normal((40, 6)).astype(np.float32)
    matrix /= np.linalg.norm(matrix, axis=1, keepdims=True)
    zero = [5, 9]
    matrix[zero] = 0
    norms = rng.uniform(0.5, 3, 40).astype(np.float32)
    words = [f"w{i}" for i in range(40)]
    src = tmp_path / "unit.fifu"
    src.write_bytes(fifu.dense_embeddings(words, matrix.tolist(), word_norms=norms.tolist()))
    mave.quantize(src, tmp_path / "q.fifu", bits=3)
    q = mave.load(tmp_path / "q.fifu")
    kept = np.ones(40, bool)
    kept[zero] = False
    assert np.array_equal(q.norms[kept], norms[kept])
    assert not q.norms[zero].any() and not q.reconstruct(zero).any()
    assert q.metadata["quantizer"]["subquantizers"] == 1  # parts of 6: the closest to 5
    # Zero rows are skipped when drawing the sample, not counted in it.
    matrix[:30] = 0
    src.write_bytes(fifu.dense_embeddings(words, matrix.tolist()))
    for seed in range(5):
        mave.quantize(src, tmp_path / "s.fifu", bits=3, sample=8, opq=False, seed=seed)
        assert mave.load(tmp_path / "s.fifu").metadata["quantizer"]["sample"] == 8
    # Too few rows that are not zero to train on.
    with pytest.raises(
        ValueError, match="only 10 of the 40 rows are not zero, and training " "needs at least 32"
    ):
        mave.quantize(src, tmp_path / "r.fifu", bits=5, opq=False)


def test_default_subquantizers_give_parts_of_about_five():
    got = {dims: _quantize.default_subquantizers(dims) for dims in [300, 100, 24, 7, 12, 1, 50]}
    assert got == {300: 60, 100: 20, 24: 6, 7: 1, 12: 3, 1: 1, 50: 10}


BAD_SETTINGS = [
    ("simple-dense", dict(subquantizers=3), ValueError, "subquantizers must divide the 4 "),
    ("simple-dense", dict(subquantizers=8), ValueError, "and 8 does not"),
    ("simple-dense", dict(subquantizers=0), ValueError, "subquantizers must be at least 1, not 0"),
    ("simple-dense", dict(bits=0), ValueError, "bits must be between 1 and 8, not 0"),
    ("simple-dense", dict(bits=9), ValueError, "bits must be between 1 and 8, not 9"),
    ("simple-dense", dict(sample=0), ValueError, "sample must be at least 1, not 0"),
    ("simple-dense", dict(threads=0), ValueError, "threads must be at least 1, not 0"),
    ("simple-dense", dict(seed=-1), ValueError, "seed must be between 0 and 2147483647"),
    ("simple-dense", dict(bits=2.0), TypeError, "bits must be an int, not float"),
    ("simple-dense", dict(subquantizers="2"), TypeError, "subquantizers must be an int, not str"),
    ("simple-dense", dict(bits=2), ValueError, "needs at least 4 rows, and 3 are sampled"),
    ("bucket-dense-norms", dict(bits=2, sample=3), ValueError, "and 3 are sampled from the 7"),
    (
        "simple-dense",
        dict(opq=True),
        ValueError,
        "rotation of 4 dimensions (opq=True) needs at " "least 4 rows, and 3 are sampled",
    ),
    ("simple-empty", {}, ValueError, "zero dimensions cannot be quantized"),
    ("simple-quantized", {}, ValueError, "the matrix is already quantized"),
]


@pytest.mark.parametrize("name, settings, error, message", BAD_SETTINGS)
def test_bad_settings_fail_before_any_work(
    fixture_dir, tmp_path, monkeypatch, name, settings, error, message
):
    def no_training(*args):
        raise AssertionError("trained before the settings were checked")

    monkeypatch.setattr(_quantize, "_train", no_training)
    dst = tmp_path / "q.fifu"
    with pytest.raises(error) as raised:
        mave.quantize(fixture_dir[name], dst, **({"bits": 1, "opq": False} | settings))
    assert message in str(raised.value)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("fmt, name", [("word2vec", "demo.bin"), ("text", "demo.vec"), ("glove", "demo.txt")])
def test_every_format_convert_reads_is_quantized_as_its_conversion(converted_models, tmp_path, fmt, name):
    other = tmp_path / name
    mave.convert(converted_models["demo-skipgram"], other, dst_format=fmt)
    settings = dict(bits=4, sample=1000, iterations=4, threads=1, seed=5, opq=False)
    mave.quantize(other, tmp_path / "a.fifu", src_format=fmt if fmt == "glove" else None, **settings)
    mave.convert(other, tmp_path / "converted.fifu", src_format=fmt)
    mave.quantize(tmp_path / "converted.fifu", tmp_path / "b.fifu", **settings)
    assert (tmp_path / "a.fifu").read_bytes() == (tmp_path / "b.fifu").read_bytes()
    assert sorted(os.listdir(tmp_path)) == sorted(["a.fifu", "b.fifu", "converted.fifu", name])
    with pytest.raises(ValueError, match="unknown src_format 'gloVe'"):
        mave.quantize(other, tmp_path / "c.fifu", src_format="gloVe")


def test_the_command_line(converted_models, tmp_path):
    src, dst = converted_models["demo-skipgram"], tmp_path / "q.fifu"
    command = [sys.executable, "-m", "mave", "quantize"]
    done = subprocess.run(
        command
        + [
            src,
            str(dst),
            "--bits",
            "4",
            "--sample",
            "1000",
            "--iterations",
            "3",
            "--no-opq",
            "--threads",
            "1",
            "-q",
        ],
        capture_output=True,
        text=True,
        env=child_environment(),
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == "" and done.stdout == ""
    q = mave.load(dst)
    assert q.metadata["quantizer"]["bits"] == 4 and q.metadata["quantizer"]["method"] == "pq"
    bad = subprocess.run(
        command + [src, str(tmp_path / "r.fifu"), "--subquantizers", "7"],
        capture_output=True,
        text=True,
        env=child_environment(),
    )
    assert bad.returncode == 1 and bad.stderr.startswith("mave: error: ")
    assert len(bad.stderr.splitlines()) == 1 and "7" in bad.stderr
    usage = subprocess.run(
        command + [src, str(tmp_path / "r.fifu"), "--bits", "zero"],
        capture_output=True,
        text=True,
        env=child_environment(),
    )
    assert usage.returncode == 2 and "invalid positive value" in usage.stderr
    helped = subprocess.run(command + ["--help"], capture_output=True, text=True, env=child_environment())
    assert helped.returncode == 0 and "example:" in helped.stdout
    assert not (tmp_path / "r.fifu").exists()


def test_sources_that_cannot_be_read(tmp_path):
    text = tmp_path / "notes.txt"
    text.write_text("not embeddings\n")
    with pytest.raises(mave.FormatError) as raised:
        mave.quantize(text, tmp_path / "q.fifu")
    assert raised.value.filename == str(text)
    with pytest.raises(FileNotFoundError):
        mave.quantize(tmp_path / "missing.fifu", tmp_path / "q.fifu")
    assert sorted(os.listdir(tmp_path)) == ["notes.txt"]


def test_destination_appears_whole_or_not_at_all(fixture_dir, tmp_path):
    src = fixture_dir["fasttext-dense-meta"]
    with pytest.raises(FileNotFoundError) as raised:
        mave.quantize(src, tmp_path / "missing" / "q.fifu", bits=2)
    assert raised.value.filename == str(tmp_path / "missing" / "q.fifu")
    # An existing file is replaced by rename: a model that has it loaded keeps
    # reading the old contents.
    dst = tmp_path / "q.fifu"
    mave.quantize(src, dst, bits=2, opq=False)
    old = mave.load(dst)
    before = old.reconstruct()
    mave.quantize(src, dst, bits=3, opq=True)
    assert np.array_equal(old.reconstruct(), before)
    assert mave.load(dst).metadata["quantizer"]["bits"] == 3
    assert os.listdir(tmp_path) == ["q.fifu"]


def test_missing_faiss_names_the_extra(run_python, fixture_dir):
    result = run_python(f"""
        import sys
        sys.modules["faiss"] = None
        import mave
        try:
            mave.quantize({fixture_dir["simple-dense"]!r}, "/nonexistent/q.fifu")
        except ImportError as e:
            print(e)
    """)
    assert result.stdout.strip() == (
        "mave.quantize needs faiss, which is not installed: pip install mave[quantize]"
    )


def chunk_starts(data):
    """Offset of each chunk after the header, by identifier."""
    (count,) = struct.unpack_from("<I", data, 8)
    offset, starts = 12 + 4 * count, {}
    while offset < len(data):
        identifier, length = struct.unpack_from("<IQ", data, offset)
        starts[identifier] = offset
        offset += 12 + length
    return starts


def test_written_files_hold_up_when_cut_or_corrupted(converted_models, fixture_dir, tmp_path):
    """Every byte cut, and every field of the quantized chunk set to 0, 0xFF
    and moved by one: FfModel loads or raises PanicException, lookups too;
    nothing crashes, hangs or allocates beyond what the file holds."""
    dst = tmp_path / "q.fifu"
    mave.quantize(fixture_dir["fasttext-dense-meta"], dst, bits=3, subquantizers=2)
    data = dst.read_bytes()
    start = chunk_starts(data)[fifu.QUANTIZED_ARRAY]
    norms_start = chunk_starts(data)[fifu.ND_NORMS]
    # identifier, length, two flags, three lengths, row count, two types
    fields = (
        [(start, 4), (start + 4, 8)]
        + [(start + 12 + 4 * k, 4) for k in range(5)]
        + [(start + 32, 8), (start + 40, 4), (start + 44, 4)]
    )
    variants = [["truncate", n] for n in range(len(data) + 1)]
    for offset, width in fields:
        for at in range(offset, offset + width):
            for new in {0x00, 0xFF, (data[at] + 1) % 256, (data[at] - 1) % 256} - {data[at]}:
                variants.append(["set", at, new])
    job = {
        "base": str(dst),
        "work": str(tmp_path / "work"),
        "action": "load",
        "variants": variants,
        "progress": str(tmp_path / "progress"),
        "results": str(tmp_path / "results.json"),
        "memory_limit_mb": 512,
    }
    (tmp_path / "job.json").write_text(json.dumps(job))
    env = child_environment()
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":allocator_may_return_null=1:max_allocation_size_mb=512"
    child = subprocess.run(
        [sys.executable, str(HOSTILE_RUNNER), str(tmp_path / "job.json")],
        capture_output=True,
        env=env,
        timeout=600,
    )
    assert child.returncode == 0, child.stderr.decode(errors="replace")[-3000:]
    results = json.loads((tmp_path / "results.json").read_text())
    outcomes = [r[0] for r in results]
    assert {o for o in outcomes} <= {"ok", "panic"}
    assert max(r[2] for r in results) < 2.0
    # Cut before the end of the quantized chunk, a file fails; after, it loads.
    for change, outcome in zip(variants, outcomes):
        if change[0] == "truncate":
            assert outcome == ("ok" if change[1] >= norms_start else "panic"), change
