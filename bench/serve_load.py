"""Load test of `mave serve` on the loopback interface: throughput and
latency (p50, p99) of `similar` with and without the approximate index and of
`vectors` in batches of 100 words, with 1 and 2 worker processes; each
worker's private and shared memory afterwards (from /proc/PID/smaps_rollup).

Every scenario is bounded in requests and in seconds, and fails loudly on any
non-200 answer. The server and the load generator share the machine.

    nice -n 10 .venv/bin/python bench/serve_load.py bench/out/ann-1000000x300/base.fifu
(index the file first with `mave index` for the approximate scenario)
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import socket
import subprocess
import sys
import time

import httpx
import numpy as np

import mave


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def memory(pid: int) -> dict[str, int]:
    """Resident memory of a process in MiB: private, shared, proportional."""
    fields: dict[str, int] = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2 and parts[1].isdigit():
                fields[parts[0].rstrip(":")] = int(parts[1])
    return {
        "rss_mb": fields["Rss"] // 1024,
        "pss_mb": fields["Pss"] // 1024,
        "private_mb": (fields["Private_Clean"] + fields["Private_Dirty"]) // 1024,
        "shared_mb": (fields["Shared_Clean"] + fields["Shared_Dirty"]) // 1024,
    }


def workers_of(pid: int, count: int) -> list[int]:
    if count == 1:
        return [pid]
    # uvicorn's supervisor spawns the workers (multiprocessing's spawn_main);
    # its resource tracker sits beside them.
    children = open(f"/proc/{pid}/task/{pid}/children").read().split()
    return [int(c) for c in children if b"spawn_main" in open(f"/proc/{c}/cmdline", "rb").read()]


async def scenario(
    url: str, make_body, route: str, requests: int, seconds: float, concurrency: int, headers=None
) -> dict[str, float]:
    latencies: list[float] = []
    errors = 0
    sent = 0
    deadline = time.perf_counter() + seconds

    async def worker(client: httpx.AsyncClient, seed: int) -> None:
        nonlocal sent, errors
        rng = np.random.default_rng(seed)
        while sent < requests and time.perf_counter() < deadline:
            sent += 1
            body = make_body(rng)
            start = time.perf_counter()
            response = await client.post(route, json=body, headers=headers)
            latencies.append(time.perf_counter() - start)
            if response.status_code != 200:
                errors += 1
                print(f"error {response.status_code}: {response.text[:200]}", file=sys.stderr)

    async with httpx.AsyncClient(base_url=url, timeout=120) as client:
        start = time.perf_counter()
        await asyncio.gather(*(worker(client, i) for i in range(concurrency)))
        wall = time.perf_counter() - start
    ms = np.array(latencies) * 1000
    return {
        "requests": len(latencies),
        "errors": errors,
        "seconds": round(wall, 1),
        "per_second": round(len(latencies) / wall, 1),
        "p50_ms": round(float(np.percentile(ms, 50)), 2),
        "p99_ms": round(float(np.percentile(ms, 99)), 2),
    }


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("model")
    p.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    p.add_argument("--concurrency", type=int, default=8)
    p.add_argument("--seconds", type=float, default=30, help="at most, per scenario")
    p.add_argument("--requests", type=int, default=3000, help="at most, per scenario")
    p.add_argument("--exact-requests", type=int, default=300, help="at most, exact similar")
    p.add_argument("--json", default=None)
    args = p.parse_args()
    e = mave.load(args.model)
    words = e.words
    n = len(words)
    name = os.path.splitext(os.path.basename(args.model))[0]
    indexed = os.path.exists(args.model + ".hnsw")

    def word(rng):
        return words[int(rng.integers(0, n))]

    scenarios = [
        (
            "similar, exact",
            "similar",
            lambda rng: {"query": word(rng), "k": 10, "approximate": False},
            args.exact_requests,
            None,
        ),
        (
            "vectors, 100 words (JSON)",
            "vectors",
            lambda rng: {"words": [word(rng) for _ in range(100)]},
            args.requests,
            None,
        ),
        (
            "vectors, 100 words (.npy)",
            "vectors",
            lambda rng: {"words": [word(rng) for _ in range(100)]},
            args.requests,
            {"Accept": "application/x-npy"},
        ),
    ]
    if indexed:
        scenarios.insert(
            1, ("similar, index", "similar", lambda rng: {"query": word(rng), "k": 10}, args.requests, None)
        )
    results = []
    for workers in args.workers:
        port = free_port()
        server = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "mave",
                "serve",
                args.model,
                "--port",
                str(port),
                "--workers",
                str(workers),
                "-q",
            ]
        )
        url = f"http://127.0.0.1:{port}"
        try:
            for _ in range(600):
                try:
                    # Ready: the worker that answers has loaded the model.
                    if all(httpx.get(url + "/ready", timeout=2).status_code == 200 for _ in range(4)):
                        break
                except httpx.TransportError:
                    pass
                time.sleep(0.5)
            else:
                raise RuntimeError("the server did not start")
            for label, route, body, requests, headers in scenarios:
                figures = asyncio.run(
                    scenario(
                        url,
                        body,
                        f"/v1/models/{name}/{route}",
                        requests,
                        args.seconds,
                        args.concurrency,
                        headers,
                    )
                )
                row = {"workers": workers, "scenario": label, **figures}
                results.append(row)
                print(json.dumps(row), flush=True)
            for i, pid in enumerate(workers_of(server.pid, workers)):
                row = {"workers": workers, "worker": i, **memory(pid)}
                results.append(row)
                print(json.dumps(row), flush=True)
        finally:
            server.terminate()
            server.wait(timeout=60)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    return 1 if any(r.get("errors") for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())
