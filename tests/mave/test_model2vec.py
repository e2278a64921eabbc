"""mave.convert(..., dst_format="model2vec") loaded by the real peers:
Model2Vec's StaticModel encodes texts of vocabulary words as mave does, the
tokenizers package gives the word ids, the safetensors package reads the
table; and the folder appears whole or not at all."""

import json
import os

import numpy as np
import pytest

import mave
from mave import _model2vec

model2vec = pytest.importorskip("model2vec")
tokenizers = pytest.importorskip("tokenizers")
safetensors_numpy = pytest.importorskip("safetensors.numpy")
gensim_models = pytest.importorskip("gensim.models")


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)


@pytest.fixture(scope="module")
def sources(tmp_path_factory, converted_models, fixture_dir):
    """name -> (source path, its format): a fastText model converted to
    finalfusion, gensim's text and binary word2vec files of vectors that are
    not at unit length, a product-quantized model with norms (mave.quantize)
    and one without (rows scaled to unit length on the way)."""
    root = tmp_path_factory.mktemp("sources")
    rng = np.random.default_rng(7)
    words = [f"w{i}" for i in range(400)] + [
        "House",
        "house",
        "grün",
        "日本語",
        "😀",
        "a-b",
        "</s>",
        'quote"d',
        "back\\slash",
        "[UNK]",
    ]
    kv = gensim_models.KeyedVectors(21)
    kv.add_vectors(words, (rng.standard_normal((len(words), 21)) * 3).astype(np.float32))
    kv.save_word2vec_format(str(root / "g.vec"), binary=False)
    kv.save_word2vec_format(str(root / "g.bin"), binary=True)
    found = {
        "fasttext": (converted_models["demo-skipgram"], "finalfusion"),
        "text": (str(root / "g.vec"), "text"),
        "word2vec": (str(root / "g.bin"), "word2vec"),
        "quantized-without-norms": (fixture_dir["simple-quantized"], "finalfusion"),
    }
    try:
        import faiss  # noqa: F401
    except ImportError:
        pass
    else:
        quantized = root / "q.fifu"
        mave.quantize(converted_models["demo-skipgram"], quantized, bits=4, opq=False)
        found["quantized"] = (str(quantized), "finalfusion")
    return found


def reference(src, fmt, normalize, tmp_path):
    """The finalfusion file whose lookups the export must give: the source
    itself when it holds unit rows and norms, else its conversion."""
    if fmt == "finalfusion" and normalize and mave.load(src).norms is not None:
        return mave.load(src)
    mave.convert(src, tmp_path / "reference.fifu", normalize=normalize)
    return mave.load(tmp_path / "reference.fifu")


def texts_of(words, seed):
    """Texts of vocabulary words joined by runs of whitespace: empty, one
    word, short ones, and one longer than Model2Vec's default 512 tokens."""
    rng = np.random.default_rng(seed)
    usable = [w for w in words if w and not any(c.isspace() for c in w)]
    texts = ["", usable[0]]
    for n in rng.integers(2, 30, size=60):
        texts.append(rng.choice([" ", "  ", "\t", " \n "]).join(rng.choice(usable, size=n)))
    texts.append(" ".join(rng.choice(usable, size=700)))
    return texts


