"""How the service answers what it cannot do, in each surface's own shape:
mave's routes `{"detail": ...}`, the OpenAI-shaped ones `{"error": {"message",
"type", "param", "code"}}` (so that OpenAI's clients raise their typed errors),
the Ollama-shaped ones `{"error": ...}`.

Only a client's mistakes become a 4xx: the service's own validation and the
library's failures on the client's input (`ServiceError`), FastAPI's
validation of a request and Starlette's HTTP errors. Anything else raised
while answering is a fault of the server: a 500, with its trace logged once.
"""

from __future__ import annotations

import logging
from collections.abc import Callable, Coroutine, Mapping
from typing import Any, Literal

from fastapi import FastAPI, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse, Response
from fastapi.routing import APIRoute
from starlette.exceptions import HTTPException
from starlette.requests import ClientDisconnect

__all__ = ["GuardedRoute", "ServiceError", "error_response", "install_handlers", "log", "surface"]

log = logging.getLogger("mave.serve")

Surface = Literal["mave", "openai", "ollama"]


class ServiceError(Exception):
    """A request the service refuses, with the status, what was wrong and,
    for OpenAI's shape, the parameter at fault and a code."""

    def __init__(
        self,
        status: int,
        message: str,
        *,
        param: str | None = None,
        code: str | None = None,
        headers: Mapping[str, str] | None = None,
    ) -> None:
        super().__init__(message)
        self.status, self.message, self.param, self.code = status, message, param, code
        self.headers = dict(headers or {})


def surface(path: str) -> Surface:
    """Which API a path belongs to: /api/... is Ollama's, /v1/... OpenAI's
    but for mave's own /v1/models/{name}/... routes."""
    if path.startswith("/api/"):
        return "ollama"
    if path.startswith("/v1/") and not path.startswith("/v1/models/"):
        return "openai"
    return "mave"


def _openai_type(status: int) -> str:
    if status >= 500:
        return "server_error"
    return "invalid_request_error"


def error_response(
    path: str,
    status: int,
    message: str,
    *,
    param: str | None = None,
    code: str | None = None,
    headers: Mapping[str, str] | None = None,
) -> JSONResponse:
    """The answer to a failed request on `path`, in its surface's shape."""
    body: dict[str, Any]
    match surface(path):
        case "openai":
            body = {"error": {"message": message, "type": _openai_type(status), "param": param, "code": code}}
        case "ollama":
            body = {"error": message}
        case "mave":
            body = {"detail": message}
    return JSONResponse(body, status_code=status, headers=dict(headers or {}))


def _validation_message(error: RequestValidationError) -> tuple[str, str | None]:
    """The errors of a request as one line, and the first field at fault."""
    parts, first = [], None
    for item in error.errors():
        loc = [str(x) for x in item.get("loc", ())]
        where = ".".join(loc)
        if first is None and len(loc) > 1 and loc[0] == "body":
            first = loc[1]
        parts.append(f"{where}: {item.get('msg', 'invalid')}")
    return "; ".join(parts) or "invalid request", first


def install_handlers(app: FastAPI) -> None:
    """Renders the client errors of every route in its surface's shape."""

    @app.exception_handler(RequestValidationError)
    async def invalid(request: Request, error: RequestValidationError) -> JSONResponse:
        message, param = _validation_message(error)
        # mave's routes answer 422, as FastAPI does; OpenAI's and Ollama's 400.
        status = 422 if surface(request.url.path) == "mave" else 400
        return error_response(request.url.path, status, message, param=param)

    @app.exception_handler(HTTPException)
    async def failed(request: Request, error: HTTPException) -> JSONResponse:
        return error_response(request.url.path, error.status_code, str(error.detail), headers=error.headers)

    @app.exception_handler(ServiceError)
    async def refused(request: Request, error: Exception) -> JSONResponse:
        assert isinstance(error, ServiceError)
        return error_response(
            request.url.path,
            error.status,
            error.message,
            param=error.param,
            code=error.code,
            headers=error.headers,
        )


class GuardedRoute(APIRoute):
    """A route whose unexpected failures (a fault of the server, never the
    client's) are logged with their trace and answered with a 500 in the
    route's shape, instead of reaching the server's generic handler."""

    def get_route_handler(self) -> Callable[[Request], Coroutine[Any, Any, Response]]:
        handler = super().get_route_handler()

        async def guarded(request: Request) -> Response:
            try:
                return await handler(request)
            except (HTTPException, RequestValidationError, ServiceError, ClientDisconnect):
                raise
            except Exception:
                log.exception("%s %s failed", request.method, request.url.path)
                return error_response(
                    request.url.path, 500, "internal error: the server's log has the details"
                )

        return guarded
