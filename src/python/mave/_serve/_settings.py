"""The settings of `mave serve` (no web stack needed to read them): what it
serves, what one request may ask, and the API keys it takes."""

from __future__ import annotations

import dataclasses
import hashlib
import json
import os
import re
from collections.abc import Mapping
from typing import Any

__all__ = ["KEY_VARIABLE", "Limits", "Settings", "key_digest", "model_name", "read_keys"]

# The environment variable that may hold the API keys (one, or several
# separated by commas or whitespace).
KEY_VARIABLE = "MAVE_API_KEY"


def model_name(path: str) -> str:
    """A model's name: its file name without the extension, or a static
    model's folder name whole (a trailing separator ignored)."""
    if os.path.isdir(path):
        return os.path.basename(os.path.normpath(path))
    return os.path.splitext(os.path.basename(path))[0]


@dataclasses.dataclass(frozen=True)
class Limits:
    """What one request may ask: the defaults keep one request under about a
    second on a million-word model."""

    words: int = 1000  # strings in one request: words of vectors, texts of embeddings
    queries: int = 100  # queries of one nearest request, terms of one similar request
    length: int = 200  # characters in one string (a word or a text)
    k: int = 1000  # neighbours asked for
    body: int = 1 << 20  # bytes of one request body


@dataclasses.dataclass(frozen=True)
class Settings:
    """Everything one service (and each of its worker processes) needs: the
    model files, the limits, and the SHA-256 digests of the API keys (none:
    the service is open). Only digests are kept, so that the settings handed
    to worker processes carry no key."""

    paths: tuple[str, ...]
    limits: Limits = Limits()
    key_digests: tuple[bytes, ...] = ()

    def to_json(self) -> str:
        return json.dumps(
            {
                "paths": list(self.paths),
                "limits": dataclasses.asdict(self.limits),
                "key_digests": [d.hex() for d in self.key_digests],
            }
        )

    @classmethod
    def from_json(cls, text: str) -> Settings:
        data: dict[str, Any] = json.loads(text)
        return cls(
            tuple(data["paths"]),
            Limits(**data["limits"]),
            tuple(bytes.fromhex(d) for d in data["key_digests"]),
        )


def key_digest(key: str | bytes) -> bytes:
    """The digest a key is compared by (fixed length, whatever the key)."""
    return hashlib.sha256(key.encode() if isinstance(key, str) else key).digest()


# What a key may hold: visible ASCII, as a header carries it unchanged.
_KEY = re.compile(r"[\x21-\x7e]+")


def read_keys(file: str | None, environ: Mapping[str, str]) -> list[str]:
    """The API keys: the lines of `file` (blank lines and lines starting with
    # skipped) when given, else those of MAVE_API_KEY; [] when neither.

    Raises:
        OSError: the file cannot be read.
        ValueError: the file holds no key, or a key holds a character other
            than visible ASCII.
    """
    if file is not None:
        with open(file, encoding="utf-8") as f:
            lines = [line.strip() for line in f]
        keys = [line for line in lines if line and not line.startswith("#")]
        where = file
        if not keys:
            raise ValueError(f"{file} holds no API key")
    else:
        keys = re.split(r"[\s,]+", environ.get(KEY_VARIABLE, "").strip())
        keys = [k for k in keys if k]
        where = KEY_VARIABLE
    for i, key in enumerate(keys):
        if not _KEY.fullmatch(key):
            # The key itself is never shown: only where it is.
            raise ValueError(f"API key {i + 1} of {where} holds a character other than visible ASCII")
    return keys
