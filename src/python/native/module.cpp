// PyInit__native: the compiled part of the mave package.
#define MAVE_NATIVE_IMPORT_ARRAY
#include "python/native/numpy_api.hpp"

#include "base/error.hpp"
#include "python/helpers/pyref.hpp"
#include "python/native/convert.hpp"
#include "python/native/exceptions.hpp"
#include "python/native/info.hpp"
#include "python/native/model.hpp"
#include "python/native/rerank.hpp"

namespace mave::native {
namespace {

int exec_module(PyObject* module) {
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  if (!load_exception_types()) return -1;
  if (!init_embeddings_type(module) || !init_words_type(module)) return -1;
  if (!init_convert(module) || !init_info(module) || !init_rerank(module)) return -1;
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
