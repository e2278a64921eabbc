"""The service's Prometheus metrics (`prometheus_client`).

`mave serve` runs every worker with PROMETHEUS_MULTIPROC_DIR set to a
folder it makes and removes: each worker writes its values to its own files
there, and a scrape of /metrics, whichever worker answers it, reads them all,
so one scrape counts every worker. An app made without that variable (one
process, as in tests) keeps its values in a registry of its own.
"""

from __future__ import annotations

import os

from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram, generate_latest
from prometheus_client import multiprocess, values
from prometheus_client.exposition import CONTENT_TYPE_LATEST

__all__ = ["CONTENT_TYPE", "MULTIPROCESS_VARIABLE", "Metrics"]

MULTIPROCESS_VARIABLE = "PROMETHEUS_MULTIPROC_DIR"
CONTENT_TYPE = CONTENT_TYPE_LATEST

# From half a millisecond (a cached answer) to ten seconds (a large exact search).
LATENCY_BUCKETS = (0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0)


class Metrics:
    """The counters one service updates, and their text for a scrape."""

    def __init__(self) -> None:
        self._folder = os.environ.get(MULTIPROCESS_VARIABLE)
        if self._folder and not getattr(values.ValueClass, "_multiprocess", False):
            # prometheus_client picks its mode once, when first imported.
            raise RuntimeError(f"{MULTIPROCESS_VARIABLE} was set after prometheus_client was imported")
        # In multiprocess mode the values live in the folder's files: the
        # metrics are registered nowhere, and each scrape collects the files.
        registry = None if self._folder else CollectorRegistry()
        self._registry = registry
        self.requests = Counter(
            "mave_requests",
            "HTTP requests answered, by route, method and status",
            ["route", "method", "status"],
            registry=registry,
        )
        self.latency = Histogram(
            "mave_request_duration_seconds",
            "Time from a request's arrival to the end of its answer, by route",
            ["route"],
            buckets=LATENCY_BUCKETS,
            registry=registry,
        )
        self.texts = Counter("mave_texts_embedded", "Texts embedded, by model", ["model"], registry=registry)
        self.tokens = Counter(
            "mave_tokens_embedded", "Tokens of the texts embedded, by model", ["model"], registry=registry
        )
        self.models_loaded = Gauge(
            "mave_models_loaded",
            "Models loaded by each worker process",
            multiprocess_mode="liveall",
            registry=registry,
        )

    def request(self, route: str, method: str, status: int, seconds: float) -> None:
        self.requests.labels(route, method, str(status)).inc()
        self.latency.labels(route).observe(seconds)

    def embedded(self, model: str, texts: int, tokens: int) -> None:
        self.texts.labels(model).inc(texts)
        self.tokens.labels(model).inc(tokens)

    def scrape(self) -> bytes:
        """The metrics in Prometheus's text format."""
        if self._registry is not None:
            return generate_latest(self._registry)
        registry = CollectorRegistry()
        multiprocess.MultiProcessCollector(registry, path=self._folder)  # type: ignore[no-untyped-call]
        return generate_latest(registry)

    def worker_exits(self) -> None:
        """Drops this process's gauges (its counters keep counting in the total)."""
        if self._folder:
            multiprocess.mark_process_dead(os.getpid(), self._folder)  # type: ignore[no-untyped-call]
