"""The .floret table floret writes for spaCy: read by mave.convert, and
written from a floret-kind file so that `spacy init vectors --mode floret`
takes it and the spaCy pipeline gives mave's vectors."""

import subprocess
import sys

import numpy as np
import pytest

import mave
from suite import DATA_DIR

FLORET = DATA_DIR / "floret"


def unit(m):
    m = np.asarray(m, dtype=np.float64)
    return m / np.linalg.norm(m, axis=-1, keepdims=True)


def vectors(e, words):
    return np.stack([e[w] for w in words])


@pytest.fixture(scope="module")
def floret_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("floret") / "floret-cbow.fifu"
    mave.convert(FLORET / "floret-cbow.bin", path)
    return path


def words():
    with np.load(FLORET / "floret-cbow.floret.npz") as z:
        ref = {name: z[name] for name in z.files}
    return list(ref["words"][:200]) + [w for w in ref["oov_words"] if w]


def test_tables_read_and_written(tmp_path, floret_file):
    table = tmp_path / "ours.floret"
    mave.convert(floret_file, table)
    assert mave.detect_format(table) == "floret"
    back = tmp_path / "back.fifu"
    mave.convert(table, back)
    e, b = mave.load(floret_file), mave.load(back)
    assert b.vocab_kind == "floret" and b.subwords == e.subwords
    ws = words()
    assert np.array_equal(vectors(e, ws), vectors(b, ws))
    # floret's own table holds its rows to 5 significant digits.
    theirs = tmp_path / "theirs.fifu"
    mave.convert(FLORET / "floret-cbow.floret", theirs)
    assert np.abs(vectors(mave.load(theirs), ws) - vectors(e, ws)).max() < 1e-3
    # Only the floret kind has such a table.
    with pytest.raises(mave.FormatError, match="floret vocabulary kind"):
        mave.convert(DATA_DIR / "compressed" / "cbow-en.vec", tmp_path / "no.floret")
    assert not (tmp_path / "no.floret").exists()


def test_spacy_pipeline_from_our_table_gives_maves_vectors(tmp_path, floret_file):
    spacy = pytest.importorskip("spacy")
    table = tmp_path / "ours.floret"
    mave.convert(floret_file, table)
    pipeline = tmp_path / "pipeline"
    subprocess.run(
        [
            sys.executable,
            "-m",
            "spacy",
            "init",
            "vectors",
            "en",
            str(table),
            str(pipeline),
            "--mode",
            "floret",
        ],
        check=True,
        capture_output=True,
    )
    nlp = spacy.load(pipeline)
    ws = words()
    theirs = np.stack([nlp.vocab[w].vector for w in ws])
    largest = np.abs(unit(theirs) - vectors(mave.load(floret_file), ws)).max()
    assert largest < 1e-5, largest
