"""`mave serve` and `mave index`: the HTTP service and the approximate
neighbours index on the command line."""

from __future__ import annotations

import argparse
import copy
import importlib
import os
import shutil
import signal
import sys
import tempfile
from typing import Any

import mave
from mave import _cli
from mave._index import RECALL, build_index, read_calibration
from mave._serve._settings import KEY_VARIABLE, Limits, Settings, key_digest, read_keys

__all__ = ["register"]

# The workers of `mave serve --workers N` are fresh processes started by
# uvicorn: they read the settings from this variable (the keys only as
# digests).
CONFIG_VARIABLE = "MAVE_SERVE_CONFIG"
# prometheus_client's folder for the values of every worker (its multiprocess mode).
METRICS_VARIABLE = "PROMETHEUS_MULTIPROC_DIR"


def app_from_environment() -> Any:
    """The app of one worker process (uvicorn's factory)."""
    from mave._serve._app import create_app

    return create_app(Settings.from_json(os.environ[CONFIG_VARIABLE]))


def _log_config(quiet: bool) -> dict[str, Any]:
    """uvicorn's logging, with the service's own logger (failures and their
    traces) beside uvicorn's."""
    from uvicorn.config import LOGGING_CONFIG

    config = copy.deepcopy(LOGGING_CONFIG)
    config["loggers"]["mave"] = {
        "handlers": ["default"],
        "level": "WARNING" if quiet else "INFO",
        "propagate": False,
    }
    return config


def _run_serve(args: argparse.Namespace) -> int:
    try:
        import uvicorn

        # Not the app yet: prometheus_client must not be imported before
        # its folder is chosen (below).
        from mave._serve._models import Models
    except ImportError as error:
        raise _cli.CommandError(f"{error.name} is missing: pip install mave[serve]") from None
    limits = Limits(
        words=args.max_words,
        queries=args.max_queries,
        length=args.max_length,
        k=args.max_k,
        body=args.max_body,
    )
    settings = Settings(
        tuple(os.path.abspath(p) for p in args.files),
        limits,
        tuple(key_digest(k) for k in read_keys(args.api_key_file, os.environ)),
    )
    Models(settings.paths)  # two models of one name fail here
    # Every file is read once here, so that a bad one fails the command at
    # once; each worker then maps them again, in the background.
    for path in settings.paths:
        mave.load(path)
    # The metrics' folder exists before prometheus_client is first imported
    # (it picks its mode then), and goes with the service.
    folder = tempfile.mkdtemp(prefix="mave-metrics-")
    saved = {v: os.environ.get(v) for v in (METRICS_VARIABLE, CONFIG_VARIABLE)}
    # uvicorn shuts down on SIGTERM, then raises it again with the handler
    # it found: the default one would end the process before the folder is
    # removed, so this one unwinds to the cleanup, and the signal is raised
    # again after it.
    previous = signal.signal(signal.SIGTERM, _terminated)
    terminated = False
    try:
        os.environ[METRICS_VARIABLE] = folder
        os.environ[CONFIG_VARIABLE] = settings.to_json()
        try:
            # The serve extra, checked before uvicorn starts.
            importlib.import_module("mave._serve._app")
        except ImportError as error:
            raise _cli.CommandError(f"{error.name} is missing: pip install mave[serve]") from None
        uvicorn.run(
            "mave._cli_serve:app_from_environment",
            factory=True,
            host=args.host,
            port=args.port,
            workers=args.workers,
            log_config=_log_config(args.quiet),
            log_level="warning" if args.quiet else "info",
        )
    except _Terminated:
        terminated = True
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        for variable, value in saved.items():
            if value is None:
                os.environ.pop(variable, None)
            else:
                os.environ[variable] = value
        signal.signal(signal.SIGTERM, previous)
    if terminated:
        signal.raise_signal(signal.SIGTERM)
    return 0


class _Terminated(Exception):
    """SIGTERM arrived once the server had stopped."""


def _terminated(signum: int, frame: Any) -> None:
    raise _Terminated


def _run_index(args: argparse.Namespace) -> int:
    path = build_index(
        mave.load(args.file),
        args.output,
        recall=args.recall,
        threads=args.threads,
        progress=_cli.progress_bar(args.quiet),
    )
    calibration = read_calibration(path)
    if calibration.recall is not None and calibration.recall < args.recall:
        print(
            f"mave: warning: no breadth reached recall {args.recall:g}: " f"{calibration.describe()}",
            file=sys.stderr,
        )
    if not args.quiet:
        print(path)
    return 0


