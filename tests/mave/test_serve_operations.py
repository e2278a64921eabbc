"""What an operator relies on in `mave serve`: API keys route by route (no
key, a wrong key, a right one; /health and /ready open; keys never in the
log), one metrics scrape that counts every worker, readiness only once the
models are loaded, and a fault of the server answered as a 500 with its
trace logged, never as a client's mistake."""

import logging
import subprocess
import sys
import threading
import time

import pytest

import mave
from serve_helpers import clustered_model, serving
from suite import child_environment

httpx = pytest.importorskip("httpx")
pytest.importorskip("fastapi")
pytest.importorskip("prometheus_client")
from fastapi.testclient import TestClient  # noqa: E402
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

KEYS = ["k3y-one-0123456789abcdef", "k3y-two-fedcba9876543210"]
WRONG = "k3y-one-0123456789abcdeF"  # one character off

# Every route, with a request it answers with 200. The test checks that the
# list holds every route of the schema.
EMBED = {"model": "clusters", "input": ["w1 w2", "w3"]}
ROUTES = [
    ("GET", "/health", None),
    ("GET", "/ready", None),
    ("GET", "/", None),
    ("GET", "/explorer.js", None),
    ("GET", "/explorer.css", None),
    ("GET", "/metrics", None),
    ("GET", "/openapi.json", None),
    ("GET", "/docs", None),
    ("GET", "/v1/models", None),
    ("POST", "/v1/embeddings", EMBED),
    ("POST", "/api/embed", EMBED),
    ("POST", "/v1/models/clusters/vectors", {"words": ["w1"]}),
    ("POST", "/v1/models/clusters/similar", {"query": "w1", "k": 3}),
    ("POST", "/v1/models/clusters/analogy", {"a": "w1", "b": "w2", "c": "w3", "k": 3}),
    ("POST", "/v1/models/clusters/nearest", {"queries": ["w1"], "k": 3}),
    ("GET", "/v1/models/clusters/completions?prefix=w1", None),
    ("POST", "/v1/models/clusters/map", {"word": "w1", "k": 3}),
]
OPEN = {"/health", "/ready", "/", "/explorer.js", "/explorer.css"}


@pytest.fixture(scope="module")
def clusters(tmp_path_factory):
    return clustered_model(tmp_path_factory.mktemp("operations") / "clusters.fifu", n=300)


@pytest.fixture(scope="module", params=["MAVE_API_KEY", "--api-key-file"])
def keyed(request, clusters, tmp_path_factory):
    """A server with two keys, given either way; its log at the info level."""
    if request.param == "MAVE_API_KEY":
        args, environment = [], {"MAVE_API_KEY": ", ".join(KEYS)}
    else:
        keys = tmp_path_factory.mktemp("keys") / "keys.txt"
        keys.write_text("# the keys of the tests\n\n" + "\n".join(f"  {k}  " for k in KEYS) + "\n")
        args, environment = ["--api-key-file", str(keys)], {"MAVE_API_KEY": WRONG}
    with serving([clusters], *args, environment=environment, quiet=False) as url:
        yield url


def call(url, method, path, body, key):
    headers = {} if key is None else {"Authorization": f"Bearer {key}"}
    return httpx.request(method, url + path, json=body, headers=headers, timeout=60)


def test_the_route_table_is_every_route(keyed):
    schema = call(keyed, "GET", "/openapi.json", None, KEYS[0]).json()
    listed = {(m.upper(), p) for p, ops in schema["paths"].items() for m in ops}
    table = {(m, p.split("?")[0].replace("/clusters/", "/{name}/")) for m, p, _ in ROUTES}
    assert listed <= table
    # The schema says which routes need a key.
    assert schema["components"]["securitySchemes"] == {"bearer": {"type": "http", "scheme": "bearer"}}
    for path, operations in schema["paths"].items():
        for operation in operations.values():
            assert ("security" in operation) == (path not in OPEN), path


