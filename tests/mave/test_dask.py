"""mave.dask: per-text mean vectors, in one process and on a local cluster of
two worker processes, against a reference that follows the definition token
by token; the workers' memory against the size of the matrix."""

import os
import sys

import numpy as np
import pytest

import mave
import mave.dask

import fifu

TEXTS = [
    "Haus Baum",
    "Baum  Haus\tBaum",
    "grün",
    "",
    "   ",
    "zzzz qqqq",
    "Hausbaum Haus",
    "a b c",
    "umgrün zzzz Häuser",
    "Haus",
]


def bits(a):
    return np.ascontiguousarray(a).view(np.uint32)


def reference_means(texts, e, tokenize=str.split):
    """Each text's vector token by token: float64 sums of the tokens that have
    a vector, in order, divided by their number, then rounded to float32."""
    out = np.zeros((len(texts), e.dims), np.float32)
    for i, text in enumerate(texts):
        if not isinstance(text, str):
            continue
        total, count = np.zeros(e.dims, np.float64), 0
        for token in tokenize(text):
            vector = e.get(token)
            if vector is not None:
                total += vector
                count += 1
        if count:
            out[i] = total / count
    return out


def test_mean_vectors_follow_the_definition(fixture_dir, demo):
    # Every kind of vocabulary (with and without subwords, where unknown
    # tokens add nothing or a composed vector) and a real converted model.
    files = {name: mave.load(path) for name, path in sorted(fixture_dir.items())}
    files["demo"] = demo
    for name, e in files.items():
        words = list(e.words)
        texts = TEXTS + [" ".join(words[i : i + 7]) for i in range(0, len(words), 5)]
        got = mave.dask.mean_vectors(texts, e)
        assert got.dtype == np.float32 and got.shape == (len(texts), e.dims)
        assert np.array_equal(bits(got), bits(reference_means(texts, e))), name
        # No token with a vector (empty, blank, or unknown to a vocabulary
        # without subwords): zeros.
        for i, text in enumerate(texts):
            if not any(e.get(t) is not None for t in text.split()):
                assert not got[i].any(), (name, text)
        # Partitions change nothing: each text's row depends on it alone.
        halves = np.concatenate(
            [mave.dask.mean_vectors(texts[:3], e, threads=1), mave.dask.mean_vectors(texts[3:], e, threads=2)]
        )
        assert np.array_equal(bits(halves), bits(got)), name
    # More texts than one block of lookups holds.
    many = [" ".join(list(demo.words)[i % 900 : i % 900 + 1 + i % 9]) + " zzzz" for i in range(2500)]
    assert np.array_equal(bits(mave.dask.mean_vectors(many, demo)), bits(reference_means(many, demo)))


def test_tokenizers_missing_values_and_wrong_types(demo):
    by_comma = lambda text: [t.strip() for t in text.split(",") if t.strip()]  # noqa: E731
    texts = ["Haus, Baum", "grün,,Haus", ""]
    got = mave.dask.mean_vectors(texts, demo, tokenize=by_comma)
    assert np.array_equal(bits(got), bits(reference_means(texts, demo, by_comma)))
    # A generator as tokenizer, the same answer as the list it yields.
    lazily = mave.dask.mean_vectors(texts, demo, tokenize=lambda t: iter(by_comma(t)))
    assert np.array_equal(bits(lazily), bits(got))

    with pytest.raises(TypeError, match=r"texts\[1\] must be str, not int"):
        mave.dask.mean_vectors(["Haus", 5], demo)
    with pytest.raises(TypeError, match=r"must be str, not bytes"):
        mave.dask.mean_vectors(["Haus"], demo, tokenize=lambda t: [t.encode()])
    assert mave.dask.mean_vectors([], demo).shape == (0, demo.dims)

    # Missing values of a pandas column.
    pd = pytest.importorskip("pandas")
    column = pd.Series(["Haus Baum", None, np.nan, pd.NA, "grün"], dtype=object)
    got = mave.dask.mean_vectors(column, demo)
    assert not got[1:4].any()
    assert np.array_equal(bits(got[[0, 4]]), bits(reference_means(["Haus Baum", "grün"], demo)))


# The cluster: 2 worker processes of one thread each, as many machines would
# run it, started once for the tests below.


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("dask.bag")
    cluster = distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None, memory_limit=None
    )
    client = distributed.Client(cluster)
    # The workers import what the tasks need before their memory is read.
    client.run(_import_mave, os.path.dirname(os.path.dirname(mave.__file__)))
    yield client
    client.close()
    cluster.close()


