"""The approximate-neighbours index: built beside the model by `mave index`,
used by `similar` and `nearest` with approximate=True (found beside the
file or given), its answers re-ranked to true cosines with high recall
against exact search on real models, exclusion and padding, a clear error
without an index, and a stale index refused. The search breadth measured at
build time: the recall asked for reached on real and synthetic models, files
from before it still searched at the old breadth, a damaged record refused;
the file written atomically."""

import json
import shutil
from pathlib import Path
import subprocess
import sys

import numpy as np
import pytest

import mave
from suite import FASTTEXT_DIR, child_environment
from mave import _index, _native
from mave._cli import main
from serve_helpers import clustered_model

pytest.importorskip("faiss")


@pytest.fixture(scope="module")
def indexed(tmp_path_factory):
    path = clustered_model(tmp_path_factory.mktemp("index") / "clusters.fifu")
    result = subprocess.run(
        [sys.executable, "-m", "mave", "index", path],
        capture_output=True,
        text=True,
        env=child_environment(),
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == path + ".hnsw"
    return mave.load(path)


@pytest.fixture(scope="module")
def real_indexed(converted_models, tmp_path_factory):
    """Trained models, each with its index beside it: two converted
    fastText test models, and a word2vec-style model of every word of the
    English corpus (3.5k words) trained by the fastText tool."""
    root = tmp_path_factory.mktemp("real")
    paths = {name: root / f"{name}.fifu" for name in ["demo-skipgram", "cbow-en", "all-words"]}
    for name in ["demo-skipgram", "cbow-en"]:
        shutil.copyfile(converted_models[name], paths[name])
    tool = shutil.which("fasttext")
    if tool is None:
        pytest.skip("the fastText command-line tool is not installed")
    subprocess.run(
        [
            tool,
            "skipgram",
            "-input",
            str(FASTTEXT_DIR / "english.txt"),
            "-output",
            str(root / "all-words"),
            "-minCount",
            "1",
            "-minn",
            "0",
            "-maxn",
            "0",
            "-dim",
            "32",
            "-epoch",
            "25",
            "-thread",
            "1",
            "-seed",
            "42",
            "-verbose",
            "0",
        ],
        check=True,
        timeout=300,
    )
    mave.convert(root / "all-words.vec", paths["all-words"], src_format="text")
    models = {}
    for name, path in paths.items():
        models[name] = mave.load(path)
        _index.build_index(models[name])
    return models


def true_cosine(e, word, query):
    row = e[word].astype(np.float64)
    q = np.asarray(query, np.float64)
    return float(row @ q / np.linalg.norm(row) / np.linalg.norm(q))


@pytest.mark.parametrize("name", ["demo-skipgram", "cbow-en", "all-words"])
def test_recall_and_true_cosines_on_real_models(real_indexed, name):
    # Every word of a trained model asks for its 10 neighbours both ways: the
    # approximate answer finds nearly all of the exact one, and each cosine
    # it gives is the exact search's for that word.
    e = real_indexed[name]
    words = list(e.words)
    hits = total = 0
    for word in words:
        approximate = e.similar(word, 10, approximate=True)
        exact = dict(e.similar(word, 10))
        assert word not in dict(approximate) and len(approximate) == len(exact)
        assert [c for _, c in approximate] == sorted((c for _, c in approximate), reverse=True)
        for w, c in approximate:
            assert c == pytest.approx(exact[w] if w in exact else true_cosine(e, w, e[word]), abs=1e-5)
        hits += len(set(dict(approximate)) & set(exact))
        total += len(exact)
    assert len(words) >= 300 and hits / total >= 0.95
    # nearest answers the same questions in one call, alike.
    rows, cosines = e.nearest(words[:50], 10, approximate=True)
    for i, word in enumerate(words[:50]):
        one = e.similar(word, 10, approximate=True)
        assert [e.words[r] for r in rows[i]] == [w for w, _ in one]
        assert cosines[i].tolist() == pytest.approx([c for _, c in one], abs=1e-6)


def test_clustered_recall_and_cosines(indexed):
    e = indexed
    rng = np.random.default_rng(1)
    hits = 0
    for word in [f"w{i}" for i in rng.choice(len(e), 100, replace=False)]:
        approximate = e.similar(word, 10, approximate=True)
        exact = e.similar(word, 10)
        assert len(approximate) == 10 and word not in dict(approximate)
        for w, c in approximate:
            assert c == pytest.approx(true_cosine(e, w, e[word]), abs=1e-6)
        hits += len({w for w, _ in approximate} & {w for w, _ in exact})
    assert hits / 1000 >= 0.95


def test_nearest_pads_and_excludes(indexed):
    e = indexed
    rows, cosines = e.nearest(["w1", "w2"], 5, approximate=True)
    assert rows.shape == (2, 5) and rows.dtype == np.int64 and cosines.dtype == np.float32
    assert e.index("w1") not in rows[0] and e.index("w2") not in rows[1]
    # A vector query excludes nothing: w3 is its own nearest row.
    rows, cosines = e.nearest(e.matrix[[3, 4]], 5, approximate=True)
    assert rows[0, 0] == 3 and rows[1, 0] == 4
    assert np.allclose(cosines[:, 0], 1.0, atol=1e-6)
    # More neighbours than words: the end is padded as exact search pads it.
    rows, cosines = e.nearest(e.matrix[:2], len(e) + 3, approximate=True)
    exact_rows, exact_cosines = e.nearest(e.matrix[:2], len(e) + 3)
    assert (rows[:, -3:] == -1).all() and np.isnan(cosines[:, -3:]).all()
    assert (exact_rows[:, -3:] == -1).all()
    # Every row is found at that breadth: the answers are the exact ones.
    assert np.array_equal(np.sort(rows[:, :-3]), np.sort(exact_rows[:, :-3]))
    # A zero query has no direction: nothing, as exact search answers.
    rows, cosines = e.nearest(np.zeros((1, e.dims), np.float32), 3, approximate=True)
    assert (rows == -1).all() and np.isnan(cosines).all()


def test_similar_with_negative_terms_vectors_and_restrict(indexed):
    e = indexed
    # The same direction as the scan's (mean of unit vectors, negative ones
    # subtracted), the three words left out.
    got = e.similar(["w1", "w2"], 5, negative=["w3"], approximate=True)
    exact = e.similar(["w1", "w2"], 5, negative=["w3"])
    assert [w for w, _ in got] == [w for w, _ in exact]
    assert np.allclose([c for _, c in got], [c for _, c in exact], atol=1e-6)
    # A vector term leaves nothing out, a word term its word.
    got = e.similar([e["w9"], "w10"], 5, approximate=True)
    exact = e.similar([e["w9"], "w10"], 10)
    assert "w10" not in dict(got) and len(set(dict(got)) & set(dict(exact))) >= 4
    assert e.similar(e["w9"], 1, approximate=True)[0][0] == "w9"
    # A zero vector has no direction, either way.
    assert e.similar(np.zeros(e.dims), 3, approximate=True) == e.similar(np.zeros(e.dims), 3) == []
    # With restrict the answer is the exact one over those rows.
    assert e.similar("w1", 5, restrict=100, approximate=True) == e.similar("w1", 5, restrict=100)
    rows, _ = e.nearest(["w1"], 5, restrict=100, approximate=True)
    assert np.array_equal(rows, e.nearest(["w1"], 5, restrict=100)[0])


def test_missing_given_or_stale_index(tmp_path, indexed):
    small = clustered_model(tmp_path / "small.fifu", n=50)
    e = mave.load(small)
    assert not _index.has_index(e)
    for ask in (
        lambda: e.similar("w1", 3, approximate=True),
        lambda: e.nearest(["w1"], 3, approximate=True),
        lambda: e.similar("w1", 3, restrict=10, approximate=True),
    ):
        with pytest.raises(
            FileNotFoundError,
            match=r"has no approximate-neighbours index .* " r"build it with `mave index .*small.fifu`",
        ):
            ask()
    with pytest.raises(FileNotFoundError, match="there is no index .*elsewhere.hnsw"):
        e.similar("w1", 3, approximate=tmp_path / "elsewhere.hnsw")
    with pytest.raises(TypeError, match="approximate must be a bool or the path"):
        e.similar("w1", 3, approximate=1)
    # An index given by its path, written anywhere.
    elsewhere = _index.build_index(e, tmp_path / "elsewhere.hnsw")
    got, exact = e.similar("w1", 3, approximate=elsewhere), e.similar("w1", 3)
    assert [w for w, _ in got] == [w for w, _ in exact]
    assert [c for _, c in got] == pytest.approx([c for _, c in exact], abs=1e-6)
    assert not _index.has_index(e)
    # An index of another model (here: of more rows) is refused, not used.
    shutil.copyfile(indexed.path + ".hnsw", tmp_path / "small.fifu.hnsw")
    with pytest.raises(ValueError, match="is not an index of"):
        e.similar("w1", 3, approximate=True)
    # So is a file that is no index at all.
    (tmp_path / "small.fifu.hnsw").write_bytes(b"IHNs" + bytes(100))
    with pytest.raises(ValueError, match="is not an index of"):
        e.similar("w1", 3, approximate=True)


def test_without_faiss_the_error_says_what_to_install(indexed, run_python):
    result = run_python(f"""
        import sys
        sys.modules["faiss"] = None  # as if it were not installed
        import mave
        e = mave.load({indexed.path!r})
        print(e.similar("w1", 2))
        try:
            e.similar("w1", 2, approximate=True)
        except ImportError as error:
            print(error)
    """)
    lines = result.stdout.splitlines()
    assert (
        len(lines) == 2
        and lines[1]
        == "the approximate-neighbours index needs faiss, which is not installed: pip install mave[serve]"
    )


def test_models_load_after_the_index_library(indexed, converted_models):
    # An index library that carries its own C++ runtime can break the
    # parsing of float metadata in the same process: one must not.
    indexed.similar("w1", 3, approximate=True)
    assert mave.load(converted_models["cbow-en"]).metadata["sampling_threshold"] == 0.0001


def test_quantized_model_is_indexed_from_its_reconstructed_rows(tmp_path, indexed):
    path = str(tmp_path / "pq.fifu")
    mave.quantize(indexed.path, path, subquantizers=8, bits=6, sample=1000, iterations=5, opq=False, seed=0)
    e = mave.load(path)
    _index.build_index(e)
    got = e.similar("w7", 10, approximate=True)
    exact = e.similar("w7", 10)
    assert len({w for w, _ in got} & {w for w, _ in exact}) >= 8
    for w, c in got:
        assert c == pytest.approx(dict(exact).get(w, c), abs=1e-5)


# --- the breadth measured at build time ---------------------------------------------


def recall_of(e, index, queries, k=10):
    """recall@k of approximate search (with `index`) against exact search."""
    rows, _ = e.nearest(queries, k, approximate=index)
    truth, _ = e.nearest(queries, k)
    hits = sum(len(set(r[r >= 0]) & set(t[t >= 0])) for r, t in zip(rows, truth))
    return hits / int((truth >= 0).sum())


def fresh_queries(e, n, seed):
    """Directions that are no row: the mean of two rows of one neighbourhood
    (a row and one of its exact neighbours), as a query of two words is."""
    rng = np.random.default_rng(seed)
    rows = rng.choice(len(e), n, replace=False)
    vectors = e.matrix[rows] if e.storage_kind == "dense" else e.reconstruct(rows.tolist())
    neighbours, _ = e.nearest(vectors, 2)
    other = (
        e.matrix[neighbours[:, 1]] if e.storage_kind == "dense" else e.reconstruct(neighbours[:, 1].tolist())
    )
    return (
        vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
        + other / np.linalg.norm(other, axis=1, keepdims=True)
    ).astype(np.float32)


@pytest.fixture(scope="module")
def noisy_table(tmp_path_factory):
    """20k rows in overlapping clusters: neighbours hard enough to find that
    the breadth has to grow with the recall asked for."""
    path = tmp_path_factory.mktemp("noisy") / "noisy.fifu"
    rng = np.random.default_rng(11)
    centres = rng.standard_normal((400, 24))
    rows = centres[rng.integers(0, 400, 20_000)] + 1.2 * rng.standard_normal((20_000, 24))
    mave.write(path, [f"w{i}" for i in range(20_000)], rows.astype(np.float32))
    return mave.load(path)


@pytest.mark.parametrize("model", ["cbow-en", "noisy"])
def test_the_stored_breadth_reaches_the_recall_asked(model, converted_models, noisy_table, tmp_path):
    e = noisy_table if model == "noisy" else mave.load(converted_models[model])
    found = {}
    for asked in (0.8, 0.99):
        path = tmp_path / f"{asked}.hnsw"
        _index.build_index(e, path, recall=asked)
        c = _index.read_calibration(path)
        assert (c.target, c.k, c.queries) == (asked, 10, min(1000, -(-len(e) // 10)))
        assert c.breadth in _index.BREADTHS and c.recall >= asked
        index = _index.open_index(e, path)
        assert index.breadth == c.breadth
        assert f"search breadth {c.breadth}, recall@10 {c.recall:.3f}" in repr(index)
        # Queries the graph has never seen get about the recall measured.
        assert recall_of(e, path, fresh_queries(e, 300, seed=3)) >= asked - 0.03
        found[asked] = c.breadth
    # Asking for more never gets a narrower search; on the noisy table the
    # breadth grows past the least one.
    assert found[0.8] <= found[0.99]
    if model == "noisy":
        assert found[0.8] == _index.BREADTHS[0] < found[0.99]


def test_a_recall_out_of_reach_stores_the_best_breadth_and_the_command_warns(
    noisy_table, tmp_path, monkeypatch, capsys
):
    # With the breadths cut to the least one, recall 1 is out of reach: the
    # best breadth tried is stored with the recall it reached, and the
    # command says so.
    monkeypatch.setattr(_index, "BREADTHS", (32,))
    path = tmp_path / "cut.hnsw"
    assert main(["index", noisy_table.path, "-o", str(path), "--recall", "1"]) == 0
    c = _index.read_calibration(path)
    assert c.breadth == 32 and c.target == 1.0 and 0.5 < c.recall < 1.0
    out, err = capsys.readouterr()
    assert out == f"{path}\n"
    assert (
        err == f"mave: warning: no breadth reached recall 1: search breadth 32, recall@10 "
        f"{c.recall:.3f} on 1,000 held-out rows (asked for 1)\n"
    )


def test_mave_index_recall_option_and_info(tmp_path):
    path = clustered_model(tmp_path / "c.fifu", n=3000)
    done = subprocess.run(
        [sys.executable, "-m", "mave", "index", path, "--recall", "0.9"],
        capture_output=True,
        text=True,
        env=child_environment(),
        timeout=300,
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, path + ".hnsw\n", "")
    c = _index.read_calibration(path + ".hnsw")
    assert c.target == 0.9 and c.recall >= 0.9 and c.queries == 300
    info = subprocess.run(
        [sys.executable, "-m", "mave", "info", "--json", path],
        capture_output=True,
        text=True,
        env=child_environment(),
        timeout=60,
    )
    assert json.loads(info.stdout)["index"] == {
        "path": path + ".hnsw",
        "breadth": c.breadth,
        "recall": c.recall,
        "target": 0.9,
        "queries": 300,
        "k": 10,
        "text": c.describe(),
    }
    text = subprocess.run(
        [sys.executable, "-m", "mave", "info", path],
        capture_output=True,
        text=True,
        env=child_environment(),
        timeout=60,
    ).stdout
    line = next(line for line in text.splitlines() if line.startswith("index"))
    assert (
        line.split(None, 1)[1] == f"{path}.hnsw: search breadth {c.breadth}, recall@10 "
        f"{c.recall:.3f} on 300 held-out rows (asked for 0.9)"
    )


@pytest.mark.parametrize(
    "value,message",
    [
        ("0", "must be above 0 and at most 1, not 0"),
        ("1.5", "must be above 0 and at most 1, not 1.5"),
        ("-0.2", "must be above 0 and at most 1, not -0.2"),
        ("nan", "must be above 0 and at most 1, not nan"),
        ("high", "must be a number, not 'high'"),
    ],
)
def test_mave_index_refuses_a_bad_recall(value, message, tmp_path):
    path = clustered_model(tmp_path / "c.fifu", n=50)
    done = subprocess.run(
        [sys.executable, "-m", "mave", "index", path, "--recall", value],
        capture_output=True,
        text=True,
        env=child_environment(),
        timeout=60,
    )
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.splitlines()[-1] == f"mave index: error: argument --recall: {message}"
    assert not (tmp_path / "c.fifu.hnsw").exists()


@pytest.mark.parametrize(
    "recall,error,message",
    [
        (0, ValueError, "recall must be above 0 and at most 1, not 0"),
        (1.01, ValueError, "recall must be above 0 and at most 1, not 1.01"),
        (float("nan"), ValueError, "recall must be above 0 and at most 1, not nan"),
        ("0.9", TypeError, "recall must be a number, not str"),
        (True, TypeError, "recall must be a number, not bool"),
        (None, TypeError, "recall must be a number, not NoneType"),
    ],
)
def test_build_index_refuses_a_bad_recall(recall, error, message, tmp_path):
    e = mave.load(clustered_model(tmp_path / "c.fifu", n=50))
    with pytest.raises(error, match=f"^{message}$"):
        _index.build_index(e, recall=recall)
    assert not _index.has_index(e)


def legacy_index(e, path):
    """An index as mave wrote it before breadths were measured: faiss's
    bytes alone, rows in row order."""
    import faiss

    index = faiss.IndexHNSWSQ(e.dims, faiss.ScalarQuantizer.QT_8bit, 32, faiss.METRIC_INNER_PRODUCT)
    unit = e.matrix / np.linalg.norm(e.matrix, axis=1, keepdims=True)
    index.train(unit)
    index.add(unit)
    faiss.write_index(index, str(path))


def test_an_index_from_before_is_searched_at_the_old_breadth(tmp_path):
    path = clustered_model(tmp_path / "c.fifu", n=2000)
    e = mave.load(path)
    legacy_index(e, path + ".hnsw")
    c = _index.read_calibration(path + ".hnsw")
    assert c == _index.Calibration(breadth=256) and c.recall is None
    index = _index.open_index(e)
    assert index.breadth == 256 and "not measured: an index from before" in repr(index)
    for word in ["w1", "w500", "w1999"]:
        got, exact = e.similar(word, 10, approximate=True), e.similar(word, 10)
        assert [w for w, _ in got] == [w for w, _ in exact]
    info = subprocess.run(
        [sys.executable, "-m", "mave", "info", "--json", path],
        capture_output=True,
        text=True,
        env=child_environment(),
        timeout=60,
    )
    assert json.loads(info.stdout)["index"]["breadth"] == 256
    assert json.loads(info.stdout)["index"]["recall"] is None


@pytest.mark.parametrize(
    "trailer",
    [
        b'{"breadth": 0}',  # out of range
        b'{"breadth": 48, "recall": 7}',
        b'{"recall": 0.9}',  # no breadth
        b'{"breadth": "wide"}',
        b'[48]',
        b'{"breadth": 48',  # cut
        b"\xff\xfe",
    ],
)
def test_a_damaged_stored_breadth_is_refused(trailer, tmp_path, indexed):
    e = mave.load(shutil.copyfile(indexed.path, tmp_path / "m.fifu"))
    data = Path(_index.index_path(indexed.path)).read_bytes()
    assert data.endswith(b"mave-ann")
    body = data[: -16 - int.from_bytes(data[-16:-8], "little")]  # faiss's bytes alone
    (tmp_path / "m.fifu.hnsw").write_bytes(body + trailer + len(trailer).to_bytes(8, "little") + b"mave-ann")
    with pytest.raises(ValueError, match="the index's stored search breadth is damaged"):
        e.similar("w1", 3, approximate=True)


def test_a_stored_length_past_the_file_is_refused_without_reading_it(tmp_path):
    path = tmp_path / "x.hnsw"
    for length in [2**63, 100, 5000]:
        path.write_bytes(b"{}" * 50 + length.to_bytes(8, "little") + b"mave-ann")
        with pytest.raises(ValueError, match="damaged"):
            _index.read_calibration(path)
    # Too short to hold the record: a file from before (faiss refuses it later).
    path.write_bytes(b"mave-ann")
    assert _index.read_calibration(path).breadth == 256


def test_unknown_fields_of_a_later_version_are_ignored(tmp_path):
    path = tmp_path / "x.hnsw"
    record = b'{"breadth": 96, "recall": 0.97, "later": [1, 2]}'
    path.write_bytes(b"faiss" + record + len(record).to_bytes(8, "little") + b"mave-ann")
    assert _index.read_calibration(path) == _index.Calibration(96, 0.97)


# --- the file written atomically --------------------------------------------------


def test_write_atomic_writes_the_parts_in_order(tmp_path):
    path = tmp_path / "out.bin"
    path.write_bytes(b"old")
    parts = [
        b"abc",
        np.arange(5, dtype=np.uint8),
        memoryview(b"xyz"),
        bytearray(b""),
        np.array([1.5], np.float32),
    ]
    _native._write_atomic(path, parts)
    assert path.read_bytes() == b"abc" + bytes(range(5)) + b"xyz" + np.float32(1.5).tobytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.bin"]


@pytest.mark.parametrize(
    "parts,error,message",
    [
        ([b"a", "text"], TypeError, "a bytes-like object is required, not 'str'"),
        ([np.arange(10, dtype=np.uint8)[::2]], ValueError, "ndarray is not C-contiguous"),
        (b"abc", TypeError, "parts must be a list or tuple, not bytes"),
    ],
)
def test_write_atomic_refuses_parts_before_making_a_file(parts, error, message, tmp_path):
    with pytest.raises(error, match=message):
        _native._write_atomic(tmp_path / "out.bin", parts)
    assert list(tmp_path.iterdir()) == []


def test_a_failed_write_leaves_no_file_and_no_temporary(tmp_path, run_python):
    # The file system refuses a byte past 64 KiB (the process's file size
    # limit): the write fails half-way, the temporary is removed and the
    # file already there keeps its bytes, for the index as for the writer.
    target = tmp_path / "out.bin"
    target.write_bytes(b"before")
    model = clustered_model(tmp_path / "c.fifu", n=2000)
    result = run_python(f"""
        import errno, os, resource, signal
        import numpy as np
        import mave
        from mave import _index, _native
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        e = mave.load({model!r})
        resource.setrlimit(resource.RLIMIT_FSIZE, (65536, resource.RLIM_INFINITY))
        for write in (lambda: _native._write_atomic({str(target)!r}, [np.zeros(100_000, np.uint8)]),
                      lambda: _index.build_index(e)):
            try:
                write()
            except OSError as error:
                print(error.errno == errno.EFBIG, error.filename)
    """)
    assert result.stdout.splitlines() == [f"True {target}", f"True {model}.hnsw"]
    assert target.read_bytes() == b"before"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.fifu", "out.bin"]


def test_an_index_that_cannot_be_renamed_into_place_leaves_nothing(tmp_path):
    e = mave.load(clustered_model(tmp_path / "c.fifu", n=200))
    (tmp_path / "c.fifu.hnsw").mkdir()  # a directory where the file goes
    with pytest.raises(OSError):
        _index.build_index(e)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.fifu", "c.fifu.hnsw"]
    assert list((tmp_path / "c.fifu.hnsw").iterdir()) == []


# --- the re-ranking in the core -------------------------------------------------


def reference_rerank(rows_of, n_words, query, candidates, k, exclude):
    """The re-ranking written plainly: cosines in float64 over the rows as
    stored, rows without a direction and foreign candidates skipped, best
    first, ties in row order."""
    q = np.asarray(query, np.float64)
    scored = []
    for c in candidates:
        if c < 0 or c >= n_words or c in exclude:
            continue
        row = rows_of(int(c)).astype(np.float64)
        length = np.linalg.norm(row) * np.linalg.norm(q)
        if length > 0 and np.isfinite(length):
            scored.append((-(row @ q) / length, int(c)))
    best = sorted(scored)[:k]
    return [r for _, r in best], [-s for s, _ in best]


@pytest.mark.parametrize("kind", ["dense", "fasttext", "quantized"])
def test_rerank_matches_a_plain_reference(kind, tmp_path, converted_models, indexed):
    if kind == "dense":
        rng = np.random.default_rng(4)
        table = rng.standard_normal((300, 19)).astype(np.float32)
        table[[5, 77]] = 0  # no direction
        table[9] = table[8] * 3  # the same cosine as row 8: row order decides
        table[11] = np.nan  # not a number: never an answer
        path = tmp_path / "t.fifu"
        mave.write(path, [f"w{i}" for i in range(300)], table, normalize=False)
        e = mave.load(path)
    elif kind == "fasttext":  # candidates past the vocabulary (subword rows) are skipped
        e = mave.load(converted_models["cbow-en"])
    else:
        path = str(tmp_path / "pq.fifu")
        mave.quantize(
            indexed.path, path, subquantizers=8, bits=6, sample=1000, iterations=3, opq=False, seed=0
        )
        e = mave.load(path)
    rows_of = lambda r: e.reconstruct([r])[0]  # noqa: E731
    rng = np.random.default_rng(5)
    rows = e.reconstruct(None)
    n = 40
    queries = rows[rng.integers(0, len(e), n)] + 0.1 * rng.standard_normal((n, e.dims)).astype(np.float32)
    queries[0] = 0  # a query without a direction: nothing
    queries[1] = rows[8] if kind == "dense" else queries[1]
    candidates = rng.integers(-1, len(rows), (n, 25)).astype(np.int64)
    candidates[1, :4] = [9, 8, 5, 77]
    candidates[2] = -1  # faiss found nothing
    exclude = [[int(c) for c in candidates[i, 3:5] if 0 <= c < len(e)] if i % 3 else [] for i in range(n - 5)]
    for k in (1, 7, 30):
        got_rows, got_cosines = _native._rerank(e, queries, candidates, k, exclude)
        assert got_rows.shape == got_cosines.shape == (n, k)
        for i in range(n):
            want_rows, want_cosines = reference_rerank(
                rows_of, len(e), queries[i], candidates[i], k, exclude[i] if i < len(exclude) else []
            )
            found = got_rows[i] >= 0
            assert got_rows[i][found].tolist() == want_rows, (kind, k, i)
            assert np.allclose(got_cosines[i][found], want_cosines, atol=1e-6)
            assert not found[len(want_rows) :].any() and np.isnan(got_cosines[i][~found]).all()
    assert (_native._rerank(e, queries, candidates, 5, [])[0][0] == -1).all()
    if kind == "dense":
        assert _native._rerank(e, queries[1:2], candidates[1:2], 2, [])[0].tolist() == [[8, 9]]


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda e, q, c: _native._rerank(e, q[:, :3], c, 5, []), ValueError, "do not fit"),
        (lambda e, q, c: _native._rerank(e, q, c[:1], 5, []), ValueError, "do not fit"),
        (lambda e, q, c: _native._rerank(e, q, c, -1, []), ValueError, "k must not be negative"),
        (lambda e, q, c: _native._rerank(e, q, c, 5, [[0], [1], [2]]), ValueError, "more entries"),
        (lambda e, q, c: _native._rerank(e, q, c, 5, [[10**6]]), IndexError, "out of range"),
        (lambda e, q, c: _native._rerank(e, q, c, 5, 3), TypeError, "exclude must be a sequence"),
        (
            lambda e, q, c: _native._rerank(e, q, c.astype(np.float64), 5, []),
            TypeError,
            "candidates must be a 2-dimensional array",
        ),
        (lambda e, q, c: _native._rerank("e", q, c, 5, []), TypeError, "e must be Embeddings"),
    ],
)
def test_rerank_refuses_arguments_that_do_not_fit(call, error, message, indexed):
    queries = indexed.matrix[:2]
    candidates = np.zeros((2, 4), np.int64)
    with pytest.raises(error, match=message):
        call(indexed, queries, candidates)
