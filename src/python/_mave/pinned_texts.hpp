// The pinned texts of _mave: display and debug texts of the core's errors,
// PanicException messages and the panic report, rendered from the codes and
// facts the core returns. This is the only code that knows them
// (docs/compatibility.md lists them). Free of Python, so that the C++ tests
// link it.
#pragma once

#include <string>
#include <string_view>

#include "base/error.hpp"

namespace mave::pinned {

std::string display(const EmbeddingsError& error);
std::string debug(const EmbeddingsError& error);
std::string display(const IoError& error);
std::string debug(const IoError& error);

// The PanicException message of an aborting failure.
std::string panic_message(const Panic& failure);
// The report written to fd 2 before PanicException is raised.
std::string panic_report(const Panic& failure);

std::string step_text(Step step);
std::string_view error_kind_name(ErrorKind kind);
std::string utf8_error_description(std::uint64_t valid_up_to, std::uint64_t error_len);
// Text in debug renderings: quoted, with escapes.
std::string debug_quote(std::string_view text);

}  // namespace mave::pinned
