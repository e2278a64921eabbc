"""The checks every request passes before any route sees it (plain ASGI
middleware: no body is read before they pass): the metrics of each answer,
the API key, the body's size."""

from __future__ import annotations

import hashlib
import hmac
import time
from collections.abc import Awaitable, Callable, Collection, MutableMapping, Sequence
from typing import Any

from starlette.exceptions import HTTPException
from starlette.routing import BaseRoute, Match

from mave._serve._errors import error_response
from mave._serve._metrics import Metrics

__all__ = ["BodyLimit", "Measure", "RequireKey"]

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Any]]
Send = Callable[[Any], Awaitable[None]]
App = Callable[[Scope, Receive, Send], Awaitable[None]]


class BodyLimit:
    """Answers 413 to a body longer than the limit: at once when its length
    is declared, else as soon as the bytes received pass it."""

    def __init__(self, app: App, limit: int) -> None:
        self.app, self.limit = app, limit

    def message(self) -> str:
        return f"the request body is larger than {self.limit} bytes"

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        length = dict(scope["headers"]).get(b"content-length")
        if length is not None and (not length.isdigit() or int(length) > self.limit):
            await error_response(scope["path"], 413, self.message())(scope, receive, send)
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
                    raise HTTPException(413, self.message())
            return message

        await self.app(scope, counted, send)


class RequireKey:
    """Lets through only requests that carry one of the API keys as
    `Authorization: Bearer KEY`, but for the open paths; 401 otherwise.

    The key sent is hashed and its digest compared with every key's digest
    in constant time (no early exit, digests of one length), so that the
    time taken tells nothing of the keys. No key is ever logged."""

    def __init__(self, app: App, digests: Sequence[bytes], open_paths: Collection[str]) -> None:
        self.app, self.digests, self.open_paths = app, tuple(digests), frozenset(open_paths)

    def accepts(self, key: bytes) -> bool:
        digest = hashlib.sha256(key).digest()
        found = False
        for known in self.digests:
            found |= hmac.compare_digest(digest, known)
        return found

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or scope["path"] in self.open_paths:
            await self.app(scope, receive, send)
            return
        header = dict(scope["headers"]).get(b"authorization", b"")
        scheme, _, key = header.partition(b" ")
        key = key.strip()
        if scheme.lower() != b"bearer" or not key:
            message = "this server needs an API key: send the header Authorization: Bearer KEY"
        elif not self.accepts(key):
            message = "the API key is not valid"
        else:
            await self.app(scope, receive, send)
            return
        response = error_response(
            scope["path"], 401, message, code="invalid_api_key", headers={"WWW-Authenticate": "Bearer"}
        )
        await response(scope, receive, send)


class Measure:
    """Counts each answer by route (the route's pattern, never the raw path),
    method and status, and times it to its last byte. The count is made
    before the last byte goes out, so that a client that has its answer
    finds it counted by the next scrape."""

    def __init__(self, app: App, metrics: Metrics, routes: Sequence[BaseRoute]) -> None:
        self.app, self.metrics, self.routes = app, metrics, routes

    def route_of(self, scope: Scope) -> str:
        route = scope.get("route")
        if route is None:
            # Answered before routing (a missing key, a body too large).
            route = next((r for r in self.routes if r.matches(scope)[0] == Match.FULL), None)
        return getattr(route, "path", None) or "(no route)"

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        start = time.perf_counter()
        status = 500  # unless an answer starts
        counted = False

        def count() -> None:
            nonlocal counted
            if not counted:
                counted = True
                self.metrics.request(
                    self.route_of(scope), scope["method"], status, time.perf_counter() - start
                )

        async def sending(message: Any) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
            elif message["type"] == "http.response.body" and not message.get("more_body", False):
                count()
            await send(message)

        try:
            await self.app(scope, receive, sending)
        finally:
            count()
