"""The limits of one request to `mave serve` (no web stack needed to read them)."""

from __future__ import annotations

import dataclasses

__all__ = ["Limits"]


@dataclasses.dataclass(frozen=True)
class Limits:
    """What one request may ask: the defaults keep one request under about a
    second on a million-word model."""

    words: int = 1000          # strings in one vectors request
    queries: int = 100         # queries of one nearest request, terms of one similar request
    length: int = 200          # characters in one string
    k: int = 1000              # neighbours asked for
    body: int = 1 << 20        # bytes of one request body
