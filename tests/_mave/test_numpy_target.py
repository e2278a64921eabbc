"""load_embedding: which arrays are accepted and how the vector lands in them."""

import textwrap

import numpy as np
import pytest

import _mave
import fifu
from suite import MATRIX, WORDS

HAUS = np.array(MATRIX[0], np.float32)
PANIC = BaseException  # PanicException is not importable; checked by name below
# NumPy 1.x imports numpy.core itself, so which module served the API table
# can only be told apart with NumPy 2.
NUMPY_2_ONLY = pytest.mark.skipif(
    np.lib.NumpyVersion(np.__version__) < "2.0.0", reason="NumPy 1.x imports numpy.core on import"
)


def length_mismatch(dims, length):
    return (
        f"assertion `left == right` failed: Embeddings have {dims} dimensions, "
        f"whereas target array has {length}\n  left: {length}\n right: {dims}"
    )


class TestWriting:
    def test_contiguous(self, model):
        a = np.zeros(4, np.float32)
        assert model.load_embedding("Haus", a) is True
        assert np.array_equal(a, HAUS)
        assert model.load_embedding("grün", a) is True
        assert a.tolist() == MATRIX[2]

    def test_unknown_word_leaves_array(self, model):
        a = np.full(4, 7.0, np.float32)
        assert model.load_embedding("Haus!", a) is False
        assert a.tolist() == [7.0] * 4

    def test_every_second_element(self, model):
        big = np.full(8, -9.0, np.float32)
        assert model.load_embedding("Haus", big[::2])
        assert np.array_equal(big[::2], HAUS)
        assert big[1::2].tolist() == [-9.0] * 4

    def test_reversed(self, model):
        x = np.zeros(4, np.float32)
        assert model.load_embedding("Haus", x[::-1])
        assert np.array_equal(x, HAUS[::-1])

    def test_column_of_matrix(self, model):
        m = np.zeros((4, 3), np.float32)
        assert model.load_embedding("Baum", m[:, 1])
        assert m[:, 1].tolist() == MATRIX[1]
        assert not m[:, [0, 2]].any()

    def test_subclass(self, model):
        class Mine(np.ndarray):
            pass

        a = np.zeros(4, np.float32).view(Mine)
        assert model.load_embedding("Haus", a)
        assert type(a) is Mine and np.array_equal(a, HAUS)

    def test_memmap_subclass(self, model, tmp_path):
        a = np.memmap(tmp_path / "target", dtype=np.float32, mode="w+", shape=(4,))
        assert model.load_embedding("Baum", a)
        a.flush()
        assert np.fromfile(tmp_path / "target", np.float32).tolist() == MATRIX[1]

    @pytest.mark.parametrize("offset", [1, 2, 3])
    def test_unaligned(self, model, offset):
        raw = bytearray(4 * 4 + offset)
        a = np.frombuffer(raw, np.float32, count=4, offset=offset)
        assert a.flags.writeable and not a.flags.aligned
        assert model.load_embedding("Haus", a)
        assert np.array_equal(a, HAUS)
        assert raw[:offset] == bytes(offset)

    @pytest.mark.parametrize("pad", [1, 2, 3, 5])
    def test_byte_stride_not_multiple_of_four(self, model, pad):
        # The float field of a packed record: stride 4 + pad bytes.
        record = np.dtype([("f", "<f4"), ("pad", f"V{pad}")])
        records = np.zeros(4, record)
        field = records["f"]
        assert field.strides == (4 + pad,)
        assert model.load_embedding("Haus", field)
        assert np.array_equal(records["f"], HAUS)
        assert records["pad"].tobytes() == bytes(4 * pad)

    def test_negative_unaligned_stride(self, model):
        record = np.dtype([("pad", "V3"), ("f", "<f4")])
        records = np.zeros(4, record)
        assert model.load_embedding("Baum", records["f"][::-1])
        assert records["f"].tolist() == MATRIX[1][::-1]

    def test_zero_stride(self, model):
        base = np.zeros(1, np.float32)
        a = np.lib.stride_tricks.as_strided(base, shape=(4,), strides=(0,), writeable=True)
        assert model.load_embedding("Haus", a)
        assert base[0] == HAUS[-1]

    def test_composed_rows_are_not_involved(self, write_file):
        # A simple vocabulary never composes: an unknown word finds nothing.
        m = _mave.FfModel(write_file(fifu.dense_embeddings(WORDS, MATRIX)))
        assert m.load_embedding("Hau", np.zeros(4, np.float32)) is False

    def test_empty_vectors(self, write_file):
        m = _mave.FfModel(write_file(fifu.dense_embeddings(["a"], [[]], cols=0)))
        a = np.zeros(0, np.float32)
        assert m.load_embedding("a", a) is True
        assert m.load_embedding("b", a) is False


