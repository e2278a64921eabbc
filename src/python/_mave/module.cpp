// PyInit__mave: the module object, __all__, and the registration of FfModel
// and build_model.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <string>

#include "base/error.hpp"
#include "python/_mave/build_model.hpp"
#include "python/_mave/ff_model.hpp"
#include "python/_mave/frame.hpp"
#include "python/helpers/arguments.hpp"
#include "python/helpers/errors.hpp"
#include "python/helpers/pyref.hpp"
#include "python/helpers/stable_abi.hpp"

namespace mave::py {
namespace {

// Pinned: docs/compatibility.md (module name and empty docstring)
PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_mave",
    "",
    0,
    nullptr,  // functions are added by the initialiser
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Set once by the first initialisation and never cleared: the process-wide
// state (type objects, NumPy table) belongs to one interpreter.
std::atomic<bool> g_initialised{false};

// The module's __all__, created as an empty list when it has none.
PyRef all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return {};
  }
  if (!PyList_Check(all.get())) {
    raise_conversion_error(all.get(), "PyList");
    return {};
  }
  return all;
}

// Appends `name` to __all__ and sets the attribute.
bool add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all = all_list(module);
  if (!all) return false;
  if (PyList_Append(all.get(), name) < 0) {
    std::string cause;
    PyRef error = PyRef::steal(py::take_raised_exception());
    if (PyRef text = PyRef::steal(error ? PyObject_Str(error.get()) : nullptr)) {
      if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), nullptr)) cause = utf8;
    }
    PyErr_Clear();
    panic(PanicKind::AllAppendFailed, PanicFacts::text(cause));
  }
  return PyObject_SetAttr(module, name, value) == 0;
}

bool add_class(PyObject* module) {
  PyObject* type = ff_model_type();
  if (type == nullptr) return false;
  // Pinned: docs/compatibility.md
  PyRef name = PyRef::steal(PyUnicode_FromString("FfModel"));
  return name && add_to_module(module, name.get(), type);
}

bool add_function(PyObject* module, PyMethodDef* def) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
  if (!function) return false;
  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  return name && add_to_module(module, name.get(), function.get());
}

}  // namespace
}  // namespace mave::py

PyMODINIT_FUNC PyInit__mave() {
  using namespace mave::py;
  return mave_frame([]() -> PyObject* {
    PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, 1013));
    if (!module) return ensure_error_set();
    if (g_initialised.exchange(true)) {
      // Pinned: docs/compatibility.md
      PyErr_SetString(PyExc_ImportError, "PyO3 modules may only be initialized once per interpreter process");
      return nullptr;
    }
    // Pinned: docs/compatibility.md (the order of __all__)
    if (!add_class(module.get()) || !add_function(module.get(), &build_model_def)) {
      return ensure_error_set();
    }
    return module.release();
  });
}
