"""The work of an embeddings request, shared by the OpenAI- and the
Ollama-shaped routes: the texts checked against the limits before any work,
then encoded and rendered as JSON on a worker thread (the core encodes
without the interpreter lock; the event loop never waits for it)."""

from __future__ import annotations

from collections.abc import Callable, Sequence

import numpy as np
import numpy.typing as npt
from starlette.concurrency import run_in_threadpool

from mave._embeddings import Embeddings
from mave._serve import _queries
from mave._serve._errors import ServiceError
from mave._serve._settings import Limits
from mave._serve._state import Service

__all__ = ["Render", "embed", "texts_of"]

# The answer's bytes from the vectors and the number of tokens.
Render = Callable[[npt.NDArray[np.float32], int], bytes]


def texts_of(
    given: str | Sequence[str] | Sequence[int] | Sequence[Sequence[int]], limits: Limits
) -> list[str]:
    """The texts of a request's `input`, within the limits.

    Raises:
        ServiceError: 400 for token ids or no text, 413 for too many texts
            or a text too long.
    """
    texts: list[str] = []
    for text in [given] if isinstance(given, str) else given:
        if not isinstance(text, str):
            raise ServiceError(
                400,
                "this server takes text: input must be a string or a list of " "strings, not token ids",
                param="input",
            )
        texts.append(text)
    if not texts:
        raise ServiceError(400, "input holds no text", param="input")
    if len(texts) > limits.words:
        raise ServiceError(
            413,
            f"input holds {len(texts)} texts, more than the {limits.words} " "one request may hold",
            param="input",
        )
    for i, text in enumerate(texts):
        if len(text) > limits.length:
            raise ServiceError(413, f"input[{i}] is longer than {limits.length} characters", param="input")
    return texts


async def embed(
    service: Service, name: str, e: Embeddings, texts: list[str], dimensions: int | None, render: Render
) -> bytes:
    """The rendered answer for `texts` embedded by model `name`, counted in
    the metrics."""

    def work() -> tuple[bytes, int]:
        vectors, tokens = _queries.encode(e, texts, dimensions)
        return render(vectors, tokens), tokens

    content, tokens = await run_in_threadpool(work)
    service.metrics.embedded(name, len(texts), tokens)
    return content