def _import_mave(package_dir):
    # Workers started by LocalCluster see the test's PYTHONPATH already; the
    # path makes it certain for any start method.
    if package_dir not in sys.path:
        sys.path.insert(0, package_dir)
    import mave.dask  # noqa: F401


def _opened_files():
    import mave.dask as md

    return [key[0] for key in md._opened]


@pytest.fixture(scope="module")
def large_file(tmp_path_factory):
    """A dense file of 200k words x 256 dims (195 MiB of matrix) and 20k texts
    of 8 tokens, two of them unknown in every fifth text."""
    rng = np.random.default_rng(7)
    rows, dims = 200_000, 256
    words = [f"w{i}" for i in range(rows)]
    matrix = rng.standard_normal((rows, dims), dtype=np.float32)
    path = tmp_path_factory.mktemp("dask") / "large.fifu"
    path.write_bytes(
        fifu.assemble(fifu.simple_vocab(words), fifu.nd_array_raw(rows, dims, matrix.astype("<f4").tobytes()))
    )
    picks = rng.integers(0, rows, size=(20_000, 8))
    texts = [" ".join(words[j] for j in row) for row in picks]
    for i in range(0, len(texts), 5):
        texts[i] += " unknown1 unknown2"
    return str(path), texts, matrix.nbytes


def test_cluster_gives_the_single_process_answer(client, large_file, demo):
    import dask.bag as db

    path, texts, _ = large_file
    e = mave.load(path)
    expected = mave.dask.mean_vectors(texts, e)
    got = client.compute(mave.dask.embed_texts(db.from_sequence(texts, npartitions=16), e))
    got = got.result(timeout=300)
    assert got.dtype == np.float32 and np.array_equal(bits(got), bits(expected))
    # Both workers ran tasks, and each opened the file once for all of them.
    opened = client.run(_opened_files)
    assert len(opened) == 2 and all(files.count(path) == 1 for files in opened.values()), opened

    # A user's tokenizer travels to the workers; a subword vocabulary composes
    # vectors for unknown tokens there as here.
    lower_words = lambda text: text.lower().split()  # noqa: E731
    demo_texts = TEXTS * 20
    got = client.compute(
        mave.dask.embed_texts(db.from_sequence(demo_texts, npartitions=6), demo, tokenize=lower_words)
    ).result(timeout=300)
    expected = mave.dask.mean_vectors(demo_texts, demo, tokenize=lower_words)
    assert np.array_equal(bits(got), bits(expected))

    empty = mave.dask.embed_texts(db.from_sequence([], npartitions=1), e)
    assert client.compute(empty).result(timeout=60).shape == (0, e.dims)
    with pytest.raises(TypeError, match="must be a dask.bag.Bag or a Dask Series, not list"):
        mave.dask.embed_texts(texts, e)


def test_cluster_embeds_a_dataframe_column(client, demo):
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"id": range(len(TEXTS) * 10), "text": TEXTS * 10})
    frame.loc[3, "text"] = None
    expected = mave.dask.mean_vectors(frame["text"], demo)
    column = dd.from_pandas(frame, npartitions=4)["text"]
    got = client.compute(mave.dask.embed_texts(column, demo)).result(timeout=300)
    assert np.array_equal(bits(got), bits(expected))
    assert not got[3].any()


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer's shadow memory and quarantine are private memory too",
)
def test_workers_share_the_matrix_through_the_page_cache(client, large_file):
    import dask.bag as db

    path, texts, matrix_bytes = large_file
    e = mave.load(path)
    before = mave.dask.worker_memory(client, e)
    client.compute(mave.dask.embed_texts(db.from_sequence(texts, npartitions=40), e)).result(timeout=300)
    after = mave.dask.worker_memory(client, e)
    report = []
    for worker, now in after.items():
        grown = now["private"] - before[worker]["private"]
        report.append(
            f"{worker}: private +{grown >> 10} KiB, mapped {now['mapped'] >> 10} KiB, "
            f"proportional {now['mapped_proportional'] >> 10} KiB; "
            f"matrix {matrix_bytes >> 10} KiB"
        )
        # The matrix stays in the file: what a worker keeps of its own is the
        # vocabulary and its index, not the rows it read.
        assert grown < matrix_bytes / 4, report
        assert now["mapped"] > 0 and now["resident"] > now["private"], report
    # Both workers read the file: its pages are shared, each counted once in
    # the proportional sum.
    total = sum(now["mapped_proportional"] for now in after.values())
    assert total <= max(now["mapped"] for now in after.values()) + 4096 * len(after), report
    print("\n".join(report))
