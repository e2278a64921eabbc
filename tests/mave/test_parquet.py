"""Parquet in and out of mave.convert and `mave convert`: round trips give
identical finalfusion files; the table holds the vectors lookups give;
files written by pandas and pyarrow in their usual shapes are read, bit for
bit, and normalised as the text readers normalise; bad tables are refused
by name, leaving nothing behind; a table is read in bounded memory."""

import os
import subprocess
import sys

import numpy as np
import pytest

import mave
from suite import FASTTEXT_DIR, child_environment

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

WORDS = ["house", "tree", "grün", "Häuser", "</s>", "zero", "日本"]


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)


def cli(*args):
    return subprocess.run(
        [sys.executable, "-m", "mave", *map(str, args)],
        capture_output=True,
        text=True,
        env=child_environment(),
        timeout=300,
    )


@pytest.fixture
def matrix():
    m = np.random.default_rng(5).standard_normal((len(WORDS), 19), dtype=np.float32)
    m[WORDS.index("zero")] = 0
    return m


def leftovers(folder):
    """Files a failed conversion must not leave: temporaries and outputs."""
    return sorted(name for name in os.listdir(folder) if name.startswith(".") or name.startswith("out"))


def text_file(path, words, matrix):
    """A .vec file holding exactly these float32 values (repr round-trips)."""
    path.write_text(
        f"{len(words)} {matrix.shape[1]}\n"
        + "".join(w + " " + " ".join(repr(float(v)) for v in row) + "\n" for w, row in zip(words, matrix))
    )
    return path


class TestRoundTrips:
    @pytest.mark.parametrize("normalize", [True, False])
    def test_finalfusion_parquet_finalfusion_is_the_same_file(self, tmp_path, matrix, normalize):
        # With normalize the file has unit rows and norms; without, raw rows
        # and none: what each direction keeps, the other restores.
        original = tmp_path / "original.fifu"
        mave.write(
            original,
            WORDS,
            matrix,
            normalize=normalize,
            metadata={"source": "test", "dims": 19, "note": "ä \"quoted\""},
        )
        table = tmp_path / "table.parquet"
        assert mave.convert(original, table, normalize=normalize) == 0
        assert mave.detect_format(table) == "parquet"
        back = tmp_path / "back.fifu"
        mave.convert(table, back, normalize=normalize)
        assert back.read_bytes() == original.read_bytes()

        file = pq.ParquetFile(table)
        names = ["word", "vector", "norm"] if normalize else ["word", "vector"]
        assert file.schema_arrow.names == names
        assert file.schema_arrow.field("vector").type == pa.list_(pa.float32(), 19)
        kv = file.schema_arrow.metadata
        assert kv[b"mave.metadata"].decode() == mave.load(original)._metadata_toml
        assert (b"mave.norms" in kv) == normalize

    def test_on_the_command_line(self, tmp_path, matrix):
        original = tmp_path / "original.fifu"
        mave.write(original, WORDS, matrix)
        done = cli("convert", original, tmp_path / "t.parquet")
        assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
        done = cli("convert", tmp_path / "t.parquet", tmp_path / "back.fifu", "--columns", "word,vector")
        assert (done.returncode, done.stderr) == (0, "")
        assert (tmp_path / "back.fifu").read_bytes() == original.read_bytes()

    def test_many_row_groups_read_in_many_blocks(self, tmp_path, converted_models, monkeypatch):
        from mave import _parquet

        monkeypatch.setattr(_parquet, "ROW_GROUP_BYTES", 24 * 4 * 100)
        monkeypatch.setattr(_parquet, "BLOCK_BYTES", 24 * 8 * 33)
        e = mave.load(converted_models["demo-skipgram"])
        mave.convert(e.path, tmp_path / "t.parquet")
        assert pq.ParquetFile(tmp_path / "t.parquet").metadata.num_row_groups == 11
        simple = tmp_path / "simple.fifu"
        mave.convert(tmp_path / "t.parquet", simple)
        again = tmp_path / "again.parquet"
        mave.convert(simple, again)
        mave.convert(again, tmp_path / "again.fifu")
        assert (tmp_path / "again.fifu").read_bytes() == simple.read_bytes()


