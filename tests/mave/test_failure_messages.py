"""mave's own failure messages: plain English naming the file, what is wrong
and where (FormatError.offset / .line), and never one of the pinned texts of
_mave, whatever file drives the failure."""

import os
import pickle
import struct

import numpy as np
import pytest

import fifu
import mave
from suite import FASTTEXT_DIR

# Fragments of _mave's pinned messages, debug forms and panic texts.
PINNED = (
    "Invalid file format",
    "Cannot read",
    "Cannot write",
    "Cannot get",
    "Cannot seek",
    "Cannot skip",
    "Cannot memory map",
    "Cannot fastText",
    "Result::unwrap",
    "assertion",
    "Os {",
    "Kind(",
    "Error {",
    "Read {",
    "Write {",
    "Context {",
    "Format(",
    "fetch-data.sh",
    "failed to fill whole buffer",
    "utf-8 sequence",
    "Unknown chunk identifier",
    "Data cannot be represented",
    "panicked",
    "left == right",
    "index < dim",
)


def failure_of(call):
    try:
        call()
    except (mave.FormatError, OSError) as error:
        return error
    return None


def use(path):
    """Loads a file and looks every word up, as a user would."""
    e = mave.load(path)
    for word in e.words:
        e[word]
    e.get("zzzq")
    e.embed(list(e.words[:8]) + ["zzzq"])


def check_plain(error, path):
    """A FormatError naming the file, with where-and-what of mave's own."""
    assert isinstance(error, mave.FormatError), error
    text = str(error)
    assert error.filename == str(path) and text == f"{path}: {error.reason}"
    assert not [p for p in PINNED if p in text], text
    if error.offset is not None:
        assert error.reason.startswith(f"byte {error.offset}: "), error.reason
    if error.line is not None:
        assert error.reason.startswith(f"line {error.line}: "), error.reason
    return error


