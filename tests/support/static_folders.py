"""Static sentence models made for the tests: tokenizers trained by the
tokenizers package on generated text, tables from NumPy, and the folders
Model2Vec writes (its own save_pretrained) or that sentence-transformers
writes (by hand, after its documented file names: sentence-transformers
needs torch, which the test environment does not have)."""

import json
import random
import struct
from pathlib import Path

import numpy as np

# Letters of several scripts, so that texts hold characters a tokenizer
# trained on some of them has never seen (its unknown token).
ALPHABETS = {
    "latin": "abcdefghijklmnopqrstuvwxyz",
    "accents": "àáâäçèéêëìíîïñòóôöùúûüÿ",
    "greek": "αβγδεζηθικλμνξοπρστυφχψω",
    "cyrillic": "абвгдежзийклмнопрстуфхцчшщыэюя",
}
TRAINED = ("latin", "accents", "greek")
UNSEEN = "cyrillic"  # never in the training text
EXTRAS = ["€", "😀", "日本", "—", "!", "?", ",", "."]


def words(rng, alphabets, n):
    letters = "".join(ALPHABETS[a] for a in alphabets)
    return ["".join(rng.choice(letters) for _ in range(rng.randint(1, 9))) for _ in range(n)]


def generated_texts(n, seed=0, *, unseen=True):
    """Texts of 0 to 40 words from a vocabulary of frequent words, with
    capitals, punctuation, emoji and (with `unseen`) words of an alphabet
    the tokenizers were not trained on."""
    rng = random.Random(seed)
    common = words(random.Random(1), TRAINED, 300)
    rare = words(random.Random(2), (UNSEEN,), 50)
    texts = []
    for _ in range(n):
        out = []
        for _ in range(rng.randint(0, 40)):
            r = rng.random()
            if unseen and r < 0.05:
                out.append(rng.choice(rare))
            elif r < 0.1:
                out.append(rng.choice(EXTRAS))
            else:
                w = rng.choice(common)
                out.append(w.capitalize() if rng.random() < 0.1 else w)
        texts.append(" ".join(out))
    return texts


def train_tokenizer(kind, vocab_size=400, seed=0):
    """A tokenizers.Tokenizer of `kind` trained on generated text:
    "wordpiece" (BERT normalizer and pre-tokenizer, [UNK]), "bpe" (byte-level,
    no unknown token), "bpe-unk" (whitespace split, <unk>), "unigram"
    (NFKC, Metaspace, <unk>)."""
    from tokenizers import Tokenizer, decoders, models, normalizers, pre_tokenizers, trainers

    corpus = generated_texts(3000, seed=seed + 100, unseen=False)
    if kind == "wordpiece":
        tok = Tokenizer(models.WordPiece(unk_token="[UNK]"))
        tok.normalizer = normalizers.BertNormalizer(lowercase=True)
        tok.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
        trainer = trainers.WordPieceTrainer(
            vocab_size=vocab_size, special_tokens=["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"]
        )
    elif kind == "bpe":
        tok = Tokenizer(models.BPE())
        tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
        tok.decoder = decoders.ByteLevel()
        trainer = trainers.BpeTrainer(
            vocab_size=vocab_size,
            special_tokens=["<|endoftext|>"],
            initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
        )
    elif kind == "bpe-unk":
        tok = Tokenizer(models.BPE(unk_token="<unk>"))
        tok.pre_tokenizer = pre_tokenizers.Whitespace()
        trainer = trainers.BpeTrainer(vocab_size=vocab_size, special_tokens=["<pad>", "<unk>"])
    elif kind == "unigram":
        tok = Tokenizer(models.Unigram())
        tok.normalizer = normalizers.NFKC()
        tok.pre_tokenizer = pre_tokenizers.Metaspace()
        trainer = trainers.UnigramTrainer(
            vocab_size=vocab_size, special_tokens=["<pad>", "<unk>"], unk_token="<unk>"
        )
    else:
        raise ValueError(kind)
    tok.train_from_iterator(corpus, trainer)
    return tok


def table(rows, dims, seed=0):
    return np.random.default_rng(seed).normal(size=(rows, dims)).astype(np.float32)