def recall(text: str) -> float:
    """An argparse type: a number above 0 and at most 1."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number, not {text!r}") from None
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"must be above 0 and at most 1, not {text}")
    return value


def register(sub: Any) -> None:
    """Adds `mave serve` and `mave index` to the subcommands."""
    defaults = Limits()
    p = sub.add_parser(
        "serve",
        help="serve models over HTTP, with an explorer page",
        description="Serves the models over HTTP: mave's JSON endpoints under /v1/models/NAME/, "
        "OpenAI's POST /v1/embeddings and GET /v1/models, Ollama's POST /api/embed (the schema "
        "at /openapi.json), /health, /ready, Prometheus's /metrics, and an explorer page at /. "
        "A model's name is its file name without the extension. Worker processes map the same "
        "files. Models with an index (mave index) answer neighbour queries from it. With API "
        f"keys (--api-key-file, or {KEY_VARIABLE}) every route but /health, /ready and the "
        "page's files needs the header Authorization: Bearer KEY. Needs pip install mave[serve].",
        **_cli.example(
            "mave serve cc.en.300.fifu --port 8000 --workers 2\n" "  curl -s localhost:8000/v1/models"
        ),
    )
    p.add_argument("files", metavar="FILE", nargs="+", help="finalfusion files to serve")
    p.add_argument("--host", default="127.0.0.1", help="the address to listen on (default %(default)s)")
    p.add_argument("--port", type=int, default=8000, help="the port (default %(default)s)")
    p.add_argument("--workers", type=_cli.positive, default=1, help="worker processes (default 1)")
    p.add_argument(
        "--max-words",
        type=_cli.positive,
        default=defaults.words,
        metavar="N",
        help="words in one vectors request, texts in one embeddings request " "(default %(default)s)",
    )
    p.add_argument(
        "--max-queries",
        type=_cli.positive,
        default=defaults.queries,
        metavar="N",
        help="queries in one nearest request, terms in one similar request " "(default %(default)s)",
    )
    p.add_argument(
        "--max-length",
        type=_cli.positive,
        default=defaults.length,
        metavar="N",
        help="characters in one string: a word or a text (default %(default)s)",
    )
    p.add_argument(
        "--max-k",
        type=_cli.positive,
        default=defaults.k,
        metavar="N",
        help="neighbours in one answer (default %(default)s)",
    )
    p.add_argument(
        "--max-body",
        type=_cli.positive,
        default=defaults.body,
        metavar="BYTES",
        help="bytes in one request body (default %(default)s)",
    )
    p.add_argument(
        "--api-key-file",
        metavar="FILE",
        help="the API keys, one a line (# starts a comment); default: the keys of "
        f"{KEY_VARIABLE} (one, or several separated by commas), or none: an open server",
    )
    p.add_argument("-q", "--quiet", action="store_true", help="log warnings only")
    p.set_defaults(run=_run_serve)

    p = sub.add_parser(
        "index",
        help="build the approximate-neighbours index of a model",
        description="Writes FILE.hnsw beside the model: an HNSW graph of the vocabulary's rows "
        "(faiss, rows as 8-bit codes). similar and nearest with approximate=True, and mave "
        "serve, use it; their answers are re-ranked by exact cosine. How widely searches look "
        "is measured while building: up to 1000 rows are held out of the graph and searched "
        "against exact search, and the smallest breadth whose recall@10 reaches --recall is "
        "stored in the file (mave info shows it). Needs pip install mave[serve].",
        **_cli.example("mave index cc.en.300.fifu\n  mave index cc.en.300.fifu --recall 0.99"),
    )
    p.add_argument("file", metavar="FILE", help="a finalfusion file")
    p.add_argument("-o", "--output", metavar="PATH", help="where to write (default FILE.hnsw)")
    p.add_argument(
        "--recall",
        type=recall,
        default=RECALL,
        metavar="R",
        help="the recall@10 searches must reach, above 0 and at most 1 " "(default %(default)s)",
    )
    p.add_argument("--threads", type=_cli.positive, metavar="N", help="threads (default: all cores)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar, no path printed")
    p.set_defaults(run=_run_index)
