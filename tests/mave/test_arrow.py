"""e.to_arrow() and e.to_arrow_batches(): every kind of file gives its words
and its vectors as lookups give them; a dense matrix is the table's memory
(by buffer address and by the process's memory), and the table keeps the
mapping alive; LanceDB's exact cosine search over the table finds the
neighbours e.similar finds; `import mave` loads none of pyarrow or ray."""

import gc
import os

import numpy as np
import pytest

import mave

import fifu

pa = pytest.importorskip("pyarrow")


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)


def vectors_of(column, dims):
    """A fixed-size-list column as a (rows, dims) float32 array."""
    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    return column.flatten().to_numpy().reshape(len(column), dims)


def anonymous_rss():
    """Resident memory that is not a file's pages (Linux)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no RssAnon in /proc/self/status")


@pytest.fixture(scope="module")
def files(fixture_dir, converted_models):
    """Every vocabulary x storage kind, and the real converted models."""
    return {**fixture_dir, **converted_models}


def test_tables_of_every_kind_hold_the_lookups(files):
    for name, path in sorted(files.items()):
        e = mave.load(path)
        words = list(e.words)
        table = e.to_arrow()
        assert table.schema.names == ["word", "vector"], name
        assert table.schema.field("word").type == pa.string()
        assert table.schema.field("vector").type == pa.list_(pa.float32(), e.dims)
        assert table.column("word").to_pylist() == words, name
        expected, found = e.embed(words)
        assert found.all()
        assert np.array_equal(bits(vectors_of(table.column("vector"), e.dims)), bits(expected)), name
        if e.storage_kind == "dense" and words:
            # The vector column is the mapped matrix, not a copy.
            values = table.column("vector").chunk(0).values
            assert values.buffers()[1].address == e.matrix.ctypes.data, name

        # Batches of every size give the same rows, in order.
        for size in (1, 7, len(words) or 1, len(words) + 5):
            batches = list(e.to_arrow_batches(size))
            assert all(0 < b.num_rows <= size for b in batches), (name, size)
            joined = pa.Table.from_batches(batches, schema=table.schema)
            assert joined.equals(table), (name, size)
        reader = e.to_arrow_batches(batch_size=3)
        assert isinstance(reader, pa.RecordBatchReader) and reader.read_all().equals(table)


@pytest.mark.parametrize(
    "batch_size,error,message",
    [
        (0, ValueError, "batch_size must be at least 1, got 0"),
        (-3, ValueError, "batch_size must be at least 1, got -3"),
        (None, TypeError, "batch_size must be an int, not NoneType"),
        (2.5, TypeError, "batch_size must be an int or None, not float"),
        (True, TypeError, "batch_size must be an int or None, not bool"),
    ],
)
def test_batch_sizes_that_are_refused(demo, batch_size, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        demo.to_arrow_batches(batch_size)


def test_words_of_many_bytes_are_cut_into_chunks(demo, monkeypatch):
    # Arrow's 32-bit string offsets hold 2 GiB of words per chunk; with a
    # limit of 40 bytes the same code cuts the demo's vocabulary into many.
    from mave import _arrow

    whole = demo.to_arrow()
    monkeypatch.setattr(_arrow, "_STRING_BYTES", 40)
    table = demo.to_arrow()
    chunks = table.column("word").chunks
    assert len(chunks) > len(demo) // 20
    assert all(sum(len(w.encode()) for w in c.to_pylist()) <= 40 for c in chunks)
    assert table.equals(whole)
    batches = list(demo.to_arrow_batches(100))
    assert max(b.num_rows for b in batches) < 100
    assert pa.Table.from_batches(batches).equals(whole)
    # A single word beyond the limit cannot be cut.
    monkeypatch.setattr(_arrow, "_STRING_BYTES", 3)
    with pytest.raises(ValueError, match=r"^word \d+ takes \d+ bytes, more than an Arrow string holds$"):
        demo.to_arrow()


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer's shadow memory is private memory too",
)
def test_a_dense_table_takes_no_memory_of_its_own_and_keeps_the_mapping(tmp_path):
    rows, dims = 100_000, 256
    rng = np.random.default_rng(3)
    matrix = rng.standard_normal((rows, dims), dtype=np.float32)
    words = [f"w{i}" for i in range(rows)]
    path = tmp_path / "large.fifu"
    path.write_bytes(
        fifu.assemble(fifu.simple_vocab(words), fifu.nd_array_raw(rows, dims, matrix.astype("<f4").tobytes()))
    )
    del matrix
    gc.collect()
    e = mave.load(path)
    before = anonymous_rss()
    table = e.to_arrow()
    # Touch every vector: the pages read are the file's, not the process's.
    (chunk,) = table.column("vector").chunks
    total = float(chunk.values.to_numpy().sum(dtype=np.float64))
    grown = anonymous_rss() - before
    assert grown < rows * dims * 4 / 8, f"private memory grew {grown >> 20} MiB"

    expected = e.matrix[rows - 1].copy()
    del e
    gc.collect()
    # The table alone keeps the file mapped.
    last = table.slice(rows - 1).column("vector").chunk(0).flatten().to_numpy()
    assert np.array_equal(last, expected)
    assert table.column("word")[rows - 1].as_py() == f"w{rows - 1}"
    assert np.isfinite(total)


def test_lancedb_exact_cosine_search_finds_the_neighbours_of_similar(demo, tmp_path):
    lancedb = pytest.importorskip("lancedb")
    db = lancedb.connect(str(tmp_path / "lance"))
    table = db.create_table("words", data=demo.to_arrow())
    assert table.count_rows() == len(demo)
    assert table.list_indices() == []  # no index: every search is a full scan
    for word in ["software", "license", "the", "free", "warranty"]:
        expected = demo.similar(word, k=10)
        hits = (
            table.search(demo[word], vector_column_name="vector").distance_type("cosine").limit(11).to_list()
        )
        found = [h["word"] for h in hits if h["word"] != word][:10]
        assert found == [w for w, _ in expected], word
        distances = {h["word"]: h["_distance"] for h in hits}
        for w, cosine in expected:
            assert abs((1 - distances[w]) - cosine) < 1e-5, (word, w)


def test_import_mave_loads_neither_pyarrow_nor_ray(run_python):
    run_python("""
        import sys
        import mave, mave._cli
        e = mave
        assert "pyarrow" not in sys.modules and "ray" not in sys.modules, sorted(
            m for m in sys.modules if m.split(".")[0] in ("pyarrow", "ray"))
    """)


def test_without_pyarrow_the_error_names_the_extra(demo, run_python):
    run_python(f"""
        import sys
        sys.modules["pyarrow"] = None  # as if it were not installed
        import mave
        e = mave.load({demo.path!r})
        for call in (e.to_arrow, lambda: mave.convert(e.path, "x.parquet")):
            try:
                call()
            except ImportError as error:
                assert "pip install 'mave[arrow]'" in str(error), error
            else:
                raise AssertionError("no ImportError")
    """)
