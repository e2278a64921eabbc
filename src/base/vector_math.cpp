#include "base/vector_math.hpp"

#include <cmath>
#include <cstring>

namespace mave {

namespace {

// Four float32 lanes (GCC and Clang vector extension): lane-wise IEEE single
// additions, the same arithmetic as four scalar ones.
using F4 = float __attribute__((vector_size(16)));

inline F4 load4(const float* p) {
  F4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store4(float* p, F4 v) { std::memcpy(p, &v, sizeof v); }

}  // namespace

void add_rows_to(float* acc, std::size_t n, std::span<const float* const> rows) {
  // A block of 32 columns stays in registers while every row adds its part,
  // so each sum still runs over the rows in order; the loads of the different
  // rows are independent, so rows that miss the cache are fetched together
  // instead of one after the other. The next block of each row is asked for
  // ahead (a prefetch past a row's end is harmless: it never faults).
  constexpr std::size_t kBlock = 32;
  std::size_t j = 0;
  for (; j + kBlock <= n; j += kBlock) {
    F4 a0 = load4(acc + j), a1 = load4(acc + j + 4), a2 = load4(acc + j + 8),
       a3 = load4(acc + j + 12), a4 = load4(acc + j + 16), a5 = load4(acc + j + 20),
       a6 = load4(acc + j + 24), a7 = load4(acc + j + 28);
    for (const float* row : rows) {
      const float* r = row + j;
      __builtin_prefetch(r + kBlock);
      __builtin_prefetch(r + kBlock + 16);
      a0 = a0 + load4(r);
      a1 = a1 + load4(r + 4);
      a2 = a2 + load4(r + 8);
      a3 = a3 + load4(r + 12);
      a4 = a4 + load4(r + 16);
      a5 = a5 + load4(r + 20);
      a6 = a6 + load4(r + 24);
      a7 = a7 + load4(r + 28);
    }
    store4(acc + j, a0);
    store4(acc + j + 4, a1);
    store4(acc + j + 8, a2);
    store4(acc + j + 12, a3);
    store4(acc + j + 16, a4);
    store4(acc + j + 20, a5);
    store4(acc + j + 24, a6);
    store4(acc + j + 28, a7);
  }
  for (; j + 4 <= n; j += 4) {
    F4 a = load4(acc + j);
    for (const float* row : rows) a = a + load4(row + j);
    store4(acc + j, a);
  }
  for (; j < n; ++j) {
    float a = acc[j];
    for (const float* row : rows) a = a + row[j];
    acc[j] = a;
  }
}

float dot8(const float* a, const float* b, std::size_t n) {
  float p[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::size_t blocks = n / 8;
  for (std::size_t i = 0; i < blocks; ++i) {
    for (std::size_t k = 0; k < 8; ++k) {
      float prod = a[8 * i + k] * b[8 * i + k];
      p[k] = p[k] + prod;
    }
  }
  float s = (((p[0] + p[4]) + (p[1] + p[5])) + (p[2] + p[6])) + (p[3] + p[7]);
  for (std::size_t i = blocks * 8; i < n; ++i) {
    float prod = a[i] * b[i];
    s = s + prod;
  }
  return s;
}

float sequential_sum_of_squares(const float* v, std::size_t n) {
  float s = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    float sq = v[i] * v[i];
    s = s + sq;
  }
  return s;
}

float scale_to_unit_norm(float* v, std::size_t n, bool contiguous) {
  float sum = contiguous || n < 2 ? dot8(v, v, n) : sequential_sum_of_squares(v, n);
  float norm = std::sqrt(sum);
  if (norm != 0.0f) {
    for (std::size_t i = 0; i < n; ++i) v[i] = v[i] / norm;
  }
  return norm;
}

}  // namespace mave
