"""mave.convert and mave.write against real peers: files written by gensim
and the fastText tool are read bit for bit, our exports read back in gensim,
round trips give identical files, and failures leave nothing behind."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import _mave
import mave
from suite import FASTTEXT_DIR, child_environment

gensim_models = pytest.importorskip("gensim.models")
KeyedVectors = gensim_models.KeyedVectors

DIMS = 19  # two blocks of eight and a tail: both parts of the norm's sum order


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)


def unit_rows(m):
    """Each row divided by its L2 norm, the squares summed in the core's order
    (products of elements 8b + k into partial sum k, the partial sums joined
    pairwise, then the tail in order), all in float32; zero rows stay."""
    m = np.asarray(m, dtype=np.float32)
    squares = m * m
    blocks = m.shape[1] // 8
    part = np.zeros((m.shape[0], 8), np.float32)
    for b in range(blocks):
        part = part + squares[:, 8 * b : 8 * b + 8]
    s = ((part[:, 0] + part[:, 4]) + (part[:, 1] + part[:, 5])) + (part[:, 2] + part[:, 6])
    s = s + (part[:, 3] + part[:, 7])
    for j in range(blocks * 8, m.shape[1]):
        s = s + squares[:, j]
    norms = np.sqrt(s, dtype=np.float32)
    safe = np.where(norms == 0, np.float32(1), norms)
    return (m / safe[:, None]).astype(np.float32), norms


def sample(n=300, dims=DIMS, seed=0):
    rng = np.random.default_rng(seed)
    words = [f"w{i}" for i in range(n - 6)] + ["</s>", "grün", "日本語", "😀x", "a-b", "Ünïcödé"]
    matrix = rng.standard_normal((n, dims)).astype(np.float32)
    matrix[3] = 0  # a zero row keeps its values and gets norm 0
    matrix[4] *= 1e-20  # tiny values in the text formats
    return words, matrix


@pytest.fixture(scope="module")
def gensim_files(tmp_path_factory):
    """The sample saved by gensim as word2vec binary and text."""
    root = tmp_path_factory.mktemp("gensim")
    words, matrix = sample()
    kv = KeyedVectors(DIMS)
    kv.add_vectors(words, matrix)
    paths = {"word2vec": root / "sample.bin", "text": root / "sample.vec"}
    kv.save_word2vec_format(str(paths["word2vec"]), binary=True)
    kv.save_word2vec_format(str(paths["text"]), binary=False)
    return words, matrix, paths


def gensim_load(path, binary):
    return KeyedVectors.load_word2vec_format(str(path), binary=binary)


class TestReadingGensimFiles:
    @pytest.mark.parametrize("fmt", ["word2vec", "text"])
    def test_vectors_bit_for_bit_and_normalised_in_the_core_order(self, gensim_files, tmp_path, fmt):
        words, matrix, paths = gensim_files
        assert mave.detect_format(paths[fmt]) == fmt
        raw, unit = tmp_path / "raw.fifu", tmp_path / "unit.fifu"
        mave.convert(paths[fmt], raw, normalize=False)
        mave.convert(paths[fmt], unit)

        e = mave.load(raw)
        assert list(e.words) == words
        assert (e.vocab_kind, e.storage_kind, e.norms, e.metadata) == ("simple", "dense", None, None)
        assert np.array_equal(bits(e.matrix), bits(matrix))

        e = mave.load(unit)
        expected, norms = unit_rows(matrix)
        assert np.array_equal(bits(e.matrix), bits(expected))
        assert np.array_equal(bits(e.norms), bits(norms))
        assert e.norms[3] == 0 and not e.matrix[3].any()
        # Against plain double-precision arithmetic: the norm to 1e-6 relative.
        exact = np.linalg.norm(matrix.astype(np.float64), axis=1)
        assert np.allclose(e.norms, exact, rtol=1e-6, atol=0)

    @pytest.mark.parametrize("fmt", ["word2vec", "text", "glove"])
    def test_exports_read_back_in_gensim(self, gensim_files, tmp_path, fmt):
        words, matrix, paths = gensim_files
        fifu = tmp_path / "raw.fifu"
        mave.convert(paths["word2vec"], fifu, normalize=False)
        out = tmp_path / {"word2vec": "x.bin", "text": "x.vec", "glove": "x.txt"}[fmt]
        mave.convert(fifu, out, normalize=False)
        if fmt == "glove":
            # gensim's no_header reading leaves its file open (a ResourceWarning): read it here.
            lines = [line.split(" ") for line in out.read_text().splitlines()]
            got_words, got = [f[0] for f in lines], np.array([f[1:] for f in lines], np.float32)
        else:
            kv = gensim_load(out, fmt == "word2vec")
            got_words, got = kv.index_to_key, kv.vectors
        assert got_words == words
        assert np.array_equal(bits(got), bits(matrix))


def write_glove(path, words, matrix, *, newline="\n", bom=False, trailing=""):
    lines = [w + " " + " ".join(str(v) for v in row) + trailing for w, row in zip(words, matrix)]
    path.write_bytes((b"\xef\xbb\xbf" if bom else b"") + newline.join(lines).encode() + newline.encode())


class TestGloVeAndText:
    @pytest.mark.parametrize(
        "newline,bom,trailing", [("\n", False, ""), ("\r\n", True, " "), ("\n", False, " \t")]
    )
    def test_glove_lines_read_bit_for_bit(self, tmp_path, newline, bom, trailing):
        words, matrix = sample(50)
        src = tmp_path / "vectors.txt"
        write_glove(src, words, matrix, newline=newline, bom=bom, trailing=trailing)
        assert mave.detect_format(src) == "glove"
        mave.convert(src, tmp_path / "g.fifu", normalize=False)
        e = mave.load(tmp_path / "g.fifu")
        assert list(e.words) == words
        assert np.array_equal(bits(e.matrix), bits(matrix))

    def test_nan_infinities_and_signs_are_carried_as_data(self, tmp_path):
        src = tmp_path / "odd.vec"
        src.write_text("3 4\na nan -inf inf -0\nb +1.5 1e-45 1e-50 -1e-50\nc 1 2 3 4\n")
        mave.convert(src, tmp_path / "odd.fifu", normalize=False)
        m = mave.load(tmp_path / "odd.fifu").matrix
        assert np.isnan(m[0, 0]) and m[0, 1] == -np.inf and m[0, 2] == np.inf
        assert np.signbit(m[0, 3]) and m[0, 3] == 0
        assert m[1, 0] == 1.5 and m[1, 1] == np.float32(1e-45) and m[1, 2] == 0
        assert np.signbit(m[1, 3])
        # Normalised, a row holding NaN or an infinity has a NaN norm (as
        # build_model gives it) and is divided anyway.
        mave.convert(src, tmp_path / "unit.fifu")
        e = mave.load(tmp_path / "unit.fifu")
        assert np.isnan(e.norms[0]) and np.isnan(e.matrix[0]).all()
        assert e.norms[2] == np.float32(np.sqrt(30))

    def test_shortest_text_round_trips_every_float32(self, tmp_path):
        # Values whose shortest decimal form is long, the extremes and subnormals.
        rng = np.random.default_rng(7)
        matrix = rng.integers(0, 2**32, size=(200, 8), dtype=np.uint64).astype(np.uint32).view(np.float32)
        matrix = np.where(np.isfinite(matrix), matrix, np.float32(1.0))
        matrix[0] = [np.finfo(np.float32).max, np.finfo(np.float32).tiny, 1e-45, -1e-45, 0.1, 1 / 3, 0, -0.0]
        words = [f"r{i}" for i in range(200)]
        mave.write(tmp_path / "m.fifu", words, matrix, normalize=False)
        mave.convert(tmp_path / "m.fifu", tmp_path / "m.vec", normalize=False)
        mave.convert(tmp_path / "m.vec", tmp_path / "back.fifu", normalize=False)
        assert (tmp_path / "m.fifu").read_bytes() == (tmp_path / "back.fifu").read_bytes()


@pytest.fixture(scope="module")
def fasttext_vec(tmp_path_factory):
    """A model trained by the fastText tool, with the .vec it writes."""
    tool = shutil.which("fasttext")
    if tool is None:
        pytest.skip("the fastText tool is not installed (scripts/setup installs it)")
    root = tmp_path_factory.mktemp("fasttext")
    subprocess.run(
        [
            tool,
            "skipgram",
            "-input",
            str(FASTTEXT_DIR / "english.txt"),
            "-output",
            str(root / "model"),
            "-dim",
            "12",
            "-epoch",
            "1",
            "-minCount",
            "5",
            "-minn",
            "3",
            "-maxn",
            "5",
            "-bucket",
            "5000",
            "-thread",
            "1",
            "-seed",
            "42",
            "-verbose",
            "0",
        ],
        check=True,
        capture_output=True,
    )
    return root / "model.bin", root / "model.vec"


class TestFastTextTool:
    def test_vec_output_reads_as_gensim_reads_it(self, fasttext_vec, tmp_path):
        _, vec = fasttext_vec
        assert mave.detect_format(vec) == "text"
        mave.convert(vec, tmp_path / "vec.fifu", normalize=False)
        e = mave.load(tmp_path / "vec.fifu")
        kv = gensim_load(vec, False)
        assert list(e.words) == kv.index_to_key and "</s>" in e
        assert np.array_equal(bits(e.matrix), bits(kv.vectors))

    def test_model_converts_to_the_vectors_the_tool_printed(self, fasttext_vec, tmp_path):
        # The tool's .vec holds each word's mean of its own and its subword
        # rows, printed with 5 significant digits; our conversion of the .bin
        # without normalisation computes the same means. Except for "</s>":
        # the tool gives it no subwords, the conversion (as build_model) does.
        model, vec = fasttext_vec
        assert mave.detect_format(model) == "fasttext"
        mave.convert(model, tmp_path / "means.vec", normalize=False)
        ours, theirs = gensim_load(tmp_path / "means.vec", False), gensim_load(vec, False)
        assert ours.index_to_key == theirs.index_to_key and ours.index_to_key[0] == "</s>"
        assert np.allclose(ours.vectors[1:], theirs.vectors[1:], rtol=1e-4, atol=1e-6)
        assert not np.allclose(ours.vectors[0], theirs.vectors[0], rtol=1e-4, atol=1e-6)

    def test_finalfusion_output_equals_build_model(self, fasttext_vec, tmp_path, capfd):
        model, _ = fasttext_vec
        mave.convert(model, tmp_path / "ours.fifu")
        _mave_out = tmp_path / "build_model.fifu"
        _mave.build_model(str(model), str(_mave_out))
        capfd.readouterr()  # its progress lines
        assert (tmp_path / "ours.fifu").read_bytes() == _mave_out.read_bytes()
        # Without normalisation: the same file but the word rows unscaled and no norms.
        mave.convert(model, tmp_path / "raw.fifu", normalize=False)
        raw, unit = mave.load(tmp_path / "raw.fifu"), mave.load(_mave_out)
        assert raw.norms is None and raw.subwords == unit.subwords and raw.metadata == unit.metadata
        n = len(unit)
        assert np.array_equal(bits(unit_rows(raw.matrix[:n])[0]), bits(unit.matrix[:n]))
        assert np.array_equal(bits(raw.matrix[n:]), bits(unit.matrix[n:]))


class TestRoundTrips:
    def test_vec_to_finalfusion_to_word2vec_to_finalfusion(self, gensim_files, tmp_path):
        _, matrix, paths = gensim_files
        for normalize in (False, True):
            a, b, c = (tmp_path / f"{normalize}-{x}" for x in ("a.fifu", "b.bin", "c.fifu"))
            mave.convert(paths["text"], a, normalize=normalize)
            mave.convert(a, b, normalize=normalize)
            mave.convert(b, c, normalize=normalize)
            if not normalize:
                assert a.read_bytes() == c.read_bytes()
                continue
            # Normalised twice: the rows agree within float rounding, and the
            # second file's norms are those of unit rows.
            first, second = mave.load(a), mave.load(c)
            assert np.allclose(first.matrix, second.matrix, rtol=0, atol=2e-7)
            assert np.allclose(second.norms[second.norms > 0], 1, atol=1e-6)

    def test_finalfusion_with_norms_exports_original_vectors(self, gensim_files, tmp_path):
        words, matrix, paths = gensim_files
        mave.convert(paths["word2vec"], tmp_path / "unit.fifu")
        mave.convert(tmp_path / "unit.fifu", tmp_path / "orig.bin", normalize=False)
        mave.convert(tmp_path / "unit.fifu", tmp_path / "unit.bin")
        unit, norms = unit_rows(matrix)
        orig = gensim_load(tmp_path / "orig.bin", True).vectors
        assert np.array_equal(bits(orig), bits(unit * norms[:, None]))
        assert np.allclose(orig, matrix, rtol=1e-6, atol=1e-30)
        assert np.array_equal(bits(gensim_load(tmp_path / "unit.bin", True).vectors), bits(unit))

    @pytest.mark.parametrize(
        "name", ["fasttext-dense-meta", "simple-quantized", "floret-dense-meta", "simple-dense-meta-norms"]
    )
    def test_finalfusion_to_finalfusion_keeps_vocabulary_and_lookups(self, fixture_dir, tmp_path, name):
        src = mave.load(fixture_dir[name])
        mave.convert(fixture_dir[name], tmp_path / "copy.fifu", normalize=src.norms is not None)
        copy = mave.load(tmp_path / "copy.fifu")
        assert (copy.vocab_kind, copy.subwords, copy.metadata) == (src.vocab_kind, src.subwords, src.metadata)
        assert copy.storage_kind == "dense"
        queries = list(src.words) + ["Hausbaum", "zzz", "grün"]
        a, found_a = src.embed(queries)
        b, found_b = copy.embed(queries)
        assert np.array_equal(found_a, found_b) and np.array_equal(bits(a[found_a]), bits(b[found_b]))


class TestWrite:
    def test_rows_norms_and_metadata(self, tmp_path):
        words, matrix = sample(40)
        as_double = matrix.astype(np.float64)
        before = as_double.copy()
        mave.write(tmp_path / "n.fifu", words, as_double, metadata={"source": "test", "epoch": 5, "lr": 0.5})
        assert np.array_equal(as_double, before)
        e = mave.load(tmp_path / "n.fifu")
        unit, norms = unit_rows(matrix)
        assert list(e.words) == words and e.metadata == {"source": "test", "epoch": 5, "lr": 0.5}
        assert np.array_equal(bits(e.matrix), bits(unit)) and np.array_equal(bits(e.norms), bits(norms))

        mave.write(
            tmp_path / "raw.fifu",
            iter(words),
            matrix[:, ::-1],
            normalize=False,
            norms=norms,
            metadata='[training]\nepochs = 3\n',
        )
        e = mave.load(tmp_path / "raw.fifu")
        assert np.array_equal(bits(e.matrix), bits(matrix[:, ::-1]))
        assert np.array_equal(bits(e.norms), bits(norms)) and e.metadata == {"training": {"epochs": 3}}

    def test_write_equals_conversion_of_the_same_vectors(self, gensim_files, tmp_path):
        words, matrix, paths = gensim_files
        mave.write(tmp_path / "w.fifu", words, matrix)
        mave.convert(paths["word2vec"], tmp_path / "c.fifu")
        assert (tmp_path / "w.fifu").read_bytes() == (tmp_path / "c.fifu").read_bytes()

    @pytest.mark.parametrize(
        "call,error,message",
        [
            (
                lambda p: mave.write(p, ["a", "b", "a"], np.ones((3, 2))),
                ValueError,
                "words repeat 'a' (at 0 and 2)",
            ),
            (lambda p: mave.write(p, ["a", 1], np.ones((2, 2))), TypeError, "words[1] must be str, not int"),
            (lambda p: mave.write(p, ["a"], np.ones((2, 2))), ValueError, "1 words but 2 matrix rows"),
            (lambda p: mave.write(p, ["a"], np.ones(2)), ValueError, "matrix must be 2-D, not 1-D"),
            (lambda p: mave.write(p, ["a"], [["x"]]), TypeError, "matrix must hold real numbers, not <U1"),
            (
                lambda p: mave.write(p, ["a"], np.ones((1, 2)), norms=[1.0]),
                ValueError,
                "norms are computed when normalize=True; pass normalize=False to write your own",
            ),
            (
                lambda p: mave.write(p, ["a"], np.ones((1, 2)), metadata={"x": True}),
                TypeError,
                "metadata value of 'x' must be int, float or str (or pass TOML text), not bool",
            ),
            (
                lambda p: mave.write(p, ["a"], np.ones((1, 2)), metadata="x ="),
                ValueError,
                "metadata is not TOML",
            ),
            (
                lambda p: mave.write(p, ["a"], np.ones((1, 2)), metadata={"x": 2**63}),
                ValueError,
                "metadata value of 'x' does not fit a TOML integer",
            ),
            (
                lambda p: mave.write(p, ["a"], np.ones((1, 2)), metadata={1: 2}),
                TypeError,
                "metadata keys must be str, not int",
            ),
            (
                lambda p: mave.write(p, ["a"], np.ones((1, 2)), metadata=[("x", 1)]),
                TypeError,
                "metadata must be a mapping or TOML text, not list",
            ),
            (
                lambda p: mave.write(p, ["a"], np.ones((1, 2)), metadata=5),
                TypeError,
                "metadata must be a mapping or TOML text, not int",
            ),
            (
                lambda p: mave.write(p, ["\ud800"], np.ones((1, 2))),
                UnicodeEncodeError,
                "surrogates not allowed",
            ),
        ],
    )
    def test_refusals_leave_no_file(self, tmp_path, call, error, message):
        with pytest.raises(error) as info:
            call(tmp_path / "out.fifu")
        assert str(info.value).startswith(message) or message in str(info.value)
        assert os.listdir(tmp_path) == []


def test_metadata_values_convert_alike_for_write_and_quantize(converted_models, tmp_path):
    # One conversion serves mave.write's metadata and mave.quantize's
    # settings: a bool is refused by both (TOML has booleans; writing True
    # as 1 would change the value's type).
    from mave import _native

    e = mave.load(converted_models["demo-skipgram"])
    for settings in ({"x": True}, {"a": 1, "x": False}):
        with pytest.raises(TypeError, match="metadata value of 'x' must be int, float or str"):
            _native._write_quantized(
                e,
                tmp_path / "q.fifu",
                settings,
                np.zeros((1, 1, e.dims), np.float32),
                None,
                None,
                np.zeros((e.matrix.shape[0], 1), np.uint8),
                None,
            )
    values = {"i": -(2**63), "f": 0.25, "s": "täxt"}
    mave.write(tmp_path / "m.fifu", ["a"], np.ones((1, 2)), metadata=values)
    assert mave.load(tmp_path / "m.fifu").metadata == values
    assert os.listdir(tmp_path) == ["m.fifu"]


# Every kind of TOML value, nested every way a table can be written.
RICH_METADATA = """\
title = "tëst"
"quoted key" = 1
lr = 0.05
tiny = 5e-324
huge = 1.7976931348623157e308
third = 0.1e-2
whole = 100.0
signed = -0.0
special = [nan, -nan, inf, -inf]
ints = [0xff, 0o17, 0b101, -9223372036854775808, 9223372036854775807]
yes = true
when = 1979-05-27T07:32:00.999999999-07:00
utc = 1979-05-27T07:32:00Z
zero_offset = 1979-05-27T07:32:00+00:00
local = 1979-05-27T07:32:00.5
day = 1979-05-27
clock = 07:32:00.1234567
inline = { b = 2.5, a = { y = [1, 2], x = "i" } }
mixed = [1, [2.5, "x"], { k = 1 }]
inline_tables = [{ z = 1, a = 2 }, { m = 3 }]
[training]
epochs = 5
loss = 0.25
[training.schedule]
warmup = 0.1
[empty]
[[runs]]
seed = 1
score = 0.75
[runs.extra]
note = "first"
[[runs]]
seed = 2
"""


def typed(value, ordered=True):
    """A value with the type of every part spelled out, so that equality
    also compares types (1 == 1.0 == True), NaNs (by their text) and, when
    `ordered`, the order of keys."""
    if isinstance(value, dict):
        items = [(k, typed(v, ordered)) for k, v in value.items()]
        return ("dict", items if ordered else sorted(items))
    if isinstance(value, list):
        return ("list", [typed(v, ordered) for v in value])
    if isinstance(value, float):
        return ("float", repr(value))
    return (type(value).__name__, value, getattr(value, "tzinfo", None))


def metadata_text(path):
    """The TOML text of a finalfusion file's metadata chunk, as stored."""
    data = Path(path).read_bytes()
    n_chunks = int.from_bytes(data[8:12], "little")
    at = 12 + 4 * n_chunks
    assert int.from_bytes(data[at : at + 4], "little") == 5, "no metadata chunk first"
    length = int.from_bytes(data[at + 4 : at + 12], "little")
    return data[at + 12 : at + 12 + length].decode("utf-8")


