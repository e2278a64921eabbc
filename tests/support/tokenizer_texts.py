"""Texts in many scripts and tokenizers trained on them with the `tokenizers`
package: the material of the differential tokenizer tests, the bench and the
tokenizer fuzz corpus.

Everything is seeded: the same seed gives the same texts and tokenizers.
"""

import json
import random
import unicodedata

import numpy as np
from tokenizers import AddedToken, Tokenizer, models, normalizers, pre_tokenizers, trainers

SPECIAL_TOKENS = ["[UNK]", "[CLS]", "[SEP]", "[MASK]", "<s>", "</s>", "<unk>", "<|endoftext|>"]


def _chars(*ranges):
    out = []
    for first, last in ranges:
        out.extend(chr(c) for c in range(first, last + 1) if not 0xD800 <= c < 0xE000)
    return out


LATIN = list("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")
ACCENTED = _chars((0xC0, 0xFF), (0x100, 0x17F), (0x1E00, 0x1EFF)) + [
    "ǅ",
    "ǈ",
    "İ",
    "ı",
    "ß",
    "ẞ",
    "ﬁ",
    "ﬀ",
    "ŉ",
]
COMBINING = _chars((0x300, 0x36F), (0x1AB0, 0x1ABE), (0x1DC0, 0x1DFF), (0x20D0, 0x20F0))
SCRIPTS = {
    "greek": _chars((0x391, 0x3A9), (0x3B1, 0x3C9), (0x386, 0x38F), (0x1F00, 0x1F7D)) + ["ς", "Σ"],
    "cyrillic": _chars((0x400, 0x45F), (0x48A, 0x4FF)),
    "arabic": _chars((0x621, 0x64A), (0x64B, 0x65F), (0x660, 0x669), (0x6F0, 0x6F9), (0xFE70, 0xFEFC)),
    "hebrew": _chars((0x5D0, 0x5EA), (0x591, 0x5C7), (0xFB1D, 0xFB4F)),
    "devanagari": _chars((0x900, 0x97F)),
    "thai": _chars((0xE01, 0xE5B)),
    "cjk": _chars(
        (0x4E00, 0x4FFF),
        (0x3400, 0x3440),
        (0x20000, 0x20040),
        (0xF900, 0xF950),
        (0x3040, 0x30FF),
        (0x2F800, 0x2F820),
        (0x31350, 0x31360),
    ),
    "hangul": _chars((0xAC00, 0xAD00), (0x1100, 0x11FF), (0x3131, 0x318E)),
    "fullwidth": _chars((0xFF01, 0xFF5E), (0x2460, 0x24FF), (0x2150, 0x218B), (0x3300, 0x33FF)),
}
EMOJI = _chars((0x1F600, 0x1F64F), (0x1F300, 0x1F5FF), (0x1F900, 0x1F9FF), (0x2600, 0x27BF)) + [
    "👩‍💻",
    "👨‍👩‍👧‍👦",
    "👍🏽",
    "👋🏿",
    "🏳️‍🌈",
    "🇫🇷",
    "🇯🇵",
    "❤️",
    "✌🏻",
    "🧑🏾‍🚀",
]
CONTROL = _chars((0x0, 0x8), (0xE, 0x1F), (0x7F, 0x9F)) + [
    "\u200b",
    "\u200c",
    "\u200d",
    "\u200e",
    "\ufeff",
    "\u2060",
    "\u00ad",
    "\ufffd",
    "\u061c",
    "\u0890",
]
WHITESPACE = [
    " ",
    "\t",
    "\n",
    "\r",
    "\x0b",
    "\x0c",
    "\x85",
    "\xa0",
    "\u1680",
    "\u2000",
    "\u2003",
    "\u2007",
    "\u200a",
    "\u2028",
    "\u2029",
    "\u202f",
    "\u205f",
    "\u3000",
    "\u180e",
    "  ",
    " \n ",
]
DIGITS = list("0123456789") + _chars(
    (0x660, 0x669),
    (0xFF10, 0xFF19),
    (0x2070, 0x2079),
    (0xB2, 0xB3),
    (0x2460, 0x2473),
    (0x1D7CE, 0x1D7FF),
    (0xBC, 0xBE),
)
PUNCTUATION = list("!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~") + _chars(
    (0x2010, 0x2027), (0x3001, 0x3003), (0xA1, 0xBF), (0x2E00, 0x2E5D), (0xFE10, 0xFE19)
)
PRIVATE = _chars((0xE000, 0xE010), (0xF0000, 0xF0008), (0x100000, 0x100004))
CONTRACTIONS = ["'s", "'t", "'re", "'ve", "'m", "'ll", "'d", "'S", "''", "'x"]


