// What the extensions use in place of the CPython macros and calls that the
// stable ABI of CPython 3.11 (Py_LIMITED_API=0x030B0000) leaves out, so that
// one build of each extension loads in every CPython from 3.11 on. Each is
// the checked function the macro stands for, or the 3.11 spelling of a call
// added later.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

#include "python/helpers/pyref.hpp"

namespace mave::py {

// The exception being raised, normalised, with its traceback, as a new
// reference; null, with nothing pending afterwards, when none is.
inline PyObject* take_raised_exception() {
#if !defined(Py_LIMITED_API) || Py_LIMITED_API >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_DECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Raises `exception` (an exception instance; the reference is taken over).
inline void raise_exception(PyObject* exception) {
#if !defined(Py_LIMITED_API) || Py_LIMITED_API >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  if (exception == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Py_INCREF(type);
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// What type(obj)'s tp_name holds, for messages in the style of Python's own:
// a class statement's name ("Foo"), or a compiled type's dotted name
// ("numpy.ndarray"; builtins without their module: "str").
inline PyRef tp_name_of(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) return PyRef::steal(PyType_GetName(type));
  PyObject* type_object = reinterpret_cast<PyObject*>(type);
  PyRef name = PyRef::steal(PyObject_GetAttrString(type_object, "__qualname__"));
  PyRef module = PyRef::steal(PyObject_GetAttrString(type_object, "__module__"));
  if (!name || !module) return PyRef();
  if (PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "builtins") != 0) {
    return PyRef::steal(PyUnicode_FromFormat("%U.%U", module.get(), name.get()));
  }
  return name;
}

// type(obj)'s tp_name as UTF-8, for a "%s" in PyErr_Format; an exception
// pending before is pending again afterwards.
class TypeName {
 public:
  explicit TypeName(PyObject* obj) {
    PyObject* pending = take_raised_exception();
    if (PyRef name = tp_name_of(obj)) {
      if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), nullptr)) name_ = utf8;
    }
    PyErr_Clear();
    if (pending != nullptr) raise_exception(pending);
  }
  const char* c_str() const { return name_.c_str(); }

 private:
  std::string name_ = "?";
};

// A new instance of `type` and the release of one, through the type's
// tp_alloc and tp_free slots.
inline PyObject* alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}
inline void free_instance(PyObject* self) {
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
  free(self);
}

// The bytes of a bytes object (which must be one).
inline std::string_view bytes_view(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) return {};
  return {data, static_cast<std::size_t>(size)};
}

// An item of the list or tuple PySequence_Fast returned (borrowed).
inline PyObject* fast_item(PyObject* fast, Py_ssize_t i) {
  return PyList_Check(fast) ? PyList_GetItem(fast, i) : PyTuple_GetItem(fast, i);
}

}  // namespace mave::py
