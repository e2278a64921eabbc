#include "base/murmur3.hpp"

#include <bit>

#include "base/endian.hpp"

namespace mave {

namespace {

constexpr std::uint64_t kC1 = 0x87C37B91114253D5ULL;
constexpr std::uint64_t kC2 = 0x4CF5AD432745937FULL;

// Clang rewrites std::rotl of a product as two multiplies and an or (it folds
// the left shift into a second constant); its own rotate builtin stays a rol.
inline std::uint64_t rotl64(std::uint64_t x, int r) {
#if defined(__clang__)
  return __builtin_rotateleft64(x, static_cast<std::uint64_t>(r));
#else
  return std::rotl(x, r);
#endif
}

// The scrambling of one 8-byte lane before it enters h1 or h2.
inline std::uint64_t mix_k1(std::uint64_t k) { return rotl64(k * kC1, 31) * kC2; }
inline std::uint64_t mix_k2(std::uint64_t k) { return rotl64(k * kC2, 33) * kC1; }

// The n (1 to 8) bytes at p as a little-endian number, for a short last lane.
// `before` bytes of the same input precede p: with 8 - n of them, one load
// ending at p + n, shifted down, reads them; otherwise two overlapping loads
// do, so nothing past the input is read and no byte loop runs.
inline std::uint64_t load_le_partial(const unsigned char* p, std::size_t n, std::size_t before) {
  if (n + before >= 8) return load_le<std::uint64_t>(p + n - 8) >> (64 - 8 * n);
  if (n >= 4) {
    return load_le<std::uint32_t>(p) | (std::uint64_t{load_le<std::uint32_t>(p + n - 4)} << (8 * (n - 4)));
  }
  return std::uint64_t{p[0]} | (std::uint64_t{p[n / 2]} << (8 * (n / 2))) |
         (std::uint64_t{p[n - 1]} << (8 * (n - 1)));
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
    h1 = rotl64(h1, 27);
    h1 += h2;
    h1 = h1 * 5 + 0x52DCE729;
    h2 ^= mix_k2(load_le<std::uint64_t>(bytes + 16 * i + 8));
    h2 = rotl64(h2, 31);
    h2 += h1;
    h2 = h2 * 5 + 0x38495AB5;
  }
  // The last len % 16 bytes: a second lane only past the eighth.
  const unsigned char* tail = bytes + nblocks * 16;
  const std::size_t rest = len & 15;
  if (rest > 8) h2 ^= mix_k2(load_le_partial(tail + 8, rest - 8, len - (rest - 8)));
  if (rest > 0) h1 ^= mix_k1(load_le_partial(tail, rest < 8 ? rest : 8, len - rest));
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
