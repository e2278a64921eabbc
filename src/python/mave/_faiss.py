"""The one import of faiss, which the approximate-neighbours index and
quantization use, with the message that says what to install."""

from __future__ import annotations

import importlib
from typing import Any

__all__ = ["import_faiss"]


def import_faiss(user: str, extra: str) -> Any:  # typed loosely: its stubs lag its API
    """The faiss module.

    Raises:
        ImportError: faiss is not installed; the message names `user` (what
            needs it) and the extra that brings it (``pip install mave[extra]``).
    """
    try:
        return importlib.import_module("faiss")
    except ImportError:
        raise ImportError(
            f"{user} needs faiss, which is not installed: pip install mave[{extra}]", name="faiss"
        ) from None