class TestLengthMismatch:
    @pytest.mark.parametrize("word", ["Haus", "unknown", ""])
    @pytest.mark.parametrize("length", [0, 3, 5, 100])
    def test_refused_before_lookup(self, model, word, length):
        a = np.full(length, 3.5, np.float32)
        with pytest.raises(PANIC) as info:
            model.load_embedding(word, a)
        assert type(info.value).__name__ == "PanicException"
        assert info.value.args == (length_mismatch(4, length),)
        assert (a == 3.5).all()

    def test_model_usable_afterwards(self, model):
        with pytest.raises(PANIC):
            model.load_embedding("Haus", np.zeros(5, np.float32))
        a = np.zeros(4, np.float32)
        assert model.load_embedding("Haus", a) and np.array_equal(a, HAUS)


class TestRefusedArrays:
    @pytest.mark.parametrize(
        "make, message",
        [
            (lambda: [0.0] * 4, "'list' object cannot be converted to 'PyArray<T, D>'"),
            (lambda: (0.0,) * 4, "'tuple' object cannot be converted to 'PyArray<T, D>'"),
            (lambda: np.float32(0), "'float32' object cannot be converted to 'PyArray<T, D>'"),
            (
                lambda: memoryview(bytearray(16)).cast("f"),
                "'memoryview' object cannot be converted to 'PyArray<T, D>'",
            ),
            (lambda: np.zeros((2, 2), np.float32), "dimensionality mismatch:\n from=2, to=1"),
            (lambda: np.zeros((4, 1), np.float32), "dimensionality mismatch:\n from=2, to=1"),
            (lambda: np.zeros((), np.float32), "dimensionality mismatch:\n from=0, to=1"),
            (lambda: np.zeros((1, 1, 4), np.float64), "dimensionality mismatch:\n from=3, to=1"),
            (lambda: np.zeros(4, np.float64), "type mismatch:\n from=float64, to=float32"),
            (lambda: np.zeros(4, ">f4"), "type mismatch:\n from=>f4, to=float32"),
            (lambda: np.zeros(4, np.int32), "type mismatch:\n from=int32, to=float32"),
            (lambda: np.zeros(4, np.float16), "type mismatch:\n from=float16, to=float32"),
            (lambda: np.zeros(4, [("f", "<f4")]), "type mismatch:\n from=[('f', '<f4')], to=float32"),
        ],
    )
    def test_conversion_errors(self, model, make, message):
        a = make()
        with pytest.raises(TypeError) as info:
            model.load_embedding("Haus", a)
        assert type(info.value) is TypeError
        assert info.value.args == ("argument 'a': " + message,)
        if isinstance(a, np.ndarray):
            assert not a.any()

    def test_equivalent_descriptor_accepted(self, model):
        a = np.zeros(4, np.dtype("<f4"))
        assert model.load_embedding("Haus", a) and np.array_equal(a, HAUS)

    @pytest.mark.parametrize(
        "make",
        [
            lambda: np.frombuffer(bytes(16), np.float32),
            lambda: np.broadcast_to(np.zeros(1, np.float32), (4,)),
            lambda: _frozen(np.zeros(4, np.float32)),
            lambda: _frozen(np.zeros(8, np.float32))[::2],
        ],
    )
    def test_read_only_arrays_untouched(self, model, make):
        a = make()
        snapshot = a.copy()
        with pytest.raises(ValueError) as info:
            model.load_embedding("Haus", a)
        assert type(info.value) is ValueError
        assert info.value.args == ("argument 'a': array is not writeable",)
        assert np.array_equal(a, snapshot)

    def test_bytes_stay_immutable(self, model):
        data = bytes(16)
        with pytest.raises(ValueError):
            model.load_embedding("Haus", np.frombuffer(data, np.float32))
        assert data == bytes(16)

    def test_dimension_checked_before_writeable(self, model):
        a = _frozen(np.zeros((2, 2), np.float32))
        with pytest.raises(TypeError, match="dimensionality mismatch"):
            model.load_embedding("Haus", a)


