// PyInit__native: the compiled part of the mave package.
#define MAVE_NATIVE_IMPORT_ARRAY
#include "python/native/numpy_api.hpp"

#include <string>

#include "base/error.hpp"
#include "python/helpers/errors.hpp"
#include "python/helpers/pyref.hpp"
#include "python/native/arguments.hpp"
#include "python/native/convert.hpp"
#include "python/native/exceptions.hpp"
#include "python/native/info.hpp"
#include "python/native/model.hpp"
#include "python/native/rerank.hpp"
#include "python/native/tokenizer.hpp"
#include "search/blas.hpp"

namespace mave::native {
namespace {

using py::PyRef;

// _load_blas(path, /) -> None: loads the search's OpenBLAS (search/blas.hpp)
// when the package is imported (mave/_openblas.py finds the library in the
// scipy-openblas32 package). ImportError with the loader's reason and the
// library's `path` when it cannot be used.
constexpr Signature kLoadBlas{"_load_blas", "path, /", Bound::Module};

PyObject* load_blas_from(PyObject* path_object) {
  const auto path = fs_path_argument(path_object);
  if (!path) return nullptr;
  auto loaded = blas::load(*path);
  if (loaded) Py_RETURN_NONE;
  const std::string message =
      "mave cannot load OpenBLAS (the scipy-openblas32 package) for its search: " + loaded.error();
  PyRef text =
      PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetImportError(text.get(), nullptr, path_object);
  return nullptr;
}

PyObject* load_blas(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::call_frame(
      [&]() -> PyObject* {
        return with_arguments(kLoadBlas, {args, nargs, kwnames}, [](const py::ArgumentSlots& slots) {
          return load_blas_from(slots[kLoadBlas.slot("path")]);
        });
      },
      py::raise_exception_in_flight);
}

PyMethodDef g_functions[] = {
    {"_load_blas", as_cfunction(load_blas), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  if (!load_exception_types()) return -1;
  if (!init_embeddings_type(module) || !init_words_type(module) || !init_questions_type(module)) {
    return -1;
  }
  if (!init_convert(module) || !init_info(module) || !init_rerank(module)) return -1;
  if (!init_tokenizer_type(module)) return -1;
  if (!add_functions(module, g_functions, {&kLoadBlas})) return -1;
  return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "mave._native",
    "The compiled part of mave: loading, lookups and searches on the C++ core.",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace mave::native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&mave::native::g_module_def); }
