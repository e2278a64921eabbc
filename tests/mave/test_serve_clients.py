"""`mave serve` as the embedding server of the clients people already use,
none written by us: OpenAI's `openai`, LangChain's `OpenAIEmbeddings`,
LlamaIndex's `OpenAILikeEmbedding` and `ollama`, each against a real server.
Their vectors are `e.encode` of the same texts, bit for bit; their failures
are their own typed errors; the limits hold before any work; the README's
examples of these routes run as written."""

import base64
import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import mave
from serve_helpers import clustered_model, serving
from suite import child_environment

httpx = pytest.importorskip("httpx")
pytest.importorskip("fastapi")
openai = pytest.importorskip("openai")
ollama = pytest.importorskip("ollama")

# Words, subwords only, none of the vocabulary, other scripts, an empty text,
# runs of spaces.
TEXTS = ["the cat sat on the mat", "of", "zzqxj unseen wordz", "Ωμέγα λέξη", "", "  spaced   out  "]
CLUSTER_TEXTS = ["w1 w2 w3", "w5 nope", "nothing known", "w7"]
LIMITS = ["--max-words", "8", "--max-length", "60", "--max-body", "6000"]


STATIC_TEXTS = ["the cat sat on the mat", "Ωμέγα!", "", "unseenwordz here"]


@pytest.fixture(scope="module")
def models(converted_models, tmp_path_factory):
    root = tmp_path_factory.mktemp("clients")
    out = {"cbow-en": converted_models["cbow-en"], "clusters": clustered_model(root / "clusters.fifu", n=500)}
    # A static sentence model (a WordPiece tokenizer trained here, saved by
    # Model2Vec), served beside the word vectors.
    pytest.importorskip("model2vec")
    import static_folders

    tokenizer = static_folders.train_tokenizer("wordpiece")
    out["static-wp"] = static_folders.save_model2vec(
        root / "static-wp",
        tokenizer,
        static_folders.table(tokenizer.get_vocab_size(), 24, seed=3),
        normalize=True,
    )
    return out


@pytest.fixture(scope="module")
def url(models):
    with serving(models.values(), *LIMITS) as url:
        yield url


def cases(models):
    """(model name, texts, the vectors mave gives them, their tokens: words
    of word vectors, the tokenizer's tokens of a static model)."""
    out = []
    for name, texts in [("cbow-en", TEXTS), ("clusters", CLUSTER_TEXTS), ("static-wp", STATIC_TEXTS)]:
        e = mave.load(models[name])
        out.append((name, texts, e.encode(texts), int(e._token_counts(texts).sum())))
    assert out[2][3] > sum(len(t.split()) for t in STATIC_TEXTS)  # subword tokens, not words
    return out


def as_float32(vectors):
    array = np.array(vectors, dtype=np.float64)
    assert np.array_equal(array, array.astype(np.float32)), "a value that is no float32"
    return array.astype(np.float32)


def vectors_of(data):
    """The vectors of OpenAI's `data`: numbers, or base64 strings (the client
    decodes them only when it chose base64 itself)."""
    return as_float32(
        [
            np.frombuffer(base64.b64decode(d.embedding), "<f4")
            if isinstance(d.embedding, str)
            else d.embedding
            for d in data
        ]
    )


def openai_client(url, key="unused"):
    """An `openai` client of the server (closed by `with`, as every client
    here, so that no socket is left to the collector)."""
    return openai.OpenAI(base_url=url + "/v1", api_key=key, max_retries=0)


@pytest.mark.parametrize("encoding", ["default (base64)", "float", "base64"])
def test_openai_client_gets_the_vectors_of_encode(url, models, encoding):
    options = {} if encoding.startswith("default") else {"encoding_format": encoding}
    with openai_client(url) as client:
        for name, texts, expected, tokens in cases(models):
            response = client.embeddings.create(model=name, input=texts, **options)
            assert response.model == name and response.object == "list"
            assert [d.index for d in response.data] == list(range(len(texts)))
            assert np.array_equal(vectors_of(response.data), expected)
            assert response.usage.prompt_tokens == response.usage.total_tokens == tokens
        # One text, not in a list.
        one = client.embeddings.create(model="cbow-en", input="the cat", **options)
    assert np.array_equal(vectors_of(one.data)[0], mave.load(models["cbow-en"]).encode(["the cat"])[0])


