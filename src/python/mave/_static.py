"""Static sentence models' texts tokenized by the tokenizers package: the path
for tokenizer.json files whose components the core does not tokenize. The
package is imported only when such a model first tokenizes."""

from __future__ import annotations

import itertools
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from mave._errors import FormatError

__all__ = ["load_tokenizer", "token_counts", "token_ids"]


def load_tokenizer(path: str) -> Any:
    """The tokenizers.Tokenizer of `path`, set to pad and truncate nothing
    (the pooling cuts texts itself).

    Raises:
        ImportError: the tokenizers package is not installed.
        mave.FormatError: the file is not a tokenizer it can read.
    """
    try:
        import tokenizers
    except ImportError as error:
        raise ImportError(
            f"{path} uses a tokenizer component mave does not tokenize itself, which needs the "
            "tokenizers package: pip install 'mave[tokenizers]'"
        ) from error
    try:
        tokenizer = tokenizers.Tokenizer.from_file(path)
    except Exception as error:  # the package raises plain Exception for a bad file
        reason = f"the tokenizers package cannot read it: {error}"
        raise FormatError(f"{path}: {reason}", path, reason) from None
    tokenizer.no_padding()
    tokenizer.no_truncation()
    return tokenizer


def _encode(tokenizer: Any, texts: Sequence[str]) -> list[Any]:
    # The fast variant (tokenizers 0.21 and later) skips the offsets.
    encode = getattr(tokenizer, "encode_batch_fast", tokenizer.encode_batch)
    return list(encode(list(texts), add_special_tokens=False))


def token_ids(
    tokenizer: Any, texts: Sequence[str], max_length: int | None, chars_per_token: int
) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint64]]:
    """The ids of each text without special tokens, after Model2Vec's cut of
    the text to max_length x chars_per_token characters (none without a
    limit; the model's median token length, found by running Model2Vec):
    all ids in one array and the offsets of each text's ids (len(texts) + 1)."""
    if max_length is not None:
        limit = chars_per_token * max_length
        texts = [t[:limit] for t in texts]
    encodings = _encode(tokenizer, texts)
    lengths = np.fromiter((len(e.ids) for e in encodings), dtype=np.uint64, count=len(encodings))
    offsets = np.zeros(len(encodings) + 1, dtype=np.uint64)
    np.cumsum(lengths, out=offsets[1:])
    ids = np.fromiter(
        itertools.chain.from_iterable(e.ids for e in encodings), dtype=np.uint32, count=int(offsets[-1])
    )
    return ids, offsets


def token_counts(tokenizer: Any, texts: Sequence[str]) -> npt.NDArray[np.int64]:
    """The number of ids each whole text gives (no cut, no special tokens)."""
    encodings = _encode(tokenizer, texts)
    return np.fromiter((len(e.ids) for e in encodings), dtype=np.int64, count=len(encodings))