def _newer_characters():
    """Characters that Unicode 15.0 does not have (Python's unicodedata 15.0
    says unassigned) but later versions do, and unassigned ones."""
    out = []
    for c in _chars(
        (0x1C80, 0x1C90),
        (0xA7C0, 0xA7DF),
        (0x10D40, 0x10D8F),
        (0x105C0, 0x105FF),
        (0x11380, 0x113FF),
        (0x16D40, 0x16D7F),
        (0x1E5D0, 0x1E5FF),
        (0x16EA0, 0x16EDF),
        (0x1CC00, 0x1CCFF),
        (0x11F00, 0x11F5F),
        (0x1E030, 0x1E08F),
        (0x10780, 0x107BA),
        (0x32FF, 0x32FF),
    ):
        out.append(c)
    out += ["\u0378", "\u0380", "\U0003fffe", "\U000e0080", "\U0010fffd"]
    return out


NEWER = _newer_characters()


class TextMaker:
    """Random texts: words of one script (or a mix), separators of every kind of
    whitespace and punctuation, and now and then a special token."""

    def __init__(self, seed, special_tokens=SPECIAL_TOKENS, max_word=14):
        self.rng = random.Random(seed)
        self.special_tokens = list(special_tokens)
        self.max_word = max_word
        self.pools = [(LATIN, 8), (ACCENTED, 3), (DIGITS, 1), (EMOJI, 1), (NEWER, 1), (PRIVATE, 1)]
        self.pools += [(chars, 2) for chars in SCRIPTS.values()]
        self.weights = [w for _, w in self.pools]

    def word(self):
        rng = self.rng
        kind = rng.random()
        if kind < 0.02:
            # Longer than WordPiece's max_input_chars_per_word.
            return "".join(rng.choice(LATIN) for _ in range(rng.randint(90, 140)))
        if kind < 0.05:
            # Any code point at all: unassigned, private, surrogate-free.
            out = []
            for _ in range(rng.randint(1, 4)):
                c = rng.randint(0, 0x10FFFF)
                out.append(chr(c) if not 0xD800 <= c < 0xE000 else "x")
            return "".join(out)
        if kind < 0.08 and self.special_tokens:
            return rng.choice(self.special_tokens)
        pool = rng.choices(self.pools, self.weights)[0][0]
        n = rng.randint(1, self.max_word)
        chars = []
        for _ in range(n):
            r = rng.random()
            if r < 0.06:
                chars.append(rng.choice(COMBINING))
            elif r < 0.08:
                chars.append(rng.choice(CONTROL))
            elif r < 0.10:
                chars.append(rng.choice(ACCENTED))
            else:
                chars.append(rng.choice(pool))
        word = "".join(chars)
        r = rng.random()
        if r < 0.1:
            word = unicodedata.normalize(rng.choice(["NFC", "NFD", "NFKC", "NFKD"]), word)
        elif r < 0.15:
            word += rng.choice(CONTRACTIONS)
        elif r < 0.2:
            word = word.upper()
        return word

    def separator(self):
        r = self.rng.random()
        if r < 0.75:
            return " "
        if r < 0.9:
            return self.rng.choice(WHITESPACE)
        if r < 0.97:
            return self.rng.choice(PUNCTUATION) + self.rng.choice(["", " "])
        return ""

    def text(self):
        rng = self.rng
        n = rng.randint(0, 16)
        parts = [self.separator() if rng.random() < 0.1 else ""]
        for _ in range(n):
            parts.append(self.word())
            parts.append(self.separator())
        if rng.random() < 0.3:
            parts.pop()
        return "".join(parts)

    def texts(self, n):
        return [self.text() for _ in range(n)]