def test_metadata_is_the_table_tomllib_reads(fixture_dir, converted_models, tmp_path):
    # The dict is built from the table the core parsed: the values and types
    # tomllib gives for the file's text, and the key order of that text as
    # the core writes it.
    import tomllib

    rich = tmp_path / "rich.fifu"
    mave.write(rich, ["a"], np.ones((1, 2)), metadata=RICH_METADATA)
    paths = [
        fixture_dir[n]
        for n in (
            "simple-dense-meta-norms",
            "fasttext-dense-meta",
            "floret-dense-meta",
            "explicit-quantized-norms-meta",
        )
    ]
    paths += [converted_models["cbow-en"], str(rich)]
    for path in paths:
        e = mave.load(path)
        stored = tomllib.loads(metadata_text(path))
        assert typed(e.metadata, ordered=False) == typed(stored, ordered=False), path
        copy = tmp_path / "copy.fifu"
        mave.convert(path, copy)
        assert typed(e.metadata) == typed(tomllib.loads(metadata_text(copy))), path
        assert e.metadata is not e.metadata  # a new dict each time
    got = mave.load(rich).metadata
    assert got["clock"].microsecond == 123456 and got["when"].utcoffset().total_seconds() == -7 * 3600
    assert got["utc"].tzinfo is got["zero_offset"].tzinfo
    assert list(got)[-3:] == ["empty", "training", "runs"]  # sections after the values


