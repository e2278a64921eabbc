"""The HTTP service: the routers of each surface (mave's own routes, the
OpenAI- and Ollama-shaped ones, the operator's), the page, and the checks
every request passes first (metrics, API key, body size), over models loaded
in the background."""

from __future__ import annotations

import contextlib
from collections.abc import AsyncIterator, Awaitable, Callable, Mapping
from importlib import resources
from typing import Any

from fastapi import APIRouter, FastAPI
from fastapi.openapi.utils import get_openapi
from fastapi.responses import Response

import mave
from mave._embeddings import Embeddings
from mave._serve import _ollama, _openai, _operations, _own
from mave._serve._errors import install_handlers, surface
from mave._serve._metrics import Metrics
from mave._serve._middleware import BodyLimit, Measure, RequireKey
from mave._serve._models import LOAD_WAIT, Models
from mave._serve._settings import Limits, Settings
from mave._serve._state import Service

__all__ = ["Limits", "Settings", "create_app"]

# The page's files, by route: served to anyone (a browser asks for them
# before it could send a key; they hold no data).
PAGE = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/explorer.js": ("explorer.js", "text/javascript; charset=utf-8"),
    "/explorer.css": ("explorer.css", "text/css; charset=utf-8"),
}


def create_app(
    settings: Settings,
    *,
    loaded: Mapping[str, Embeddings] | None = None,
    load: Callable[[str], Embeddings] = mave.load,
    load_wait: float = LOAD_WAIT,
) -> FastAPI:
    """The service over the models of `settings`: those in `loaded` served
    at once, the others loaded (by `load`) on a thread once the app starts;
    a request waits up to `load_wait` seconds for its model.

    Raises:
        ValueError: two models have the same name.
    """
    metrics = Metrics()
    models = Models(
        settings.paths, loaded=loaded, load=load, on_load=metrics.models_loaded.set, wait=load_wait
    )
    service = Service(settings, models, metrics)

    @contextlib.asynccontextmanager
    async def lifespan(app: FastAPI) -> AsyncIterator[None]:
        models.start()
        yield
        metrics.worker_exits()

    app = FastAPI(
        title="mave",
        version=mave.__version__,
        lifespan=lifespan,
        description="Embeddings of the models served: mave's own routes (vectors, "
        "neighbours, analogies), OpenAI's /v1/embeddings and Ollama's /api/embed.",
    )
    app.state.service = service
    install_handlers(app)
    for router in (
        _operations.router,
        _openai.router,
        _ollama.router,
        _own.router(models.names, settings.limits),
        _page(),
    ):
        app.include_router(router)
    keys = bool(settings.key_digests)
    app.openapi = lambda: _openapi(app, models.names, keys)  # type: ignore[method-assign]

    # The last added runs first: metrics see every answer, keys are checked
    # before the body is read.
    app.add_middleware(BodyLimit, limit=settings.limits.body)
    if settings.key_digests:
        app.add_middleware(
            RequireKey, digests=settings.key_digests, open_paths=[*_operations.OPEN_PATHS, *PAGE]
        )
    app.add_middleware(Measure, metrics=metrics, routes=app.router.routes)
    return app


def _page() -> APIRouter:
    r = APIRouter()
    for route, (file, media) in PAGE.items():
        content = (resources.files("mave._serve") / "static" / file).read_bytes()
        r.add_api_route(route, _constant(content, media), methods=["GET"], include_in_schema=False)
    return r


def _constant(content: bytes, media: str) -> Callable[[], Awaitable[Response]]:
    async def answer() -> Response:
        return Response(content, media_type=media)

    return answer


def _openapi(app: FastAPI, names: list[str], keys: bool) -> dict[str, Any]:
    """FastAPI's schema, told what it cannot see: the names of the models
    served; the OpenAI- and Ollama-shaped routes answer a malformed request
    with 400, not 422; with keys, every operation but the open ones needs a
    bearer key."""
    if app.openapi_schema is None:
        schema = get_openapi(
            title=app.title, version=app.version, description=app.description, routes=app.routes
        )
        # (an unknown name still gets the 404 that says which names exist)
        for request in ("EmbeddingsRequest", "EmbedRequest"):
            schema["components"]["schemas"][request]["properties"]["model"]["enum"] = names
        for path, operations in schema["paths"].items():
            for operation in operations.values():
                if surface(path) != "mave":
                    operation["responses"].pop("422", None)
                if keys and path not in _operations.OPEN_PATHS:
                    operation["security"] = [{"bearer": []}]
                    operation["responses"].setdefault("401", {"description": "no API key, or a wrong one"})
        if keys:
            schema.setdefault("components", {})["securitySchemes"] = {
                "bearer": {"type": "http", "scheme": "bearer"}
            }
        app.openapi_schema = schema
    return app.openapi_schema
