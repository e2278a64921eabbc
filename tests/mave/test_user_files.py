"""Files as users download them, through mave.convert, mave.quantize and the
command line: compressed copies of files gensim and the fastText tool wrote,
words cut inside multibyte characters against gensim's unicode_errors, a
fastText model from before the magic number against gensim, floret models
against floret's own vectors; damaged archives fail as FormatError naming
the file and leave no output."""

import shutil
import subprocess
import sys
import warnings
import zipfile

import numpy as np
import pytest

import mave
from suite import DATA_DIR, FASTTEXT_DIR

COMPRESSED = DATA_DIR / "compressed"
UTF8 = DATA_DIR / "utf8"
FLORET = DATA_DIR / "floret"
SUFFIXES = [".gz", ".bz2", ".xz", ".zip"]


def arrays(path):
    """The arrays of an .npz file, the file closed."""
    with np.load(path) as z:
        return {name: z[name] for name in z.files}


def matrix(path, words):
    e = mave.load(path)
    return np.stack([e[w] for w in words])


def unit(m):
    m = np.asarray(m, dtype=np.float64)
    return m / np.linalg.norm(m, axis=-1, keepdims=True)


@pytest.mark.parametrize("suffix", SUFFIXES)
@pytest.mark.parametrize("name", ["cbow-en.vec", "cbow-en.w2v", "tiny-skipgram.bin"])
def test_compressed_copies_convert_as_the_files(tmp_path, name, suffix):
    plain_source = COMPRESSED / "cbow-en.vec" if name != "tiny-skipgram.bin" else COMPRESSED / name
    plain, packed = tmp_path / "plain.fifu", tmp_path / "packed.fifu"
    mave.convert(plain_source, plain, normalize=False)
    # The format comes from the decompressed bytes, whatever the name says.
    renamed = tmp_path / ("input" + suffix)
    shutil.copyfile(COMPRESSED / (name + suffix), renamed)
    assert mave.detect_format(renamed) == {"cbow-en.vec": "text", "cbow-en.w2v": "word2vec"}.get(
        name, "fasttext"
    )
    seen = []
    mave.convert(
        renamed,
        packed,
        normalize=False,
        progress=lambda phase, done, total: seen.append((phase, done, total)),
    )
    a, b = mave.load(plain), mave.load(packed)
    assert list(a.words) == list(b.words)
    assert np.array_equal(matrix(plain, a.words), matrix(packed, b.words))
    reads = [(done, total) for phase, done, total in seen if phase == "read"]
    if name != "tiny-skipgram.bin":
        # Progress counts compressed bytes, up to the archive's size.
        assert reads[-1] == (renamed.stat().st_size, renamed.stat().st_size)


