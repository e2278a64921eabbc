"""The request and response models of the service, declared once: they
validate at the edge and make the OpenAPI schema. mave's own request models
state the limits in force, so they are made per app (`_own.router`); the
ones here do not depend on the settings."""

from __future__ import annotations

from typing import Any, Literal

from pydantic import BaseModel, ConfigDict, Field, StrictInt, StrictStr

__all__ = [
    "Completions",
    "EmbedRequest",
    "EmbedResponse",
    "Embedding",
    "EmbeddingsRequest",
    "EmbeddingsResponse",
    "Error",
    "Health",
    "MapResponse",
    "ModelCard",
    "ModelList",
    "NearestResults",
    "OllamaError",
    "OpenAIError",
    "OpenAIErrorBody",
    "Point",
    "Ready",
    "Results",
    "Scored",
    "Usage",
    "VectorsResponse",
    "errors",
]

# --- mave's own routes ----------------------------------------------------------


class Error(BaseModel):
    detail: str


class Scored(BaseModel):
    word: str
    cosine: float


class Results(BaseModel):
    results: list[Scored]


class NearestResults(BaseModel):
    results: list[list[Scored]]


class VectorsResponse(BaseModel):
    vectors: list[list[float]]
    found: list[bool]


class Point(BaseModel):
    word: str
    x: float
    y: float
    cosine: float


class MapResponse(BaseModel):
    points: list[Point]


class Completions(BaseModel):
    words: list[str]


# --- operations -----------------------------------------------------------------


class Health(BaseModel):
    status: Literal["ok"]


class Ready(BaseModel):
    status: Literal["ready", "loading", "failed"]
    models: dict[str, Literal["loaded", "loading", "failed"]] = Field(
        description="each model's state, by name"
    )


# --- OpenAI's shape -------------------------------------------------------------


class OpenAIErrorBody(BaseModel):
    message: str
    type: str
    param: str | None
    code: str | None


class OpenAIError(BaseModel):
    error: OpenAIErrorBody


class ModelCard(BaseModel):
    """A model in OpenAI's shape, with mave's facts beside."""

    id: str = Field(description="the model's name: its file name without the extension")
    object: Literal["model"] = "model"
    created: int = Field(description="when the model's file was written (Unix seconds)")
    owned_by: str = "mave"
    dims: int
    words: int
    vocab_kind: str
    storage_kind: str
    approximate: bool = Field(description="whether an approximate-neighbours index is in use")


class ModelList(BaseModel):
    object: Literal["list"] = "list"
    data: list[ModelCard]


class EmbeddingsRequest(BaseModel):
    """OpenAI's embeddings request. Token ids are accepted by the schema only
    to be refused with a 400 that says this server takes text."""

    model_config = ConfigDict(extra="forbid")

    model: str = Field(description="a model's name (GET /v1/models)")
    input: StrictStr | list[StrictStr] | list[StrictInt] | list[list[StrictInt]] = Field(
        description="a text or a list of texts"
    )
    encoding_format: Literal["float", "base64"] = Field(
        "float", description="base64: each vector's little-endian float32 bytes"
    )
    dimensions: int | None = Field(
        None, ge=1, description="keep the first n components and scale them to unit length"
    )
    user: str | None = Field(None, description="ignored")


class Embedding(BaseModel):
    object: Literal["embedding"] = "embedding"
    index: int
    embedding: list[float] | str


class Usage(BaseModel):
    prompt_tokens: int
    total_tokens: int


class EmbeddingsResponse(BaseModel):
    object: Literal["list"] = "list"
    data: list[Embedding]
    model: str
    usage: Usage


# --- Ollama's shape -------------------------------------------------------------


class OllamaError(BaseModel):
    error: str


class EmbedRequest(BaseModel):
    """Ollama's embed request; its model options, truncation and keep-alive
    mean nothing here and are ignored, as Ollama ignores fields it does not
    know."""

    model_config = ConfigDict(extra="ignore")

    model: str
    input: StrictStr | list[StrictStr]
    dimensions: int | None = Field(None, ge=1)
    truncate: bool | None = None
    options: dict[str, Any] | None = None
    keep_alive: float | str | None = None


class EmbedResponse(BaseModel):
    model: str
    embeddings: list[list[float]]
    total_duration: int = Field(description="nanoseconds spent on the request")
    load_duration: int = Field(description="nanoseconds spent loading the model: 0, it was loaded")
    prompt_eval_count: int = Field(description="tokens of the texts")


def errors(model: type[BaseModel], statuses: dict[int, str]) -> dict[int | str, dict[str, Any]]:
    """The `responses` of a route: each status with its error model."""
    return {status: {"model": model, "description": text} for status, text in statuses.items()}
