// MurmurHash3, x64 128-bit variant: the floret n-gram hash, also used (with a
// per-process seed) for the exact-match word tables.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mave {

struct Hash128 {
  std::uint64_t h1;  // low 64 bits
  std::uint64_t h2;  // high 64 bits
};

Hash128 murmur3_x64_128(const void* data, std::size_t len, std::uint32_t seed);

}  // namespace mave
