"""Every code point through each normalizer and pre-tokenizer of the core
tokenizer, against the same component of the `tokenizers` package: the test
of the Unicode data (utf8proc 2.8.0 with the tables
scripts/tokenizer-unicode-tables generates from that package). A failure
here after upgrading `tokenizers` means running that script again.
"""

import json

import pytest

from mave import _native

# The reference; the NumPy 1.26 and wheel environments go without it.
tokenizers = pytest.importorskip("tokenizers")
normalizers, pre_tokenizers = tokenizers.normalizers, tokenizers.pre_tokenizers

CODE_POINTS = [c for c in range(0x110000) if not 0xD800 <= c < 0xE000]
CHUNK = 4096


def ours_with(normalizer=None, pre_tokenizer=None):
    data = {
        "version": "1.0",
        "model": {"type": "WordLevel", "vocab": {"[UNK]": 0}, "unk_token": "[UNK]"},
        "normalizer": normalizer,
        "pre_tokenizer": pre_tokenizer,
        "added_tokens": [],
    }
    return _native._Tokenizer(json.dumps(data))


def chunks(template):
    for i in range(0, len(CODE_POINTS), CHUNK):
        yield "".join(template.format(chr(c)) for c in CODE_POINTS[i : i + CHUNK])


def first_different_char(ours, theirs, template, chunk_text):
    for c in chunk_text:
        if c in "a ":
            continue
        text = template.format(c)
        if ours(text) != theirs(text):
            return f"U+{ord(c):04X}: ours {ours(text)!r}, tokenizers {theirs(text)!r}"
    return "only in context"


NORMALIZERS = {
    "clean_text": normalizers.BertNormalizer(
        clean_text=True, handle_chinese_chars=False, strip_accents=False, lowercase=False
    ),
    "bert": normalizers.BertNormalizer(),
    "bert-cased-chinese": normalizers.BertNormalizer(lowercase=False, strip_accents=False),
    "lowercase": normalizers.Lowercase(),
    "strip_accents": normalizers.StripAccents(),
    "nfc": normalizers.NFC(),
    "nfd": normalizers.NFD(),
    "nfkc": normalizers.NFKC(),
    "nfkd": normalizers.NFKD(),
    "nmt": normalizers.Nmt(),
    "byte_level": normalizers.ByteLevel(),
}


@pytest.mark.parametrize("name", sorted(NORMALIZERS))
def test_every_code_point_normalizes_as_in_tokenizers(name):
    reference = NORMALIZERS[name]
    ours = ours_with(normalizer=json.loads(reference.__getstate__()))
    # A space between characters keeps them apart (nothing composes with it).
    template = "a{} "
    for text in chunks(template):
        if ours.normalize(text) != reference.normalize_str(text):
            pytest.fail(first_different_char(ours.normalize, reference.normalize_str, template, text))


PRE_TOKENIZERS = {
    "whitespace": pre_tokenizers.Whitespace(),
    "whitespace_split": pre_tokenizers.WhitespaceSplit(),
    "bert": pre_tokenizers.BertPreTokenizer(),
    "punctuation": pre_tokenizers.Punctuation(),
    "digits": pre_tokenizers.Digits(individual_digits=True),
    "byte_level": pre_tokenizers.ByteLevel(add_prefix_space=False),
}


@pytest.mark.parametrize("name", sorted(PRE_TOKENIZERS))
def test_every_code_point_splits_as_in_tokenizers(name):
    # Each character between letters, between digits and between symbols.
    template = "a{0}a1{0}1!{0}! "
    reference = PRE_TOKENIZERS[name]
    ours = ours_with(pre_tokenizer=json.loads(reference.__getstate__()))

    def theirs(text):
        return [piece for piece, _ in reference.pre_tokenize_str(text)]

    for text in chunks(template):
        if ours.pre_tokenize(text) != theirs(text):
            pytest.fail(first_different_char(ours.pre_tokenize, theirs, template, text))