CXX_RUNTIME_CHILD = """
import pickle, sys
if sys.argv[1] == "usearch":
    import usearch.index  # a module with a C++ runtime of its own, loaded first
import numpy as np
import mave
out, paths = sys.argv[2], sys.argv[3:]
metadata = [mave.load(p).metadata for p in paths]
for i, p in enumerate(paths):
    mave.convert(p, f"{out}/copy{i}.fifu")
mave.write(f"{out}/written.fifu", ["a"], np.ones((1, 2)), metadata={"lr": 0.05, "tiny": 5e-324})
with open(f"{out}/metadata.pickle", "wb") as f:
    pickle.dump(metadata, f)
"""


def test_metadata_reads_and_writes_alike_whatever_the_process_imported(
    fixture_dir, converted_models, tmp_path
):
    # usearch carries its own C++ runtime, whose stream facets took over
    # those of ours: floats then neither parsed nor printed. Reading and
    # writing must not depend on what else the process holds.
    import pickle

    pytest.importorskip("usearch")
    rich = tmp_path / "rich.fifu"
    mave.write(rich, ["a"], np.ones((1, 2)), metadata=RICH_METADATA)
    paths = [fixture_dir["fasttext-dense-meta"], converted_models["cbow-en"], str(rich)]
    outputs = {}
    for first in ("nothing", "usearch"):
        out = tmp_path / first
        out.mkdir()
        child = subprocess.run(
            [sys.executable, "-c", CXX_RUNTIME_CHILD, first, str(out), *paths],
            env=child_environment(),
            capture_output=True,
            timeout=300,
        )
        assert child.returncode == 0, child.stderr.decode(errors="replace")[-3000:]
        with open(out / "metadata.pickle", "rb") as f:
            metadata = pickle.load(f)
        assert [typed(m) for m in metadata] == [typed(mave.load(p).metadata) for p in paths]
        outputs[first] = {f.name: f.read_bytes() for f in out.glob("*.fifu")}
    assert outputs["usearch"] == outputs["nothing"] and len(outputs["nothing"]) == len(paths) + 1
    assert b"lr = 0.050000000000000003\ntiny = 4.9406564584124654e-324" in outputs["nothing"]["written.fifu"]


