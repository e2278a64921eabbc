"""The module object, the FfModel type, construction and PanicException."""

import inspect
import weakref

import pytest

import _mave
import fifu
from suite import MATRIX, WORDS


def panic_type():
    """PanicException is not exported; provoke one to get hold of the class."""
    try:
        _mave.FfModel("/nonexistent/panic-probe")
    except BaseException as e:  # noqa: BLE001
        return type(e)
    raise AssertionError("no failure")


class TestModuleObject:
    def test_attributes(self):
        assert _mave.__all__ == ["FfModel", "build_model"]
        assert _mave.__doc__ == ""
        assert _mave.__name__ == "_mave"
        assert not hasattr(_mave, "PanicException")

    def test_build_model_function(self):
        assert _mave.build_model.__self__ is _mave
        assert _mave.build_model.__module__ == "_mave"
        assert _mave.build_model.__name__ == "build_model"

    def test_second_initialisation_fails(self, run_python):
        result = run_python("""
            import importlib.util, _mave
            spec = importlib.util.find_spec("_mave")
            try:
                importlib.util.module_from_spec(spec)
            except ImportError as e:
                print(type(e).__name__, e)
        """)
        assert result.stdout == (
            b"ImportError PyO3 modules may only be initialized once per interpreter process\n"
        )

    def test_import_does_not_import_numpy(self, run_python):
        result = run_python("""
            import sys, _mave
            print("numpy" in sys.modules)
        """)
        assert result.stdout == b"False\n"


class TestFfModelType:
    def test_names_and_flags(self):
        t = _mave.FfModel
        assert (t.__module__, t.__name__, t.__qualname__) == ("builtins", "FfModel", "FfModel")
        assert t.__doc__ is None
        assert t.__bases__ == (object,)
        base_type, garbage_collected = 1 << 10, 1 << 14
        assert not t.__flags__ & (base_type | garbage_collected)
        assert (t.__dictoffset__, t.__weakrefoffset__) == (0, 0)
        assert [name for name in ("get_dims", "load_embedding", "eval") if name in vars(t)] == [
            "get_dims",
            "load_embedding",
            "eval",
        ]

    @pytest.mark.parametrize(
        "callable_, signature",
        [
            (_mave.FfModel.get_dims, "($self)"),
            (_mave.FfModel.load_embedding, "($self, sentence, a)"),
            (_mave.FfModel.eval, "($self, haystack)"),
            (_mave.build_model, "(input_path, output_path)"),
        ],
    )
    def test_text_signatures(self, callable_, signature):
        assert callable_.__text_signature__ == signature
        assert callable_.__doc__ is None
        assert inspect.signature(callable_) is not None

    def test_not_subclassable(self):
        with pytest.raises(TypeError):

            class Sub(_mave.FfModel):
                pass

    def test_instances_are_closed(self, model):
        with pytest.raises(AttributeError):
            model.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(model)
        assert not hasattr(model, "__dict__")

    def test_get_dims_takes_no_arguments(self, model):
        with pytest.raises(TypeError):
            model.get_dims(1)

    def test_method_on_foreign_receiver(self):
        with pytest.raises(TypeError):
            _mave.FfModel.get_dims(1)