def cuts(size, most=160):
    step = max(1, size // most)
    return sorted(set(range(0, size, step)) | set(range(max(0, size - 40), size)))


@pytest.mark.parametrize(
    "name",
    [
        "simple-dense-meta-norms",
        "simple-quantized",
        "bucket-dense-norms",
        "explicit-quantized-norms-meta",
        "fasttext-quantized-projection-norms",
        "floret-dense-meta",
        "fasttext-dense-meta",
        "bucket-quantized",
    ],
)
def test_truncated_finalfusion_files_name_the_field_and_its_offset(fixture_dir, tmp_path, name):
    with open(fixture_dir[name], "rb") as f:
        data = f.read()
    seen = set()
    path = tmp_path / "cut.fifu"
    for cut in cuts(len(data)):
        path.write_bytes(data[:cut])
        error = failure_of(lambda: use(path))
        if error is None:
            continue  # a file cut inside its norms chunk loads without norms
        check_plain(error, path)
        # The field that could not be read starts inside the file, or after
        # the padding (1 to 4 bytes) that the file ends in.
        assert error.offset is not None and error.offset <= cut + 4, (cut, error.reason)
        seen.add(error.reason.split(": ", 1)[1])
    assert any("the file ends while reading" in r for r in seen), seen
    assert any("chunk)" in r for r in seen), seen


def header_and_chunks():
    words = ["alpha", "beta"]
    vocab = fifu.simple_vocab(words)
    return fifu.assemble(vocab, fifu.nd_array([[1.0, 2.0], [3.0, 4.0]])), 12 + 4 * 2 + len(vocab)


@pytest.mark.parametrize(
    "edit,offset,reason",
    [
        (lambda d, m: b"FiFx" + d[4:], 0, 'not a finalfusion file: it starts with "FiFx", not "FiFu"'),
        (
            lambda d, m: d[:4] + struct.pack("<I", 1) + d[8:],
            4,
            "finalfusion version 1 is not supported (only 0 is)",
        ),
        (lambda d, m: d[:12] + struct.pack("<I", 99) + d[16:], 12, "unknown chunk identifier 99"),
        (
            lambda d, m: d[:20] + struct.pack("<I", 6) + d[24:],
            20,
            "expected a SimpleVocab or BucketSubwordVocab or FastTextSubwordVocab or ExplicitSubwordVocab "
            "or FloretSubwordVocab chunk, found a NdNorms chunk",
        ),
        (
            lambda d, m: d[: m + 24] + struct.pack("<I", 3) + d[m + 28 :],
            "matrix+24",
            "element type 3 where type 10 was expected (in the NdArray chunk)",
        ),
        (lambda d, m: d[: m + 12] + struct.pack("<Q", 1 << 40) + d[m + 20 :], "matrix+12+?", None),
    ],
)
def test_corrupt_fields_are_named_with_their_offset(tmp_path, edit, offset, reason):
    data, matrix_at = header_and_chunks()
    path = tmp_path / "bad.fifu"
    path.write_bytes(edit(data, matrix_at))
    error = check_plain(failure_of(lambda: mave.load(path)), path)
    if offset == "matrix+24":
        offset = matrix_at + 24
    if reason is None:  # a row count the file cannot hold: the data is missing
        assert "NdArray chunk" in error.reason and error.offset >= matrix_at, error.reason
        return
    assert (error.offset, error.reason) == (offset, f"byte {offset}: {reason}")


def test_a_damaged_code_met_in_a_lookup_is_a_plain_format_error(fixture_dir, tmp_path):
    with open(fixture_dir["simple-quantized"], "rb") as f:
        data = bytearray(f.read())
    data[-1] = 255  # the last row's last code, far beyond the centroids
    path = tmp_path / "damaged.fifu"
    path.write_bytes(bytes(data))
    e = mave.load(path)
    error = check_plain(failure_of(lambda: [e[w] for w in e.words]), path)
    assert error.reason.startswith(
        "the file is damaged: it refers to row or centroid 255, but there are only "
    )
    assert error.offset is None and error.line is None


def test_bad_fasttext_models(tmp_path):
    data = (FASTTEXT_DIR / "skipgram-minn1.bin").read_bytes()
    src = tmp_path / "bad.bin"
    dst = tmp_path / "out.fifu"
    reasons = set()
    for cut in sorted(set(cuts(len(data), most=60)) | set(range(0, 120, 4))):  # every header field
        src.write_bytes(data[:cut])
        error = failure_of(lambda: mave.convert(src, dst, src_format="fasttext"))
        if error is None:
            continue  # cut inside the output matrix, which conversion does not read
        check_plain(error, src)
        assert error.offset is not None and error.offset <= cut, (cut, error.reason)
        reasons.add(error.reason.split(": ", 1)[1])
    assert "the file ends while reading the number of dimensions" in reasons
    dst.unlink(missing_ok=True)  # written by the cuts that lost only the output matrix
    src.write_bytes(b"\0\0\0\0" + data[4:])
    assert (
        check_plain(failure_of(lambda: mave.convert(src, dst, src_format="fasttext")), src).reason
        == "byte 0: not a fastText model: its magic number is 0, not 793712314"
    )
    src.write_bytes(data[:4] + struct.pack("<I", 13) + data[8:])
    assert (
        check_plain(failure_of(lambda: mave.convert(src, dst, src_format="fasttext")), src).reason
        == "byte 4: fastText format version 13 is newer than the supported 12"
    )
    supervised = FASTTEXT_DIR / "supervised.bin"
    error = check_plain(failure_of(lambda: mave.convert(supervised, dst, src_format="fasttext")), supervised)
    assert "classification model" in error.reason and error.offset is not None
    maxn0 = FASTTEXT_DIR / "skipgram-maxn0.bin"  # no subwords: refused, as by _mave
    error = check_plain(failure_of(lambda: mave.convert(maxn0, dst, src_format="fasttext")), maxn0)
    assert error.reason == "the n-gram lengths cannot be used: the minimum is 0 or above the maximum"
    assert not dst.exists()


@pytest.mark.parametrize(
    "content,fmt,line,offset",
    [
        (b"2 3\na 1 2 3\nb 1 2\n", "text", 3, None),
        (b"2 3\na 1 2 3\n\nb 1 2 3\n", "text", 3, None),
        (b"a 1 2\n\xff 1 2\n", "glove", 2, None),
        (b"1 x\n", "word2vec", 1, None),
        (b"2 1\na " + np.float32(1).tobytes() + b"a " + np.float32(2).tobytes(), "word2vec", None, 10),
    ],
)
def test_text_and_word2vec_failures_carry_line_or_offset(tmp_path, content, fmt, line, offset):
    src = tmp_path / "bad.in"
    src.write_bytes(content)
    error = check_plain(failure_of(lambda: mave.convert(src, tmp_path / "o.fifu", src_format=fmt)), src)
    assert (error.line, error.offset) == (line, offset)


def test_format_errors_pickle_with_every_attribute(tmp_path):
    path = tmp_path / "x.fifu"
    path.write_bytes(b"FiFu" + struct.pack("<I", 7))
    error = failure_of(lambda: mave.load(path))
    again = pickle.loads(pickle.dumps(error))
    assert type(again) is mave.FormatError
    assert (str(again), again.filename, again.reason, again.offset, again.line) == (
        str(error),
        str(path),
        error.reason,
        4,
        None,
    )


def test_os_errors_stay_os_errors(tmp_path):
    missing = failure_of(lambda: mave.load(tmp_path / "missing.fifu"))
    assert isinstance(missing, FileNotFoundError) and missing.filename == str(tmp_path / "missing.fifu")
    directory = failure_of(lambda: mave.load(tmp_path))
    assert isinstance(directory, OSError) and not isinstance(directory, mave.FormatError)
    assert not [p for p in PINNED if p in str(directory)]
    os.chmod(tmp_path, 0o500)
    try:
        if os.access(tmp_path, os.W_OK):
            pytest.skip("running with permissions that ignore the directory's mode")
        denied = failure_of(lambda: mave.write(tmp_path / "w.fifu", ["a"], np.ones((1, 2))))
        assert isinstance(denied, PermissionError) and denied.filename is not None
    finally:
        os.chmod(tmp_path, 0o700)