class TestFailures:
    @pytest.mark.parametrize(
        "text,fmt,reason",
        [
            ("2 3\na 1 2 3\nb 1 2\n", "text", 'line 3: word "b" has 2 values, expected 3'),
            ("2 3\na 1 2 3\nb 1 2 3 4\n", "text", 'line 3: word "b" has more than 3 values, expected 3'),
            ("2 3\na 1 2 3\na 4 5 6\n", "text", 'line 3: word "a" repeats the word of line 2'),
            ("2 3\na 1 2 3\nb 1 x 3\n", "text", 'line 3: word "b": value 2 "x" is not a float32 number'),
            (
                "2 3\na 1 2 3\nb 1 1e39 3\n",
                "text",
                'line 3: word "b": value 2 "1e39" is not a float32 number',
            ),
            (
                "3 1\na 1.5\nb 2.5\n",
                "text",
                "line 4: the file ends after 2 of the 3 words the header announces",
            ),
            ("1 3\na 1 2 3\nb 1 2 3\n", "text", "line 3: more words than the 1 the header announces"),
            ("2 3\na 1 2 3\n\nb 1 2 3\n", "text", "line 3: an empty line"),
            (
                "1000 3\na 1 2 3\n",
                "text",
                "line 1: the header announces 1000 words of 3 values, more than the 8 bytes after it can hold",
            ),
            ("a 1 2\nb 1 2 3\n", "glove", 'line 2: word "b" has more than 2 values, expected 2'),
            (
                b"a 1 2\n\xff 1 2\n",
                "glove",
                'line 2: word "\ufffd" is not valid UTF-8 (a bad byte sequence ' "at index 0)",
            ),
            ("a\n", "glove", 'line 1: word "a" has no values'),
        ],
    )
    def test_bad_text_names_file_line_and_word(self, tmp_path, text, fmt, reason):
        src = tmp_path / "bad.vec"
        src.write_bytes(text if isinstance(text, bytes) else text.encode())
        dst = tmp_path / "out.fifu"
        with pytest.raises(mave.FormatError) as info:
            mave.convert(src, dst, src_format=fmt)
        assert (info.value.filename, info.value.reason) == (str(src), reason)
        assert str(info.value) == f"{src}: {reason}"
        assert os.listdir(tmp_path) == ["bad.vec"]

    def binary(self, header, rows, newline=b""):
        return header + b"".join(w + b" " + np.asarray(v, np.float32).tobytes() + newline for w, v in rows)

    @pytest.mark.parametrize(
        "make,reason",
        [
            (
                lambda b: b(b"2 2\n", [(b"a", [1, 2]), (b"a", [3, 4])]),
                'byte 14: word "a" repeats the word at byte 4',
            ),
            (
                lambda b: b(b"2 2\n", [(b"a", [1, 2]), (b"a", [3, 4])], b"\n"),
                'byte 15: word "a" repeats the word at byte 4',
            ),  # the word starts after the newline
            (
                lambda b: b(b"2 1\n", [(b"a", [1])]) + b"bbbb 12",
                'byte 10: the file ends inside the vector of word "bbbb"',
            ),
            (
                lambda b: b(b"2 1\n", [(b"a", [1])]) + b"bcdefgh",
                'byte 10: the file ends inside word "bcdefgh", 2 of 2',
            ),
            (
                lambda b: b(b"1 2\n", [(b"a", [1, 2])]) + b"xy",
                "byte 14: data after the last of the 1 words the header announces",
            ),
            (
                lambda b: b(b"1 2\n", [(b"\xc3", [1, 2])]),
                'byte 4: word "\ufffd" is not valid UTF-8 (a sequence cut short at index 0)',
            ),
            (
                lambda b: b"5 1000000\n" + b"a " * 10,
                "line 1: the header announces 5 words of 1000000 values, more than the 20 bytes after it can hold",
            ),
            (
                lambda b: b"18446744073709551615 1\n",
                "line 1: the header announces 18446744073709551615 words of 1 "
                "values, more than the 0 bytes after it can hold",
            ),
            (
                lambda b: b"1 x\n",
                'line 1: expected a header of two numbers, the count of words and of '
                'dimensions, found "1 x"',
            ),
        ],
    )
    def test_bad_binary_names_file_offset_and_word(self, tmp_path, make, reason):
        src = tmp_path / "bad.bin"
        src.write_bytes(make(self.binary))
        with pytest.raises(mave.FormatError) as info:
            mave.convert(src, tmp_path / "out.fifu", src_format="word2vec")
        assert info.value.reason == reason
        assert os.listdir(tmp_path) == ["bad.bin"]

    def test_failed_conversion_keeps_the_existing_output(self, tmp_path):
        dst = tmp_path / "out.fifu"
        dst.write_bytes(b"previous")
        (tmp_path / "bad.vec").write_text("1 2\na 1\n")
        with pytest.raises(mave.FormatError):
            mave.convert(tmp_path / "bad.vec", dst)
        assert dst.read_bytes() == b"previous" and sorted(os.listdir(tmp_path)) == ["bad.vec", "out.fifu"]

    def test_words_the_export_format_cannot_hold(self, tmp_path):
        mave.write(tmp_path / "s.fifu", ["New York", "b"], np.ones((2, 2)))
        for out in ("x.bin", "x.vec", "x.txt"):
            with pytest.raises(mave.FormatError) as info:
                mave.convert(tmp_path / "s.fifu", tmp_path / out)
            assert (
                info.value.reason
                == 'word "New York" holds a space or line end, which this format cannot hold'
            )
        assert os.listdir(tmp_path) == ["s.fifu"]

    def test_missing_input_and_output_directory_are_os_errors(self, tmp_path, gensim_files):
        with pytest.raises(FileNotFoundError) as info:
            mave.convert(tmp_path / "missing.bin", tmp_path / "x.fifu", src_format="word2vec")
        assert info.value.filename == str(tmp_path / "missing.bin")
        with pytest.raises(FileNotFoundError) as info:
            mave.convert(gensim_files[2]["text"], tmp_path / "no" / "x.fifu")
        assert info.value.filename == str(tmp_path / "no" / "x.fifu")

    @pytest.mark.parametrize(
        "content,message",
        [
            (b"", "the file is empty"),
            (b"0 300\n", "a word2vec header of zero words reads the same in binary and text"),
            (
                b"hello world\n",
                "the first bytes are not those of finalfusion, fastText, word2vec, text or GloVe embeddings",
            ),
        ],
    )
    def test_undetectable_input_names_the_option(self, tmp_path, content, message):
        (tmp_path / "in").write_bytes(content)
        with pytest.raises(mave.FormatError) as info:
            mave.convert(tmp_path / "in", tmp_path / "out.fifu")
        assert info.value.reason == (
            f"{message}; name the format with --from on the command line "
            "(src_format= in Python): finalfusion, fasttext, word2vec, text, glove, floret, "
            "parquet"
        )

    def test_output_format_from_extension_or_named(self, tmp_path, gensim_files):
        src = gensim_files[2]["text"]
        with pytest.raises(ValueError, match=r"from its extension .*--to on the command line \(dst_format="):
            mave.convert(src, tmp_path / "out.data")
        with pytest.raises(
            ValueError,
            match="dst_format must be one of finalfusion, word2vec, text, glove, floret, parquet, model2vec, not 'fasttext'",
        ):
            mave.convert(src, tmp_path / "out.bin", dst_format="fasttext")
        mave.convert(src, tmp_path / "out.data", dst_format="word2vec")
        assert mave.detect_format(tmp_path / "out.data") == "word2vec"


