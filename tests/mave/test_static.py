"""Static sentence models: folders of Model2Vec and sentence-transformers
loaded by mave.load, encode() against Model2Vec's StaticModel.encode on the
same folder, the token table's lookups and searches against NumPy, and
every broken file refused with a FormatError naming it.

The models are made here: tokenizers trained by the tokenizers package on
generated text, tables from NumPy, folders saved by Model2Vec itself or (the
sentence-transformers layouts, whose package needs torch) written after its
file names."""

import json
import os
import pickle
import shutil
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest

import mave
import static_folders as sf
from suite import child_environment

model2vec = pytest.importorskip("model2vec")
tokenizers = pytest.importorskip("tokenizers")

KINDS = ["wordpiece", "bpe", "bpe-unk", "unigram"]
DIMS = 24
# Model2Vec sums and divides in its own order (NumPy's); ours is fixed
# (float32 sums in token order, one division): the results differ in the
# last bits only.
TOLERANCE = 2e-5


@pytest.fixture(scope="session")
def trained():
    return {kind: sf.train_tokenizer(kind) for kind in KINDS}


@pytest.fixture(scope="session")
def texts():
    edge = [
        "",
        " ",
        "\t\n",
        "жжж яяя",
        "€",
        "😀😀 😀",
        "[UNK] [CLS] <unk>",
        " ".join(["alpha"] * 700),
        "Ünïcödé ÀÉÎ ñ",
        "a" * 3000,
    ]
    return sf.generated_texts(400, seed=5) + edge