class TestConstruction:
    def test_positional_keyword_and_new(self, model_path):
        for m in (
            _mave.FfModel(model_path),
            _mave.FfModel(embeddings_path=model_path),
            _mave.FfModel.__new__(_mave.FfModel, model_path),
        ):
            assert type(m) is _mave.FfModel
            assert m.get_dims() == len(MATRIX[0])

    def test_str_subclass_path(self, model_path):
        class Path(str):
            pass

        assert _mave.FfModel(Path(model_path)).get_dims() == 4

    @pytest.mark.parametrize(
        "words, matrix, cols, dims",
        [
            (["a", "b"], [[1.0, 2.0], [3.0, 4.0]], None, 2),
            ([], [], 7, 7),
            (["a"], [[]], 0, 0),
        ],
    )
    def test_dims(self, write_file, words, matrix, cols, dims):
        m = _mave.FfModel(write_file(fifu.dense_embeddings(words, matrix, cols=cols)))
        assert m.get_dims() == dims
        assert type(m.get_dims()) is int

    def test_metadata_and_norms_load(self, write_file):
        data = fifu.dense_embeddings(WORDS, MATRIX, meta='name = "x"\n', word_norms=[1, 2, 3])
        assert _mave.FfModel(write_file(data)).get_dims() == 4

    def test_missing_file(self, tmp_path):
        with pytest.raises(BaseException) as info:
            _mave.FfModel(str(tmp_path / "missing.fifu"))
        assert type(info.value).__name__ == "PanicException"
        assert info.value.args == (
            'Embedding file missing, run fetch-data.sh: '
            'Os { code: 2, kind: NotFound, message: "No such file or directory" }',
        )

    def test_nul_in_path(self):
        with pytest.raises(panic_type()) as info:
            _mave.FfModel("a\0b")
        assert str(info.value) == (
            'Embedding file missing, run fetch-data.sh: Error { kind: InvalidInput, '
            'message: "file name contained an unexpected NUL byte" }'
        )

    @pytest.mark.parametrize(
        "data, debug",
        [
            (b"FiFv" + bytes(8), 'Format("Expected \'FiFu\' as magic, got: FiFv")'),
            (
                b"FiFu\0\0",
                'Read { desc: "Cannot read model version", error: Error { kind: UnexpectedEof, '
                'message: "failed to fill whole buffer" } }',
            ),
            (fifu.header([]), 'Format("Embedding file does not contain chunks")'),
            (fifu.header([10]), "UnknownChunkIdentifier(10)"),
            (
                fifu.assemble(fifu.simple_vocab(["a"]), fifu.norms([1.0])),
                'Format("Invalid chunk identifier, expected: NdArray, got: NdNorms")',
            ),
        ],
    )
    def test_unreadable_file(self, write_file, data, debug):
        with pytest.raises(panic_type()) as info:
            _mave.FfModel(write_file(data))
        assert info.value.args == ("called `Result::unwrap()` on an `Err` value: " + debug,)

    def test_directory(self, tmp_path):
        with pytest.raises(panic_type()) as info:
            _mave.FfModel(str(tmp_path))
        assert str(info.value) == (
            'called `Result::unwrap()` on an `Err` value: Read { desc: "Cannot read magic", '
            'error: Os { code: 21, kind: IsADirectory, message: "Is a directory" } }'
        )

    def test_failure_reports_on_stderr(self, run_python, tmp_path):
        result = run_python(f"""
            import _mave
            try:
                _mave.FfModel({str(tmp_path / "nope")!r})
            except BaseException as e:
                print(type(e).__name__)
        """)
        assert result.stdout == b"PanicException\n"
        assert b"Embedding file missing, run fetch-data.sh: Os { code: 2" in result.stderr

    def test_unmapped_after_release(self, write_file):
        # The mapping belongs to the instance: the file can go, the rows stay.
        import os

        path = write_file(fifu.dense_embeddings(WORDS, MATRIX))
        m = _mave.FfModel(path)
        os.unlink(path)
        np = pytest.importorskip("numpy")
        a = np.zeros(4, np.float32)
        assert m.load_embedding("Baum", a)
        assert a.tolist() == MATRIX[1]


class TestPanicException:
    def test_class(self):
        p = panic_type()
        assert p.__module__ == "pyo3_runtime"
        assert p.__name__ == p.__qualname__ == "PanicException"
        assert p.__bases__ == (BaseException,)
        assert not issubclass(p, Exception)
        assert p.__doc__.startswith("\n") and p.__doc__.endswith("\n")
        assert "BaseException" in p.__doc__ and "SystemExit" in p.__doc__

    def test_one_class_for_the_process(self, model):
        np = pytest.importorskip("numpy")
        try:
            model.load_embedding("Haus", np.zeros(5, np.float32))
        except BaseException as e:  # noqa: BLE001
            assert type(e) is panic_type()

    def test_not_caught_as_exception(self):
        with pytest.raises(BaseException) as info:
            try:
                _mave.FfModel("/nonexistent")
            except Exception:  # noqa: BLE001
                pytest.fail("PanicException caught as Exception")
        assert not isinstance(info.value, Exception)
        assert len(info.value.args) == 1 and str(info.value) == info.value.args[0]
