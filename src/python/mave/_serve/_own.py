"""mave's own routes: vectors, neighbours, analogies, completions and the
map of the models served, under /v1/models/{name}/.

The routes that touch a model are plain `def`s: FastAPI runs them in its
thread pool, and the core releases the interpreter lock while it scans, so
the event loop never waits for a search. The request models are made here,
per app, from its limits, so that the OpenAPI schema states the limits in
force.
"""

# No `from __future__ import annotations`: FastAPI reads the request models
# from the routes' annotations, and they are classes local to router().

import io
from collections.abc import Sequence
from typing import Annotated, Any, Literal

import numpy as np
from fastapi import APIRouter, Depends, Path, Query, Request
from fastapi.responses import Response
from pydantic import BaseModel, ConfigDict, Field

from mave._embeddings import Embeddings
from mave._serve import _queries
from mave._serve._errors import GuardedRoute, ServiceError
from mave._serve._models import Models
from mave._serve._schemas import (
    Completions,
    Error,
    MapResponse,
    NearestResults,
    Point,
    Results,
    Scored,
    VectorsResponse,
    errors,
)
from mave._serve._settings import Limits
from mave._serve._state import models_of

__all__ = ["NPY", "router"]

NPY = "application/x-npy"

ERRORS = errors(
    Error,
    {
        404: "no such model",
        413: "request body too large",
        422: "a request that cannot be answered: what was wrong",
        503: "the model is loading: ask again",
    },
)


def _scored(pairs: Sequence[tuple[str, float]]) -> list[Scored]:
    return [Scored(word=w, cosine=c) for w, c in pairs if np.isfinite(c)]


def router(names: Sequence[str], limits: Limits) -> APIRouter:
    """mave's routes over the models `names`, with request models bounded by `limits`."""
    Text = Field(min_length=1, max_length=limits.length)
    # Finite numbers only (JSON parsers take NaN and Infinity).
    Vector = list[Annotated[float, Field(allow_inf_nan=False)]]
    Term = str | Vector
    K = Field(10, ge=1, le=limits.k, description="how many words to return")

    class Strict(BaseModel):
        model_config = ConfigDict(extra="forbid")

    class VectorsRequest(Strict):
        words: list[str] = Field(max_length=limits.words)

    class SimilarRequest(Strict):
        query: str | Vector | None = Field(None, description="a word or a vector")
        positive: list[Term] | None = Field(None, max_length=limits.queries)
        negative: list[Term] = Field([], max_length=limits.queries)
        k: int = K
        restrict: int | None = Field(None, ge=1, description="search only the first rows")
        approximate: bool | None = Field(
            None, description="use the approximate-neighbours index (default: when the model has one)"
        )

    class AnalogyRequest(Strict):
        a: str = Text
        b: str = Text
        c: str = Text
        k: int = K
        method: Literal["add", "mul"] = "add"
        restrict: int | None = Field(None, ge=1)

    class NearestRequest(Strict):
        queries: list[Term] = Field(min_length=1, max_length=limits.queries)
        k: int = K
        approximate: bool | None = None

    class MapRequest(Strict):
        word: str = Text
        k: int = Field(10, ge=1, le=min(limits.k, 100))

    # The names in the schema (clients and generated tests see them); an
    # unknown name still gets the 404 that says which names exist.
    ModelName = Path(description="a model's name", json_schema_extra={"enum": list(names)})

    async def model(models: Annotated[Models, Depends(models_of)], name: str = ModelName) -> Embeddings:
        await models.wait(name)
        return models.get(name)

    Model = Annotated[Embeddings, Depends(model)]

    async def completer(
        models: Annotated[Models, Depends(models_of)], name: str = ModelName
    ) -> _queries.Completer:
        await models.wait(name)
        return models.completer(name)

    def check_strings(strings: Sequence[Any], what: str) -> None:
        for i, s in enumerate(strings):
            if isinstance(s, str) and len(s) > limits.length:
                raise ServiceError(422, f"{what}[{i}] is longer than {limits.length} characters")

    r = APIRouter(route_class=GuardedRoute, responses=ERRORS, tags=["mave"])

    @r.post(
        "/v1/models/{name}/vectors",
        response_model=VectorsResponse,
        responses={
            200: {
                "content": {NPY: {"schema": {"type": "string", "format": "binary"}}},
                "description": f"the vectors as JSON, or as NumPy .npy bytes (float32) with Accept: {NPY}",
            }
        },
    )
    def vectors(body: VectorsRequest, request: Request, e: Model) -> Any:
        check_strings(body.words, "words")
        matrix, found = _queries.vectors(e, body.words)
        if NPY in request.headers.get("accept", ""):
            buffer = io.BytesIO()
            np.save(buffer, matrix, allow_pickle=False)
            return Response(
                buffer.getvalue(),
                media_type=NPY,
                headers={"X-Found": "".join("1" if f else "0" for f in found)},
            )
        return VectorsResponse(vectors=matrix.tolist(), found=found.tolist())

    @r.post("/v1/models/{name}/similar", response_model=Results)
    def similar(body: SimilarRequest, e: Model) -> Results:
        if (body.query is None) == (body.positive is None):
            raise ServiceError(422, "give either query or positive (with negative), not both")
        positive: list[str | list[float]] = [body.query] if body.query is not None else body.positive or []
        if not positive:
            raise ServiceError(422, "positive holds no term")
        check_strings(positive, "positive")
        check_strings(body.negative, "negative")
        return Results(
            results=_scored(
                _queries.similar(
                    e,
                    positive,
                    body.k,
                    negative=body.negative,
                    restrict=body.restrict,
                    approximate=body.approximate,
                )
            )
        )

    @r.post("/v1/models/{name}/analogy", response_model=Results)
    def analogy(body: AnalogyRequest, e: Model) -> Results:
        return Results(
            results=_scored(
                _queries.analogy(
                    e, body.a, body.b, body.c, body.k, method=body.method, restrict=body.restrict
                )
            )
        )

    @r.post("/v1/models/{name}/nearest", response_model=NearestResults)
    def nearest(body: NearestRequest, e: Model) -> NearestResults:
        check_strings(body.queries, "queries")
        rows, cosines = _queries.nearest(e, body.queries, body.k, approximate=body.approximate)
        words = e.words
        return NearestResults(
            results=[
                [
                    Scored(word=words[int(r)], cosine=float(c))
                    for r, c in zip(rs, cs)
                    if r >= 0 and np.isfinite(c)
                ]
                for rs, cs in zip(rows, cosines)
            ]
        )

    @r.get("/v1/models/{name}/completions", response_model=Completions)
    def completions(
        complete: Annotated[_queries.Completer, Depends(completer)],
        prefix: str = Query(max_length=limits.length),
        limit: int = Query(10, ge=1, le=100),
    ) -> Completions:
        return Completions(words=complete(prefix, limit))

    @r.post("/v1/models/{name}/map", response_model=MapResponse)
    def word_map(body: MapRequest, e: Model) -> MapResponse:
        """The word and its neighbours placed on the plane of the two
        principal components of their vectors."""
        return MapResponse(
            points=[
                Point(word=w, x=x, y=y, cosine=c) for w, x, y, c in _queries.word_map(e, body.word, body.k)
            ]
        )

    return r
