// Little-endian loads and stores: the only place where file bytes become wider
// values. Everything goes through memcpy so that unaligned data is fine.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mave {

template <class T>
inline T byteswap_if_big_endian(T v) {
  if constexpr (std::endian::native == std::endian::big) {
    using U = std::conditional_t<sizeof(T) == 8, std::uint64_t,
                                 std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint8_t>>;
    U u = std::bit_cast<U>(v);
    if constexpr (sizeof(T) == 8) u = __builtin_bswap64(u);
    if constexpr (sizeof(T) == 4) u = __builtin_bswap32(u);
    return std::bit_cast<T>(u);
  } else {
    return v;
  }
}

template <class T>
inline T load_le(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return byteswap_if_big_endian(v);
}

template <class T>
inline void store_le(void* p, T v) {
  v = byteswap_if_big_endian(v);
  std::memcpy(p, &v, sizeof(T));
}

}  // namespace mave
