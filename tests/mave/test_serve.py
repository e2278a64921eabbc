"""`mave serve` over real models: its answers equal mave's (vectors bit for
bit through .npy), client mistakes get a 4xx naming what was wrong, the
limits as configured, the page's files and nothing else of the file system,
two workers, and the approximate index when the model has one."""

import io
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import mave
from suite import child_environment
from serve_helpers import clustered_model, serving

httpx = pytest.importorskip("httpx")
pytest.importorskip("fastapi")
pytest.importorskip("uvicorn")
pytest.importorskip("faiss")

LIMITS = [
    "--max-words",
    "50",
    "--max-queries",
    "5",
    "--max-length",
    "40",
    "--max-k",
    "30",
    "--max-body",
    "4000",
]


@pytest.fixture(scope="module")
def models(converted_models, tmp_path_factory):
    root = tmp_path_factory.mktemp("serve")
    clusters = clustered_model(root / "clusters.fifu")
    subprocess.run(
        [sys.executable, "-m", "mave", "index", "-q", clusters],
        check=True,
        env=child_environment(),
        timeout=300,
    )
    return {"cbow-en": converted_models["cbow-en"], "clusters": clusters}


@pytest.fixture(scope="module")
def server(models):
    with serving(models.values(), *LIMITS) as url, httpx.Client(base_url=url, timeout=60) as client:
        yield client


def post(client, name, route, body, **kwargs):
    return client.post(f"/v1/models/{name}/{route}", json=body, **kwargs)


def test_models_health_and_ready(server, models):
    assert server.get("/health").json() == {"status": "ok"}
    assert server.get("/ready").json() == {
        "status": "ready",
        "models": {"cbow-en": "loaded", "clusters": "loaded"},
    }
    listing = server.get("/v1/models").json()
    assert listing["object"] == "list"
    listed = {m["id"]: m for m in listing["data"]}
    assert set(listed) == {"cbow-en", "clusters"}
    e = mave.load(models["cbow-en"])
    # OpenAI's fields, then mave's.
    assert listed["cbow-en"] == {
        "id": "cbow-en",
        "object": "model",
        "created": int(os.stat(models["cbow-en"]).st_mtime),
        "owned_by": "mave",
        "dims": e.dims,
        "words": len(e.words),
        "vocab_kind": e.vocab_kind,
        "storage_kind": e.storage_kind,
        "approximate": False,
    }
    assert listed["clusters"]["approximate"] is True


def test_vectors_equal_mave(server, models):
    e = mave.load(models["cbow-en"])
    words = ["the", "of", "zzqxj-unseen", "", "Ωμέγα"]
    expected, found = e.embed(words)
    response = post(server, "cbow-en", "vectors", {"words": words})
    assert response.status_code == 200, response.text
    got = response.json()
    assert got["found"] == found.tolist()
    # JSON carries each float32 as the float64 of the same value: exact.
    assert np.array_equal(np.array(got["vectors"], np.float32), expected)
    response = post(server, "cbow-en", "vectors", {"words": words}, headers={"Accept": "application/x-npy"})
    assert response.headers["content-type"] == "application/x-npy"
    array = np.load(io.BytesIO(response.content), allow_pickle=False)
    assert array.dtype == np.float32 and array.tobytes() == expected.tobytes()
    # A simple vocabulary: rows of zeros where a word is missing.
    got = post(server, "clusters", "vectors", {"words": ["w1", "nope"]}).json()
    assert got["found"] == [True, False] and not any(got["vectors"][1])