def bf16_bits(values):
    """float32 values cut to bfloat16 (round to nearest even), as uint16."""
    bits = np.ascontiguousarray(values, dtype=np.float32).view(np.uint32).astype(np.uint64)
    rounded = (bits + 0x7FFF + ((bits >> 16) & 1)) >> 16
    return rounded.astype(np.uint16)


def bf16_values(bits):
    return (bits.astype(np.uint32) << 16).view(np.float32)


def write_safetensors(path, tensors, *, dtypes=None, pad_to=8, lead=0):
    """A safetensors file written by hand: `tensors` maps names to NumPy
    arrays (their bytes written as they are), `dtypes` names the dtype of
    any whose NumPy dtype does not say it (BF16 as uint16). `lead` puts that
    many bytes of padding before the first tensor's data (a float32 table at
    an offset that is not a multiple of 4)."""
    dtypes = dtypes or {}
    names = {
        np.dtype(np.float32): "F32",
        np.dtype(np.float16): "F16",
        np.dtype(np.int8): "I8",
        np.dtype(np.int64): "I64",
        np.dtype(np.int32): "I32",
        np.dtype(np.float64): "F64",
        np.dtype(np.uint32): "U32",
        np.dtype(np.uint8): "U8",
    }
    header, blobs, offset = {}, [], 0
    if lead:
        header["lead"] = {"dtype": "U8", "shape": [lead], "data_offsets": [0, lead]}
        blobs.append(bytes(lead))
        offset = lead
    for name, array in tensors.items():
        data = np.ascontiguousarray(array).tobytes()
        dtype = dtypes[name] if name in dtypes else names[np.asarray(array).dtype]
        header[name] = {
            "dtype": dtype,
            "shape": list(np.shape(array)),
            "data_offsets": [offset, offset + len(data)],
        }
        blobs.append(data)
        offset += len(data)
    text = json.dumps(header).encode()
    text += b" " * (-len(text) % pad_to)
    Path(path).write_bytes(struct.pack("<Q", len(text)) + text + b"".join(blobs))


def save_model2vec(
    folder, tokenizer, vectors, *, normalize=False, weights=None, mapping=None, max_length=512
):
    """A Model2Vec folder written by Model2Vec itself."""
    from model2vec import StaticModel

    StaticModel(
        vectors, tokenizer, normalize=normalize, weights=weights, token_mapping=mapping, max_length=max_length
    ).save_pretrained(str(folder))
    return Path(folder)


def write_sentence_transformers(
    folder, tokenizer, vectors, *, modules=True, normalize=False, tensors=None, dtypes=None
):
    """sentence-transformers' StaticEmbedding layouts: with `modules`,
    modules.json naming 0_StaticEmbedding/ (model.safetensors with
    "embedding.weight", tokenizer.json) and a Normalize module when asked;
    otherwise config_sentence_transformers.json, model.safetensors and
    tokenizer.json at the root."""
    folder = Path(folder)
    module = folder / "0_StaticEmbedding" if modules else folder
    module.mkdir(parents=True, exist_ok=True)
    tokenizer.save(str(module / "tokenizer.json"))
    write_safetensors(
        module / "model.safetensors",
        tensors if tensors is not None else {"embedding.weight": vectors},
        dtypes=dtypes,
    )
    (folder / "config_sentence_transformers.json").write_text(
        json.dumps(
            {
                "__version__": {"sentence_transformers": "3.3.1"},
                "prompts": {},
                "default_prompt_name": None,
                "similarity_fn_name": "cosine",
            }
        )
    )
    if modules:
        listed = [
            {
                "idx": 0,
                "name": "0",
                "path": "0_StaticEmbedding",
                "type": "sentence_transformers.models.StaticEmbedding",
            }
        ]
        if normalize:
            listed.append(
                {
                    "idx": 1,
                    "name": "1",
                    "path": "1_Normalize",
                    "type": "sentence_transformers.models.Normalize",
                }
            )
            (folder / "1_Normalize").mkdir(exist_ok=True)
        (folder / "modules.json").write_text(json.dumps(listed, indent=2))
    return folder
