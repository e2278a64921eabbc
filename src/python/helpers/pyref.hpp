// An owning reference to a Python object: the one way the binding holds a new
// reference, so that every path out of a function releases what it took.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace mave::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (which may be null after a failed call).
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = obj_;
    obj_ = other.obj_;
    other.obj_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller (a return value, a stealing API).
  [[nodiscard]] PyObject* release() {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// For interpreter calls that must produce an object: a null result prints the
// pending exception and ends the call in the aborting failure
// "Python API call failed".
PyRef expect_object(PyObject* result);

// Makes sure an exception is pending after an interpreter call reported
// failure: SystemError "attempted to fetch exception but none was set"
// otherwise. Returns null, for `return fail();`.
std::nullptr_t ensure_error_set();

}  // namespace mave::py