@pytest.mark.parametrize("method, path, body", ROUTES, ids=[f"{m} {p}" for m, p, _ in ROUTES])
@pytest.mark.parametrize("key", ["none", "wrong", "right", "lower-case scheme"])
def test_keys_route_by_route(keyed, method, path, body, key):
    sent = {"none": None, "wrong": WRONG, "right": KEYS[1], "lower-case scheme": KEYS[0]}[key]
    headers = (
        {}
        if sent is None
        else {"Authorization": ("bearer " if key.startswith("lower") else "Bearer ") + sent}
    )
    response = httpx.request(method, keyed + path, json=body, headers=headers, timeout=60)
    if path in OPEN or key in ("right", "lower-case scheme"):
        assert response.status_code == 200, response.text
        return
    assert response.status_code == 401, response.text
    assert response.headers["www-authenticate"] == "Bearer"
    said = "this server needs an API key" if key == "none" else "the API key is not valid"
    body = response.json()
    if path.startswith("/v1/") and not path.startswith("/v1/models/"):
        assert body == {
            "error": {
                "message": body["error"]["message"],
                "type": "invalid_request_error",
                "param": None,
                "code": "invalid_api_key",
            }
        }
        assert body["error"]["message"].startswith(said)
    elif path.startswith("/api/"):
        assert body["error"].startswith(said)
    else:
        assert body["detail"].startswith(said)


def test_clients_with_keys_and_keys_never_logged(keyed):
    openai = pytest.importorskip("openai")
    ollama = pytest.importorskip("ollama")
    with openai.OpenAI(base_url=keyed + "/v1", api_key=KEYS[0], max_retries=0) as client:
        assert len(client.embeddings.create(model="clusters", input="w1").data) == 1
    with openai.OpenAI(base_url=keyed + "/v1", api_key=WRONG, max_retries=0) as client:
        with pytest.raises(openai.AuthenticationError) as error:
            client.embeddings.create(model="clusters", input="w1")
        assert error.value.code == "invalid_api_key"
    with ollama.Client(host=keyed, headers={"Authorization": f"Bearer {KEYS[1]}"}) as client:
        assert len(client.embed(model="clusters", input=["w1", "w2"]).embeddings) == 2
    with ollama.Client(host=keyed) as client, pytest.raises(ollama.ResponseError) as error:
        client.embed(model="clusters", input="w1")
    assert error.value.status_code == 401
    log = keyed.log()
    assert "POST /v1/embeddings" in log  # the log is on, at the info level
    for key in [*KEYS, WRONG]:
        assert key not in log


@pytest.mark.parametrize(
    "content, says",
    [
        ("# only a comment\n\n", "holds no API key"),
        ("good-key\nbad key\n", "API key 2 of"),
        ("k\u00e9y\n", "API key 1 of"),
    ],
)
def test_bad_key_files_fail_the_start(tmp_path, clusters, content, says):
    keys = tmp_path / "keys.txt"
    keys.write_text(content, encoding="utf-8")
    result = subprocess.run(
        [sys.executable, "-m", "mave", "serve", clusters, "--api-key-file", str(keys)],
        capture_output=True,
        text=True,
        env=child_environment(),
        timeout=120,
    )
    assert result.returncode == 1 and "mave: error: " in result.stderr and says in result.stderr
    # What is wrong is said without showing the key.
    assert "bad key" not in result.stderr and "k\u00e9y" not in result.stderr


def scrape(url):
    """The samples of one scrape: {(name, labels without pid): value} and the
    pids of mave_models_loaded."""
    samples, pids = {}, {}
    text = httpx.get(url + "/metrics", timeout=60).text
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            labels = {k: v for k, v in s.labels.items() if k != "pid"}
            samples[(s.name, tuple(sorted(labels.items())))] = s.value
            if s.name == "mave_models_loaded":
                pids[s.labels["pid"]] = s.value
    return samples, pids


def moved(before, after, name, **labels):
    key = (name, tuple(sorted(labels.items())))
    return after.get(key, 0) - before.get(key, 0)


