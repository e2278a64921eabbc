"""The models one service answers for, by name, loaded in the background.

A worker answers /health at once and loads its models (each file mapped, and
its approximate-neighbours index opened when it has one) on a thread of its
own; /ready answers 200 once every model is loaded. A request for a model
not loaded yet waits for it (the workers of one port load side by side, and
a client should not fail because its connection reached the later one), up
to a bound, then gets a 503 that asks to retry.
"""

from __future__ import annotations

import asyncio
import os
import threading
import time
from collections.abc import Callable, Mapping, Sequence

import mave
from mave import _index
from mave._embeddings import Embeddings
from mave._serve._errors import ServiceError, log
from mave._serve._queries import Completer
from mave._serve._settings import model_name

__all__ = ["Models"]

# The seconds a client is asked to wait before asking again, while loading.
RETRY_AFTER = "1"
# The seconds a request waits for its model to load, and how often it looks.
LOAD_WAIT = 30.0
LOAD_POLL = 0.05


class Models:
    """The models by name: the names are known at once, each model from the
    moment it is loaded. `load` reads one file; `on_load(count)` hears of
    each model loaded; a request waits at most `wait` seconds for a model."""

    def __init__(
        self,
        paths: Sequence[str],
        *,
        loaded: Mapping[str, Embeddings] | None = None,
        load: Callable[[str], Embeddings] = mave.load,
        on_load: Callable[[int], None] = lambda count: None,
        wait: float = LOAD_WAIT,
    ) -> None:
        self._paths: dict[str, str] = {}
        for path in paths:
            name = model_name(path)
            if name in self._paths:
                raise ValueError(f"two models are named {name!r}: {self._paths[name]} and {path}")
            self._paths[name] = path
        self._load, self._on_load, self._wait = load, on_load, wait
        self._models: dict[str, Embeddings] = dict(loaded or {})
        self._created = {name: _modified(self._paths[name]) for name in self._models}
        self._completers: dict[str, Completer] = {}
        self._failures: dict[str, str] = {}
        self._done = threading.Event()
        self._lock = threading.Lock()
        if len(self._models) == len(self._paths):
            self._done.set()

    @property
    def names(self) -> list[str]:
        return list(self._paths)

    def load_all(self) -> None:
        """Loads every model not loaded yet (the loading thread's work): a
        model that fails is logged and stays unavailable, the others load."""
        try:
            for name, path in self._paths.items():
                if name in self._models:
                    continue
                try:
                    e = self._load(path)
                    if _index.has_index(e):
                        _index.open_index(e)
                    self._created[name] = _modified(path)
                except Exception as error:
                    log.exception("model %r (%s) could not be loaded", name, path)
                    self._failures[name] = f"{type(error).__name__}: {error}"
                    continue
                self._models[name] = e
                self._on_load(len(self._models))
        finally:
            self._done.set()

    def start(self) -> threading.Thread | None:
        """Starts loading on a thread of its own; None when nothing is left to load."""
        self._on_load(len(self._models))
        if self._done.is_set():
            return None
        thread = threading.Thread(target=self.load_all, name="mave-load", daemon=True)
        thread.start()
        return thread

    @property
    def ready(self) -> bool:
        """Whether every model is loaded."""
        return self._done.is_set() and not self._failures

    def status(self) -> dict[str, object]:
        """What /ready says: ready, loading or failed, and each model's state."""
        models = {
            name: "loaded" if name in self._models else "failed" if name in self._failures else "loading"
            for name in self._paths
        }
        state = "ready" if self.ready else "failed" if self._done.is_set() else "loading"
        return {"status": state, "models": models}

    async def wait(self, name: str | None = None) -> None:
        """Returns once the model `name` (None: every model) is loaded or has
        failed, or once the wait's bound has passed, without holding the
        event loop."""
        deadline = time.monotonic() + self._wait

        def pending() -> bool:
            if name is None:
                return not self._done.is_set()
            return (
                name in self._paths
                and name not in self._models
                and name not in self._failures
                and not self._done.is_set()
            )

        while pending() and time.monotonic() < deadline:
            await asyncio.sleep(LOAD_POLL)

    def loaded(self) -> dict[str, Embeddings]:
        """The models loaded so far, in the order given; 503 while loading."""
        if not self._done.is_set():
            raise _loading()
        return {name: self._models[name] for name in self._paths if name in self._models}

    def get(self, name: str, *, param: str | None = None) -> Embeddings:
        """The model named `name`.

        Raises:
            ServiceError: 404 for a name not served, 503 for a model not
                loaded (yet, or at all).
        """
        e = self._models.get(name)
        if e is not None:
            return e
        if name not in self._paths:
            raise ServiceError(
                404,
                f"no model named {name!r}; the models are: {', '.join(self._paths)}",
                param=param,
                code="model_not_found",
            )
        if name in self._failures:
            raise ServiceError(503, f"model {name!r} could not be loaded; the server's log says why")
        raise _loading()

    def completer(self, name: str) -> Completer:
        e = self.get(name)
        with self._lock:
            if name not in self._completers:
                self._completers[name] = Completer(e)
            return self._completers[name]

    def created(self, name: str) -> int:
        """When the model's file was last written (Unix seconds): OpenAI's `created`."""
        return self._created[name]


def _modified(path: str) -> int:
    return int(os.stat(path).st_mtime)


def _loading() -> ServiceError:
    return ServiceError(
        503, "the models are loading: ask again shortly", headers={"Retry-After": RETRY_AFTER}
    )
