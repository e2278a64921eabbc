// How failures of the core reach users of mave: ordinary Python exceptions.
// A file that cannot be opened or read raises the OSError subclass of its
// errno with the file name; a damaged or unsupported file raises
// mave.FormatError (a ValueError) naming the file and the reason; running out
// of memory raises MemoryError. PanicException is never raised here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

#include "base/error.hpp"

namespace mave::native {

// The error's display text, followed by what it wraps (the I/O error of a
// Read or Write, the inner error of a Context).
std::string reason_text(const EmbeddingsError& error);

// Fetches mave's exception classes (defined in mave._errors) once, at module
// initialisation. False with an exception set on failure.
bool load_exception_types();

// Raises mave.FormatError("<path>: <reason>") with its `filename` and
// `reason` attributes set.
void raise_format_error(std::string_view path, std::string_view reason);

// Raises the exception for a failed read of `path`: an operating-system error
// as its OSError subclass (errno, strerror, filename), anything else (a short
// file, a bad field) as FormatError with the error's display text.
void raise_read_error(std::string_view path, const EmbeddingsError& error);
void raise_io_error(std::string_view path, const IoError& error);

// The translation of the C++ exception in flight for an operation on the file
// at `path` (may be empty); call inside a catch block. An aborting failure of
// the core met there means a file whose contents contradict each other (a row
// beyond the matrix, a code beyond the centroids): FormatError. Memory
// exhaustion: MemoryError. Anything else: RuntimeError.
void raise_in_flight(std::string_view path) noexcept;

// A translator for call_frame bound to a path.
struct Translate {
  std::string_view path;
  void operator()() const noexcept { raise_in_flight(path); }
};

}  // namespace mave::native