def test_similar_analogy_nearest_equal_mave(server, models):
    e = mave.load(models["cbow-en"])

    def pairs(response):
        assert response.status_code == 200, response.text
        return [(r["word"], r["cosine"]) for r in response.json()["results"]]

    assert pairs(post(server, "cbow-en", "similar", {"query": "the", "k": 7})) == e.similar("the", 7)
    vector = e["of"].tolist()
    assert pairs(post(server, "cbow-en", "similar", {"query": vector, "k": 3})) == e.similar(e["of"], 3)
    assert pairs(post(server, "cbow-en", "analogy", {"a": "the", "b": "a", "c": "of", "k": 4})) == e.analogy(
        "the", "a", "of", 4
    )
    # positive and negative: the sum of unit vectors, the terms left out.
    got = pairs(post(server, "cbow-en", "similar", {"positive": ["the", "of"], "negative": ["a"], "k": 5}))
    want = e.similar(["the", "of"], 5, negative=["a"])
    assert [w for w, _ in got] == [w for w, _ in want]
    assert np.allclose([c for _, c in got], [c for _, c in want], atol=1e-6)
    nearest = post(server, "cbow-en", "nearest", {"queries": ["the", "of"], "k": 3}).json()["results"]
    assert [[(r["word"], r["cosine"]) for r in rs] for rs in nearest] == [
        e.similar("the", 3),
        e.similar("of", 3),
    ]
    mul = pairs(
        post(server, "cbow-en", "analogy", {"a": "the", "b": "a", "c": "of", "k": 3, "method": "mul"})
    )
    assert len(mul) == 3 and {"the", "a", "of"}.isdisjoint(w for w, _ in mul)


@pytest.mark.parametrize(
    "route, body, status, says",
    [
        ("vectors", {"words": ["w"] * 51}, 422, "words"),
        ("vectors", {"words": ["x" * 41]}, 422, "longer than 40"),
        ("vectors", {"words": "the"}, 422, "words"),
        ("vectors", {}, 422, "words"),
        ("vectors", {"words": ["a"], "extra": 1}, 422, "extra"),
        ("similar", {"query": "the", "k": 31}, 422, "k"),
        ("similar", {"query": "the", "k": 0}, 422, "k"),
        ("similar", {"query": "the", "positive": ["a"]}, 422, "either query or positive"),
        ("similar", {"k": 3}, 422, "either query or positive"),
        ("similar", {"positive": []}, 422, "no term"),
        ("similar", {"positive": ["a"] * 6}, 422, "positive"),
        ("similar", {"query": [1.0, 2.0]}, 422, "shape"),
        ("nearest", {"queries": ["the", [1.0, 2.0]]}, 422, "shape"),
        ("nearest", {"queries": [[1.0] * 16, [1.0, 2.0]]}, 422, "queries"),
        ("nearest", {"queries": []}, 422, "queries"),
        ("similar", {"query": "the", "restrict": 0}, 422, "restrict"),
        ("analogy", {"a": "the", "b": "a", "c": "of", "method": "div"}, 422, "method"),
        ("analogy", {"a": "the", "b": "a"}, 422, "c"),
        ("nearest", {"queries": ["the"] * 6}, 422, "queries"),
        ("nearest", {"queries": ["the"], "approximate": True}, 422, "mave index"),
        ("map", {"word": "the", "k": 101}, 422, "k"),
    ],
)
def test_client_mistakes_get_a_4xx_that_says_what(server, route, body, status, says):
    response = post(server, "cbow-en", route, body)
    assert response.status_code == status, response.text
    assert says in response.json()["detail"]


def test_other_mistakes(server):
    cases = [
        (server.post("/v1/models/nope/similar", json={"query": "the"}), 404, "no model named 'nope'"),
        (post(server, "clusters", "similar", {"query": "unknown"}), 422, "no vector for 'unknown'"),
        (post(server, "clusters", "analogy", {"a": "w1", "b": "w2", "c": "unknown"}), 422, "unknown"),
        (
            server.post(
                "/v1/models/cbow-en/vectors",
                content=b"{not json",
                headers={"Content-Type": "application/json"},
            ),
            422,
            "JSON",
        ),
        (
            server.post("/v1/models/cbow-en/vectors", content=json.dumps({"words": ["a" * 30] * 200})),
            413,
            "larger than 4000 bytes",
        ),
        (server.get("/v1/models/cbow-en/completions", params={"prefix": "x" * 41}), 422, "prefix"),
    ]
    for response, status, says in cases:
        assert response.status_code == status, response.text
        assert says in response.json()["detail"]
    # A body sent without a length is counted as it arrives.
    chunks = iter([b'{"words": [', b'"aaaa",' * 1000, b'"b"]}'])
    response = server.post("/v1/models/cbow-en/vectors", content=chunks)
    assert 400 <= response.status_code < 500


