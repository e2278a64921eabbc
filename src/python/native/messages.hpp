// mave's own words for the core's failures: plain English that says what is
// wrong and where (byte offset or line, chunk). Free of Python, so that the
// C++ tests link it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace mave::messages {

// What a FormatError carries besides the file name.
struct Reason {
  std::string text;  // where and what, e.g. "byte 40: the file ends while reading ..."
  std::optional<std::uint64_t> offset;
  std::optional<std::uint64_t> line;
};

Reason reason(const EmbeddingsError& error);
// An aborting failure met while using a file (a damaged row or code).
Reason panic_reason(const Panic& failure);
// An I/O error in words, e.g. "the file ends too early" or the OS's text.
std::string io_text(const IoError& error);
// "reading the number of dimensions"
std::string step_name(Step step);

}  // namespace mave::messages
