"""The operator's routes: /health (the process answers), /ready (every model
is loaded) and /metrics (Prometheus's text format, every worker counted)."""

from __future__ import annotations

from typing import Annotated

from fastapi import APIRouter, Depends
from fastapi.responses import JSONResponse, Response
from starlette.concurrency import run_in_threadpool

from mave._serve._errors import GuardedRoute
from mave._serve._metrics import CONTENT_TYPE
from mave._serve._models import Models
from mave._serve._schemas import Health, Ready
from mave._serve._state import Service, models_of, service_of

__all__ = ["OPEN_PATHS", "router"]

# The routes that answer without an API key: a probe carries none.
OPEN_PATHS = ("/health", "/ready")

router = APIRouter(route_class=GuardedRoute, tags=["operations"])


@router.get("/health", response_model=Health)
async def health() -> Health:
    """200 while the process answers."""
    return Health(status="ok")


@router.get(
    "/ready",
    response_model=Ready,
    responses={503: {"model": Ready, "description": "a model is loading, or could not be loaded"}},
)
async def ready(models: Annotated[Models, Depends(models_of)]) -> JSONResponse:
    """200 once every model is loaded, 503 before (or when one failed)."""
    status = models.status()
    return JSONResponse(status, status_code=200 if models.ready else 503)


@router.get(
    "/metrics",
    response_class=Response,
    responses={
        200: {
            "content": {"text/plain": {"schema": {"type": "string"}}},
            "description": "the metrics in Prometheus's text format",
        }
    },
)
async def metrics(service: Annotated[Service, Depends(service_of)]) -> Response:
    """Requests by route and status, their latency, texts and tokens
    embedded, models loaded: summed over every worker."""
    # Reading every worker's files is file work: off the event loop.
    content = await run_in_threadpool(service.metrics.scrape)
    return Response(content, media_type=CONTENT_TYPE)