@pytest.mark.parametrize("normalize", [True, False], ids=["unit", "original"])
@pytest.mark.parametrize("name", ["fasttext", "text", "word2vec", "quantized", "quantized-without-norms"])
def test_peers_load_the_export_and_encode_known_words_as_mave(sources, tmp_path, name, normalize):
    if name not in sources:
        pytest.skip("faiss is not installed: no quantized model")
    src, fmt = sources[name]
    folder = tmp_path / "static"
    assert mave.convert(src, folder, dst_format="model2vec", normalize=normalize) == 0
    assert sorted(os.listdir(folder)) == sorted(_model2vec.FOLDER_FILES)
    assert sorted(os.listdir(tmp_path)) == ["static"]  # the temporary files are gone
    ref = reference(src, fmt, normalize, tmp_path)
    words = list(ref.words)
    n = len(words)

    # The table: the rows mave.convert writes for the same `normalize`, bit
    # for bit, then the unknown token's zero row.
    table = safetensors_numpy.load_file(str(folder / "model.safetensors"))["embeddings"]
    assert table.dtype == np.float32 and table.shape == (n + 1, ref.dims)
    assert np.array_equal(bits(table[:n]), bits(ref.embed(words)[0]))
    assert not table[n].any()

    # The tokenizer: each word its row, an unknown word the last id.
    texts = texts_of(words, seed=len(name))
    tok = tokenizers.Tokenizer.from_file(str(folder / "tokenizer.json"))
    assert tok.get_vocab_size() == n + 1
    encodings = tok.encode_batch(texts + ["zzz-not-a-word " + words[0]], add_special_tokens=False)
    assert [e.ids for e in encodings[:-1]] == [[ref.index(w) for w in t.split()] for t in texts]
    assert encodings[-1].ids == [n, 0]

    config = json.loads((folder / "config.json").read_text())
    assert (config["normalize"], config["max_length"], config["hidden_dim"]) == (False, None, ref.dims)
    assert config["mave"]["source_format"] == fmt
    assert config["mave"]["metadata"] == ref.metadata

    model = model2vec.StaticModel.from_pretrained(str(folder))
    assert model.dim == ref.dims and model.normalize is False
    ours = ref.encode(texts)
    theirs = model.encode(texts)
    assert theirs.shape == ours.shape and not ours[0].any() and not theirs[0].any()
    assert np.allclose(theirs, ours, rtol=0, atol=2e-5)
    # Normalised on request on both sides.
    assert np.allclose(
        model.encode(texts, normalize=True)[1:], ref.encode(texts, normalize=True)[1:], rtol=0, atol=2e-5
    )


def test_unknown_words_differ_by_design(sources, tmp_path):
    # Model2Vec drops the unknown token; mave composes an unknown word from
    # the subwords of a fastText model (and skips it where a model has none).
    src, _ = sources["fasttext"]
    mave.convert(src, tmp_path / "static", dst_format="model2vec")
    e = mave.load(src)
    model = model2vec.StaticModel.from_pretrained(str(tmp_path / "static"))
    known, unknown = "free software", "free sofwtare"
    assert "sofwtare" not in e and e.get("sofwtare") is not None
    assert np.allclose(model.encode([unknown]), model.encode(["free"]), rtol=0, atol=2e-5)
    assert not np.allclose(e.encode([unknown]), e.encode(["free"]), rtol=0, atol=1e-3)
    assert np.allclose(model.encode([known]), e.encode([known]), rtol=0, atol=2e-5)


def test_words_whitespace_splitting_cannot_produce_keep_their_rows(tmp_path):
    # Words holding whitespace are written (the rows stay aligned with the
    # vocabulary) but no text reaches them; case is kept; the word "[UNK]"
    # is an ordinary word, the unknown token another name.
    words = ["", "a b", "tab\tword", "[UNK]", "House", "house", "x\u3000y", "[UNK1]", "end"]
    matrix = np.arange(len(words) * 3, dtype=np.float32).reshape(-1, 3) + 1
    mave.write(tmp_path / "odd.fifu", words, matrix, normalize=False)
    mave.convert(tmp_path / "odd.fifu", tmp_path / "static", dst_format="model2vec", normalize=False)
    tok = tokenizers.Tokenizer.from_file(str(tmp_path / "static" / "tokenizer.json"))
    assert tok.token_to_id("[UNK2]") == len(words) and tok.get_vocab() == {
        **{w: i for i, w in enumerate(words)},
        "[UNK2]": len(words),
    }
    unknown = len(words)
    assert tok.encode("[UNK] House house a b x\u3000y", add_special_tokens=False).ids == [
        3,
        4,
        5,
        unknown,
        unknown,
        unknown,
        unknown,
    ]
    table = safetensors_numpy.load_file(str(tmp_path / "static" / "model.safetensors"))["embeddings"]
    assert np.array_equal(table[: len(words)], matrix)
    model = model2vec.StaticModel.from_pretrained(str(tmp_path / "static"))
    assert np.array_equal(model.encode(["[UNK] house"])[0], (matrix[3] + matrix[5]) / 2)


