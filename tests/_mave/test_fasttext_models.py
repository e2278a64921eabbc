"""Real fastText models, converted with build_model and checked against gensim.

The models and gensim's vectors come from tests/data/fasttext (make_models.py
and make_references.py there). gensim computes a vocabulary word's vector as
(word row + its n-gram rows) / (count + 1) and an out-of-vocabulary string's
as the mean of its n-gram rows; the converted file stores the first scaled to
unit length with its length kept as the norm, and composes the second as the
normalised sum.

Tolerance: gensim sums the same float32 rows in another order (NumPy's
reductions) and normalises in its own way, so the two sides may differ by a
few units in the last place. Components of unit vectors are at most 1, where
one unit in the last place is 1.2e-7; over all words of these models the
largest difference seen is 1.7e-7. TOLERANCE = 1e-6 leaves room for eight
such units while staying four orders of magnitude below what a wrong n-gram,
a wrong bucket or a wrong divisor does to a vector (1e-2 and more, as the
-minn 1 model shows). Norms are compared relative to their size with the
same bound.
"""

import struct

import numpy as np
import pytest

import _mave
from suite import DATA_DIR

MODELS = DATA_DIR / "fasttext"
TOLERANCE = 1e-6
CONVERTIBLE = ["demo-skipgram", "cbow-en", "multilingual-skipgram", "skipgram-minn1"]


def read_converted(path):
    """The words, matrix, norms and metadata text of a converted file."""
    data = path.read_bytes()
    magic, version, n = struct.unpack_from("<4sII", data, 0)
    assert (magic, version) == (b"FiFu", 0)
    chunks = struct.unpack_from(f"<{n}I", data, 12)
    assert chunks == (5, 7, 2, 6)
    pos = 12 + 4 * n
    out = {}
    for code in chunks:
        ident, length = struct.unpack_from("<IQ", data, pos)
        assert ident == code
        body = pos + 12
        if code == 5:
            out["metadata"] = data[body : body + length].decode("utf-8")
        elif code == 7:
            n_words, min_n, max_n, buckets = struct.unpack_from("<QIII", data, body)
            words, at = [], body + 20
            for _ in range(n_words):
                (size,) = struct.unpack_from("<I", data, at)
                words.append(data[at + 4 : at + 4 + size].decode("utf-8"))
                at += 4 + size
            out.update(words=words, min_n=min_n, max_n=max_n, buckets=buckets)
        elif code == 2:
            rows, cols, kind = struct.unpack_from("<QII", data, body)
            start = body + 16 + (4 - (body + 16) % 4)
            assert kind == 10 and start % 4 == 0
            out["matrix"] = np.frombuffer(data, "<f4", rows * cols, start).reshape(rows, cols)
        elif code == 6:
            count, kind = struct.unpack_from("<QI", data, body)
            start = body + 12 + (4 - (body + 12) % 4)
            out["norms"] = np.frombuffer(data, "<f4", count, start)
        pos = body + length
    assert pos == len(data)
    return out


@pytest.fixture(scope="module")
def converted(tmp_path_factory):
    """name -> (FfModel, parsed file, gensim reference), converted once per module."""
    tmp = tmp_path_factory.mktemp("converted")
    result = {}
    for name in CONVERTIBLE:
        out = tmp / f"{name}.fifu"
        _mave.build_model(str(MODELS / f"{name}.bin"), str(out))
        reference = np.load(MODELS / f"{name}.gensim.npz")
        result[name] = (_mave.FfModel(str(out)), read_converted(out), reference)
    return result


def lookup(model, text):
    a = np.full(model.get_dims(), np.nan, np.float32)
    assert model.load_embedding(text, a) is True, text
    return a


def unit(v):
    return v / np.linalg.norm(v.astype(np.float64))


def ft_hash(text):
    """fastText's 32-bit FNV-1a over UTF-8 bytes, each sign-extended."""
    h = 2166136261
    for b in text.encode("utf-8"):
        h ^= b | 0xFFFFFF00 if b >= 0x80 else b
        h = (h * 16777619) & 0xFFFFFFFF
    return h


def ngrams(bracketed, min_n, max_n):
    """All n-grams by start, longest first, lengths in characters."""
    return [
        bracketed[i : i + n]
        for i in range(len(bracketed))
        for n in range(min(max_n, len(bracketed) - i), min_n - 1, -1)
    ]


