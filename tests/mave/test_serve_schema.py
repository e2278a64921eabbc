"""schemathesis against the service's own /openapi.json: generated requests,
valid and not, never get a 5xx, and every answer fits the schema (its status
code, content type and body)."""

import pytest

schemathesis = pytest.importorskip("schemathesis")
pytest.importorskip("fastapi")

from hypothesis import HealthCheck, settings  # noqa: E402
from schemathesis.checks import not_a_server_error  # noqa: E402
from schemathesis.specs.openapi.checks import (  # noqa: E402
    content_type_conformance, response_schema_conformance, status_code_conformance)

from serve_helpers import clustered_model, serving  # noqa: E402


@pytest.fixture(scope="module")
def api_url(converted_models, tmp_path_factory):
    clusters = clustered_model(tmp_path_factory.mktemp("schema") / "clusters.fifu", n=500)
    with serving([converted_models["cbow-en"], clusters], "--max-words", "20", "--max-queries", "4",
                 "--max-k", "20", "--max-length", "30") as url:
        yield url


@pytest.fixture(scope="module")
def api_schema(api_url):
    return schemathesis.openapi.from_url(api_url + "/openapi.json")


schema = schemathesis.pytest.from_fixture("api_schema")


@schema.parametrize()
@settings(max_examples=60, deadline=None, derandomize=True,
          suppress_health_check=list(HealthCheck))
def test_no_server_error_and_answers_fit_the_schema(case, api_url):
    case.call_and_validate(base_url=api_url, checks=[
        not_a_server_error, status_code_conformance, content_type_conformance,
        response_schema_conformance])
