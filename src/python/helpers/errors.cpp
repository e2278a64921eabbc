#include "python/helpers/errors.hpp"

#include <sys/uio.h>

#include <exception>
#include <new>

#include "python/helpers/pyref.hpp"
#include "python/helpers/stable_abi.hpp"

namespace mave::py {
namespace {

// Pinned: docs/compatibility.md
constexpr const char kPanicExceptionDoc[] =
    "\n"
    "Raised when the compiled code of this module fails.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, so that it normally travels up\n"
    "through the whole stack and ends the interpreter.\n";

// Created once under the interpreter lock and never released.
PyObject* g_panic_exception = nullptr;

PyRef text_object(std::string_view text) {
  // Messages carry file and OS texts; a stray byte must not hide the failure.
  return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

void raise_with_message(PyObject* type, std::string_view message) {
  PyRef msg = text_object(message);
  if (!msg) return;
  PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(type, msg.get(), nullptr));
  if (!exc) return;
  py::raise_exception(exc.release());
}

// The report a failure that no binding rendered writes before it unwinds.
// One gathered write, and no allocation: this runs while unwinding, possibly
// out of memory.
void report_to_stderr(std::string_view message) {
  static constexpr char kPrefix[] = "_mave panicked: ";
  iovec parts[3] = {
      {const_cast<char*>(kPrefix), sizeof kPrefix - 1},
      {const_cast<char*>(message.data()), message.size()},
      {const_cast<char*>("\n"), 1},
  };
  [[maybe_unused]] auto n = ::writev(2, parts, 3);
}

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_exception == nullptr) {
    // Pinned: docs/compatibility.md (name, base class and docstring)
    g_panic_exception = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicExceptionDoc,
                                                  PyExc_BaseException, nullptr);
  }
  return g_panic_exception;
}

void raise_panic(std::string_view message) {
  // Pinned: docs/compatibility.md
  // A pending error (a failed NumPy import, say) is replaced, not chained.
  PyErr_Clear();
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  raise_with_message(type, message);
}

void raise_os_error(std::string_view message) {
  PyErr_Clear();
  // Pinned: docs/compatibility.md (exactly OSError, one argument)
  raise_with_message(PyExc_OSError, message);
}

void raise_exception_in_flight() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    report_to_stderr(e.what());
    raise_panic(e.what());
  } catch (...) {
    report_to_stderr("unknown C++ exception");
    raise_panic("unknown C++ exception");
  }
}

}  // namespace mave::py
