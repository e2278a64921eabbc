// How failures of the core reach users of mave: ordinary Python exceptions
// with mave's own messages (python/native/messages.hpp). A file that cannot
// be opened, read or written raises the OSError subclass of its errno with
// the file name; a damaged or unsupported file raises mave.FormatError (a
// ValueError) naming the file, the reason and, where known, the byte offset
// or line; running out of memory raises MemoryError. PanicException is never
// raised here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "base/error.hpp"
#include "python/native/messages.hpp"

namespace mave::native {

// Fetches mave's exception classes (defined in mave._errors) once, at module
// initialisation. False with an exception set on failure.
bool load_exception_types();

// Raises mave.FormatError("<path>: <reason>") with its `filename`, `reason`,
// `offset` and `line` attributes set.
void raise_format_error(std::string_view path, const messages::Reason& reason);

// Raises the exception for a failure on the file at `path`: an
// operating-system error (of reading or of writing) as its OSError subclass
// (errno, strerror, filename); a write that failed otherwise as OSError
// saying that writing failed; anything else (a short file, a bad field) as
// FormatError.
void raise_error(std::string_view path, const EmbeddingsError& error);
void raise_io_error(std::string_view path, const IoError& error);

// The translation of the C++ exception in flight for an operation on the file
// at `path` (may be empty); call inside a catch block. An aborting failure of
// the core met there means a file whose contents contradict each other (a row
// beyond the matrix, a code beyond the centroids): FormatError; a search
// with arguments that contradict each other: ValueError; a search without a
// loaded BLAS: OSError. Memory exhaustion: MemoryError. Anything else:
// RuntimeError.
void raise_in_flight(std::string_view path) noexcept;

// A translator for call_frame bound to a path.
struct Translate {
  std::string_view path;
  void operator()() const noexcept { raise_in_flight(path); }
};

}  // namespace mave::native