def corpus(seed, n=4000):
    """Training text: the same kinds of words, more of the common ones."""
    maker = TextMaker(seed, special_tokens=[])
    return maker.texts(n)


def byte_tokens():
    return [f"<0x{b:02X}>" for b in range(256)]


def _with_json(tokenizer, edit):
    """A tokenizer whose file `edit` changed (options the trainers do not set)."""
    data = json.loads(tokenizer.to_str())
    edit(data)
    return Tokenizer.from_str(json.dumps(data))


def _add_byte_tokens(data, score=-20.0):
    model = data["model"]
    if isinstance(model["vocab"], list):
        have = {t for t, _ in model["vocab"]}
        model["vocab"] += [[t, score] for t in byte_tokens() if t not in have]
    else:
        for t in byte_tokens():
            model["vocab"].setdefault(t, len(model["vocab"]))
    model["byte_fallback"] = True


def _added(tokenizer):
    tokenizer.add_special_tokens(["[CLS]", "[SEP]", "<|endoftext|>"])
    tokenizer.add_tokens(
        [
            AddedToken("[MASK]", lstrip=True, rstrip=True, normalized=False),
            AddedToken("</s>", single_word=True, normalized=False),
            AddedToken("<s>", normalized=True),
            AddedToken("Zebra", single_word=True),
        ]
    )
    return tokenizer