def _frozen(a):
    a.flags.writeable = False
    return a


class TestNumPyLoading:
    """The API table comes from NumPy on first use, in a child process each."""

    @staticmethod
    def child(model_path, prelude, body):
        return "\n".join(
            [
                "import sys",
                textwrap.dedent(prelude),
                "import _mave",
                f"m = _mave.FfModel({model_path!r})",
                textwrap.dedent(body),
            ]
        )

    def test_without_numpy(self, run_python, model_path):
        result = run_python(
            self.child(
                model_path,
                "sys.modules['numpy'] = None",
                """
            print(m.get_dims(), flush=True)
            m.eval("Haus")
            m.eval("absent")
            try:
                m.load_embedding("Haus", [0.0] * 4)
            except BaseException as e:
                print(type(e).__module__, type(e).__name__, e.args, e.__context__)
            try:
                m.load_embedding("Haus", [0.0] * 4)
            except BaseException as e:
                print(e.args)
        """,
            )
        )
        assert result.stdout.decode() == (
            "4\n"
            "[0.5, -1.25, 3.0, 0.0], shape=[4], strides=[1], layout=CFcf (0xf), const ndim=1\n"
            "pyo3_runtime PanicException ('Failed to import NumPy module',) None\n"
            "('Failed to import NumPy module',)\n"
        )
        assert b"Failed to import NumPy module" in result.stderr

    @pytest.mark.parametrize(
        "api",
        [
            None,  # no _ARRAY_API at all
            "42",  # not a capsule
            "__import__('datetime').datetime_CAPI",  # a named capsule of another module
        ],
    )
    def test_missing_capsule(self, run_python, model_path, tmp_path, api):
        core = tmp_path / "fake" / "numpy" / "_core"
        core.mkdir(parents=True)
        (core.parent / "__init__.py").write_text("")
        (core / "__init__.py").write_text("")
        (core / "multiarray.py").write_text("" if api is None else f"_ARRAY_API = {api}\n")
        prelude = f"sys.path.insert(0, {str(tmp_path / 'fake')!r})"
        result = run_python(
            self.child(
                model_path,
                prelude,
                """
            try:
                m.load_embedding("Haus", [])
            except BaseException as e:
                print(type(e).__name__, e.args)
        """,
            )
        )
        assert result.stdout == b"PanicException ('Failed to get NumPy API capsule',)\n"

    @NUMPY_2_ONLY
    def test_numpy_1_layout_fallback(self, run_python, model_path):
        # Without numpy._core the table comes from numpy.core (NumPy 1.x).
        result = run_python(
            self.child(
                model_path,
                """
            import numpy as np
            sys.modules['numpy._core.multiarray'] = None
        """,
                """
            a = np.zeros(4, np.float32)
            print('numpy.core.multiarray' in sys.modules)
            print(m.load_embedding("Haus", a), a.tolist())
            print('numpy.core.multiarray' in sys.modules)
        """,
            ),
            flags=[],
        )
        assert result.stdout == b"False\nTrue [0.5, -1.25, 3.0, 0.0]\nTrue\n"

    @NUMPY_2_ONLY
    def test_numpy_2_module_preferred(self, run_python, model_path):
        result = run_python(
            self.child(
                model_path,
                "import numpy as np",
                """
            m.load_embedding("Haus", np.zeros(4, np.float32))
            print('numpy.core.multiarray' in sys.modules)
        """,
            )
        )
        assert result.stdout == b"False\n"

    @pytest.mark.parametrize("flags", [[], ["-W", "error", "-X", "dev"]])
    def test_numpy_2_needs_no_deprecated_module(self, run_python, model_path, flags):
        result = run_python(
            self.child(
                model_path,
                "import numpy as np",
                """
            a = np.zeros(4, np.float32)
            print(m.load_embedding("Baum", a), a.tolist())
        """,
            ),
            flags=flags,
        )
        assert result.stdout == b"True [1.0, 2.0, -3.0, 4.0]\n"
