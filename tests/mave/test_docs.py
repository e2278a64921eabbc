"""The Python examples of the README run as written, on the bundled model."""

import re
from pathlib import Path

README = Path(__file__).resolve().parent.parent.parent / "README.md"


def test_readme_examples_run(converted_models, run_python):
    blocks = [b for b in re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"),
                                    re.S) if "import mave" in b]
    assert blocks
    for block in blocks:
        code = block.replace("build/demo/demo-skipgram.fifu", converted_models["demo-skipgram"])
        output = run_python(code).stdout
        # The five neighbours of "software", one "word cosine" line each.
        assert len(re.findall(r"^\w+ +[01]\.\d{3}$", output, re.M)) == 5, output