@pytest.fixture(scope="session")
def folders(tmp_path_factory, trained):
    """name -> (folder, the Model2Vec folder of the same float32 values)."""
    root = tmp_path_factory.mktemp("static")
    out = {}
    for kind, tok in trained.items():
        n = tok.get_vocab_size()
        for normalize in (False, True):
            name = f"{kind}-{'norm' if normalize else 'raw'}"
            folder = sf.save_model2vec(
                root / name, tok, sf.table(n, DIMS, seed=len(name)), normalize=normalize
            )
            out[name] = (folder, folder)
    tok = trained["wordpiece"]
    n = tok.get_vocab_size()
    base = sf.table(n, DIMS, seed=3)
    reference = sf.save_model2vec(root / "wp-f32", tok, base)
    out["wp-f32"] = (reference, reference)
    # float16 and int8 tables as Model2Vec writes them; each is compared with
    # Model2Vec on a float32 folder of the same values (exact in float32).
    for dtype in ("float16", "int8"):
        m = model2vec.StaticModel.from_pretrained(str(reference), quantize_to=dtype)
        m.save_pretrained(str(root / f"wp-{dtype}"))
        upcast = sf.save_model2vec(root / f"wp-{dtype}-as-f32", tok, m.embedding.astype(np.float32))
        out[f"wp-{dtype}"] = (root / f"wp-{dtype}", upcast)
    # bfloat16, which NumPy and Model2Vec do not read: written by hand.
    bits = sf.bf16_bits(base)
    folder = root / "wp-bfloat16"
    shutil.copytree(reference, folder)
    sf.write_safetensors(folder / "model.safetensors", {"embeddings": bits}, dtypes={"embeddings": "BF16"})
    out["wp-bfloat16"] = (folder, sf.save_model2vec(root / "wp-bf16-as-f32", tok, sf.bf16_values(bits)))
    # float32 at an offset that is not a multiple of 4.
    folder = root / "wp-unaligned"
    shutil.copytree(reference, folder)
    sf.write_safetensors(folder / "model.safetensors", {"embeddings": base}, lead=1)
    out["wp-unaligned"] = (folder, reference)
    # Vocabulary quantization: a small table, a row per token, weights.
    rng = np.random.default_rng(9)
    small = sf.table(37, DIMS, seed=4)
    mapping = rng.integers(0, 37, size=n)
    weights = rng.uniform(0.2, 3.0, size=n).astype(np.float32)
    for name, kwargs in {
        "wp-mapping": {"mapping": mapping},
        "wp-weights": {"weights": weights},
        "wp-mapping-weights": {"mapping": mapping, "weights": weights},
    }.items():
        rows = small if "mapping" in kwargs else base
        folder = sf.save_model2vec(root / name, tok, rows, normalize=True, **kwargs)
        out[name] = (folder, folder)
    # The same with a float16 table, by hand, against the float32 values.
    folder = root / "wp-mapping-weights-f16"
    shutil.copytree(root / "wp-mapping-weights", folder)
    small16 = small.astype(np.float16)
    sf.write_safetensors(
        folder / "model.safetensors", {"mapping": mapping, "embeddings": small16, "weights": weights}
    )
    out["wp-mapping-weights-f16"] = (
        folder,
        sf.save_model2vec(
            root / "wp-mwf16-as-f32",
            tok,
            small16.astype(np.float32),
            normalize=True,
            mapping=mapping,
            weights=weights,
        ),
    )
    # A tokenizer.json that truncates and pads on its own: Model2Vec's limit
    # stands instead, and padding adds nothing.
    folder = root / "wp-own-truncation"
    shutil.copytree(root / "wp-f32", folder)
    data = json.loads((folder / "tokenizer.json").read_text())
    data["truncation"] = {"direction": "Right", "max_length": 3, "strategy": "LongestFirst", "stride": 0}
    data["padding"] = {
        "strategy": "BatchLongest",
        "direction": "Right",
        "pad_to_multiple_of": None,
        "pad_id": 0,
        "pad_type_id": 0,
        "pad_token": "[PAD]",
    }
    (folder / "tokenizer.json").write_text(json.dumps(data))
    out["wp-own-truncation"] = (folder, folder)
    # A pre-tokenizer the core does not run (a regex Split): the tokenizers
    # package tokenizes, the rest is the same.
    folder = root / "wp-regex-split"
    shutil.copytree(root / "wp-f32", folder)
    data = json.loads((folder / "tokenizer.json").read_text())
    data["pre_tokenizer"] = {
        "type": "Sequence",
        "pretokenizers": [
            {"type": "Split", "pattern": {"Regex": "[0-9]+"}, "behavior": "Isolated", "invert": False},
            data["pre_tokenizer"],
        ],
    }
    (folder / "tokenizer.json").write_text(json.dumps(data))
    out["wp-regex-split"] = (folder, folder)
    # sentence-transformers: modules with Normalize, and the root layout.
    for kind in ("wordpiece", "unigram"):
        tok = trained[kind]
        vectors = sf.table(tok.get_vocab_size(), DIMS, seed=11)
        reference = sf.save_model2vec(root / f"st-ref-{kind}", tok, vectors)
        out[f"st-modules-{kind}"] = (
            sf.write_sentence_transformers(root / f"st-modules-{kind}", tok, vectors, normalize=True),
            reference,
        )
        out[f"st-root-{kind}"] = (
            sf.write_sentence_transformers(root / f"st-root-{kind}", tok, vectors, modules=False),
            reference,
        )
    return out


def reference_encode(folder, texts, *, normalize, max_length=None):
    m = model2vec.StaticModel.from_pretrained(str(folder))
    kwargs = {} if max_length is None else {"max_length": max_length}
    return m.encode(texts, normalize=normalize, use_multiprocessing=False, **kwargs)


def model_normalizes(name):
    return (
        name.endswith("-norm")
        or name.startswith("st-modules")
        or name.startswith("wp-m")
        or name.startswith("wp-weights")
    )


