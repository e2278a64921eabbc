"""Load test of OpenAI's POST /v1/embeddings on the loopback interface: the
official `openai` client's requests of 32 texts each, from concurrent
clients, against `mave serve` and against the service a user would write
today (FastAPI and uvicorn around Model2Vec's `StaticModel.encode`,
bench/serve_model2vec.py), with 1 and 2 worker processes each.

For each service and worker count: the saturating rate (closed loop: the
clients keep `--concurrency` requests in flight; throughput, p50 and p99
latency), then a fixed rate of half that (open loop: requests sent on a
schedule, latency from the time each was due, so a late send counts). Any
failed request is counted and fails the run.

The models are made once into `--out`: a WordPiece tokenizer (`tokenizers`,
trained on generated text) and a Model2Vec static model of its vocabulary
(30k tokens x 256, `StaticModel(vectors, tokenizer).save_pretrained`); and a
word-vector model of the same size over the text's words (`mave.write`).
`mave serve` answers with the word-vector model; `--mave-model static` gives
it the static model's folder instead (when mave loads static models).

    PYTHONPATH=build/test nice .venv/bin/python bench/serve_embeddings.py
    PYTHONPATH=build/test nice .venv/bin/python bench/serve_embeddings.py --mave-model static

The server and the clients share the machine: the figures are the ratio of
two services measured the same way in the same run.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import multiprocessing
import multiprocessing.pool
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


# --- the models -----------------------------------------------------------------


def lexicon(rng: np.random.Generator, n: int) -> list[str]:
    """`n` distinct made-up words of 1 to 4 syllables."""
    onsets = ["", "b", "d", "f", "g", "k", "l", "m", "n", "p", "r", "s", "t", "v", "z", "st", "tr", "pl"]
    nuclei = ["a", "e", "i", "o", "u", "ai", "ou", "ea"]
    codas = ["", "", "n", "r", "s", "t", "l", "nd", "st"]
    words: dict[str, None] = {}
    while len(words) < n:
        syllables = int(rng.integers(1, 5))
        words[
            "".join(
                onsets[rng.integers(len(onsets))]
                + nuclei[rng.integers(len(nuclei))]
                + codas[rng.integers(len(codas))]
                for _ in range(syllables)
            )
        ] = None
    return list(words)


def sentences(rng: np.random.Generator, words: list[str], n: int) -> list[str]:
    """`n` sentences of 6 to 20 words drawn by a Zipf law over `words`."""
    ranks = np.minimum(rng.zipf(1.1, size=n * 20), len(words)) - 1
    lengths = rng.integers(6, 21, size=n)
    out, at = [], 0
    for length in lengths:
        out.append(" ".join(words[r] for r in ranks[at : at + length]))
        at += length
    return out


def make_models(out: Path, vocab: int, dims: int, seed: int) -> dict[str, Path]:
    """The static model's folder, the word-vector file and the texts (made
    once, then reused)."""
    paths = {"static": out / "static", "words": out / "words.fifu", "texts": out / "texts.txt"}
    if all(p.exists() for p in paths.values()):
        return paths
    from model2vec import StaticModel
    from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, trainers

    import mave

    out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    words = lexicon(rng, 60_000)
    corpus = sentences(rng, words, 200_000)
    tokenizer = Tokenizer(models.WordPiece(unk_token="[UNK]"))
    tokenizer.normalizer = normalizers.BertNormalizer(lowercase=True)
    tokenizer.pre_tokenizer = pre_tokenizers.Whitespace()
    tokenizer.train_from_iterator(
        corpus, trainers.WordPieceTrainer(vocab_size=vocab, special_tokens=["[PAD]", "[UNK]"])
    )
    vectors = rng.standard_normal((tokenizer.get_vocab_size(), dims)).astype(np.float32)
    StaticModel(vectors=vectors, tokenizer=tokenizer, normalize=True).save_pretrained(paths["static"])
    # The words of the text, most frequent first, as many as the tokenizer's vocabulary.
    counts: dict[str, int] = {}
    for s in corpus:
        for w in s.split():
            counts[w] = counts.get(w, 0) + 1
    vocabulary = sorted(counts, key=lambda w: -counts[w])[:vocab]
    mave.write(paths["words"], vocabulary, rng.standard_normal((len(vocabulary), dims)).astype(np.float32))
    # Held-out texts for the requests (some words outside the vocabulary).
    paths["texts"].write_text("\n".join(sentences(rng, words, 5000)) + "\n", encoding="utf-8")
    return paths


# --- the services ---------------------------------------------------------------


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def start(service: str, model: Path, workers: int, port: int) -> subprocess.Popen[bytes]:
    env = dict(os.environ)
    if service == "mave":
        command = [
            sys.executable,
            "-m",
            "mave",
            "serve",
            str(model),
            "--port",
            str(port),
            "--workers",
            str(workers),
            "-q",
            "--max-length",
            "2000",
        ]
    else:
        env["M2V_MODEL"] = str(model)
        command = [
            sys.executable,
            "-m",
            "uvicorn",
            "serve_model2vec:app",
            "--app-dir",
            str(HERE),
            "--port",
            str(port),
            "--workers",
            str(workers),
            "--log-level",
            "warning",
        ]
    return subprocess.Popen(command, env=env, start_new_session=True)


def wait_until_answering(url: str, name: str, process: subprocess.Popen[bytes]) -> None:
    import httpx

    deadline = time.monotonic() + 300
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"the server exited with {process.returncode}")
        try:
            # Several answers on fresh connections: every worker has its model.
            if all(
                httpx.post(
                    url + "/v1/embeddings", json={"model": name, "input": ["a b"]}, timeout=5
                ).status_code
                == 200
                for _ in range(6)
            ):
                return
        except httpx.TransportError:
            pass
        time.sleep(0.3)
    raise RuntimeError("the server did not answer in time")


def stop(process: subprocess.Popen[bytes]) -> None:
    process.terminate()
    try:
        process.wait(timeout=60)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, 9)
        process.wait()


# --- the clients ----------------------------------------------------------------


def client_process(
    url: str,
    name: str,
    texts: list[str],
    batch: int,
    mode: str,
    concurrency: int,
    rate: float,
    requests: int,
    seconds: float,
    seed: int,
    start_at: float,
) -> dict[str, object]:
    """One client process: `concurrency` loops (closed) or a schedule of
    `rate` requests a second (open), each request `batch` texts through the
    `openai` client. Returns the latencies in seconds and the failures."""
    import httpx
    import openai

    rng = np.random.default_rng(seed)

    async def run() -> dict[str, object]:
        latencies: list[float] = []
        failures: list[str] = []
        async with httpx.AsyncClient(limits=httpx.Limits(max_connections=max(concurrency, 64))) as http:
            client = openai.AsyncOpenAI(
                base_url=url + "/v1", api_key="bench", max_retries=0, http_client=http
            )

            async def one(due: float) -> None:
                chosen = [texts[int(i)] for i in rng.integers(0, len(texts), batch)]
                try:
                    response = await client.embeddings.create(model=name, input=chosen)
                    if len(response.data) != batch:
                        failures.append(f"{len(response.data)} vectors for {batch} texts")
                except Exception as error:  # counted, shown, and the run fails
                    failures.append(f"{type(error).__name__}: {error}")
                latencies.append(time.perf_counter() - due)

            while time.time() < start_at:  # the processes start together
                await asyncio.sleep(0.001)
            begin = time.perf_counter()
            cpu = time.process_time()
            deadline = begin + seconds
            if mode == "closed":
                sent = 0

                async def loop() -> None:
                    nonlocal sent
                    while sent < requests and time.perf_counter() < deadline:
                        sent += 1
                        await one(time.perf_counter())

                await asyncio.gather(*(loop() for _ in range(concurrency)))
            else:
                tasks = []
                for i in range(requests):
                    due = begin + i / rate
                    if due > deadline:
                        break
                    await asyncio.sleep(max(0.0, due - time.perf_counter()))
                    tasks.append(asyncio.create_task(one(due)))
                await asyncio.gather(*tasks)
            wall = time.perf_counter() - begin
            cpu = time.process_time() - cpu
        return {"latencies": latencies, "failures": failures, "wall": wall, "cpu": cpu}

    return asyncio.run(run())


async def raw_request(
    reader: asyncio.StreamReader, writer: asyncio.StreamWriter, request: bytes, batch: int
) -> str | None:
    """One request on a kept-alive connection; a failure's description, or None."""
    writer.write(request)
    head = await reader.readuntil(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    body = await reader.readexactly(length)
    if not head.startswith(b"HTTP/1.1 200"):
        return head.split(b"\r\n")[0].decode() + " " + body[:200].decode(errors="replace")
    if body.count(b'"object":"embedding"') != batch:
        return "not one vector a text"
    return None


def raw_client_process(
    url: str,
    name: str,
    texts: list[str],
    batch: int,
    mode: str,
    concurrency: int,
    rate: float,
    requests: int,
    seconds: float,
    seed: int,
    start_at: float,
) -> dict[str, object]:
    """As client_process, with requests written as bytes on kept-alive
    sockets (no HTTP library): a client that costs the machine little, so
    that the figures are the server's."""
    rng = np.random.default_rng(seed)
    host, port = url.removeprefix("http://").split(":")
    bodies = []
    for _ in range(200):
        chosen = [texts[int(i)] for i in rng.integers(0, len(texts), batch)]
        body = json.dumps({"model": name, "input": chosen, "encoding_format": "base64"}).encode()
        bodies.append(
            f"POST /v1/embeddings HTTP/1.1\r\nHost: {host}\r\nContent-Type: application/json\r\n"
            f"Content-Length: {len(body)}\r\n\r\n".encode()
            + body
        )

    async def run() -> dict[str, object]:
        latencies: list[float] = []
        failures: list[str] = []
        connections = [await asyncio.open_connection(host, int(port)) for _ in range(concurrency)]
        idle = asyncio.Queue[tuple[asyncio.StreamReader, asyncio.StreamWriter]]()
        for c in connections:
            idle.put_nowait(c)

        async def one(due: float, i: int) -> None:
            reader, writer = await idle.get()
            try:
                failure = await raw_request(reader, writer, bodies[i % len(bodies)], batch)
            except Exception as error:  # counted, shown, and the run fails
                failure = f"{type(error).__name__}: {error}"
                reader, writer = await asyncio.open_connection(host, int(port))
            latencies.append(time.perf_counter() - due)
            if failure:
                failures.append(failure)
            idle.put_nowait((reader, writer))

        while time.time() < start_at:
            await asyncio.sleep(0.001)
        begin = time.perf_counter()
        cpu = time.process_time()
        deadline = begin + seconds
        if mode == "closed":
            sent = 0

            async def loop() -> None:
                nonlocal sent
                while sent < requests and time.perf_counter() < deadline:
                    sent += 1
                    await one(time.perf_counter(), sent)

            await asyncio.gather(*(loop() for _ in range(concurrency)))
        else:
            tasks = []
            for i in range(requests):
                due = begin + i / rate
                if due > deadline:
                    break
                await asyncio.sleep(max(0.0, due - time.perf_counter()))
                tasks.append(asyncio.create_task(one(due, i)))
            await asyncio.gather(*tasks)
        wall = time.perf_counter() - begin
        cpu = time.process_time() - cpu
        for _, writer in connections:
            writer.close()
        return {"latencies": latencies, "failures": failures, "wall": wall, "cpu": cpu}

    return asyncio.run(run())


def warm_client() -> None:
    """Imports the client before the first scenario (a pool's initializer)."""
    import openai  # noqa: F401


def server_cpu(pid: int) -> float:
    """CPU seconds of a server and its workers so far."""
    import psutil

    processes = [psutil.Process(pid)]
    processes += processes[0].children(recursive=True)
    return sum(t.user + t.system for t in (p.cpu_times() for p in processes))


def load(
    pool: multiprocessing.pool.Pool,
    server: int,
    url: str,
    name: str,
    texts: list[str],
    args: argparse.Namespace,
    mode: str,
    rate: float = 0.0,
) -> dict[str, float]:
    """One scenario over `args.clients` client processes: requests a second,
    p50 and p99 latency in ms, failures, and the CPU time one request cost
    the server and the clients (steadier than rates on a busy machine)."""
    k = args.clients
    start_at = time.time() + 0.5
    cpu = server_cpu(server)
    client = raw_client_process if args.client == "raw" else client_process
    results = pool.starmap(
        client,
        [
            (
                url,
                name,
                texts,
                args.texts,
                mode,
                max(1, args.concurrency // k),
                rate / k,
                args.requests // k,
                args.seconds,
                args.seed + i,
                start_at,
            )
            for i in range(k)
        ],
    )
    latencies = np.concatenate([np.asarray(r["latencies"], dtype=np.float64) for r in results]) * 1000
    failures = [f for r in results for f in r["failures"]]  # type: ignore[attr-defined]
    for failure in failures[:5]:
        print(f"failure: {failure}", file=sys.stderr)
    cpu = server_cpu(server) - cpu
    wall = max(float(r["wall"]) for r in results)  # type: ignore[arg-type]
    n = len(latencies)
    return {
        "requests": n,
        "failures": len(failures),
        "seconds": round(wall, 1),
        "per_second": round(n / wall, 1),
        "p50_ms": round(float(np.percentile(latencies, 50)), 2),
        "p99_ms": round(float(np.percentile(latencies, 99)), 2),
        "server_cpu_ms": round(cpu / n * 1000, 3),
        "client_cpu_ms": round(
            sum(float(r["cpu"]) for r in results)  # type: ignore[arg-type]
            / n
            * 1000,
            3,
        ),
    }


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--out", type=Path, default=HERE / "out" / "serve-embeddings")
    p.add_argument("--vocab", type=int, default=30_000)
    p.add_argument("--dims", type=int, default=256)
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--services", nargs="+", default=["mave", "model2vec"], choices=["mave", "model2vec"])
    p.add_argument(
        "--mave-model",
        choices=["words", "static"],
        default="words",
        help="what mave serves: the word-vector file, or the static model's folder",
    )
    p.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    p.add_argument("--texts", type=int, default=32, help="texts in one request")
    p.add_argument("--clients", type=int, default=2, help="client processes")
    p.add_argument(
        "--client",
        choices=["openai", "raw"],
        default="openai",
        help="the openai package, or requests written as bytes (a client that costs the "
        "machine little; the open loop's connections are then --concurrency too)",
    )
    p.add_argument("--concurrency", type=int, default=16, help="requests in flight, all clients")
    p.add_argument("--requests", type=int, default=6000, help="at most, per scenario")
    p.add_argument("--seconds", type=float, default=10, help="at most, per scenario")
    p.add_argument("--rounds", type=int, default=3, help="alternating rounds of each scenario")
    p.add_argument("--json", type=Path)
    args = p.parse_args()
    paths = make_models(args.out, args.vocab, args.dims, args.seed)
    texts = paths["texts"].read_text(encoding="utf-8").split("\n")[:-1]
    rows: list[dict[str, object]] = []
    medians: dict[tuple[int, str, str], dict[str, float]] = {}
    pool = multiprocessing.get_context("spawn").Pool(args.clients, initializer=warm_client)
    try:
        for workers in args.workers:
            # Every service runs for the whole comparison; their scenarios
            # alternate, round after round, so that the machine's other work
            # weighs on each alike, and the medians are compared.
            servers = {}
            try:
                for service in args.services:
                    model = paths["static"] if service == "model2vec" else paths[args.mave_model]
                    name = model.stem if service == "mave" else "static"
                    port = free_port()
                    servers[service] = (
                        start(service, model, workers, port),
                        f"http://127.0.0.1:{port}",
                        name,
                        model,
                    )
                for service, (process, url, name, _) in servers.items():
                    wait_until_answering(url, name, process)
                    load(
                        pool,
                        process.pid,
                        url,
                        name,
                        texts,
                        argparse.Namespace(**{**vars(args), "requests": 200, "seconds": 5}),
                        "closed",
                    )  # warm-up

                def rounds(mode: str, rates: dict[str, float]) -> None:
                    for r in range(args.rounds):
                        order = list(servers) if r % 2 == 0 else list(reversed(servers))
                        for service in order:
                            process, url, name, model = servers[service]
                            figures = load(
                                pool, process.pid, url, name, texts, args, mode, rate=rates.get(service, 0.0)
                            )
                            label = (
                                f"closed, {args.concurrency} in flight"
                                if mode == "closed"
                                else f"open, {rates[service]:.0f}/s"
                            )
                            row = {
                                "service": service,
                                "model": model.name,
                                "workers": workers,
                                "client": args.client,
                                "mode": label,
                                "round": r,
                                **figures,
                            }
                            rows.append(row)
                            print(json.dumps(row), flush=True)
                    for service in servers:
                        mine = [
                            row
                            for row in rows
                            if row["service"] == service
                            and row["workers"] == workers
                            and str(row["mode"]).startswith(mode)
                        ]
                        medians[workers, service, mode] = {
                            key: float(np.median([float(row[key]) for row in mine]))  # type: ignore[arg-type]
                            for key in ("per_second", "p50_ms", "p99_ms", "server_cpu_ms", "client_cpu_ms")
                        }

                rounds("closed", {})
                # Half of each service's own saturating rate.
                rounds(
                    "open",
                    {service: medians[workers, service, "closed"]["per_second"] / 2 for service in servers},
                )
            finally:
                for process, *_ in servers.values():
                    stop(process)
    finally:
        pool.close()
        pool.join()
    if args.json:
        args.json.write_text(
            json.dumps(
                {"rows": rows, "medians": {f"{w} {s} {m}": v for (w, s, m), v in medians.items()}}, indent=1
            )
        )
    print(f"medians of {args.rounds} rounds, {args.client} client:")
    print(
        "| workers | service | mode | requests/s | p50 ms | p99 ms | server CPU ms/request "
        "| client CPU ms/request |"
    )
    print("|---|---|---|---|---|---|---|---|")
    for (workers, service, mode), m in medians.items():
        print(
            f"| {workers} | {service} | {mode} | {m['per_second']:.1f} | {m['p50_ms']:.1f} "
            f"| {m['p99_ms']:.1f} | {m['server_cpu_ms']:.2f} | {m['client_cpu_ms']:.2f} |"
        )
    for workers in args.workers:
        if (workers, "mave", "closed") in medians and (workers, "model2vec", "closed") in medians:
            ours, theirs = medians[workers, "mave", "closed"], medians[workers, "model2vec", "closed"]
            rate = ours["per_second"] / theirs["per_second"]
            cpu = theirs["server_cpu_ms"] / ours["server_cpu_ms"]
            print(
                f"{workers} worker(s): mave {rate:.2f}x the Model2Vec service's throughput; "
                f"{cpu:.2f}x its requests per second of server CPU"
            )
    return 1 if any(r["failures"] for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