def test_one_scrape_counts_both_workers(clusters, converted_models):
    with serving([clusters, converted_models["cbow-en"]], "--workers", "2") as url:
        before, pids = scrape(url)
        # Both workers have written their gauge into the shared folder.
        assert len(pids) == 2 and set(pids.values()) == {2.0}
        # Concurrent clients on fresh connections, so that both workers answer.
        errors = []

        def client(i):
            try:
                for _ in range(5):
                    body = {"model": "clusters", "input": ["w1 w2 w3", "w4"]}
                    assert httpx.post(url + "/v1/embeddings", json=body, timeout=60).status_code == 200
                    assert (
                        httpx.post(
                            url + "/api/embed", json={"model": "cbow-en", "input": "the cat sat"}, timeout=60
                        ).status_code
                        == 200
                    )
                    assert (
                        httpx.post(
                            url + "/v1/embeddings", json={"model": "nope", "input": "x"}, timeout=60
                        ).status_code
                        == 404
                    )
            except Exception as error:  # reported below, in the test's thread
                errors.append(error)

        threads = [threading.Thread(target=client, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors
        # Whichever worker answers a scrape, it counts all 20 of each.
        for _ in range(6):
            after, _ = scrape(url)
            requests = "mave_requests_total"
            assert moved(before, after, requests, route="/v1/embeddings", method="POST", status="200") == 20
            assert moved(before, after, requests, route="/v1/embeddings", method="POST", status="404") == 20
            assert moved(before, after, requests, route="/api/embed", method="POST", status="200") == 20
            assert moved(before, after, "mave_request_duration_seconds_count", route="/api/embed") == 20
            assert moved(before, after, "mave_texts_embedded_total", model="clusters") == 40
            assert moved(before, after, "mave_tokens_embedded_total", model="clusters") == 80
            assert moved(before, after, "mave_texts_embedded_total", model="cbow-en") == 20
            assert moved(before, after, "mave_tokens_embedded_total", model="cbow-en") == 60
            # Every request under ten seconds: the last bucket holds them all.
            assert (
                moved(before, after, "mave_request_duration_seconds_bucket", route="/api/embed", le="10.0")
                == 20
            )


@pytest.mark.parametrize("workers", ["1", "2"])
def test_the_metrics_folder_goes_with_the_server(clusters, tmp_path, workers):
    # mave serve makes its own folder under the temporary directory and
    # removes it when it stops (serving() stops it with SIGTERM).
    environment = {"TMPDIR": str(tmp_path)}
    with serving([clusters], "--workers", workers, environment=environment) as url:
        folders = list(tmp_path.glob("mave-metrics-*"))
        assert len(folders) == 1 and any(folders[0].glob("*.db"))
        assert httpx.get(url + "/metrics", timeout=60).status_code == 200
    assert not list(tmp_path.glob("mave-metrics-*"))


# --- in one process: readiness and faults, with a loader and a bug of our making


@pytest.mark.parametrize("wait", [0.3, 60])
def test_ready_only_once_every_model_is_loaded(clusters, wait):
    from concurrent.futures import ThreadPoolExecutor

    from mave._serve._app import Settings, create_app

    gate = threading.Event()

    def slow_load(path):
        assert gate.wait(60)
        return mave.load(path)

    app = create_app(Settings((clusters,)), load=slow_load, load_wait=wait)
    with TestClient(app) as client, ThreadPoolExecutor(4) as pool:
        assert client.get("/health").status_code == 200
        response = client.get("/ready")
        assert response.status_code == 503
        assert response.json() == {"status": "loading", "models": {"clusters": "loading"}}
        # An unknown name is known to be unknown at once.
        assert client.post("/v1/models/nope/similar", json={"query": "w1"}).status_code == 404
        asked = [
            pool.submit(client.post, "/v1/embeddings", json=EMBED),
            pool.submit(client.post, "/v1/models/clusters/similar", json={"query": "w1"}),
            pool.submit(client.get, "/v1/models"),
        ]
        if wait < 1:
            # Not loaded within the wait: come back, each in its shape.
            waited = asked[0].result(timeout=60)
            assert waited.status_code == 503 and waited.headers["retry-after"] == "1"
            assert waited.json()["error"]["type"] == "server_error"
            assert [a.result(timeout=60).status_code for a in asked[1:]] == [503, 503]
        else:
            # The requests wait for the model, and have their answers once it is loaded.
            time.sleep(0.5)
            assert not any(a.done() for a in asked)
        gate.set()
        deadline = time.monotonic() + 60
        while client.get("/ready").status_code != 200:
            assert time.monotonic() < deadline
            time.sleep(0.05)
        assert client.get("/ready").json() == {"status": "ready", "models": {"clusters": "loaded"}}
        if wait > 1:
            assert [a.result(timeout=60).status_code for a in asked] == [200, 200, 200]
        assert client.post("/v1/embeddings", json=EMBED).status_code == 200


def test_a_model_that_fails_to_load_is_not_ready(clusters, caplog):
    from mave._serve._app import Settings, create_app

    def broken(path):
        raise OSError(5, "Input/output error", path)

    with TestClient(create_app(Settings((clusters,)), load=broken)) as client:
        deadline = time.monotonic() + 60
        while client.get("/ready").json()["status"] == "loading":
            assert time.monotonic() < deadline
            time.sleep(0.05)
        response = client.get("/ready")
        assert response.status_code == 503 and response.json()["models"] == {"clusters": "failed"}
        assert client.post("/api/embed", json=EMBED).status_code == 503
    assert any("could not be loaded" in r.getMessage() and r.exc_info for r in caplog.records)


@pytest.mark.parametrize(
    "route, body, patched, shape",
    [
        ("/v1/models/clusters/similar", {"query": "w1"}, "similar", "detail"),
        ("/v1/models/clusters/nearest", {"queries": ["w1"]}, "nearest", "detail"),
        ("/v1/embeddings", EMBED, "encode", "openai"),
        ("/api/embed", EMBED, "encode", "ollama"),
    ],
)
@pytest.mark.parametrize("fault", [TypeError, ValueError, IndexError])
def test_a_server_fault_is_a_500_with_its_trace_logged(
    clusters, monkeypatch, caplog, route, body, patched, shape, fault
):
    # Errors a bug raises (the kinds a client's mistake raises too): never a 4xx.
    from mave._serve import _queries
    from mave._serve._app import Settings, create_app

    def bug(*args, **kwargs):
        raise fault("a bug of the server")

    monkeypatch.setattr(_queries, patched, bug)
    with TestClient(create_app(Settings((clusters,)))) as client:
        wait_ready(client)
        with caplog.at_level(logging.ERROR, logger="mave.serve"):
            response = client.post(route, json=body)
    assert response.status_code == 500
    said = "internal error: the server's log has the details"
    match shape:
        case "detail":
            assert response.json() == {"detail": said}
        case "openai":
            assert response.json() == {
                "error": {"message": said, "type": "server_error", "param": None, "code": None}
            }
        case "ollama":
            assert response.json() == {"error": said}
    records = [r for r in caplog.records if r.name == "mave.serve"]
    assert len(records) == 1 and records[0].exc_info[0] is fault
    assert route in records[0].getMessage()


def test_library_errors_on_the_clients_input_stay_4xx(clusters):
    from mave._serve._app import Settings, create_app

    with TestClient(create_app(Settings((clusters,)))) as client:
        wait_ready(client)
        # A word without a vector (KeyError in mave), a vector of the wrong length.
        unknown = client.post("/v1/models/clusters/similar", json={"query": "nope"})
        assert unknown.status_code == 422 and unknown.json() == {"detail": "no vector for 'nope'"}
        short = client.post("/v1/models/clusters/similar", json={"query": [1.0, 2.0]})
        assert short.status_code == 422 and "shape (2,)" in short.json()["detail"]
        mixed = client.post("/v1/models/clusters/nearest", json={"queries": ["w1", [1.0] * 47]})
        assert mixed.status_code == 422 and short.json()["detail"].startswith("positive[0]")
        assert mixed.json()["detail"].startswith("queries[1] has shape (47,)")


def wait_ready(client):
    deadline = time.monotonic() + 60
    while client.get("/ready").status_code != 200:
        assert time.monotonic() < deadline
        time.sleep(0.02)