class TestVectorsAsLookupsGiveThem:
    def test_a_real_model_with_subwords_norms_and_metadata(self, tmp_path, converted_models):
        e = mave.load(converted_models["demo-skipgram"])
        words = list(e.words)
        mave.convert(e.path, tmp_path / "unit.parquet")
        table = pq.read_table(tmp_path / "unit.parquet")
        assert table.column("word").to_pylist() == words
        vectors = table.column("vector").combine_chunks().flatten().to_numpy().reshape(-1, e.dims)
        assert np.array_equal(bits(vectors), bits(e.embed(words)[0]))
        assert np.array_equal(bits(table.column("norm").to_numpy()), bits(e.norms))

        # Back as a simple vocabulary: the words, their vectors, norms and
        # metadata; the subword rows stay behind, as in the text formats.
        mave.convert(tmp_path / "unit.parquet", tmp_path / "simple.fifu")
        simple = mave.load(tmp_path / "simple.fifu")
        assert (simple.vocab_kind, list(simple.words)) == ("simple", words)
        assert np.array_equal(bits(simple.matrix), bits(vectors))
        assert np.array_equal(bits(simple.norms), bits(e.norms))
        assert simple.metadata == e.metadata

        # The original vectors (rows times norms) are those the text export gives.
        mave.convert(e.path, tmp_path / "raw.parquet", normalize=False)
        raw = pq.read_table(tmp_path / "raw.parquet")
        assert raw.schema.names == ["word", "vector"]
        mave.convert(e.path, tmp_path / "raw.vec", normalize=False)
        mave.convert(tmp_path / "raw.vec", tmp_path / "raw.fifu", normalize=False)
        expected = mave.load(tmp_path / "raw.fifu").matrix
        got = raw.column("vector").combine_chunks().flatten().to_numpy().reshape(-1, e.dims)
        assert np.array_equal(bits(got), bits(expected))
        # And read back without normalising, they stay as they are.
        mave.convert(tmp_path / "unit.parquet", tmp_path / "from-unit.fifu", normalize=False)
        assert np.array_equal(bits(mave.load(tmp_path / "from-unit.fifu").matrix), bits(expected))

    def test_other_formats_in_and_out(self, tmp_path, matrix):
        vec = text_file(tmp_path / "in.vec", WORDS, matrix)
        mave.convert(vec, tmp_path / "t.parquet", normalize=False, limit=5)
        table = pq.read_table(tmp_path / "t.parquet")
        assert table.column("word").to_pylist() == WORDS[:5]
        mave.convert(tmp_path / "t.parquet", tmp_path / "out.vec", normalize=False)
        mave.convert(tmp_path / "out.vec", tmp_path / "out.fifu", normalize=False)
        out = mave.load(tmp_path / "out.fifu")
        assert list(out.words) == WORDS[:5] and np.array_equal(bits(out.matrix), bits(matrix[:5]))
        # A fastText model: its words, as build_model converts it.
        model = FASTTEXT_DIR / "demo-skipgram.bin"
        mave.convert(model, tmp_path / "ft.parquet")
        mave.convert(model, tmp_path / "ft.fifu")
        e = mave.load(tmp_path / "ft.fifu")
        table = pq.read_table(tmp_path / "ft.parquet")
        assert table.column("word").to_pylist() == list(e.words)
        assert np.array_equal(bits(table.column("norm").to_numpy()), bits(e.norms))
        # Parquet to Parquet, through the columns named.
        renamed = table.rename_columns(["text", "embedding", "norm"]).select(["text", "embedding"])
        pq.write_table(renamed, tmp_path / "renamed.parquet")
        mave.convert(
            tmp_path / "renamed.parquet",
            tmp_path / "again.parquet",
            columns=("text", "embedding"),
            normalize=False,
        )
        again = pq.read_table(tmp_path / "again.parquet")
        assert again.column("vector").equals(table.column("vector"))
        # And to a folder format, through the finalfusion file the table makes.
        mave.convert(tmp_path / "ft.parquet", tmp_path / "static", dst_format="model2vec")
        safetensors = pytest.importorskip("safetensors.numpy")
        rows = safetensors.load_file(tmp_path / "static" / "model.safetensors")["embeddings"]
        vectors = table.column("vector").combine_chunks().flatten().to_numpy().reshape(-1, e.dims)
        assert np.array_equal(bits(rows[: len(e)]), bits(vectors))
        assert [n for n in os.listdir(tmp_path) if n.startswith(".")] == []