def test_base64_is_the_little_endian_float32_bytes(url, models):
    expected = mave.load(models["cbow-en"]).encode(TEXTS)
    for form in ["base64", "float"]:
        answer = httpx.post(
            url + "/v1/embeddings",
            json={"model": "cbow-en", "input": TEXTS, "encoding_format": form},
            timeout=60,
        ).json()
        if form == "base64":
            rows = [np.frombuffer(base64.b64decode(d["embedding"]), dtype="<f4") for d in answer["data"]]
            assert b"".join(r.tobytes() for r in rows) == expected.astype("<f4").tobytes()
        else:
            assert np.array_equal(as_float32([d["embedding"] for d in answer["data"]]), expected)
    # Without encoding_format the API's default: floats.
    answer = httpx.post(url + "/v1/embeddings", json={"model": "clusters", "input": "w1"}, timeout=60).json()
    assert isinstance(answer["data"][0]["embedding"], list)


@pytest.mark.parametrize("dimensions", [1, 7, 48])
def test_dimensions_keeps_the_first_components_at_unit_length(url, models, dimensions):
    with openai_client(url) as client:
        got = as_float32(
            [
                d.embedding
                for d in client.embeddings.create(
                    model="clusters", input=CLUSTER_TEXTS, dimensions=dimensions
                ).data
            ]
        )
    head = mave.load(models["clusters"]).encode(CLUSTER_TEXTS)[:, :dimensions].astype(np.float64)
    lengths = np.linalg.norm(head, axis=1, keepdims=True)
    want = np.divide(head, lengths, out=np.zeros_like(head), where=lengths > 0)
    assert got.shape == (len(CLUSTER_TEXTS), dimensions)
    assert np.allclose(got, want, rtol=1e-6, atol=1e-7)
    # "nothing known" has no vector: zeros, not NaN.
    assert not got[2].any() and np.allclose(np.linalg.norm(got[[0, 1, 3]], axis=1), 1, atol=1e-6)


@pytest.mark.parametrize("name", ["cbow-en", "static-wp"])
def test_langchain_and_llama_index(url, models, name):
    langchain_openai = pytest.importorskip("langchain_openai")
    openai_like = pytest.importorskip("llama_index.embeddings.openai_like")
    e = mave.load(models[name])
    # Its default counts tokens with a vocabulary it downloads: off.
    texts = [t for t in TEXTS if t.strip()]
    with httpx.Client() as http:
        lc = langchain_openai.OpenAIEmbeddings(
            model=name,
            base_url=url + "/v1",
            api_key="unused",
            check_embedding_ctx_length=False,
            max_retries=0,
            http_client=http,
        )
        assert np.array_equal(as_float32(lc.embed_documents(texts)), e.encode(texts))
        assert np.array_equal(as_float32(lc.embed_query("the cat sat")), e.encode(["the cat sat"])[0])
    with httpx.Client() as http:
        li = openai_like.OpenAILikeEmbedding(
            model_name=name,
            api_base=url + "/v1",
            api_key="unused",
            embed_batch_size=3,
            max_retries=0,
            http_client=http,
        )
        assert np.array_equal(as_float32(li.get_text_embedding_batch(texts)), e.encode(texts))
        assert np.array_equal(as_float32(li.get_query_embedding("the cat sat")), e.encode(["the cat sat"])[0])