def build_tokenizers(seed=0, vocab_size=2000, text=None):
    """name -> a trained `tokenizers.Tokenizer`, one per pipeline the core runs,
    trained on `text` (default: a generated corpus)."""
    if text is None:
        text = corpus(seed)
    out = {}

    def train(name, model, trainer, normalizer=None, pre_tokenizer=None, added=True, edit=None):
        t = Tokenizer(model)
        if normalizer is not None:
            t.normalizer = normalizer
        if pre_tokenizer is not None:
            t.pre_tokenizer = pre_tokenizer
        t.train_from_iterator(text, trainer)
        if edit is not None:
            t = _with_json(t, edit)
        if added:
            _added(t)
        out[name] = t

    wp = lambda: trainers.WordPieceTrainer(
        vocab_size=vocab_size, special_tokens=["[UNK]"], limit_alphabet=400, show_progress=False
    )
    train(
        "wordpiece-bert-uncased",
        models.WordPiece(unk_token="[UNK]"),
        wp(),
        normalizers.BertNormalizer(),
        pre_tokenizers.BertPreTokenizer(),
    )
    train(
        "wordpiece-bert-cased",
        models.WordPiece(unk_token="[UNK]"),
        wp(),
        normalizers.BertNormalizer(lowercase=False),
        pre_tokenizers.BertPreTokenizer(),
    )
    train(
        "wordpiece-strip-accents",
        models.WordPiece(unk_token="[UNK]", max_input_chars_per_word=12),
        wp(),
        normalizers.BertNormalizer(
            clean_text=False, handle_chinese_chars=False, strip_accents=True, lowercase=False
        ),
        pre_tokenizers.Whitespace(),
    )
    train(
        "wordpiece-keep-accents",
        models.WordPiece(unk_token="[UNK]"),
        wp(),
        normalizers.BertNormalizer(strip_accents=False, lowercase=True),
        pre_tokenizers.BertPreTokenizer(),
    )
    bl = lambda: trainers.BpeTrainer(
        vocab_size=vocab_size, initial_alphabet=pre_tokenizers.ByteLevel.alphabet(), show_progress=False
    )
    train("bpe-bytelevel-prefix", models.BPE(), bl(), None, pre_tokenizers.ByteLevel(add_prefix_space=True))
    train(
        "bpe-bytelevel-nfc",
        models.BPE(),
        bl(),
        normalizers.NFC(),
        pre_tokenizers.ByteLevel(add_prefix_space=False),
    )
    train(
        "bpe-bytelevel-ignore-merges",
        models.BPE(),
        bl(),
        None,
        pre_tokenizers.ByteLevel(add_prefix_space=False),
        edit=lambda d: d["model"].update(ignore_merges=True),
    )
    train(
        "bpe-affixes",
        models.BPE(unk_token="[UNK]", continuing_subword_prefix="##", end_of_word_suffix="</w>"),
        trainers.BpeTrainer(
            vocab_size=vocab_size,
            special_tokens=["[UNK]"],
            continuing_subword_prefix="##",
            end_of_word_suffix="</w>",
            limit_alphabet=300,
            show_progress=False,
        ),
        normalizers.Sequence([normalizers.NFKC(), normalizers.Lowercase()]),
        pre_tokenizers.Sequence(
            [
                pre_tokenizers.WhitespaceSplit(),
                pre_tokenizers.Punctuation(behavior="merged_with_previous"),
                pre_tokenizers.Digits(individual_digits=True),
            ]
        ),
    )
    train(
        "bpe-fuse-unk-byte-fallback",
        models.BPE(unk_token="[UNK]", fuse_unk=True),
        trainers.BpeTrainer(
            vocab_size=vocab_size, special_tokens=["[UNK]"], limit_alphabet=200, show_progress=False
        ),
        normalizers.NFD(),
        pre_tokenizers.Sequence(
            [pre_tokenizers.Whitespace(), pre_tokenizers.Digits(individual_digits=False)]
        ),
        edit=_add_byte_tokens,
    )
    # Unigram keeps every character of its training text.
    alphabet = len(set("".join(text)))
    un = lambda: trainers.UnigramTrainer(
        vocab_size=alphabet + vocab_size, special_tokens=["<unk>"], unk_token="<unk>", show_progress=False
    )
    train(
        "unigram-metaspace-always-nfkc",
        models.Unigram(),
        un(),
        normalizers.NFKC(),
        pre_tokenizers.Metaspace(prepend_scheme="always"),
    )
    train(
        "unigram-metaspace-first",
        models.Unigram(),
        un(),
        normalizers.Sequence([normalizers.NFD(), normalizers.StripAccents(), normalizers.Lowercase()]),
        pre_tokenizers.Metaspace(prepend_scheme="first"),
    )
    train(
        "unigram-metaspace-never-byte-fallback",
        models.Unigram(),
        un(),
        normalizers.Sequence(
            [
                normalizers.NFKD(),
                normalizers.Replace("''", '"'),
                normalizers.Strip(),
                normalizers.Prepend("▁"),
            ]
        ),
        pre_tokenizers.Metaspace(prepend_scheme="never", split=False),
        edit=_add_byte_tokens,
    )
    train(
        "unigram-first-nfkc-digits",
        models.Unigram(),
        un(),
        normalizers.NFKC(),
        pre_tokenizers.Sequence(
            [pre_tokenizers.Digits(individual_digits=True), pre_tokenizers.Metaspace(prepend_scheme="first")]
        ),
    )
    wl = lambda: trainers.WordLevelTrainer(
        vocab_size=vocab_size * 2, special_tokens=["[UNK]"], show_progress=False
    )
    train(
        "wordlevel-whitespace-split",
        models.WordLevel(unk_token="[UNK]"),
        wl(),
        None,
        pre_tokenizers.WhitespaceSplit(),
        added=False,
    )
    train(
        "wordlevel-pipeline",
        models.WordLevel(unk_token="[UNK]"),
        wl(),
        normalizers.Sequence(
            [
                normalizers.Strip(left=True, right=False),
                normalizers.Lowercase(),
                normalizers.StripAccents(),
                normalizers.NFC(),
            ]
        ),
        pre_tokenizers.Sequence(
            [
                pre_tokenizers.Whitespace(),
                pre_tokenizers.Punctuation(behavior="contiguous"),
                pre_tokenizers.Split("-", behavior="merged_with_next", invert=False),
                pre_tokenizers.Split("ab", behavior="isolated", invert=True),
                pre_tokenizers.CharDelimiterSplit("x"),
            ]
        ),
    )
    return out


def flatten(encodings):
    """(ids, offsets) of a list of encodings, as _Tokenizer.encode_batch gives them."""
    lengths = np.fromiter((len(e.ids) for e in encodings), dtype=np.int64, count=len(encodings))
    offsets = np.zeros(len(encodings) + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    ids = np.fromiter((i for e in encodings for i in e.ids), dtype=np.uint32, count=int(offsets[-1]))
    return ids, offsets