@pytest.mark.parametrize(
    "name",
    [f"{k}-{n}" for k in KINDS for n in ("raw", "norm")]
    + [
        "wp-float16",
        "wp-int8",
        "wp-bfloat16",
        "wp-unaligned",
        "wp-mapping",
        "wp-weights",
        "wp-mapping-weights",
        "wp-mapping-weights-f16",
        "wp-own-truncation",
        "wp-regex-split",
        "st-modules-wordpiece",
        "st-modules-unigram",
        "st-root-wordpiece",
        "st-root-unigram",
    ],
)
def test_encode_equals_model2vec(folders, texts, name):
    folder, reference = folders[name]
    e = mave.load(folder)
    assert e.vocab_kind == "tokenizer" and e.path == str(folder)
    normalize = model_normalizes(name)
    assert e._static["normalize"] == normalize
    ours = e.encode(texts)
    want = reference_encode(reference, texts, normalize=normalize)
    assert ours.dtype == np.float32 and ours.shape == (len(texts), DIMS)
    np.testing.assert_allclose(ours, want, rtol=0, atol=TOLERANCE)
    # Texts without a kept token are zeros, as in Model2Vec.
    assert not ours[texts.index("")].any()
    # max_length and the other setting of normalize, as Model2Vec takes them.
    for max_length in (1, 3, 17):
        np.testing.assert_allclose(
            e.encode(texts, max_length=max_length, normalize=not normalize),
            reference_encode(reference, texts, normalize=not normalize, max_length=max_length),
            rtol=0,
            atol=TOLERANCE,
        )


def test_float16_against_model2vec_on_its_own_float16_folder(folders, texts):
    # Model2Vec computes a float16 table's means in float16: the same values
    # within float16's precision.
    folder, _ = folders["wp-float16"]
    want = reference_encode(folder, texts, normalize=False).astype(np.float32)
    np.testing.assert_allclose(mave.load(folder).encode(texts), want, rtol=0, atol=3e-3)


def test_unknown_tokens_are_dropped_after_the_cut(folders, trained):
    e = mave.load(folders["wordpiece-raw"][0])
    tok = trained["wordpiece"]
    unk = tok.token_to_id("[UNK]")
    assert e._static["unknown_id"] == unk and e.words[unk] == "[UNK]"
    # Four tokens, three unknown: cut to three before the unknown ones go.
    text = "жж яя юю " + e.words[tok.encode("a", add_special_tokens=False).ids[0]]
    assert not e.encode([text], max_length=3).any()
    assert e.encode([text], max_length=4).any()
    assert not mave.load(folders["bpe-raw"][0])._static["unknown_id"]


def test_bits_do_not_depend_on_threads_or_batches(folders, texts):
    e = mave.load(folders["wp-mapping-weights-f16"][0])
    many = texts * 20
    first = e.encode(many, threads=1)
    for threads in (2, None):
        assert e.encode(many, threads=threads).tobytes() == first.tobytes()
    parts = [e.encode(many[i : i + 97], threads=2) for i in range(0, len(many), 97)]
    assert np.concatenate(parts).tobytes() == first.tobytes()
    out = np.full((len(many), e.dims * 2), np.nan, np.float32)[:, ::2]
    assert e.encode(many, out=out) is out
    assert out.tobytes() == first.tobytes()
    assert e.encode("one text").shape == (1, e.dims)
    assert e.encode([]).shape == (0, e.dims)


def test_threads_share_one_model_and_calls_keep_references(folders, texts):
    """Eight threads on a freshly loaded model: the first lookups by text race
    to build the token index, encodes run beside them; every answer is the
    single-threaded one, and no call keeps a reference to its arguments."""
    folder = folders["wp-mapping-weights-f16"][0]
    want = mave.load(folder).encode(texts)
    e = mave.load(folder)
    words = list(e.words)
    failures = []

    def work(t):
        try:
            for i in range(t, len(words), 3):
                if e.index(words[i]) != i or words[i] not in e:
                    failures.append((t, i))
            if e.encode(texts, threads=2).tobytes() != want.tobytes():
                failures.append((t, "encode"))
        except Exception as error:  # noqa: BLE001 (reported below)
            failures.append((t, repr(error)))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    out = np.empty_like(want)
    before = (sys.getrefcount(texts), sys.getrefcount(out))
    for _ in range(20):
        e.encode(texts, out=out)
        e._token_counts(texts)
    assert (sys.getrefcount(texts), sys.getrefcount(out)) == before