def test_serves_the_page_and_no_other_file(server, models):
    page = server.get("/")
    assert page.status_code == 200 and page.headers["content-type"].startswith("text/html")
    assert server.get("/explorer.js").headers["content-type"].startswith("text/javascript")
    assert server.get("/explorer.css").status_code == 200
    for path in [
        "/static/index.html",
        "/../../etc/passwd",
        "/%2e%2e/%2e%2e/etc/passwd",
        "/" + models["cbow-en"],
        "/v1/models/cbow-en",
        "/index.html",
    ]:
        assert server.get(path).status_code in (404, 405), path
    schema = server.get("/openapi.json").json()
    assert {
        "/v1/models",
        "/v1/models/{name}/vectors",
        "/v1/models/{name}/similar",
        "/v1/models/{name}/analogy",
        "/v1/models/{name}/nearest",
    } <= set(schema["paths"])
    # The limits in force are in the schema.
    assert "maxItems" in json.dumps(schema["components"]["schemas"]["VectorsRequest"])


def test_completions_and_map(server, models):
    e = mave.load(models["cbow-en"])
    got = server.get("/v1/models/cbow-en/completions", params={"prefix": "th", "limit": 100}).json()
    assert got["words"] == sorted(w for w in e.words if w.startswith("th"))[:100]
    assert server.get("/v1/models/cbow-en/completions", params={"prefix": "\uffff"}).json() == {"words": []}
    points = post(server, "cbow-en", "map", {"word": "the", "k": 6}).json()["points"]
    assert [p["word"] for p in points] == ["the"] + [w for w, _ in e.similar("the", 6)]
    # The plane is the first two principal components of the unit rows.
    x = np.stack([e[p["word"]] / np.linalg.norm(e[p["word"]]) for p in points]).astype(np.float64)
    x -= x.mean(axis=0)
    plane = np.array([[p["x"], p["y"]] for p in points])
    s = np.linalg.svd(x, compute_uv=False)
    assert np.allclose(np.linalg.norm(plane, axis=0), s[:2], rtol=1e-6)
    assert np.allclose(plane.T @ plane, np.diag(s[:2] ** 2), atol=1e-8)


def test_approximate_index_is_used_and_true(server, models):
    # The model has an index: the service answers as mave does with
    # approximate=True, unless told not to.
    e = mave.load(models["clusters"])
    for word in ["w5", "w77", "w1234"]:
        got = post(server, "clusters", "similar", {"query": word, "k": 10}).json()["results"]
        assert [(r["word"], r["cosine"]) for r in got] == e.similar(word, 10, approximate=True)
        exact = dict(e.similar(word, 10))
        assert len({r["word"] for r in got} & set(exact)) >= 9
        for r in got:
            if r["word"] in exact:
                assert r["cosine"] == pytest.approx(exact[r["word"]], abs=1e-6)
        forced = post(server, "clusters", "similar", {"query": word, "k": 10, "approximate": False})
        assert [(r["word"], r["cosine"]) for r in forced.json()["results"]] == e.similar(word, 10)


def test_nearest_with_words_and_vectors_and_odd_vectors(server, models):
    e = mave.load(models["clusters"])
    queries = ["w5", e["w6"].tolist(), "w7"]
    got = post(server, "clusters", "nearest", {"queries": queries, "k": 4}).json()["results"]
    rows, cosines = e.nearest(["w5", "w7"], 4, approximate=True)
    vector_rows, vector_cosines = e.nearest(e["w6"][None, :], 4, approximate=True)
    want = [(rows[0], cosines[0]), (vector_rows[0], vector_cosines[0]), (rows[1], cosines[1])]
    for answer, (rs, cs) in zip(got, want):
        assert [(r["word"], r["cosine"]) for r in answer] == [(e.words[r], float(c)) for r, c in zip(rs, cs)]
    # The word queries leave themselves out, the vector query does not.
    assert got[0][0]["word"] != "w5" and got[1][0]["word"] == "w6"
    # A zero vector has no direction: no neighbours, as mave answers.
    zero = post(server, "cbow-en", "similar", {"query": [0.0] * mave.load(models["cbow-en"]).dims})
    assert zero.status_code == 200 and zero.json() == {"results": []}
    # JSON's NaN and Infinity are no numbers of a vector.
    response = server.post(
        "/v1/models/clusters/similar",
        content='{"query": [NaN' + ", 1.0" * 47 + "]}",
        headers={"Content-Type": "application/json"},
    )
    assert response.status_code == 422 and "finite" in response.json()["detail"]


