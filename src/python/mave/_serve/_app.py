"""The HTTP service: FastAPI routes over loaded models, with limits checked at
the edge.

Every route that touches a model is a plain `def`: FastAPI runs it in its
thread pool, and the core releases the interpreter lock while it scans, so
the event loop never waits for a search. Request models are made per app,
from its `Limits`, so that the OpenAPI schema states the limits in force.
"""

# No `from __future__ import annotations`: FastAPI reads the request models
# from the routes' annotations, and they are classes local to create_app.

import bisect
import io
import os
import threading
from collections.abc import Awaitable, Callable, MutableMapping
from importlib import resources
from typing import Annotated, Any, Literal

import numpy as np
import numpy.typing as npt
from fastapi import FastAPI, HTTPException, Path, Query, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse, Response
from pydantic import BaseModel, ConfigDict, Field

import mave
from mave._embeddings import Embeddings
from mave._index import has_index
from mave._serve import _queries
from mave._serve._limits import Limits

__all__ = ["Limits", "create_app", "model_name"]

NPY = "application/x-npy"


def model_name(path: str) -> str:
    """A model's name: its file name without the extension."""
    return os.path.splitext(os.path.basename(path))[0]


class Error(BaseModel):
    detail: str


class Model(BaseModel):
    name: str
    dims: int
    words: int
    vocab_kind: str
    storage_kind: str
    approximate: bool = Field(description="whether an approximate-neighbours index is in use")


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


ERRORS: dict[int | str, dict[str, Any]] = {
    404: {"model": Error, "description": "no such model"},
    413: {"model": Error, "description": "request body too large"},
    422: {"model": Error, "description": "a request that cannot be answered: what was wrong"},
}


class _BodyLimit:
    """Answers 413 to a body longer than the limit: at once when its length
    is declared, else as soon as the bytes received pass it."""

    def __init__(self, app: Any, limit: int) -> None:
        self.app, self.limit = app, limit

    def too_large(self) -> HTTPException:
        return HTTPException(413, f"the request body is larger than {self.limit} bytes")

    async def __call__(self, scope: MutableMapping[str, Any], receive: Callable[[], Awaitable[Any]],
                       send: Callable[[Any], Awaitable[None]]) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        length = dict(scope["headers"]).get(b"content-length")
        if length is not None and (not length.isdigit() or int(length) > self.limit):
            response = JSONResponse({"detail": self.too_large().detail}, status_code=413)
            await response(scope, receive, send)
            return
        received = 0

        async def counted() -> Any:
            # Raised inside the route's body reading, so the app's handler
            # renders it like any other client error.
            nonlocal received
            message = await receive()
            if message["type"] == "http.request":
                received += len(message.get("body", b""))
                if received > self.limit:
                    raise self.too_large()
            return message

        await self.app(scope, counted, send)


class _Completer:
    """Prefix completions from the vocabulary: the rows in word order, made
    once on first use (an int32 per word, not a second list of strings)."""

    def __init__(self, e: Embeddings) -> None:
        self._e = e
        self._order: npt.NDArray[np.int32] | None = None
        self._lock = threading.Lock()

    def __call__(self, prefix: str, limit: int) -> list[str]:
        words = self._e.words
        with self._lock:
            if self._order is None:
                self._order = np.array(sorted(range(len(words)), key=words.__getitem__), np.int32)
        order = self._order
        start = bisect.bisect_left(order, prefix, key=lambda row: words[int(row)])
        out = []
        for row in order[start:start + limit]:
            word = words[int(row)]
            if not word.startswith(prefix):
                break
            out.append(word)
        return out


def _static(name: str) -> bytes:
    return (resources.files("mave._serve") / "static" / name).read_bytes()


