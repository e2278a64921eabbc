"""The core tokenizer against the `tokenizers` package: tokenizers trained in
the test on generated text (one per pipeline the core runs), then the ids of
generated texts in many scripts compared with
`Tokenizer.encode_batch(texts, add_special_tokens=False)`.

MAVE_TOKENIZER_TEXTS sets how many texts in all (default 1,000,000, spread
over the tokenizers); the sanitizer run uses fewer. The count is printed.
"""

import os
import sys

import numpy as np
import pytest

from mave import _native

# The reference; the NumPy 1.26 and wheel environments go without it.
pytest.importorskip("tokenizers")
import tokenizer_texts  # noqa: E402

TOTAL = int(os.environ.get("MAVE_TOKENIZER_TEXTS", "1000000"))
BATCH = 50_000


@pytest.fixture(scope="module")
def trained():
    return tokenizer_texts.build_tokenizers(seed=7)


def first_difference(ours, theirs, texts):
    ids, offsets = ours
    ref_ids, ref_offsets = theirs
    for i, text in enumerate(texts):
        got = ids[offsets[i] : offsets[i + 1]].tolist()
        want = ref_ids[ref_offsets[i] : ref_offsets[i + 1]].tolist()
        if got != want:
            return f"text {i} {text!r}: ours {got}, tokenizers {want}"
    return None


def test_ids_equal_the_tokenizers_package(trained, capsys, tmp_path):
    names = sorted(trained)
    per_tokenizer = max(1, -(-TOTAL // len(names)))  # rounded up: at least TOTAL in all
    compared = 0
    for k, name in enumerate(names):
        reference = trained[name]
        ours = _native._Tokenizer(reference.to_str())
        assert ours.unsupported == "", (name, ours.unsupported)
        maker = tokenizer_texts.TextMaker(seed=1000 + k)
        done = 0
        while done < per_tokenizer:
            texts = maker.texts(min(BATCH, per_tokenizer - done))
            theirs = tokenizer_texts.flatten(reference.encode_batch(texts, add_special_tokens=False))
            got = ours.encode_batch(texts)
            if not (np.array_equal(got[1], theirs[1]) and np.array_equal(got[0], theirs[0])):
                # Training is not reproducible across processes: keep the file.
                saved = tmp_path / f"{name}.json"
                saved.write_text(reference.to_str(), encoding="utf-8")
                pytest.fail(f"{name} (saved as {saved}): {first_difference(got, theirs, texts)}")
            done += len(texts)
        compared += done
    with capsys.disabled():
        print(
            f"\ntokenizer differential: {compared} texts over {len(names)} tokenizers, no difference",
            file=sys.stderr,
        )
    assert compared >= min(TOTAL, len(names))


@pytest.mark.parametrize("max_ids", [0, 1, 3, 17])
def test_max_ids_gives_the_first_ids(trained, max_ids):
    texts = tokenizer_texts.TextMaker(seed=5).texts(2000)
    for name, reference in trained.items():
        ours = _native._Tokenizer(reference.to_str())
        full_ids, full_offsets = ours.encode_batch(texts)
        ids, offsets = ours.encode_batch(texts, max_ids=max_ids, threads=2)
        for i in range(len(texts)):
            whole = full_ids[full_offsets[i] : full_offsets[i + 1]]
            assert ids[offsets[i] : offsets[i + 1]].tolist() == whole[:max_ids].tolist(), (name, texts[i])


def test_vocabulary_in_id_order(trained):
    for name, reference in trained.items():
        ours = _native._Tokenizer(reference.to_str())
        vocab = reference.get_vocab(with_added_tokens=True)
        assert ours.vocab_size == len(vocab) == reference.get_vocab_size(with_added_tokens=True), name
        for token, i in vocab.items():
            assert ours.token(i) == token, name
            assert ours.id_of(token) == i, name
