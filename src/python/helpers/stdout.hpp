// Lines written to the process's standard output handle (fd 1), not through
// Python's sys.stdout.
#pragma once

#include <string_view>

#include "base/error.hpp"

namespace mave::py {

// Writes the whole line with one write call where the OS allows, under a
// process-wide lock so that lines of different threads do not interleave
// (interrupted writes are retried); a failure ends the call in the aborting
// failure "failed printing to stdout: " + the I/O error's display text.
void print_stdout(std::string_view line);

}  // namespace mave::py
