"""The Python examples of the README and of docs/api.md run as written, on
the bundled model."""

import importlib.util
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
README = ROOT / "README.md"
API = ROOT / "docs" / "api.md"


def test_readme_examples_run(converted_models, demo, run_python):
    blocks = [
        b
        for b in re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
        if "import mave" in b
    ]
    assert blocks
    for block in blocks:
        if any(
            name in block and importlib.util.find_spec(name) is None
            for name in ("distributed", "lancedb", "ray")
        ):
            continue  # the NumPy 1 and wheel environments have no Dask, LanceDB or Ray
        code = block.replace("build/demo/demo-skipgram.fifu", converted_models["demo-skipgram"])
        output = run_python(code).stdout
        if ".similar(" in block:
            # The five neighbours of "software", one "word cosine" line each.
            assert len(re.findall(r"^\w+ +[01]\.\d{3}$", output, re.M)) == 5, output
        elif "mave.dask" in block:
            assert "(3, 24)" in output, output
        elif "lancedb" in block:
            nearest = [w for w, _ in demo.similar("software", k=5)]
            assert output.splitlines()[-1] == repr(["software"] + nearest), output
        elif "mave.ray" in block:
            assert output.splitlines()[-1] == "3 {24}", output


def test_api_examples_run_as_one_session(converted_models, run_python):
    """docs/api.md's examples hold assertions; they run in order in one
    interpreter, as the document says."""
    blocks = re.findall(r"```python\n(.*?)```", API.read_text(encoding="utf-8"), re.S)
    assert len(blocks) > 10
    if importlib.util.find_spec("tokenizers") is None or importlib.util.find_spec("safetensors") is None:
        # The NumPy 1 environment has neither; the static model's example
        # makes its own folder and stands alone.
        blocks = [b for b in blocks if "tokenizer.json" not in b]
    if importlib.util.find_spec("pyarrow") is None:
        # Tables need pyarrow, which the NumPy 1 and wheel environments lack.
        blocks = [b for b in blocks if not any(s in b for s in ("to_arrow", "parquet", "pa.table"))]
    code = "\n".join(blocks).replace("build/demo/demo-skipgram.fifu", converted_models["demo-skipgram"])
    run_python(code)


def test_every_public_name_has_a_docstring():
    import inspect

    import mave

    missing = [
        name for name in mave.__all__ if name != "__version__" and not inspect.getdoc(getattr(mave, name))
    ]
    members = [name for name in dir(mave.Embeddings) if not name.startswith("_")]
    missing += [
        f"Embeddings.{name}" for name in members if not inspect.getdoc(getattr(mave.Embeddings, name))
    ]
    assert missing == []
    assert {"embed", "similar", "analogy", "words", "matrix"} <= set(members)