def test_zip_members_by_name_on_the_command_line(tmp_path):
    out = tmp_path / "glove.fifu"
    cli = [sys.executable, "-m", "mave", "convert", "-q", str(COMPRESSED / "glove.zip"), str(out)]
    r = subprocess.run(cli, capture_output=True, text=True)
    assert r.returncode == 1 and "2 files" in r.stderr and "glove.16d.txt" in r.stderr, r.stderr
    assert not out.exists()
    r = subprocess.run(
        cli + ["--member", "glove.16d.txt", "--limit", "100", "--no-normalize"],
        capture_output=True,
        text=True,
    )
    assert r.returncode == 0, r.stderr
    e = mave.load(out)
    plain = tmp_path / "plain.fifu"
    mave.convert(COMPRESSED / "cbow-en.vec", plain, normalize=False, limit=100)
    assert list(e.words) == list(mave.load(plain).words)[:100] and len(e.words) == 100
    assert np.array_equal(matrix(out, e.words), matrix(plain, e.words))


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_cut_and_flipped_archives_fail_naming_the_file(tmp_path, suffix):
    data = (COMPRESSED / ("small.vec" + suffix)).read_bytes()
    src, dst = tmp_path / ("small.vec" + suffix), tmp_path / "out.fifu"
    broken = [data[:n] for n in range(6, len(data), 7)]
    broken += [
        data[:i] + bytes([data[i] ^ 0x5A]) + data[i + 1 :] for i in range(len(data) // 2, len(data), 5)
    ]
    failures = 0
    for bad in broken:
        src.write_bytes(bad)
        try:
            mave.convert(src, dst, src_format="text")
        except mave.FormatError as e:
            failures += 1
            assert e.filename == str(src)
            assert str(e).startswith(str(src))
            assert not dst.exists()
        else:
            dst.unlink()
    assert failures >= len(broken) * 3 // 4


@pytest.mark.parametrize("suffix", SUFFIXES)
@pytest.mark.parametrize("damage", ["cut", "flipped"])
def test_damaged_archives_fail_as_format_errors_when_their_format_is_told(tmp_path, suffix, damage):
    # Telling the format reads the file's head through the core's
    # decompressors, as the conversion does: every failure is a FormatError
    # naming the file, and one the decompressor found says how far into
    # the compressed file it had read.
    data = (COMPRESSED / ("small.vec" + suffix)).read_bytes()
    src, dst = tmp_path / ("small.vec" + suffix), tmp_path / "out.fifu"
    src.write_bytes(data)
    assert mave.detect_format(src) == "text"
    if damage == "cut":
        broken = [data[:n] for n in range(6, len(data), 5)]
    else:
        broken = [data[:i] + bytes([data[i] ^ 0x5A]) + data[i + 1 :] for i in range(0, len(data), 3)]
    failures = 0
    for bad in broken:
        src.write_bytes(bad)
        for call in (lambda: mave.detect_format(src), lambda: mave.convert(src, dst)):
            try:
                call()
            except mave.FormatError as e:
                failures += 1
                assert e.filename == str(src) and str(e).startswith(f"{src}: "), str(e)
                assert not dst.exists()
                if "compressed data" in e.reason and not e.reason.startswith(
                    "the compressed data is damaged (zip:"
                ):
                    assert e.offset is not None and e.reason.startswith(f"byte {e.offset}: "), e.reason
                    assert 0 < e.offset <= len(bad)
            else:
                dst.unlink(missing_ok=True)
    # A cut archive always fails; most flips are found (not those in a
    # header's time stamp or name).
    assert failures == 2 * len(broken) if damage == "cut" else failures >= len(broken) * 3 // 2


@pytest.mark.parametrize("ext,binary", [("vec", False), ("bin", True)])
@pytest.mark.parametrize("errors", ["replace", "ignore"])
def test_cut_words_read_as_gensim_reads_them(tmp_path, ext, binary, errors):
    ref = arrays(UTF8 / "cut-words.gensim.npz")
    out = tmp_path / "out.fifu"
    assert (
        mave.convert(
            UTF8 / f"cut-words.{ext}",
            out,
            errors=errors,
            normalize=False,
            src_format="word2vec" if binary else "text",
        )
        == 0
    )
    e = mave.load(out)
    words = list(ref[f"{ext}_{errors}_words"])
    assert list(e.words) == words
    assert np.array_equal(matrix(out, words), ref[f"{ext}_{errors}_vectors"])
    # And gensim itself, now, agrees with the committed reference.
    keyed_vectors = pytest.importorskip("gensim.models").KeyedVectors
    kv = keyed_vectors.load_word2vec_format(UTF8 / f"cut-words.{ext}", binary=binary, unicode_errors=errors)
    assert kv.index_to_key == words


@pytest.mark.parametrize("errors", ["replace", "ignore"])
def test_fasttext_words_that_are_not_utf8(tmp_path, errors):
    # The model's dictionary holds words cut inside a character; each row
    # keeps fastText's own vector of its entry under the decoded name.
    ref = arrays(UTF8 / "cut-words-fasttext.npz")
    model = UTF8 / "cut-words-fasttext.bin"
    with pytest.raises(mave.FormatError, match="not valid UTF-8"):
        mave.convert(model, tmp_path / "strict.fifu")
    expected = {}
    for raw, vector in zip(ref["words"], ref["vectors"]):
        word = bytes(raw).decode("utf-8", errors)
        if word and word not in expected:
            expected[word] = vector
    assert any(bytes(raw).decode("utf-8", "replace").encode() != bytes(raw) for raw in ref["words"])
    out = tmp_path / f"{errors}.fifu"
    assert mave.convert(model, out, errors=errors, normalize=False) == len(ref["words"]) - len(expected)
    assert list(mave.load(out).words) == list(expected)
    # fastText prints its vectors with 5 significant digits.
    np.testing.assert_allclose(
        matrix(out, list(expected)), np.stack(list(expected.values())), rtol=1e-4, atol=1e-5
    )


def test_strict_refuses_cut_words_and_repeats_are_dropped_with_a_warning(tmp_path):
    out = tmp_path / "out.fifu"
    with pytest.raises(mave.FormatError, match="is not valid UTF-8"):
        mave.convert(UTF8 / "cut-words.vec", out)
    assert not out.exists()
    with pytest.warns(UserWarning, match="5 words were dropped"):
        assert mave.convert(UTF8 / "cut-collide.vec", out, errors="ignore") == 5
    assert list(mave.load(out).words) == ["abc", "stra", "ok€x", "z", "straß", "last"]
    # The output says what was left out; mave info shows it.
    assert mave.load(out).metadata == {"conversion": {"dropped_words": 5, "errors": "ignore"}}
    info = subprocess.run(
        [sys.executable, "-m", "mave", "info", str(out)], capture_output=True, text=True, check=True
    ).stdout
    assert '"dropped_words": 5' in info, info
    # Nothing dropped: no table (files are as they always were).
    mave.convert(UTF8 / "cut-words.vec", out, errors="replace")
    assert mave.load(out).metadata is None


@pytest.mark.parametrize(
    "options,src_format,error,message",
    [
        (
            {"errors": "surrogateescape"},
            None,
            ValueError,
            "errors must be one of strict, replace, ignore, not 'surrogateescape'",
        ),
        ({"errors": None}, None, TypeError, "errors must be str, not NoneType"),
        ({"limit": 2.0}, None, TypeError, "limit must be int or None, not float"),
        ({"limit": True}, None, TypeError, "limit must be int or None, not bool"),
        ({"limit": -1}, "text", ValueError, "limit must be at least 0, not -1"),
        (
            {"limit": 2},
            "finalfusion",
            ValueError,
            "limit= reads the first words of word2vec, text, GloVe and fastText input, not of finalfusion input",
        ),
        ({"member": 3}, None, TypeError, "member must be str or None, not int"),
        ({"member": 3}, "text", TypeError, "member must be str or None, not int"),
    ],
)
def test_reading_options_are_checked_once_with_one_wording(tmp_path, options, src_format, error, message):
    # Checked once, in mave.convert, whether the format is told or named.
    src = UTF8 / "cut-collide.vec"
    if src_format == "finalfusion":
        src = tmp_path / "in.fifu"
        mave.convert(UTF8 / "cut-words.vec", src, errors="replace")
    out = tmp_path / "out.fifu"
    with pytest.raises(error) as info:
        mave.convert(src, out, src_format=src_format, **options)
    assert str(info.value) == message
    assert not out.exists()


def test_fasttext_without_magic_converts_to_gensims_vectors(tmp_path):
    ref = arrays(FASTTEXT_DIR / "cbow-en-old.gensim.npz")
    out = tmp_path / "old.fifu"
    mave.convert(FASTTEXT_DIR / "cbow-en-old.bin", out, src_format="fasttext", normalize=False)
    e = mave.load(out)
    words = list(ref["words"])
    assert np.abs(matrix(out, words) - ref["vectors"]).max() < 1e-6
    oov = list(ref["oov_words"])
    assert np.abs(unit(matrix(out, oov)) - unit(ref["oov_vectors"])).max() < 1e-6
    # The same model with its header converts to the same file contents.
    current = tmp_path / "current.fifu"
    mave.convert(FASTTEXT_DIR / "cbow-en.bin", current, normalize=False)
    assert np.array_equal(matrix(out, words + oov), matrix(current, words + oov))
    assert e.subwords == mave.load(current).subwords


@pytest.mark.parametrize("name", ["floret-cbow", "floret-skipgram"])
def test_floret_models_give_florets_vectors(tmp_path, name):
    ref = arrays(FLORET / f"{name}.floret.npz")
    out = tmp_path / "floret.fifu"
    assert mave.detect_format(FLORET / f"{name}.bin") == "fasttext"
    mave.convert(FLORET / f"{name}.bin", out)
    e = mave.load(out)
    assert e.vocab_kind == "floret"
    assert e.subwords.hashes == {"floret-cbow": 2, "floret-skipgram": 4}[name]
    assert e.subwords.seed == 2166136261
    words = list(ref["words"]) + [w for w in ref["oov_words"] if w]
    want = np.concatenate([ref["vectors"], ref["oov_vectors"][[bool(w) for w in ref["oov_words"]]]])
    # Lookups give unit vectors; floret gives the mean of the n-gram rows.
    largest = np.abs(matrix(out, words) - unit(want)).max()
    assert largest < 1e-6, largest


def test_quantize_reads_compressed_old_and_floret_models(tmp_path):
    pytest.importorskip("faiss")
    for src in [COMPRESSED / "tiny-skipgram.bin.xz", FLORET / "floret-cbow.bin"]:
        out = tmp_path / (src.stem + ".fifu")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            mave.quantize(src, out, src_format="fasttext", subquantizers=4)
        assert mave.load(out).storage_kind == "quantized"
    # A zip member, a limit and the decoding of words reach the reader too.
    out = tmp_path / "glove.fifu"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        mave.quantize(
            COMPRESSED / "glove.zip",
            out,
            member="glove.first.txt",
            limit=8,
            subquantizers=4,
            bits=3,
            opq=False,
        )
    first = [
        line.split(" ", 1)[0]
        for line in zipfile.ZipFile(COMPRESSED / "glove.zip").read("glove.first.txt").decode().splitlines()
    ]
    assert list(mave.load(out).words) == first[:8]
    with pytest.warns(UserWarning, match="5 words were dropped"):
        mave.quantize(
            UTF8 / "cut-collide.vec",
            tmp_path / "cut.fifu",
            errors="ignore",
            subquantizers=2,
            bits=2,
            opq=False,
        )
    assert list(mave.load(tmp_path / "cut.fifu").words) == ["abc", "stra", "ok€x", "z", "straß", "last"]
