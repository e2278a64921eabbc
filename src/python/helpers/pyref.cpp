#include "python/helpers/pyref.hpp"

#include "base/error.hpp"

namespace mave::py {

PyRef expect_object(PyObject* result) {
  if (result == nullptr) [[unlikely]] {
    if (PyErr_Occurred()) PyErr_Print();
    panic(PanicKind::PythonCallFailed);
  }
  return PyRef::steal(result);
}

std::nullptr_t ensure_error_set() {
  if (!PyErr_Occurred()) {
    // Pinned: docs/compatibility.md
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return nullptr;
}

}  // namespace mave::py