def test_vocabulary_is_the_tokenizers_package(folders, trained):
    for kind in KINDS:
        e = mave.load(folders[f"{kind}-raw"][0])
        vocab = trained[kind].get_vocab()
        assert list(e.words) == sorted(vocab, key=vocab.__getitem__)
        assert len(e) == trained[kind].get_vocab_size()
        assert (
            e._static["tokenizer_model"]
            == {"wordpiece": "WordPiece", "bpe": "BPE", "bpe-unk": "BPE", "unigram": "Unigram"}[kind]
        )


@pytest.mark.parametrize("name", ["unigram-raw", "bpe-raw", "wordpiece-raw", "wp-regex-split"])
def test_token_counts_are_the_tokenizers(folders, texts, name):
    # Both paths: the core's tokenizer and the tokenizers package's.
    folder = folders[name][0]
    reference = tokenizers.Tokenizer.from_file(str(folder / "tokenizer.json"))
    reference.no_truncation()  # the whole text: Model2Vec's save sets a limit
    want = [len(x.ids) for x in reference.encode_batch(texts, add_special_tokens=False)]
    assert mave.load(folder)._token_counts(texts).tolist() == want


@pytest.mark.parametrize(
    "name", ["wp-f32", "wp-float16", "wp-bfloat16", "wp-int8", "wp-unaligned", "wp-mapping-weights-f16"]
)
def test_token_table_lookups_and_searches_against_numpy(folders, name):
    folder, reference = folders[name]
    e = mave.load(folder)
    rows = model2vec.StaticModel.from_pretrained(str(reference))
    table = rows.embedding.astype(np.float32)
    if rows.token_mapping is not None:
        table = table[rows.token_mapping]
    if rows.weights is not None:
        table = table * rows.weights[:, None]
    assert np.array_equal(e.reconstruct(), table)
    token = e.words[len(e) // 2]
    assert np.array_equal(e[token], table[len(e) // 2])
    vectors, found = e.embed(list(e.words[:5]) + ["not a token"])
    assert found.tolist() == [True] * 5 + [False]
    assert np.array_equal(vectors[:5], table[:5])
    if e.storage_kind == "dense":
        assert name == "wp-f32"
        assert np.array_equal(e.matrix, table)
    else:
        with pytest.raises(ValueError, match="reconstruct"):
            e.matrix

    # Tokens that share a row through the mapping tie: the answers are
    # checked by their cosines, which NumPy and the BLAS round alike to 1e-5.
    unit = table / np.linalg.norm(table, axis=1, keepdims=True)
    cosines = unit @ unit[len(e) // 2]
    cosines[len(e) // 2] = -np.inf
    got = e.similar(token, k=5)
    np.testing.assert_allclose([c for _, c in got], np.sort(cosines)[::-1][:5], atol=1e-5)
    np.testing.assert_allclose([cosines[e.index(w)] for w, _ in got], [c for _, c in got], atol=1e-5)
    found_rows, found_cosines = e.nearest(table[:3], k=4, threads=2)
    all_cosines = unit[:3] @ unit.T
    np.testing.assert_allclose(found_cosines, -np.sort(-all_cosines, axis=1)[:, :4], atol=1e-5)
    np.testing.assert_allclose(np.take_along_axis(all_cosines, found_rows, 1), found_cosines, atol=1e-5)
    a, b, c = (e.words[i] for i in (10, 20, 30))
    direction = unit[20] - unit[10] + unit[30]
    scores = unit @ (direction / np.linalg.norm(direction))
    scores[[10, 20, 30]] = -np.inf
    answer = e.analogy(a, b, c, k=3)
    np.testing.assert_allclose([s for _, s in answer], np.sort(scores)[::-1][:3], atol=1e-5)
    assert all(abs(scores[e.index(w)] - s) < 1e-5 for w, s in answer)


def test_kinds_paths_repr_and_pickle(folders):
    for name, kind in [
        ("wp-f32", "dense"),
        ("wp-unaligned", "float32"),
        ("wp-mapping", "float32"),
        ("wp-float16", "float16"),
        ("wp-bfloat16", "bfloat16"),
        ("wp-int8", "int8"),
    ]:
        e = mave.load(folders[name][0])
        assert e.storage_kind == kind
        assert e.norms is None and e.metadata is None and e.subwords is None
        assert e._tokenization == "native"
    fallback = mave.load(folders["wp-regex-split"][0])
    assert fallback._tokenization == "tokenizers"
    assert "Split" in fallback._tokenizer_info()["unsupported"]
    e = mave.load(folders["st-modules-unigram"][0])
    assert e._static["layout"] == "sentence-transformers-modules"
    assert e._static["tokenizer"].endswith(os.path.join("0_StaticEmbedding", "tokenizer.json"))
    assert mave.load(folders["st-root-unigram"][0])._static["layout"] == "sentence-transformers"
    assert repr(e).startswith(f"<mave.Embeddings {e.path!r}: ") and "Unigram tokenizer" in repr(e)
    again = pickle.loads(pickle.dumps(e))
    assert again.path == e.path and np.array_equal(again.encode(["abc"]), e.encode(["abc"]))
    assert mave._native.storage_info(mave.load(folders["wp-mapping"][0]))["table_rows"] == 37


def test_loading_does_not_read_the_table(tmp_path, trained):
    """A 40 MB table: the process grows by the vocabulary and the header,
    not the table."""
    tok = trained["wordpiece"]
    folder = sf.save_model2vec(tmp_path / "big", tok, sf.table(tok.get_vocab_size(), 4))
    big = np.zeros((tok.get_vocab_size(), 25_000), np.float32)
    big[:, 0] = 1
    sf.write_safetensors(folder / "model.safetensors", {"embeddings": big})
    code = f"""
import os, mave
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
before = rss()
e = mave.load({str(folder)!r})
grown = rss() - before
assert e.dims == 25_000
print(grown)
"""
    child = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=child_environment(), check=True
    )
    assert int(child.stdout) < big.nbytes / 10, (child.stdout, big.nbytes)


# --- Broken folders ------------------------------------------------------------


def header_of(path):
    data = path.read_bytes()
    n = struct.unpack("<Q", data[:8])[0]
    return json.loads(data[8 : 8 + n]), data[8 + n :]


def with_header(path, header, data):
    text = json.dumps(header).encode()
    path.write_bytes(struct.pack("<Q", len(text)) + text + data)


def edit_header(change):
    def edit(folder):
        path = folder / "model.safetensors"
        header, data = header_of(path)
        change(header)
        with_header(path, header, data)

    return edit


def write(name, content):
    def edit(folder):
        (folder / name).write_bytes(content)

    return edit


def remove(name):
    def edit(folder):
        (folder / name).unlink()

    return edit


def edit_json(name, change):
    def edit(folder):
        data = json.loads((folder / name).read_text())
        change(data)
        (folder / name).write_text(json.dumps(data))

    return edit


def shape(dims):
    return edit_header(lambda h: h["embeddings"].update(shape=dims))


def cut(n):
    def edit(folder):
        path = folder / "model.safetensors"
        path.write_bytes(path.read_bytes()[:-n])

    return edit


def raw_header(text):
    def edit(folder):
        (folder / "model.safetensors").write_bytes(struct.pack("<Q", len(text)) + text)

    return edit


def remove_token(data):
    vocab = data["model"]["vocab"]
    del vocab[next(t for t, i in vocab.items() if i == 100)]


# (name, folder edit, the file named, an OSError subclass or a fragment of the reason)
BROKEN = [
    (
        "length past the end",
        lambda f: (f / "model.safetensors").write_bytes(struct.pack("<Q", 10**6) + b"{}"),
        "model.safetensors",
        "reaches past the end",
    ),
    (
        "length of 2**64 - 1",
        lambda f: (f / "model.safetensors").write_bytes(b"\xff" * 8 + b"{}"),
        "model.safetensors",
        "reaches past the end",
    ),
    (
        "shorter than the length",
        write("model.safetensors", b"\x01\x00"),
        "model.safetensors",
        "fewer than the 8",
    ),
    ("header not JSON", raw_header(b"{no}"), "model.safetensors", "not valid JSON"),
    ("header not an object", raw_header(b"[]"), "model.safetensors", "must be a JSON object"),
    (
        "offsets outside the data",
        edit_header(lambda h: h["embeddings"].update(data_offsets=[0, 10**9])),
        "model.safetensors",
        "which holds only",
    ),
    (
        "offsets reversed",
        edit_header(lambda h: h["embeddings"].update(data_offsets=[8, 4])),
        "model.safetensors",
        "before it begins",
    ),
    (
        "offsets overlap",
        edit_header(lambda h: h.update(extra={"dtype": "U8", "shape": [4], "data_offsets": [0, 4]})),
        "model.safetensors",
        "inside the tensor before it",
    ),
    (
        "bytes of no tensor",
        edit_header(
            lambda h: h["embeddings"].update(
                shape=[h["embeddings"]["shape"][0] - 1, DIMS],
                data_offsets=[0, h["embeddings"]["data_offsets"][1] - 4 * DIMS],
            )
        ),
        "model.safetensors",
        "belong to no tensor",
    ),
    ("shape disagrees with the bytes", shape([10, 10]), "model.safetensors", "its offsets hold"),
    (
        "dtype disagrees with the bytes",
        edit_header(lambda h: h["embeddings"].update(dtype="F64")),
        "model.safetensors",
        "its offsets hold",
    ),
    (
        "unknown dtype",
        edit_header(lambda h: h["embeddings"].update(dtype="F17")),
        "model.safetensors",
        'unknown dtype "F17"',
    ),
    (
        "dtype a table cannot have",
        edit_header(lambda h: h["embeddings"].update(dtype="I32")),
        "model.safetensors",
        "which a table cannot have",
    ),
    ("shape not counts", shape([-1, DIMS]), "model.safetensors", "must be a list of non-negative integers"),
    (
        "missing dtype",
        edit_header(lambda h: h["embeddings"].pop("dtype")),
        "model.safetensors",
        'no field "embeddings.dtype"',
    ),
    (
        "repeated tensor",
        raw_header(
            b'{"a":{"dtype":"U8","shape":[0],"data_offsets":[0,0]},'
            b'"a":{"dtype":"U8","shape":[0],"data_offsets":[0,0]}}'
        ),
        "model.safetensors",
        "named twice",
    ),
    (
        "missing tensor",
        edit_header(lambda h: h.update(other=h.pop("embeddings"))),
        "model.safetensors",
        'no tensor "embeddings"',
    ),
    (
        "a table of one dimension",
        edit_header(lambda h: h["embeddings"].update(shape=[h["embeddings"]["shape"][0] * DIMS])),
        "model.safetensors",
        "1 dimensions, not 2",
    ),
    ("rows disagree with the vocabulary", None, "model.safetensors", "but the tokenizer has"),
    ("truncated data", cut(5), "model.safetensors", "which holds only"),
    ("mapping out of range", None, "model.safetensors", "but the table has"),
    ("missing tokenizer.json", remove("tokenizer.json"), "tokenizer.json", FileNotFoundError),
    ("missing model.safetensors", remove("model.safetensors"), "model.safetensors", FileNotFoundError),
    ("tokenizer.json not JSON", write("tokenizer.json", b'{"model": '), "tokenizer.json", "not valid JSON"),
    (
        "tokenizer without a model",
        edit_json("tokenizer.json", lambda d: d.pop("model")),
        "tokenizer.json",
        'no field "model"',
    ),
    (
        "tokenizer of an unknown model",
        edit_json("tokenizer.json", lambda d: d["model"].update(type="Chars")),
        "tokenizer.json",
        '"Chars" is not one of',
    ),
    (
        "tokenizer vocabulary with a hole",
        edit_json("tokenizer.json", remove_token),
        "tokenizer.json",
        "no token has the id 100",
    ),
    ("config.json not JSON", write("config.json", b"normalize = true"), "config.json", "not valid JSON"),
    (
        "config.json normalize not a bool",
        edit_json("config.json", lambda d: d.update(normalize="yes")),
        "config.json",
        '"normalize" must be true or false',
    ),
    ("no layout", lambda f: [p.unlink() for p in f.iterdir()], "", FileNotFoundError),
]


@pytest.mark.parametrize("name, edit, file, expected", BROKEN, ids=[b[0] for b in BROKEN])
def test_broken_folders_name_the_file_and_the_fault(tmp_path, folders, trained, name, edit, file, expected):
    folder = tmp_path / "model"
    if name == "rows disagree with the vocabulary":
        tok = trained["unigram"]
        folder = sf.save_model2vec(folder, tok, sf.table(tok.get_vocab_size(), DIMS))
        # Model2Vec refuses to write this; the file is written by hand.
        sf.write_safetensors(folder / "model.safetensors", {"embeddings": sf.table(10, DIMS)})
    elif name == "mapping out of range":
        shutil.copytree(folders["wp-mapping"][0], folder)
        header, data = header_of(folder / "model.safetensors")
        start = header["mapping"]["data_offsets"][0]
        data = data[:start] + struct.pack("<q", 37) + data[start + 8 :]
        with_header(folder / "model.safetensors", header, data)
        file, expected = "model.safetensors", "sends token 0 to row 37, but the table has 37"
    else:
        shutil.copytree(folders["wordpiece-raw"][0], folder)
        (folder / "modules.json").unlink()  # Model2Vec's, which names the root folder
        edit(folder)
    if isinstance(expected, type):
        with pytest.raises(expected) as raised:
            mave.load(folder)
        assert raised.value.filename == str(folder / file).rstrip("/")
        if not file:
            assert "no static model in this folder" in str(raised.value)
        return
    with pytest.raises(mave.FormatError) as raised:
        mave.load(folder)
    error = raised.value
    assert error.filename == str(folder / file).rstrip("/"), error
    assert expected in error.reason, error.reason
    assert str(error) == f"{error.filename}: {error.reason}"


def test_a_tokenizer_the_package_cannot_read_fails_on_first_encode(tmp_path, folders):
    folder = tmp_path / "model"
    shutil.copytree(folders["wordpiece-raw"][0], folder)
    data = json.loads((folder / "tokenizer.json").read_text())
    data["pre_tokenizer"] = {"type": "NoSuchPreTokenizer"}
    (folder / "tokenizer.json").write_text(json.dumps(data))
    e = mave.load(folder)  # the vocabulary is read by the core
    with pytest.raises(mave.FormatError, match="tokenizers package cannot read it") as raised:
        e.encode(["a"])
    assert raised.value.filename == str(folder / "tokenizer.json")


def test_info_says_which_tokenizer_runs(folders, capsys):
    from mave import _cli

    for name, path in [("wp-mapping-weights-f16", "native"), ("wp-regex-split", "tokenizers")]:
        assert _cli.main(["info", "--json", str(folders[name][0])]) == 0
        info = json.loads(capsys.readouterr().out)["static"]
        assert info["tokenization"] == path and info["tokenizer_model"] == "WordPiece"
        assert (info["unsupported"] is None) == (path == "native")
        assert _cli.main(["info", str(folders[name][0])]) == 0
        text = capsys.readouterr().out
        assert ("the core's tokenizer" in text) == (path == "native")
        assert "400 tokens" in text
    info = mave._cli._info(mave.load(folders["wp-mapping-weights-f16"][0]))["static"]
    assert info["mapping"] and info["weights"] and info["dtype"] == "F16" and info["normalize"]


@pytest.mark.parametrize("name", ["wp-mapping-weights-f16", "wp-regex-split"])
def test_encode_command_writes_encode_of_each_line(folders, texts, tmp_path, name):
    from mave import _cli

    lines = [t for t in texts if "\n" not in t and "\r" not in t]
    source = tmp_path / "texts.txt"
    source.write_text("".join(t + "\n" for t in lines), encoding="utf-8")
    out = tmp_path / "vectors.npy"
    folder = folders[name][0]
    assert (
        _cli.main(
            [
                "encode",
                str(folder),
                str(source),
                "-o",
                str(out),
                "-q",
                "--batch-size",
                "7",
                "--max-length",
                "5",
            ]
        )
        == 0
    )
    e = mave.load(folder)
    assert np.load(out).tobytes() == e.encode(lines, max_length=5).tobytes()
