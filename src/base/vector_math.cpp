#include "base/vector_math.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

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

constexpr std::size_t kBlockAlignment = 64;

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
    F4 a0 = load4(acc + j), a1 = load4(acc + j + 4), a2 = load4(acc + j + 8), a3 = load4(acc + j + 12),
       a4 = load4(acc + j + 16), a5 = load4(acc + j + 20), a6 = load4(acc + j + 24), a7 = load4(acc + j + 28);
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

ProjectionBlocks::ProjectionBlocks(std::span<const float> p, std::size_t n) : n_(n) {
  const std::size_t size = (n + kRows - 1) / kRows * kRows * n;
  if (size == 0) return;
  data_.reset(static_cast<float*>(::operator new[](size * sizeof(float), std::align_val_t{kBlockAlignment})));
  float* blocks = data_.get();
  std::fill(blocks, blocks + size, 0.0f);
  for (std::size_t k = 0; k < n; ++k) {
    float* block = blocks + k / kRows * kRows * n + k % kRows;
    for (std::size_t j = 0; j < n; ++j) block[j * kRows] = p[k * n + j];
  }
}

void ProjectionBlocks::Free::operator()(float* p) const {
  ::operator delete[](p, std::align_val_t{kBlockAlignment});
}

namespace {

// Vectors of 4, 8 and 16 lanes that may be loaded from any float.
using Lanes4 = float __attribute__((vector_size(16), aligned(4), may_alias));
using Lanes8 = float __attribute__((vector_size(32), aligned(4), may_alias));
using Lanes16 = float __attribute__((vector_size(64), aligned(4), may_alias));

// One pass of project() over every block with vectors V of L lanes, L
// dividing kRows: lane l of a vector works on row 16b + h + l. The loop
// keeps dot8's eight partial sums (one vector each), joins them as dot8
// does, then adds the tail in order; each lane does exactly the scalar
// operations of its row, rounded the same way.
template <class V>
[[gnu::always_inline]] inline void project_lanes(const ProjectionBlocks& p, const float* x, float* out) {
  constexpr std::size_t L = sizeof(V) / sizeof(float);
  constexpr std::size_t R = ProjectionBlocks::kRows;
  const std::size_t n = p.n(), blocks = (n + R - 1) / R, eighths = n / 8;
  for (std::size_t b = 0; b < blocks; ++b) {
    // The zero rows past n are computed only within a vector.
    for (std::size_t h = 0; h < R && b * R + h < n; h += L) {
      const float* column = p.data() + b * R * n + h;
      V p0{}, p1{}, p2{}, p3{}, p4{}, p5{}, p6{}, p7{};
      for (std::size_t i = 0; i < eighths; ++i) {
        const float* c = column + 8 * i * R;
        const float* xs = x + 8 * i;
        p0 = p0 + *reinterpret_cast<const V*>(c) * xs[0];
        p1 = p1 + *reinterpret_cast<const V*>(c + R) * xs[1];
        p2 = p2 + *reinterpret_cast<const V*>(c + 2 * R) * xs[2];
        p3 = p3 + *reinterpret_cast<const V*>(c + 3 * R) * xs[3];
        p4 = p4 + *reinterpret_cast<const V*>(c + 4 * R) * xs[4];
        p5 = p5 + *reinterpret_cast<const V*>(c + 5 * R) * xs[5];
        p6 = p6 + *reinterpret_cast<const V*>(c + 6 * R) * xs[6];
        p7 = p7 + *reinterpret_cast<const V*>(c + 7 * R) * xs[7];
      }
      V sum = (((p0 + p4) + (p1 + p5)) + (p2 + p6)) + (p3 + p7);
      for (std::size_t j = eighths * 8; j < n; ++j) {
        sum = sum + *reinterpret_cast<const V*>(column + j * R) * x[j];
      }
      const std::size_t first = b * R + h;
      std::memcpy(out + first, &sum, std::min(L, n - first) * sizeof(float));
    }
  }
}

void project_128(const ProjectionBlocks& p, const float* x, float* out) { project_lanes<Lanes4>(p, x, out); }

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MAVE_WIDE_VECTORS 1

// Plain multiplies and adds (no FMA is enabled), so wider registers change
// only how many rows are worked on together, never a result.
[[gnu::target("avx")]] void project_256(const ProjectionBlocks& p, const float* x, float* out) {
  project_lanes<Lanes8>(p, x, out);
}

[[gnu::target("avx512f")]] void project_512(const ProjectionBlocks& p, const float* x, float* out) {
  project_lanes<Lanes16>(p, x, out);
}

// Whether the processor has the instructions and the system saves the
// registers (XCR0) for each width.
VectorWidth detect_vector_width() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return VectorWidth::Bits128;
  const bool osxsave = (c >> 27) & 1, avx = (c >> 28) & 1;
  if (!osxsave || !avx) return VectorWidth::Bits128;
  unsigned xcr0 = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  if ((xcr0 & 0x6) != 0x6) return VectorWidth::Bits128;  // SSE and AVX state
  const bool avx512f = __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && ((b >> 16) & 1);
  if (avx512f && (xcr0 & 0xE0) == 0xE0) return VectorWidth::Bits512;  // opmask and ZMM state
  return VectorWidth::Bits256;
}
#else
VectorWidth detect_vector_width() { return VectorWidth::Bits128; }
#endif

}  // namespace

VectorWidth widest_vector_width() {
  static const VectorWidth widest = detect_vector_width();
  return widest;
}

void project(const ProjectionBlocks& p, const float* x, float* out) {
  project(p, x, out, widest_vector_width());
}

void project(const ProjectionBlocks& p, const float* x, float* out, VectorWidth width) {
  switch (width) {
#ifdef MAVE_WIDE_VECTORS
    case VectorWidth::Bits512:
      project_512(p, x, out);
      return;
    case VectorWidth::Bits256:
      project_256(p, x, out);
      return;
#else
    case VectorWidth::Bits512:
    case VectorWidth::Bits256:
#endif
    case VectorWidth::Bits128:
      break;
  }
  project_128(p, x, out);
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