class TestProgressAndInterruption:
    def test_progress_reports_phases_up_to_the_total(self, gensim_files, tmp_path):
        calls = []
        mave.convert(gensim_files[2]["text"], tmp_path / "p.fifu", progress=lambda *a: calls.append(a))
        size = os.path.getsize(gensim_files[2]["text"])
        assert [c[0] for c in calls] == sorted(c[0] for c in calls)  # read first, then write
        assert ("read", size, size) in calls and calls[-1] == ("write", 300, 300)

    def test_an_exception_in_the_callback_stops_and_cleans_up(self, gensim_files, tmp_path):
        def stop(phase, done, total):
            if phase == "write":
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            mave.convert(gensim_files[2]["word2vec"], tmp_path / "p.fifu", progress=stop)
        assert os.listdir(tmp_path) == []

    def test_other_threads_run_during_a_conversion(self, tmp_path, run_python):
        # The interpreter lock is released: a thread counting meanwhile advances.
        result = run_python(f"""
            import threading, numpy as np, mave
            words = [f"w{{i}}" for i in range(200_000)]
            mave.write({str(tmp_path / 'big.fifu')!r}, words, np.ones((200_000, 50), np.float32))
            count, done = 0, False
            def spin():
                global count
                while not done:
                    count += 1
            t = threading.Thread(target=spin); t.start()
            before = count
            mave.convert({str(tmp_path / 'big.fifu')!r}, {str(tmp_path / 'big.vec')!r})
            during = count - before
            done = True; t.join()
            print(during)
        """)
        assert int(result.stdout) > 1000