def test_the_folder_has_the_layout_model2vec_writes(sources, tmp_path):
    # Model2Vec's own save of a model without normalisation: the same files
    # (but its model card), the same modules.json, the same config keys.
    src, _ = sources["text"]
    mave.convert(src, tmp_path / "ours", dst_format="model2vec")
    tok = tokenizers.Tokenizer.from_file(str(tmp_path / "ours" / "tokenizer.json"))
    model = model2vec.StaticModel(
        vectors=np.zeros((tok.get_vocab_size(), 21), np.float32),
        tokenizer=tok,
        normalize=False,
        max_length=None,
    )
    model.save_pretrained(str(tmp_path / "theirs"))
    assert sorted(os.listdir(tmp_path / "theirs")) == sorted(_model2vec.FOLDER_FILES + ("README.md",))
    ours, theirs = (
        {
            name: json.loads((tmp_path / side / name).read_text())
            for name in ("modules.json", "config.json", "tokenizer.json")
        }
        for side in ("ours", "theirs")
    )
    assert ours["modules.json"] == theirs["modules.json"]
    assert ours["tokenizer.json"] == theirs["tokenizer.json"]
    assert theirs["config.json"].items() <= ours["config.json"].items()


class TestAllOrNothing:
    @pytest.fixture
    def src(self, tmp_path):
        mave.write(tmp_path / "src.fifu", [f"w{i}" for i in range(10_000)], np.ones((10_000, 8), np.float32))
        return tmp_path / "src.fifu"

    def test_an_empty_folder_is_filled_and_other_destinations_refused(self, src, tmp_path):
        (tmp_path / "empty").mkdir()
        mave.convert(src, tmp_path / "empty", dst_format="model2vec")
        assert sorted(os.listdir(tmp_path / "empty")) == sorted(_model2vec.FOLDER_FILES)
        (tmp_path / "file").write_text("mine")
        for dst, reason in [
            (tmp_path / "empty", "the destination folder is not empty"),
            (tmp_path / "file", "the destination exists and is not a folder"),
        ]:
            before = {p: p.stat().st_mtime_ns for p in tmp_path.rglob("*")}
            with pytest.raises(FileExistsError, match=reason) as caught:
                mave.convert(src, dst, dst_format="model2vec")
            assert caught.value.filename == str(dst)
            assert {p: p.stat().st_mtime_ns for p in tmp_path.rglob("*")} == before

    @pytest.mark.parametrize("fail", ["in the callback", "damaged source", "missing folder"])
    def test_a_failure_midway_leaves_nothing(self, src, tmp_path, fail):
        arguments = {"dst_format": "model2vec"}
        dst = tmp_path / "static"
        if fail == "in the callback":

            def progress(phase, done, total):
                if phase == "write" and done >= 4096:
                    raise KeyboardInterrupt

            arguments["progress"] = progress
            error = KeyboardInterrupt
        elif fail == "damaged source":
            (tmp_path / "bad.vec").write_text("3 2\na 1 2\nb 1\n")
            src, error = tmp_path / "bad.vec", mave.FormatError
        else:
            dst, error = tmp_path / "no" / "static", FileNotFoundError
        before = sorted(os.listdir(tmp_path))
        with pytest.raises(error) as caught:
            mave.convert(src, dst, **arguments)
        assert sorted(os.listdir(tmp_path)) == before
        if fail == "missing folder":
            assert caught.value.filename == str(dst)


def test_the_command_line_writes_the_folder(sources, tmp_path):
    from test_cli import run

    src, _ = sources["text"]
    done = run("convert", src, tmp_path / "static", "--to", "model2vec", "--no-normalize")
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    done = run("convert", src, tmp_path / "static", "--to", "model2vec")
    assert done.returncode == 1 and done.stderr == (
        f"mave: error: [Errno 17] the destination folder is not empty (remove it or name a new folder): "
        f"'{tmp_path / 'static'}'\n"
    )
