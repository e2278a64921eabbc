"""Running `mave serve` for the service tests: a child process on a free
loopback port, stopped at the end; and the clustered model the index tests
search."""

import contextlib
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

import numpy as np

import mave
from suite import child_environment


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server(str):
    """The base URL of a running `mave serve`; its `log()` is what the server
    has written so far."""


@contextlib.contextmanager
def serving(paths, *args, timeout=120, environment=None, quiet=True):
    """Yields the base URL of `mave serve PATHS ARGS` on 127.0.0.1 once it is
    ready (every worker asked has loaded every model). The server's output
    goes to a file (a pipe nobody reads could fill and stall it) and is
    shown when the block fails; the server runs in a session of its own, so
    that its workers are stopped with it. `environment` adds variables."""
    import httpx

    port = free_port()
    log = tempfile.TemporaryFile("w+")
    process = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "mave",
            "serve",
            *map(str, paths),
            "--port",
            str(port),
            *(["-q"] if quiet else []),
            *args,
        ],
        env={**child_environment(), **(environment or {})},
        stdout=log,
        stderr=subprocess.STDOUT,
        text=True,
        start_new_session=True,
    )
    url = Server(f"http://127.0.0.1:{port}")

    def output():
        log.seek(0)
        return log.read()

    url.log = output

    try:
        deadline = time.monotonic() + timeout
        while True:
            if process.poll() is not None:
                raise RuntimeError(f"mave serve exited with {process.returncode}: {output()}")
            try:
                # Each worker loads its models on its own: several answers
                # on fresh connections, so that every worker was likely asked.
                if all(httpx.get(url + "/ready", timeout=2).status_code == 200 for _ in range(4)):
                    break
            except httpx.TransportError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError(f"mave serve did not answer in time: {output()}")
            time.sleep(0.2)
        try:
            yield url
        except BaseException:
            print(f"mave serve's output:\n{output()}", file=sys.stderr)
            raise
    finally:
        process.terminate()
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)  # workers left behind by a killed parent
        log.close()


def clustered_model(path, n=4000, dims=48, seed=5):
    """A dense model whose rows lie around 80 centres, so that neighbours are
    well separated from the rest, as in trained vectors."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((80, dims))
    rows = centres[rng.integers(0, 80, n)] + 0.6 * rng.standard_normal((n, dims))
    mave.write(path, [f"w{i}" for i in range(n)], rows.astype(np.float32))
    return str(path)
