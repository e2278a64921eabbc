"""mave.ray.Encoder: on its own (Arrow and NumPy batches, missing texts, the
faults of a batch) and in Ray Data's map_batches on a local cluster of two
CPUs that the test starts, where the rows are those e.encode gives."""

import pickle
import re

import numpy as np
import pytest

import mave

pa = pytest.importorskip("pyarrow")
mave_ray = pytest.importorskip("mave.ray")

TEXTS = [
    "free software",
    "the licence  and the warranty",
    "",
    "xyzzy",
    "Software FREE",
    None,
    "a b c d e f g h",
    "   ",
]


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)


def expected_rows(e, texts, **options):
    """e.encode of the texts, zeros for a missing one."""
    out = np.zeros((len(texts), e.dims), np.float32)
    for i, text in enumerate(texts):
        if text is not None:
            out[i] = e.encode([text], **options)[0]
    return out


def rows_of(column):
    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    return column.flatten().to_numpy().reshape(len(column), -1)


class TestEncoderAlone:
    def test_arrow_batches_in_and_out(self, demo):
        encoder = mave_ray.Encoder(demo.path)
        batch = pa.table({"id": list(range(len(TEXTS))), "text": TEXTS})
        out = encoder(batch)
        assert isinstance(out, pa.Table) and out.column_names == ["id", "text", "vector"]
        assert out.schema.field("vector").type == pa.list_(pa.float32(), demo.dims)
        assert np.array_equal(bits(rows_of(out.column("vector"))), bits(expected_rows(demo, TEXTS)))
        assert out.column("id").equals(batch.column("id"))
        # Options reach encode; an existing output column is replaced.
        again = mave_ray.Encoder(demo, column="text", output="id", normalize=True, max_length=2)(batch)
        assert again.column_names == ["id", "text"]
        assert np.array_equal(
            bits(rows_of(again.column("id"))), bits(expected_rows(demo, TEXTS, normalize=True, max_length=2))
        )

    def test_numpy_batches_and_other_string_columns(self, demo):
        encoder = mave_ray.Encoder(demo, column="body", output="emb")
        out = encoder({"body": np.array(TEXTS, dtype=object), "n": np.arange(len(TEXTS))})
        assert set(out) == {"body", "n", "emb"} and out["emb"].dtype == np.float32
        assert np.array_equal(bits(out["emb"]), bits(expected_rows(demo, TEXTS)))
        for column in (pa.array(TEXTS, pa.large_string()), pa.array(TEXTS, pa.string()).dictionary_encode()):
            got = encoder(pa.table({"body": column}))
            assert np.array_equal(bits(rows_of(got.column("emb"))), bits(out["emb"]))
        assert encoder(pa.table({"body": pa.array([], pa.string())})).num_rows == 0

    @pytest.mark.parametrize(
        "batch,error,message",
        [
            (pa.table({"words": ["a"]}), KeyError, "the batch has no column 'text' (its columns: 'words')"),
            ({"words": np.array(["a"])}, KeyError, "the batch has no column 'text' (its columns: 'words')"),
            (pa.table({"text": [1, 2]}), TypeError, "column 'text' holds int64, not strings"),
            ({"text": np.array([1, 2])}, TypeError, "texts[0] must be str, not int"),
            (
                [["a"]],
                TypeError,
                'batches must be pyarrow Tables (map_batches(..., batch_format="pyarrow")) '
                "or dicts of NumPy arrays, not list",
            ),
        ],
    )
    def test_faults_of_a_batch(self, demo, batch, error, message):
        with pytest.raises(error, match=re.escape(message)):
            mave_ray.Encoder(demo)(batch)

    def test_construction(self, demo, tmp_path):
        with pytest.raises(TypeError, match="^output must be str, not int$"):
            mave_ray.Encoder(demo, output=3)
        with pytest.raises(FileNotFoundError):
            mave_ray.Encoder(tmp_path / "missing.fifu")
        encoder = mave_ray.Encoder(demo.path, column="body")
        assert repr(encoder) == f"<mave.ray.Encoder {demo.path!r}: 'body' -> 'vector'>"
        # Ray ships the class and its arguments: a loaded model goes as its path.
        assert pickle.loads(pickle.dumps(demo)).path == demo.path


@pytest.fixture(scope="module")
def ray_cluster():
    ray = pytest.importorskip("ray")
    pytest.importorskip("ray.data")
    ray.init(
        num_cpus=2,
        include_dashboard=False,
        log_to_driver=False,
        configure_logging=False,
        ignore_reinit_error=False,
    )
    ray.data.DataContext.get_current().enable_progress_bars = False
    yield ray
    ray.shutdown()


# Ray warns of its own deprecated settings as it starts and runs.
@pytest.mark.filterwarnings("ignore::DeprecationWarning:ray")
def test_map_batches_on_two_actors_gives_the_rows_of_encode(ray_cluster, demo):
    texts = [
        t if i % 97 else None
        for i, t in enumerate(" ".join(list(demo.words)[i % 900 : i % 900 + 1 + i % 11]) for i in range(3000))
    ]
    table = pa.table({"id": range(len(texts)), "text": texts})
    # Six blocks, made here: the two actors take both CPUs, so nothing
    # upstream of them may need one.
    ds = ray_cluster.data.from_arrow([table.slice(i, 500) for i in range(0, len(texts), 500)])
    ds = ds.map_batches(
        mave_ray.Encoder,
        fn_constructor_args=(demo.path,),
        batch_format="pyarrow",
        batch_size=256,
        compute=ray_cluster.data.ActorPoolStrategy(size=2),
    )
    table = pa.concat_tables(ray_cluster.get(ref) for ref in ds.to_arrow_refs()).sort_by("id")
    assert table.column("id").to_pylist() == list(range(len(texts)))
    assert table.schema.field("vector").type == pa.list_(pa.float32(), demo.dims)
    assert np.array_equal(bits(rows_of(table.column("vector"))), bits(expected_rows(demo, texts)))