def create_app(paths: list[str], limits: Limits = Limits()) -> FastAPI:
    """The service over the models in `paths` (loaded now, mapped)."""
    models: dict[str, Embeddings] = {}
    for path in paths:
        name = model_name(path)
        if name in models:
            raise ValueError(f"two models are named {name!r}: {models[name].path} and {path}")
        models[name] = mave.load(path)
    completers = {name: _Completer(e) for name, e in models.items()}

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
            None, description="use the approximate-neighbours index (default: when the model has one)")

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

    app = FastAPI(title="mave", version=mave.__version__,
                  description="Word embeddings: vectors, neighbours and analogies of the models served.")

    # The names in the schema (clients and generated tests see them); an
    # unknown name still gets the 404 that says which names exist.
    ModelName = Path(description="a model's name", json_schema_extra={"enum": list(models)})

    def model(name: str) -> Embeddings:
        e = models.get(name)
        if e is None:
            raise HTTPException(404, f"no model named {name!r}; the models are: {', '.join(models)}")
        return e

    def check_strings(strings: list[Any], what: str) -> None:
        for i, s in enumerate(strings):
            if isinstance(s, str) and len(s) > limits.length:
                raise HTTPException(422, f"{what}[{i}] is longer than {limits.length} characters")

    def answer(call: Callable[[], Any]) -> Any:
        try:
            return call()
        except KeyError as error:
            raise HTTPException(422, f"no vector for {error.args[0]!r}") from None
        except (LookupError, ValueError, TypeError) as error:
            raise HTTPException(422, str(error)) from None
        except FileNotFoundError as error:  # approximate asked of a model without an index
            raise HTTPException(422, error.strerror) from None

    def scored(pairs: list[tuple[str, float]]) -> list[Scored]:
        return [Scored(word=w, cosine=c) for w, c in pairs if np.isfinite(c)]

    @app.exception_handler(RequestValidationError)
    async def invalid(request: Request, error: RequestValidationError) -> JSONResponse:
        parts = []
        for item in error.errors():
            where = ".".join(str(x) for x in item.get("loc", ()))
            parts.append(f"{where}: {item.get('msg', 'invalid')}")
        return JSONResponse({"detail": "; ".join(parts) or "invalid request"}, status_code=422)

    @app.exception_handler(HTTPException)
    async def failed(request: Request, error: HTTPException) -> JSONResponse:
        return JSONResponse({"detail": str(error.detail)}, status_code=error.status_code)

    @app.get("/health")
    def health() -> dict[str, str]:
        return {"status": "ok"}

    @app.get("/v1/models", response_model=list[Model])
    def list_models() -> list[Model]:
        return [Model(name=n, dims=e.dims, words=len(e.words), vocab_kind=e.vocab_kind,
                      storage_kind=e.storage_kind, approximate=has_index(e))
                for n, e in models.items()]

    @app.post("/v1/models/{name}/vectors", response_model=VectorsResponse, responses={
        **ERRORS, 200: {"content": {NPY: {"schema": {"type": "string", "format": "binary"}}},
                        "description": "the vectors as JSON, or as NumPy .npy bytes (float32) "
                                       f"with Accept: {NPY}"}})
    def vectors(body: VectorsRequest, request: Request, name: str = ModelName) -> Any:
        e = model(name)
        check_strings(body.words, "words")
        matrix, found = _queries.vectors(e, body.words)
        if NPY in request.headers.get("accept", ""):
            buffer = io.BytesIO()
            np.save(buffer, matrix, allow_pickle=False)
            return Response(buffer.getvalue(), media_type=NPY,
                            headers={"X-Found": "".join("1" if f else "0" for f in found)})
        return VectorsResponse(vectors=matrix.tolist(), found=found.tolist())

    @app.post("/v1/models/{name}/similar", response_model=Results, responses=ERRORS)
    def similar(body: SimilarRequest, name: str = ModelName) -> Results:
        e = model(name)
        if (body.query is None) == (body.positive is None):
            raise HTTPException(422, "give either query or positive (with negative), not both")
        positive: list[str | list[float]] = [body.query] if body.query is not None else body.positive or []
        if not positive:
            raise HTTPException(422, "positive holds no term")
        check_strings(positive, "positive")
        check_strings(body.negative, "negative")
        return Results(results=scored(answer(lambda: _queries.similar(
            e, positive, body.k, negative=body.negative, restrict=body.restrict,
            approximate=body.approximate))))

    @app.post("/v1/models/{name}/analogy", response_model=Results, responses=ERRORS)
    def analogy(body: AnalogyRequest, name: str = ModelName) -> Results:
        e = model(name)
        return Results(results=scored(answer(lambda: _queries.analogy(
            e, body.a, body.b, body.c, body.k, method=body.method, restrict=body.restrict))))

    @app.post("/v1/models/{name}/nearest", response_model=NearestResults, responses=ERRORS)
    def nearest(body: NearestRequest, name: str = ModelName) -> NearestResults:
        e = model(name)
        check_strings(body.queries, "queries")
        rows, cosines = answer(lambda: _queries.nearest(e, body.queries, body.k,
                                                        approximate=body.approximate))
        words = e.words
        return NearestResults(results=[
            [Scored(word=words[int(r)], cosine=float(c)) for r, c in zip(rs, cs)
             if r >= 0 and np.isfinite(c)] for rs, cs in zip(rows, cosines)])

    @app.get("/v1/models/{name}/completions", response_model=Completions, responses=ERRORS)
    def completions(name: str = ModelName, prefix: str = Query(max_length=limits.length),
                    limit: int = Query(10, ge=1, le=100)) -> Completions:
        return Completions(words=completers[name](prefix, limit) if model(name) else [])

    @app.post("/v1/models/{name}/map", response_model=MapResponse, responses=ERRORS)
    def word_map(body: MapRequest, name: str = ModelName) -> MapResponse:
        """The word and its neighbours placed on the plane of the two
        principal components of their vectors."""
        e = model(name)
        pairs = answer(lambda: _queries.similar(e, [body.word], body.k))
        words = [body.word] + [w for w, _ in pairs]
        cosines = [1.0] + [c for _, c in pairs]
        points = pca_2d(np.stack([e[body.word]] + [e[w] for w, _ in pairs]))
        return MapResponse(points=[Point(word=w, x=float(x), y=float(y), cosine=float(c))
                                   for w, (x, y), c in zip(words, points, cosines)])

    page = {"/": ("index.html", "text/html; charset=utf-8"),
            "/explorer.js": ("explorer.js", "text/javascript; charset=utf-8"),
            "/explorer.css": ("explorer.css", "text/css; charset=utf-8")}
    files = {route: (_static(file), media) for route, (file, media) in page.items()}

    def static_route(route: str) -> Callable[[], Response]:
        content, media = files[route]
        return lambda: Response(content, media_type=media)

    for route in page:
        app.add_api_route(route, static_route(route), methods=["GET"], include_in_schema=False)

    app.add_middleware(_BodyLimit, limit=limits.body)
    return app


def pca_2d(vectors: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
    """Coordinates of the rows on their first two principal components
    (unit rows, so that the map shows direction, not length)."""
    x = vectors.astype(np.float64)
    lengths = np.linalg.norm(x, axis=1, keepdims=True)
    x = np.divide(x, lengths, out=np.zeros_like(x), where=lengths > 0)
    x -= x.mean(axis=0)
    out = np.zeros((len(x), 2))
    if len(x) < 2:
        return out
    u, s, _ = np.linalg.svd(x, full_matrices=False)
    components = u[:, :2] * s[:2]
    out[:, :components.shape[1]] = components
    return out