def readme_commands():
    """The shell blocks of the README's section on the service: (command,
    the answer its comment shows) pairs, continued lines joined."""
    text = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
    section = text[text.index("## Serving a model over HTTP") : text.index("### Approximate neighbours")]
    commands = []
    for block in re.findall(r"```bash\n(.*?)```", section, re.S):
        joined = block.replace("\\\n", " ")
        for line in joined.splitlines():
            code, _, comment = line.partition(" # ")
            if code.strip():
                commands.append([code.strip(), comment.strip()])
            elif comment and commands:
                commands[-1][1] += comment.strip()
    return commands


def without_sanitizers():
    """The environment for a program that is not ours: curl started with the
    sanitizer runtimes the suite may preload deadlocks in setlocale."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def test_readme_examples_run(tmp_path, converted_models):
    # The README's commands, as written, against a model of the name they use.
    commands = readme_commands()
    start = [c for c, _ in commands if not c.startswith("curl")]
    assert start == ["mave index cc.en.300.fifu", "mave serve cc.en.300.fifu --port 8000 --workers 2"]
    shutil.copyfile(converted_models["demo-skipgram"], tmp_path / "cc.en.300.fifu")
    subprocess.run(
        [sys.executable, "-m", "mave", *start[0].split()[1:]],
        cwd=tmp_path,
        check=True,
        env=child_environment(),
        timeout=300,
    )
    e = mave.load(tmp_path / "cc.en.300.fifu")
    curls = [(c, said) for c, said in commands if c.startswith("curl")]
    assert len(curls) == 8
    with serving([tmp_path / "cc.en.300.fifu"], "--workers", "2") as url:
        for command, said in curls:
            command = command.replace("curl -s ", "curl -sS --fail-with-body --max-time 60 ").replace(
                "localhost:8000", url.removeprefix("http://")
            )
            result = subprocess.run(
                ["bash", "-c", command],
                cwd=tmp_path,
                capture_output=True,
                text=True,
                timeout=120,
                env=without_sanitizers(),
            )
            assert result.returncode == 0, (command, result.stdout, result.stderr)
            if "-o vectors.npy" in command:
                array = np.load(tmp_path / "vectors.npy", allow_pickle=False)
                assert array.dtype == np.float32 and array.shape == (2, e.dims)
                assert np.array_equal(array, e.embed(["house", "tree"])[0])
                continue
            answer = json.loads(result.stdout)
            if said.startswith("{") and "..." not in said:
                assert answer == json.loads(said)
            # The names the comment shows are the answer's.
            assert set(re.findall(r'"(\w+)":', said)) <= set(re.findall(r'"(\w+)":', result.stdout)), command
            if "/vectors" in command:
                assert answer["found"] == e.embed(["house", "xyzzy"])[1].tolist() == [True, True]
            if "/similar" in command or "/analogy" in command:
                assert len(answer["results"]) == json.loads(command.split("--json '")[1].rstrip("'"))["k"]


def test_two_workers_answer_alike(models):
    e = mave.load(models["cbow-en"])
    with serving([models["cbow-en"]], "--workers", "2") as url:
        with httpx.Client(base_url=url, timeout=60) as client:
            for _ in range(8):
                got = post(client, "cbow-en", "similar", {"query": "of", "k": 5}).json()["results"]
                assert [(r["word"], r["cosine"]) for r in got] == e.similar("of", 5)


def test_serve_refuses_bad_starts(tmp_path, models):
    run = lambda *args: subprocess.run(
        [sys.executable, "-m", "mave", "serve", *args],  # noqa: E731
        capture_output=True,
        text=True,
        env=child_environment(),
        timeout=120,
    )
    result = run(str(tmp_path / "missing.fifu"))
    assert result.returncode == 1 and "mave: error:" in result.stderr
    (tmp_path / "a").mkdir()
    copy = tmp_path / "a" / "cbow-en.fifu"
    shutil.copyfile(models["cbow-en"], copy)
    result = run(models["cbow-en"], str(copy))
    assert result.returncode == 1 and "two models are named 'cbow-en'" in result.stderr