@pytest.mark.parametrize("name", ["demo-skipgram", "cbow-en", "multilingual-skipgram"])
def test_vocabulary_vectors_and_norms_match_gensim(converted, name):
    model, parsed, reference = converted[name]
    words = list(reference["words"])
    # Dictionary order is kept; "</s>" comes first in fastText's dictionary.
    assert parsed["words"][0] == "</s>"
    assert parsed["words"][1:] == words
    for i, (word, g) in enumerate(zip(words, reference["vectors"]), start=1):
        ours = lookup(model, word)
        np.testing.assert_allclose(ours, unit(g), rtol=0, atol=TOLERANCE, err_msg=word)
        length = np.linalg.norm(g.astype(np.float64))
        assert abs(parsed["norms"][i] - length) <= TOLERANCE * length, word
        # The lookup copies the stored row exactly.
        assert ours.tobytes() == parsed["matrix"][i].tobytes()


@pytest.mark.parametrize("name", ["demo-skipgram", "cbow-en", "multilingual-skipgram"])
def test_out_of_vocabulary_strings_match_gensim(converted, name):
    model, _, reference = converted[name]
    for text, g in zip(reference["oov_words"], reference["oov_vectors"]):
        np.testing.assert_allclose(
            lookup(model, str(text)), unit(g), rtol=0, atol=TOLERANCE, err_msg=str(text)
        )


def test_multilingual_vocabulary_is_rich_in_non_ascii_words(converted):
    _, parsed, _ = converted["multilingual-skipgram"]
    words = set(parsed["words"])
    for word in [
        "Straße",
        "Bäckerin",
        "élèves",
        "sœur",
        "Mañana",
        "Příliš",
        "Łódź",
        "Москва",
        "θάλασσα",
        "東京",
        "北京",
        "서울",
    ]:
        assert word in words, word
    assert sum(not w.isascii() for w in words) > 150


def fasttext_input_matrix(data):
    """The offset of the quantized flag and the input matrix of a fastText model."""
    (vocab_size,) = struct.unpack_from("<I", data, 64)
    at = 92
    for _ in range(vocab_size):
        at = data.index(0, at) + 1 + 8 + 1  # word, terminator, count, entry type
    rows, cols = struct.unpack_from("<QQ", data, at + 1)
    return at, np.frombuffer(data, "<f4", rows * cols, at + 17).reshape(rows, cols)


@pytest.mark.parametrize("name", CONVERTIBLE)
def test_subword_rows_are_carried_over_exactly(converted, name):
    _, parsed, _ = converted[name]
    _, model = fasttext_input_matrix((MODELS / f"{name}.bin").read_bytes())
    n_words = len(parsed["words"])
    assert parsed["matrix"].shape == model.shape == (n_words + parsed["buckets"], model.shape[1])
    assert parsed["matrix"][n_words:].tobytes() == model[n_words:].tobytes()
    # "</s>" has n-grams for us (fastText gives it none), so its row was averaged.
    assert parsed["matrix"][0].tobytes() != model[0].tobytes()


def test_composed_vector_of_a_short_string(converted):
    # "q" bracketed is "<q>", whose n-grams with lengths 2 to 4 are "<q>",
    # "<q" and "q>": the normalised sum of their bucket rows.
    model, parsed, _ = converted["cbow-en"]
    assert (parsed["min_n"], parsed["max_n"], parsed["buckets"]) == (2, 4, 4000)
    assert "q" not in parsed["words"]
    n_words = len(parsed["words"])
    rows = [parsed["matrix"][n_words + ft_hash(g) % 4000] for g in ngrams("<q>", 2, 4)]
    assert len(rows) == 3
    np.testing.assert_allclose(
        lookup(model, "q"), unit(np.sum(rows, axis=0, dtype=np.float32)), rtol=0, atol=TOLERANCE
    )


def test_metadata_of_a_real_model(converted):
    _, parsed, _ = converted["demo-skipgram"]
    lines = parsed["metadata"].strip().splitlines()
    keys = [line.split(" = ")[0] for line in lines]
    assert keys == [
        "bucket",
        "dims",
        "epoch",
        "loss",
        "lr_update_rate",
        "max_n",
        "min_count",
        "min_n",
        "model",
        "neg",
        "sampling_threshold",
        "window_size",
        "word_ngrams",
    ]
    values = dict(line.split(" = ", 1) for line in lines)
    assert values["bucket"] == "8000" and values["dims"] == "24" and values["epoch"] == "25"
    assert values["min_n"] == "3" and values["max_n"] == "6" and values["min_count"] == "3"
    assert values["loss"].strip("'\"") == "NegativeSampling"
    assert values["model"].strip("'\"") == "SkipGram"
    assert float(values["sampling_threshold"]) == 0.0001
    assert "." in values["sampling_threshold"] or "e" in values["sampling_threshold"]

    _, cbow, _ = converted["cbow-en"]
    assert (
        "loss = 'HierarchicalSoftmax'" in cbow["metadata"]
        or 'loss = "HierarchicalSoftmax"' in cbow["metadata"]
    )