def tool_tables():
    """(name, writer): a table of WORDS and a matrix written as a tool would."""

    def pandas_lists(path, words, m):
        pd = pytest.importorskip("pandas")
        # Lists of Python floats: list<double>, as most pipelines write them.
        pd.DataFrame({"text": words, "emb": [list(map(float, row)) for row in m]}).to_parquet(path)

    def pandas_arrays(path, words, m):
        pd = pytest.importorskip("pandas")
        pd.DataFrame({"text": pd.Categorical(words), "emb": list(m)}).to_parquet(path)

    def pyarrow_fixed(path, words, m):
        pq.write_table(
            pa.table(
                {
                    "text": pa.array(words, pa.string()),
                    "emb": pa.FixedSizeListArray.from_arrays(pa.array(m.ravel()), m.shape[1]),
                }
            ),
            path,
            row_group_size=3,
        )

    def pyarrow_large_half(path, words, m):
        values = pa.array(m.astype(np.float16).ravel())
        offsets = pa.array(np.arange(0, m.size + 1, m.shape[1], dtype=np.int64))
        pq.write_table(
            pa.table(
                {
                    "id": range(len(words)),
                    "text": pa.array(words, pa.large_string()),
                    "emb": pa.LargeListArray.from_arrays(offsets, values),
                }
            ),
            path,
        )

    return [pandas_lists, pandas_arrays, pyarrow_fixed, pyarrow_large_half]


@pytest.mark.parametrize("writer", tool_tables(), ids=lambda w: w.__name__)
def test_tables_as_tools_write_them(tmp_path, matrix, writer):
    table = tmp_path / "tool.parquet"
    writer(table, WORDS, matrix)
    # float64 values become the nearest float32, float16 ones exactly theirs.
    expected = matrix.astype(np.float16).astype(np.float32) if "half" in writer.__name__ else matrix
    raw = tmp_path / "raw.fifu"
    mave.convert(table, raw, columns=("text", "emb"), normalize=False)
    e = mave.load(raw)
    assert list(e.words) == WORDS and e.norms is None and e.metadata is None
    assert np.array_equal(bits(e.matrix), bits(expected))
    # Normalised as the text reader normalises the same values: the same file.
    unit = tmp_path / "unit.fifu"
    mave.convert(table, unit, columns=("text", "emb"))
    mave.convert(text_file(tmp_path / "same.vec", WORDS, expected), tmp_path / "from-text.fifu")
    assert unit.read_bytes() == (tmp_path / "from-text.fifu").read_bytes()
    # The first rows only.
    mave.convert(table, tmp_path / "first.fifu", columns=("text", "emb"), limit=2, normalize=False)
    assert list(mave.load(tmp_path / "first.fifu").words) == WORDS[:2]


def bad_tables():
    """(name, table or raw bytes, columns, the reason's text)."""
    v = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0, 9.0], [0.5, 0.5, 0.5]]
    words = ["a", "b", "c", "d"]
    invalid = pa.array([b"a", b"\xffb", b"c", b"d"], pa.binary()).view(pa.string())
    return [
        (
            "missing column",
            {"word": words, "vec": v},
            None,
            "no column 'vector' to read the vectors from (the columns: 'word', 'vec'); name the columns "
            "with --columns WORD,VECTOR on the command line (columns= in Python)",
        ),
        (
            "words of ints",
            {"word": [1, 2, 3, 4], "vector": v},
            None,
            "column 'word' holds int64, not strings: it cannot be the words",
        ),
        (
            "vectors of strings",
            {"word": words, "vector": ["x", "y", "z", "w"]},
            None,
            "column 'vector' holds string, not lists of floats: it cannot be the vectors",
        ),
        (
            "vectors of ints",
            {"word": words, "vector": [[1], [2], [3], [4]]},
            None,
            "column 'vector' holds list<element: int64>, not lists of floats: it cannot be the vectors",
        ),
        (
            "a null word",
            {"word": ["a", "b", None, "d"], "vector": v},
            None,
            "row 2: the word is null (column 'word')",
        ),
        (
            "a null vector",
            {"word": words, "vector": [v[0], None, v[2], v[3]]},
            None,
            "row 1: the vector is null (column 'vector')",
        ),
        (
            "a null value",
            {"word": words, "vector": [v[0], v[1], [7.0, None, 9.0], v[3]]},
            None,
            "row 2: value 1 of the vector is null (column 'vector')",
        ),
        (
            "ragged lists",
            {"word": words, "vector": [v[0], v[1], v[2], [1.0, 2.0]]},
            None,
            "row 3: the vector holds 2 values, but the first holds 3 (column 'vector')",
        ),
        (
            "beyond float32",
            {"word": words, "vector": [v[0], v[1], [7.0, 8.0, -1e39], v[3]]},
            None,
            "row 2: value 2 of the vector, -1e+39, is beyond the float32 range (column 'vector')",
        ),
        (
            "a repeated word",
            {"word": ["a", "b", "c", "b"], "vector": v},
            None,
            "row 3: the word 'b' repeats the word of row 1 (column 'word')",
        ),
        (
            "invalid UTF-8",
            {"word": invalid, "vector": v},
            None,
            "row 1: the word is not valid UTF-8 (column 'word')",
        ),
        (
            "named columns missing",
            {"word": words, "vector": v},
            ("text", "vector"),
            "no column 'text' to read the words from (the columns: 'word', 'vector'); name the columns "
            "with --columns WORD,VECTOR on the command line (columns= in Python)",
        ),
        (
            "the metadata is not TOML",
            pa.table({"word": words, "vector": v}).replace_schema_metadata({b"mave.metadata": b"x = = 1"}),
            None,
            "the model metadata it holds is not TOML",
        ),
        (
            "norms that are not there",
            pa.table({"word": words, "vector": v}).replace_schema_metadata({b"mave.norms": b"norm"}),
            None,
            "the file's metadata names column 'norm' as the norms, but it is not a float32 column",
        ),
        (
            "not a Parquet file",
            b"PAR1 and then nothing of the kind",
            None,
            "not a Parquet file, or a damaged one",
        ),
    ]


