"""schemathesis against the service's own /openapi.json: generated requests,
valid and not, never get a 5xx, and every answer fits the schema (its status
code, content type and body)."""

import pytest

schemathesis = pytest.importorskip("schemathesis")
pytest.importorskip("fastapi")

from hypothesis import HealthCheck, given, settings  # noqa: E402
from schemathesis.checks import not_a_server_error  # noqa: E402
from schemathesis.specs.openapi.checks import (  # noqa: E402
    content_type_conformance,
    response_schema_conformance,
    status_code_conformance,
)

from serve_helpers import clustered_model, serving  # noqa: E402


@pytest.fixture(scope="module")
def api_url(converted_models, tmp_path_factory):
    clusters = clustered_model(tmp_path_factory.mktemp("schema") / "clusters.fifu", n=500)
    with serving(
        [converted_models["cbow-en"], clusters],
        "--max-words",
        "20",
        "--max-queries",
        "4",
        "--max-k",
        "20",
        "--max-length",
        "30",
    ) as url:
        yield url


@pytest.fixture(scope="module")
def api_schema(api_url):
    return schemathesis.openapi.from_url(api_url + "/openapi.json")


def operations():
    # The names only: the schema itself comes from the running server.
    return [
        "GET /health",
        "GET /ready",
        "GET /metrics",
        "GET /v1/models",
        "POST /v1/embeddings",
        "POST /api/embed",
        "POST /v1/models/{name}/vectors",
        "POST /v1/models/{name}/similar",
        "POST /v1/models/{name}/analogy",
        "POST /v1/models/{name}/nearest",
        "GET /v1/models/{name}/completions",
        "POST /v1/models/{name}/map",
    ]


@pytest.mark.parametrize("label", operations())
def test_no_server_error_and_answers_fit_the_schema(api_schema, api_url, label):
    method, path = label.split()
    found = {
        f"{o.method.upper()} {o.path}": o for o in (result.ok() for result in api_schema.get_all_operations())
    }
    assert set(found) == set(operations())
    operation = found[label]

    @given(case=operation.as_strategy())
    @settings(
        max_examples=80,
        deadline=None,
        derandomize=True,
        database=None,
        suppress_health_check=list(HealthCheck),
    )
    def check(case):
        case.call_and_validate(
            base_url=api_url,
            checks=[
                not_a_server_error,
                status_code_conformance,
                content_type_conformance,
                response_schema_conformance,
            ],
        )

    check()
