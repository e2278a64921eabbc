// What the fuzz targets share: the input as a real file (the readers map the
// matrix, so they need a file descriptor), and a check that turns a broken
// invariant into a crash the fuzzer reports.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/error.hpp"
#include "base/io.hpp"

namespace mave::fuzz {

// An anonymous in-memory file holding `size` bytes, positioned at offset 0.
File memory_file(const std::uint8_t* data, std::size_t size);
// An empty anonymous in-memory file.
File empty_memory_file();

// Aborts when `condition` does not hold: a finding, like a sanitizer report.
void require(bool condition, const char* what);

// Whether both renderings (_mave's pinned texts, mave's own message) of a
// failure say something.
bool renders(const EmbeddingsError& error);

}  // namespace mave::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
