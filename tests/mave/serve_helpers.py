"""Running `mave serve` for the service tests: a child process on a free
loopback port, stopped at the end; and the clustered model the index tests
search."""

import contextlib
import socket
import subprocess
import sys
import time

import numpy as np

import mave
from suite import child_environment


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def serving(paths, *args, timeout=120):
    """Yields the base URL of `mave serve PATHS ARGS` on 127.0.0.1."""
    import httpx

    port = free_port()
    process = subprocess.Popen(
        [sys.executable, "-m", "mave", "serve", *map(str, paths), "--port", str(port), "-q", *args],
        env=child_environment(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    url = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + timeout
        while True:
            if process.poll() is not None:
                raise RuntimeError(f"mave serve exited with {process.returncode}: {process.stdout.read()}")
            try:
                if httpx.get(url + "/health", timeout=2).status_code == 200:
                    break
            except httpx.TransportError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("mave serve did not answer in time")
            time.sleep(0.2)
        yield url
    finally:
        process.terminate()
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        process.stdout.close()


def clustered_model(path, n=4000, dims=48, seed=5):
    """A dense model whose rows lie around 80 centres, so that neighbours are
    well separated from the rest, as in trained vectors."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((80, dims))
    rows = centres[rng.integers(0, 80, n)] + 0.6 * rng.standard_normal((n, dims))
    mave.write(path, [f"w{i}" for i in range(n)], rows.astype(np.float32))
    return str(path)
