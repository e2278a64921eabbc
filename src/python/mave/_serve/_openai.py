"""The OpenAI-shaped routes: POST /v1/embeddings and GET /v1/models, so that
OpenAI's own client, LangChain's and LlamaIndex's OpenAI embeddings take
mave serve as their server. Their failures answer in OpenAI's error shape
(`_errors`), which those clients turn into their typed errors."""

from __future__ import annotations

import base64
from typing import Annotated

import numpy as np
import numpy.typing as npt
import orjson
from fastapi import APIRouter, Depends
from fastapi.responses import Response

from mave._embeddings import Embeddings
from mave._index import has_index
from mave._serve._embed import Render, embed, texts_of
from mave._serve._errors import GuardedRoute
from mave._serve._models import Models
from mave._serve._schemas import (
    EmbeddingsRequest,
    EmbeddingsResponse,
    ModelCard,
    ModelList,
    OpenAIError,
    errors,
)
from mave._serve._state import Service, models_of, service_of

__all__ = ["router"]

router = APIRouter(route_class=GuardedRoute, tags=["OpenAI"])

ERRORS = errors(
    OpenAIError,
    {
        400: "a request that cannot be answered: what was wrong",
        401: "no API key, or a wrong one",
        404: "no such model",
        413: "over a limit: texts in one request, characters in one text, or " "bytes in the body",
        503: "the model is loading: ask again",
    },
)


async def model_asked(body: EmbeddingsRequest, models: Annotated[Models, Depends(models_of)]) -> Embeddings:
    """The model the request names (its body's `model`)."""
    await models.wait(body.model)
    return models.get(body.model, param="model")


def _render(name: str, base64_format: bool) -> Render:
    def render(vectors: npt.NDArray[np.float32], tokens: int) -> bytes:
        if base64_format:
            little = vectors.astype("<f4", copy=False)
            items: list[object] = [base64.b64encode(row.tobytes()).decode("ascii") for row in little]
        else:
            # Each float32 written as the float64 of the same value: a JSON
            # reader gets it back exactly.
            items = list(vectors.astype(np.float64))
        return orjson.dumps(
            {
                "object": "list",
                "data": [{"object": "embedding", "index": i, "embedding": v} for i, v in enumerate(items)],
                "model": name,
                "usage": {"prompt_tokens": tokens, "total_tokens": tokens},
            },
            option=orjson.OPT_SERIALIZE_NUMPY,
        )

    return render


@router.post("/v1/embeddings", response_model=EmbeddingsResponse, responses=ERRORS)
async def embeddings(
    body: EmbeddingsRequest,
    e: Annotated[Embeddings, Depends(model_asked)],
    service: Annotated[Service, Depends(service_of)],
) -> Response:
    """The vectors of the texts (the model's `encode`), in OpenAI's shape."""
    texts = texts_of(body.input, service.settings.limits)
    content = await embed(
        service, body.model, e, texts, body.dimensions, _render(body.model, body.encoding_format == "base64")
    )
    return Response(content, media_type="application/json")


@router.get(
    "/v1/models",
    response_model=ModelList,
    responses=errors(
        OpenAIError, {401: "no API key, or a wrong one", 503: "the models are loading: ask again"}
    ),
)
async def list_models(models: Annotated[Models, Depends(models_of)]) -> ModelList:
    """The models served, in OpenAI's shape, with mave's facts beside."""
    await models.wait()
    return ModelList(
        data=[
            ModelCard(
                id=name,
                created=models.created(name),
                dims=e.dims,
                words=len(e.words),
                vocab_kind=e.vocab_kind,
                storage_kind=e.storage_kind,
                approximate=has_index(e),
            )
            for name, e in models.loaded().items()
        ]
    )
