#include "python/native/exceptions.hpp"

#include <cerrno>
#include <exception>
#include <new>
#include <string>

#include "python/helpers/pyref.hpp"
#include "python/helpers/stable_abi.hpp"

namespace mave::native {
namespace {

using py::PyRef;

// Held for the process once the module is initialised.
PyObject* g_format_error = nullptr;

PyRef text_object(std::string_view text) {
  // Messages carry file names and file contents: a stray byte must not hide
  // the failure behind a UnicodeDecodeError.
  return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyRef path_object(std::string_view path) {
  // Paths come from os.fsencode, so they decode back the same way.
  return PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

PyRef optional_int(const std::optional<std::uint64_t>& value) {
  if (!value) return PyRef::borrow(Py_None);
  return PyRef::steal(PyLong_FromUnsignedLongLong(*value));
}

// OSError(message) with `filename` set: a write that failed without an OS
// error code.
void raise_write_failure(std::string_view path, const EmbeddingsError& error) {
  PyRef filename = path_object(path);
  PyRef reason = text_object(messages::reason(error).text);
  if (!filename || !reason) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("%U: %U", filename.get(), reason.get()));
  if (!message) return;
  PyRef exception = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_OSError, message.get(), nullptr));
  if (!exception || PyObject_SetAttrString(exception.get(), "filename", filename.get()) < 0) return;
  py::raise_exception(exception.release());
}

}  // namespace

bool load_exception_types() {
  PyRef errors = PyRef::steal(PyImport_ImportModule("mave._errors"));
  if (!errors) return false;
  PyRef format_error = PyRef::steal(PyObject_GetAttrString(errors.get(), "FormatError"));
  if (!format_error) return false;
  g_format_error = format_error.release();
  return true;
}

void raise_format_error(std::string_view path, const messages::Reason& reason) {
  PyRef filename = path.empty() ? PyRef::borrow(Py_None) : path_object(path);
  PyRef why = text_object(reason.text);
  PyRef offset = optional_int(reason.offset);
  PyRef line = optional_int(reason.line);
  if (!filename || !why || !offset || !line) return;
  PyRef message = path.empty() ? PyRef::borrow(why.get())
                               : PyRef::steal(PyUnicode_FromFormat("%U: %U", filename.get(), why.get()));
  if (!message) return;
  PyObject* type = g_format_error ? g_format_error : PyExc_ValueError;
  PyRef error = PyRef::steal(PyObject_CallFunctionObjArgs(type, message.get(), filename.get(), why.get(),
                                                          offset.get(), line.get(), nullptr));
  if (error) py::raise_exception(error.release());
}

void raise_io_error(std::string_view path, const IoError& error) {
  if (error.repr() == IoError::Repr::Os) {
    PyRef filename = path_object(path);
    if (!filename) return;
    errno = error.code();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
    return;
  }
  raise_format_error(path, {messages::io_text(error), {}, {}});
}

void raise_error(std::string_view path, const EmbeddingsError& error) {
  // An operating-system failure underneath (EIO, EISDIR, ENOSPC, ENOMEM from
  // mmap) is about the file, not its contents.
  if (const IoError* io = error.io_cause(); io && io->repr() == IoError::Repr::Os) {
    raise_io_error(path, *io);
    return;
  }
  if (error.root().code == ErrorCode::WriteFailed) {
    raise_write_failure(path, error);
    return;
  }
  raise_format_error(path, messages::reason(error));
}

void raise_not_found(std::string_view path, const EmbeddingsError& error) {
  PyRef filename = path_object(path);
  PyRef reason = text_object(messages::reason(error).text);
  if (!filename || !reason) return;
  PyRef exception = PyRef::steal(
      PyObject_CallFunction(PyExc_FileNotFoundError, "iOO", ENOENT, reason.get(), filename.get()));
  if (exception) py::raise_exception(exception.release());
}

void raise_in_flight(std::string_view path) noexcept {
  try {
    throw;
  } catch (const Panic& failure) {
    PyErr_Clear();
    // Arguments that contradict each other are the caller's, not the file's.
    if (failure.kind() == PanicKind::BadSearchArguments) {
      PyErr_SetString(PyExc_ValueError, messages::panic_reason(failure).text.c_str());
      return;
    }
    // A library missing from the installation, not from the file.
    if (failure.kind() == PanicKind::BlasUnavailable) {
      PyErr_SetString(PyExc_OSError, messages::panic_reason(failure).text.c_str());
      return;
    }
    raise_format_error(path, messages::panic_reason(failure));
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

}  // namespace mave::native