def test_ollama_client(url, models):
    with ollama.Client(host=url) as client:
        for name, texts, expected, tokens in cases(models):
            response = client.embed(model=name, input=texts)
            assert response.model == name
            assert np.array_equal(as_float32(response.embeddings), expected)
            assert response.prompt_eval_count == tokens
        one = client.embed(model="clusters", input="w5")
        assert np.array_equal(as_float32(one.embeddings), mave.load(models["clusters"]).encode(["w5"]))
        with pytest.raises(ollama.ResponseError) as error:
            client.embed(model="nope", input="w5")
        assert error.value.status_code == 404 and "no model named 'nope'" in error.value.error
        with pytest.raises(ollama.ResponseError) as error:
            client.embed(model="clusters", input=["w"] * 9)
        assert error.value.status_code == 413 and "8" in error.value.error


@pytest.mark.parametrize(
    "ask, error, status, param, says",
    [
        ({"model": "nope", "input": "the"}, "NotFoundError", 404, "model", "no model named 'nope'"),
        ({"model": "cbow-en", "input": [[1, 2, 3]]}, "BadRequestError", 400, "input", "takes text"),
        ({"model": "cbow-en", "input": [1, 2, 3]}, "BadRequestError", 400, "input", "takes text"),
        ({"model": "cbow-en", "input": []}, "BadRequestError", 400, "input", "no text"),
        (
            {"model": "cbow-en", "input": "the", "dimensions": 10_000},
            "BadRequestError",
            400,
            "dimensions",
            "has 16",
        ),
        (
            {"model": "cbow-en", "input": "the", "dimensions": 0},
            "BadRequestError",
            400,
            "dimensions",
            "dimensions",
        ),
        (
            {"model": "cbow-en", "input": "the", "encoding_format": "int8"},
            "BadRequestError",
            400,
            "encoding_format",
            "encoding_format",
        ),
        (
            {"model": "cbow-en", "input": "the", "extra_body": {"bogus": 1}},
            "BadRequestError",
            400,
            "bogus",
            "bogus",
        ),
        ({"model": "cbow-en", "input": ["the"] * 9}, "APIStatusError", 413, "input", "more than the 8"),
        (
            {"model": "cbow-en", "input": ["the", "x" * 61]},
            "APIStatusError",
            413,
            "input",
            "input[1] is longer than 60 characters",
        ),
    ],
)
def test_openai_errors_are_the_clients_typed_errors(url, ask, error, status, param, says):
    with openai_client(url) as client, pytest.raises(getattr(openai, error)) as raised:
        client.embeddings.create(**ask)
    e = raised.value
    assert e.status_code == status and says in e.message and e.param == param
    assert e.body["type"] == "invalid_request_error"


def texts_embedded(url):
    from prometheus_client.parser import text_string_to_metric_families

    text = httpx.get(url + "/metrics", timeout=60).text
    return sum(
        s.value
        for f in text_string_to_metric_families(text)
        for s in f.samples
        if s.name == "mave_texts_embedded_total"
    )


@pytest.mark.parametrize(
    "route, body",
    [
        ("/v1/embeddings", {"model": "cbow-en", "input": ["the"] * 9}),
        ("/v1/embeddings", {"model": "cbow-en", "input": ["the", "é" * 61]}),
        ("/v1/embeddings", {"model": "cbow-en", "input": ["the cat sat on the mat"] * 8, "user": "x" * 6000}),
        ("/api/embed", {"model": "cbow-en", "input": ["the"] * 9}),
        ("/api/embed", {"model": "cbow-en", "input": "x" * 61}),
        ("/api/embed", {"model": "cbow-en", "input": "the", "options": {"pad": "x" * 6000}}),
    ],
)
def test_limits_hold_before_any_work(url, route, body):
    before = texts_embedded(url)
    response = httpx.post(url + route, json=body, timeout=60)
    assert response.status_code == 413, response.text
    # Each surface's own error shape.
    message = response.json()["error"]
    message = message["message"] if route.startswith("/v1") else message
    assert "8" in message or "60 characters" in message or "6000 bytes" in message
    assert texts_embedded(url) == before


