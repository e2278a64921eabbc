// How failures reach Python: PanicException for aborting failures, OSError
// for the expected failures of build_model, and the call frame that keeps C++
// exceptions out of the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <utility>

namespace mave::py {

// "pyo3_runtime.PanicException", a BaseException subclass created on first
// use and shared for the rest of the process. Borrowed; null with an
// exception set if it cannot be created.
PyObject* panic_exception_type();

// Raises PanicException(message), replacing any pending exception.
void raise_panic(std::string_view message);

// Raises exactly OSError(message): one argument, so errno, strerror and
// filename stay None and no subclass is chosen from an error code.
void raise_os_error(std::string_view message);

// The switch from a C++ exception in flight to a Python exception for what
// the bindings do not render themselves; call it only inside a catch block.
// Memory exhaustion becomes MemoryError, anything else (an aborting failure
// included: its binding renders it before it gets here) PanicException.
void raise_exception_in_flight() noexcept;

// Runs the body of a Python entry point. The body returns a new reference, or
// null with an exception set; no C++ exception leaves this frame. `translate`
// (called inside the catch block) raises the Python exception for the C++
// exception in flight.
template <class Body, class Translate>
PyObject* call_frame(Body&& body, Translate&& translate) noexcept {
  try {
    return body();
  } catch (...) {
    translate();
    return nullptr;
  }
}

}  // namespace mave::py
