#include "python/_mave/frame.hpp"

#include <unistd.h>

#include <string>

#include "base/error.hpp"
#include "python/_mave/pinned_texts.hpp"

namespace mave::py {

void raise_pinned_in_flight() noexcept {
  try {
    throw;
  } catch (const Panic& failure) {
    std::string message;
    try {
      message = pinned::panic_message(failure);
      // Pinned: docs/compatibility.md (a report holding the message, before the exception)
      const std::string report = pinned::panic_report(failure);
      // One write, so that the report is not interleaved with other output.
      [[maybe_unused]] auto n = ::write(2, report.data(), report.size());
    } catch (...) {
      // Out of memory while rendering: the exception still says what failed.
      message = panic_kind_name(failure.kind());
    }
    raise_panic(message);
  } catch (...) {
    raise_exception_in_flight();
  }
}

}  // namespace mave::py