def readme_section():
    """The README's text on the OpenAI- and Ollama-shaped routes."""
    text = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
    start = text.index("### OpenAI's and Ollama's embedding APIs, keys, metrics")
    return text[start : text.index("\n## ", start)]


def shell_lines(block):
    """(command, the answer its comment shows) of a bash block, continued
    lines joined and comment-only lines added to the command above."""
    lines = []
    for line in block.replace("\\\n", " ").splitlines():
        code, _, comment = line.partition(" # ")
        if code.strip():
            lines.append([code.strip(), comment.strip()])
        elif comment and lines:
            lines[-1][1] += comment.strip()
    return lines


def run_shell(command, url, cwd):
    command = command.replace("curl -s ", "curl -sS --max-time 60 ").replace(
        "localhost:8000", url.removeprefix("http://")
    )
    # curl is not ours: no sanitizer runtime preloaded into it.
    env = {k: v for k, v in child_environment().items() if k != "LD_PRELOAD"}
    result = subprocess.run(
        ["bash", "-c", command], cwd=cwd, capture_output=True, text=True, timeout=120, env=env
    )
    assert result.returncode == 0, (command, result.stdout, result.stderr)
    return result.stdout


def matches(said, output):
    """Whether an answer fits the comment that shows it: equal JSON, or the
    names the comment shows, or (not JSON) the same text."""
    if not said.startswith("{"):
        return output.strip() == said
    answer = json.loads(output)
    if "..." not in said:
        return answer == json.loads(said)
    return set(re.findall(r'"(\w+)":', said)) <= set(re.findall(r'"(\w+)":', output))


def test_readme_examples_of_the_client_routes_run(tmp_path, converted_models):
    section = readme_section()
    bash = re.findall(r"```bash\n(.*?)```", section, re.S)
    python = re.findall(r"```python\n(.*?)```", section, re.S)
    assert len(bash) == 2 and len(python) == 1
    shutil.copyfile(converted_models["demo-skipgram"], tmp_path / "cc.en.300.fifu")
    e = mave.load(tmp_path / "cc.en.300.fifu")
    # The first block and the Python example: the server the section above
    # started (mave serve cc.en.300.fifu --port 8000 --workers 2).
    with serving([tmp_path / "cc.en.300.fifu"], "--workers", "2") as url:
        lines = shell_lines(bash[0])
        assert [c.split()[0] for c, _ in lines] == ["curl"] * 4
        for command, said in lines:
            output = run_shell(command, url, tmp_path)
            assert matches(said, output), (command, output)
            if "/v1/embeddings" in command:
                data = json.loads(output)["data"]
                assert np.array_equal(
                    as_float32([d["embedding"] for d in data]), e.encode(["a red house", "the tree"])
                )
        code = python[0].replace("http://localhost:8000", url)
        result = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, env=child_environment(), timeout=120
        )
        assert result.returncode == 0, result.stderr
        said = python[0].split("# ")[-1].strip().replace("300", str(e.dims))
        assert result.stdout.strip() == said
    # The second block: a server with keys.
    lines = shell_lines(bash[1])
    assert lines[0][0].startswith("openssl") and lines[1][0].startswith("mave serve")
    run_shell(lines[0][0], "", tmp_path)
    key = (tmp_path / "keys.txt").read_text().split()[0]
    assert re.fullmatch(r"[0-9a-f]{64}", key)
    args = lines[1][0].split()[2:]
    assert args[0] == "cc.en.300.fifu" and "--api-key-file" in args
    args = [str(tmp_path / a) if a in ("cc.en.300.fifu", "keys.txt") else a for a in args]
    args = [a for a in args if a not in ("--port", "8000")]
    with serving([args[0]], *args[1:]) as url:
        answers = []
        for command, said in lines[2:]:
            answers.append(run_shell(command, url, tmp_path))
            assert matches(said, answers[-1]), (command, answers[-1])
    assert [m["id"] for m in json.loads(answers[0])["data"]] == ["cc.en.300"]
    assert json.loads(answers[1])["error"]["message"].startswith("this server needs an API key: ")
