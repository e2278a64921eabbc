"""What every route of one app shares (its settings, models and metrics),
and the dependencies that hand it to the routes. The dependencies are
`async` so that FastAPI calls them on the event loop: they only look up."""

from __future__ import annotations

import dataclasses
from typing import cast

from fastapi import Request

from mave._serve._metrics import Metrics
from mave._serve._models import Models
from mave._serve._settings import Settings

__all__ = ["Service", "models_of", "service_of"]


@dataclasses.dataclass(frozen=True)
class Service:
    settings: Settings
    models: Models
    metrics: Metrics


async def service_of(request: Request) -> Service:
    return cast(Service, request.app.state.service)


async def models_of(request: Request) -> Models:
    return cast(Service, request.app.state.service).models
