#include "base/murmur3.hpp"

#include <bit>

#include "base/endian.hpp"

namespace mave {

namespace {

constexpr std::uint64_t kC1 = 0x87C37B91114253D5ULL;
constexpr std::uint64_t kC2 = 0x4CF5AD432745937FULL;

// The scrambling of one 8-byte lane before it enters h1 or h2.
inline std::uint64_t mix_k1(std::uint64_t k) { return std::rotl(k * kC1, 31) * kC2; }
inline std::uint64_t mix_k2(std::uint64_t k) { return std::rotl(k * kC2, 33) * kC1; }

// The first n (at most 8) bytes as a little-endian number: a short last lane.
inline std::uint64_t load_le_partial(const unsigned char* p, std::size_t n) {
  std::uint64_t k = 0;
  for (std::size_t i = n; i-- > 0;) k = (k << 8) | p[i];
  return k;
}

inline std::uint64_t fmix64(std::uint64_t k) {
  k ^= k >> 33;
  k *= 0xFF51AFD7ED558CCDULL;
  k ^= k >> 33;
  k *= 0xC4CEB9FE1A85EC53ULL;
  k ^= k >> 33;
  return k;
}

}  // namespace

Hash128 murmur3_x64_128(const void* data, std::size_t len, std::uint32_t seed) {
  auto* bytes = static_cast<const unsigned char*>(data);
  std::uint64_t h1 = seed, h2 = seed;
  std::size_t nblocks = len / 16;
  for (std::size_t i = 0; i < nblocks; ++i) {
    h1 ^= mix_k1(load_le<std::uint64_t>(bytes + 16 * i));
    h1 = std::rotl(h1, 27);
    h1 += h2;
    h1 = h1 * 5 + 0x52DCE729;
    h2 ^= mix_k2(load_le<std::uint64_t>(bytes + 16 * i + 8));
    h2 = std::rotl(h2, 31);
    h2 += h1;
    h2 = h2 * 5 + 0x38495AB5;
  }
  // The last len % 16 bytes: a second lane only past the eighth.
  const unsigned char* tail = bytes + nblocks * 16;
  const std::size_t rest = len & 15;
  if (rest > 8) h2 ^= mix_k2(load_le_partial(tail + 8, rest - 8));
  if (rest > 0) h1 ^= mix_k1(rest >= 8 ? load_le<std::uint64_t>(tail) : load_le_partial(tail, rest));
  h1 ^= len;
  h2 ^= len;
  h1 += h2;
  h2 += h1;
  h1 = fmix64(h1);
  h2 = fmix64(h2);
  h1 += h2;
  h2 += h1;
  return {h1, h2};
}

}  // namespace mave