@pytest.mark.parametrize("name,content,columns,reason", bad_tables(), ids=[c[0] for c in bad_tables()])
def test_bad_tables_are_refused_by_name(tmp_path, name, content, columns, reason):
    path = tmp_path / "bad.parquet"
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        pq.write_table(content if isinstance(content, pa.Table) else pa.table(content), path)
    for dst in ("out.fifu", "out.vec", "out.parquet"):
        with pytest.raises(mave.FormatError) as caught:
            mave.convert(path, tmp_path / dst, columns=columns)
        error = caught.value
        assert error.filename == str(path) and str(error) == f"{path}: {error.reason}"
        assert error.reason.startswith(reason), error.reason
        assert leftovers(tmp_path) == []
    done = cli("convert", path, tmp_path / "out.fifu", *(["--columns", ",".join(columns)] if columns else []))
    assert done.returncode == 1 and done.stderr.startswith(f"mave: error: {path}: {reason}")


def test_faults_beyond_the_first_block_and_in_a_truncated_file(tmp_path, monkeypatch):
    from mave import _parquet

    monkeypatch.setattr(_parquet, "BLOCK_BYTES", 8 * 4 * 10)
    n = 500
    rng = np.random.default_rng(1)
    vectors = [list(map(float, row)) for row in rng.standard_normal((n, 4))]
    vectors[437] = vectors[437][:3]
    path = tmp_path / "late.parquet"
    pq.write_table(
        pa.table({"word": [f"w{i}" for i in range(n)], "vector": vectors}), path, row_group_size=64
    )
    with pytest.raises(mave.FormatError, match="row 437: the vector holds 3 values, but the first holds 4"):
        mave.convert(path, tmp_path / "out.fifu")
    assert leftovers(tmp_path) == []

    vectors[437].append(0.0)
    pq.write_table(pa.table({"word": [f"w{i}" for i in range(n)], "vector": vectors}), path)
    data = path.read_bytes()
    for cut in (len(data) // 2, len(data) - 9):
        path.write_bytes(data[:cut])
        with pytest.raises(mave.FormatError, match="not a Parquet file, or a damaged one"):
            mave.convert(path, tmp_path / "out.fifu")
    assert leftovers(tmp_path) == []


def test_damaged_files_are_format_errors(tmp_path):
    # Bytes changed anywhere (footer, page headers, compressed pages, the
    # stored Arrow schema): each file converts or is a FormatError, and
    # nothing is left behind either way.
    good = tmp_path / "good.parquet"
    rng = np.random.default_rng(0)
    pq.write_table(
        pa.table(
            {
                "word": [f"w{i}" for i in range(50)],
                "vector": [list(map(float, r)) for r in rng.standard_normal((50, 4))],
            }
        ),
        good,
        row_group_size=16,
    )
    data = good.read_bytes()
    outcomes = {"converted": 0, "refused": 0}
    for k in range(150):
        damaged = bytearray(data)
        for at in rng.integers(0, len(data), size=1 + k % 8):
            damaged[at] = int(rng.integers(0, 256))
        path = tmp_path / "damaged.parquet"
        path.write_bytes(bytes(damaged))
        try:
            mave.convert(path, tmp_path / "out.fifu", src_format="parquet")
            outcomes["converted"] += 1
            (tmp_path / "out.fifu").unlink()
        except mave.FormatError as error:
            assert error.filename == str(path)
            outcomes["refused"] += 1
        assert leftovers(tmp_path) == []
    assert outcomes["refused"] > 50, outcomes


@pytest.mark.parametrize(
    "src,options,error,message",
    [
        (
            "in.vec",
            {"columns": ("word", "vector")},
            ValueError,
            "columns= names the columns of parquet input, not of text input",
        ),
        (
            "t.parquet",
            {"columns": "word,vector"},
            TypeError,
            "columns must be two str: the word column and the vector column",
        ),
        (
            "t.parquet",
            {"columns": ("word",)},
            TypeError,
            "columns must be two str: the word column and the vector column",
        ),
        (
            "t.parquet",
            {"errors": "replace"},
            ValueError,
            "errors= applies to word2vec, text, GloVe and fastText input; the words of parquet input are "
            "Arrow strings, UTF-8 already",
        ),
        (
            "t.parquet",
            {"member": "x"},
            ValueError,
            "member= names a file in a zip archive, not in parquet input",
        ),
    ],
)
def test_options_that_do_not_apply(tmp_path, matrix, src, options, error, message):
    text_file(tmp_path / "in.vec", WORDS, matrix)
    mave.convert(tmp_path / "in.vec", tmp_path / "t.parquet")
    with pytest.raises(error, match=f"^{message}$"):
        mave.convert(tmp_path / src, tmp_path / "out.fifu", **options)
    assert not (tmp_path / "out.fifu").exists()


def test_the_command_line_takes_two_column_names(tmp_path):
    done = cli("convert", tmp_path / "x.parquet", tmp_path / "y.fifu", "--columns", "word")
    assert done.returncode == 2
    assert done.stderr.splitlines()[-1] == (
        "mave convert: error: argument --columns: must be two " "column names, WORD,VECTOR, not 'word'"
    )


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer's shadow memory and quarantine count as memory too",
)
def test_tables_are_read_and_written_in_bounded_memory(tmp_path, run_python):
    # pandas writes a table as one row group, however large: the vectors
    # are read a block at a time, the words and the output aside. Written
    # back, the mapped rows go out a row group at a time.
    rows, dims = 50_000, 2048
    m = np.random.default_rng(2).standard_normal((rows, dims), dtype=np.float32)
    path = tmp_path / "big.parquet"
    pq.write_table(
        pa.table(
            {
                "word": [f"w{i}" for i in range(rows)],
                "vector": pa.FixedSizeListArray.from_arrays(pa.array(m.ravel()), dims),
            }
        ),
        path,
        row_group_size=rows,
    )
    last = m[-1].copy()
    del m
    out, again = tmp_path / "big.fifu", tmp_path / "again.parquet"
    done = run_python(f"""
        import mave, mave._parquet

        def status(key):
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))

        before = status("VmHWM:")
        mave.convert({str(path)!r}, {str(out)!r}, normalize=False)
        print(status("VmHWM:") - before)
        # The rows written are the mapped file's pages: only anonymous memory
        # is the writer's own (read as it goes).
        anonymous = [status("RssAnon:")]
        mave.convert({str(out)!r}, {str(again)!r}, normalize=False,
                     progress=lambda *_: anonymous.append(status("RssAnon:")))
        print(max(anonymous) - anonymous[0], len(anonymous))
    """)
    read, written, samples = map(int, done.stdout.split())
    matrix_bytes = rows * dims * 4
    print(
        f"reading grew the peak by {read >> 20} MiB, writing the anonymous memory by "
        f"{written >> 20} MiB, for a {matrix_bytes >> 20} MiB matrix"
    )
    assert read < matrix_bytes / 3 and written < matrix_bytes / 3 and samples > 10
    e = mave.load(out)
    assert len(e) == rows and np.array_equal(e.matrix[-1], last)
    assert pq.ParquetFile(again).metadata.num_row_groups > 10


@pytest.mark.parametrize("vector_type,dims", [(pa.list_(pa.float32(), 3), 3), (pa.list_(pa.float64()), 0)])
def test_an_empty_table_is_an_empty_model(tmp_path, vector_type, dims):
    path = tmp_path / "empty.parquet"
    pq.write_table(pa.table({"word": pa.array([], pa.string()), "vector": pa.array([], vector_type)}), path)
    mave.convert(path, tmp_path / "empty.fifu")
    e = mave.load(tmp_path / "empty.fifu")
    assert (len(e), e.dims) == (0, dims)
    mave.convert(tmp_path / "empty.fifu", tmp_path / "again.parquet")
    assert pq.read_table(tmp_path / "again.parquet").num_rows == 0
