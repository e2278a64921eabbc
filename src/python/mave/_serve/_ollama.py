"""The Ollama-shaped route: POST /api/embed, so that the `ollama` client takes
mave serve as its server. Failures answer `{"error": ...}`, which the client
raises as its ResponseError with the status."""

from __future__ import annotations

import time
from typing import Annotated

import numpy as np
import numpy.typing as npt
import orjson
from fastapi import APIRouter, Depends
from fastapi.responses import Response

from mave._embeddings import Embeddings
from mave._serve._embed import Render, embed, texts_of
from mave._serve._errors import GuardedRoute
from mave._serve._models import Models
from mave._serve._schemas import EmbedRequest, EmbedResponse, OllamaError, errors
from mave._serve._state import Service, models_of, service_of

__all__ = ["router"]

router = APIRouter(route_class=GuardedRoute, tags=["Ollama"])


async def model_asked(body: EmbedRequest, models: Annotated[Models, Depends(models_of)]) -> Embeddings:
    """The model the request names (its body's `model`)."""
    await models.wait(body.model)
    return models.get(body.model, param="model")


def _render(name: str, start: int) -> Render:
    def render(vectors: npt.NDArray[np.float32], tokens: int) -> bytes:
        # float64 of the float32 values: a JSON reader gets them back exactly.
        return orjson.dumps(
            {
                "model": name,
                "embeddings": vectors.astype(np.float64),
                "total_duration": time.perf_counter_ns() - start,
                "load_duration": 0,
                "prompt_eval_count": tokens,
            },
            option=orjson.OPT_SERIALIZE_NUMPY,
        )

    return render


@router.post(
    "/api/embed",
    response_model=EmbedResponse,
    responses=errors(
        OllamaError,
        {
            400: "a request that cannot be answered: what was wrong",
            401: "no API key, or a wrong one",
            404: "no such model",
            413: "over a limit: texts in one request, characters in one text, or " "bytes in the body",
            503: "the model is loading: ask again",
        },
    ),
)
async def embed_route(
    body: EmbedRequest,
    e: Annotated[Embeddings, Depends(model_asked)],
    service: Annotated[Service, Depends(service_of)],
) -> Response:
    """The vectors of the texts (the model's `encode`), in Ollama's shape."""
    start = time.perf_counter_ns()
    texts = texts_of(body.input, service.settings.limits)
    content = await embed(service, body.model, e, texts, body.dimensions, _render(body.model, start))
    return Response(content, media_type="application/json")