class TestMinimumLengthOne:
    """fastText leaves out the one-character n-grams "<" and ">"; we keep them.

    For a model trained with -minn 1 our vectors therefore contain the two
    extra bucket rows of "<" and ">" (once each per word, as the first and the
    last n-gram), which gensim, like fastText, does not add.
    """

    def markers(self, parsed):
        n_words, buckets = len(parsed["words"]), parsed["buckets"]
        return [parsed["matrix"][n_words + ft_hash(m) % buckets].astype(np.float64) for m in ("<", ">")]

    def test_vectors_differ_from_fasttext(self, converted):
        # The marker rows were never trained (fastText does not use them), so
        # they are small: the difference is above the tolerance for every
        # word, but not by much for long ones.
        model, _, reference = converted["skipgram-minn1"]
        differing = sum(
            np.abs(lookup(model, str(w)) - unit(g)).max() > 5 * TOLERANCE
            for w, g in zip(reference["words"], reference["vectors"])
        )
        assert differing == len(reference["words"])

    def test_vocabulary_words_differ_by_the_marker_rows(self, converted):
        _, parsed, reference = converted["skipgram-minn1"]
        less, greater = self.markers(parsed)
        for i, (word, g) in enumerate(zip(reference["words"], reference["vectors"]), start=1):
            if "<" in word or ">" in word:
                continue
            count = len(ngrams(f"<{word}>", 1, 3))  # ours, with "<" and ">"
            # Undo our averaging and normalisation, take the marker rows away
            # and average over fastText's count.
            ours = parsed["matrix"][i].astype(np.float64) * parsed["norms"][i] * (count + 1)
            fasttext_like = (ours - less - greater) / (count - 1)
            np.testing.assert_allclose(fasttext_like, g, rtol=0, atol=1e-5, err_msg=word)

    def test_out_of_vocabulary_strings_differ_by_the_marker_rows(self, converted):
        model, _, reference = converted["skipgram-minn1"]
        _, parsed, _ = converted["skipgram-minn1"]
        less, greater = self.markers(parsed)
        for text, g in zip(reference["oov_words"], reference["oov_vectors"]):
            text = str(text)
            fasttext_count = len(ngrams(f"<{text}>", 1, 3)) - 2
            ours = lookup(model, text)
            # gensim's mean times its count is the sum without the markers.
            np.testing.assert_allclose(
                ours,
                unit(g.astype(np.float64) * fasttext_count + less + greater),
                rtol=0,
                atol=TOLERANCE,
                err_msg=text,
            )
            assert np.abs(ours - unit(g)).max() > 5 * TOLERANCE


@pytest.mark.parametrize(
    "name, message",
    [
        ("supervised.bin", "fastText prediction models are not supported"),
        # A quantized model is a prediction model too: its labels are met first.
        ("supervised-quantized.ftz", "fastText prediction models are not supported"),
    ],
)
def test_refused_real_models(tmp_path, capfd, name, message):
    out = tmp_path / "out.fifu"
    with pytest.raises(OSError) as info:
        _mave.build_model(str(MODELS / name), str(out))
    assert type(info.value) is OSError
    assert str(info.value) == "Invalid file format " + message
    assert not out.exists()
    assert capfd.readouterr().out == "Reading fasttext embeddings\n"


def test_quantized_flag_of_a_real_model(tmp_path, capfd, converted):
    # The flag sits right after the dictionary; set it to 1 in a copy of a
    # real model, then to 2, which reads as an ordinary matrix.
    data = bytearray((MODELS / "cbow-en.bin").read_bytes())
    _, parsed, _ = converted["cbow-en"]
    at, _ = fasttext_input_matrix(bytes(data))
    assert data[at] == 0

    out = tmp_path / "out.fifu"
    data[at] = 1
    (tmp_path / "q1.bin").write_bytes(data)
    with pytest.raises(OSError, match="^Invalid file format Quantized fastText models are not supported$"):
        _mave.build_model(str(tmp_path / "q1.bin"), str(out))
    assert not out.exists()

    data[at] = 2
    (tmp_path / "q2.bin").write_bytes(data)
    _mave.build_model(str(tmp_path / "q2.bin"), str(out))
    assert read_converted(out)["matrix"].tobytes() == parsed["matrix"].tobytes()
    capfd.readouterr()


def test_demo_model_neighbours_are_sensible(converted):
    model, parsed, _ = converted["demo-skipgram"]
    matrix = parsed["matrix"][: len(parsed["words"])]

    def nearest(text, k):
        v = lookup(model, text)
        order = np.argsort(-(matrix @ v))
        return [parsed["words"][i] for i in order if parsed["words"][i] != text][:k]

    assert {"licenses", "licensed", "licensee"} & set(nearest("license", 5))
    assert {"distributed", "distributes", "redistribute"} & set(nearest("distribute", 5))
    assert "software" in nearest("sofware", 5)  # a misspelt word, composed from subwords
