#include "text/vector_text.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace mave {
namespace {

// Magnitudes outside [1e-4, 1e16) are shown in scientific form; both bounds
// are compared as float32.
// Pinned: docs/compatibility.md
constexpr float kPositionalLow = 1e-4f;
constexpr float kPositionalHigh = 1e16f;
static_assert(std::bit_cast<std::uint32_t>(kPositionalLow) == 0x38d1b717);
static_assert(std::bit_cast<std::uint32_t>(kPositionalHigh) == 0x5a0e1bca);

char* put(char* p, const char* text) {
  std::size_t n = std::strlen(text);
  std::memcpy(p, text, n);
  return p + n;
}

char* put_zeros(char* p, int count) {
  for (int i = 0; i < count; ++i) *p++ = '0';
  return p;
}

// Shortest digits d1..dn (no trailing zero) and decimal exponent k of a
// finite positive float32, such that a = 0.d1..dn x 10^k. to_chars picks the
// shortest string that reads back as the same float32, nearest to the exact
// value among equally short ones.
struct Digits {
  char d[12];
  int n;
  int k;
};

Digits shortest_digits(float a) {
  char sci[kMaxElementText];
  auto res = std::to_chars(sci, sci + sizeof sci, a, std::chars_format::scientific);
  const char* end = res.ptr;
  const char* p = sci;
  Digits out{};
  out.d[out.n++] = *p++;
  if (*p == '.') {
    for (++p; *p != 'e'; ++p) out.d[out.n++] = *p;
  }
  ++p;  // 'e'
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  int exponent = 0;
  std::from_chars(p, end, exponent);
  out.k = (negative ? -exponent : exponent) + 1;
  return out;
}

// Pinned: docs/compatibility.md
char* put_positional(char* p, const Digits& g) {
  if (g.k <= 0) {
    p = put(p, "0.");
    p = put_zeros(p, -g.k);
    std::memcpy(p, g.d, g.n);
    return p + g.n;
  }
  if (g.k < g.n) {
    std::memcpy(p, g.d, g.k);
    p += g.k;
    *p++ = '.';
    std::memcpy(p, g.d + g.k, g.n - g.k);
    return p + (g.n - g.k);
  }
  std::memcpy(p, g.d, g.n);
  p = put_zeros(p + g.n, g.k - g.n);
  return put(p, ".0");
}

// Pinned: docs/compatibility.md
char* put_scientific(char* p, const Digits& g) {
  *p++ = g.d[0];
  if (g.n > 1) {
    *p++ = '.';
    std::memcpy(p, g.d + 1, g.n - 1);
    p += g.n - 1;
  }
  *p++ = 'e';
  return std::to_chars(p, p + 8, g.k - 1).ptr;
}

void append_number(std::string& out, std::int64_t value) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

}  // namespace

// Pinned: docs/compatibility.md (every element text below)
std::size_t format_element(float x, char* out) {
  char* p = out;
  if (std::isnan(x)) return static_cast<std::size_t>(put(p, "NaN") - out);
  if (std::signbit(x)) *p++ = '-';
  const float a = std::fabs(x);
  if (std::isinf(a)) {
    p = put(p, "inf");
  } else if (a == 0.0f) {
    p = put(p, "0.0");
  } else if (a >= kPositionalHigh || a < kPositionalLow) {
    p = put_scientific(p, shortest_digits(a));
  } else {
    p = put_positional(p, shortest_digits(a));
  }
  return static_cast<std::size_t>(p - out);
}

// Pinned: docs/compatibility.md (the line eval prints)
void append_vector_text(std::string& out, const float* data, std::size_t len, std::ptrdiff_t stride) {
  char element[kMaxElementText];
  out += '[';
  for (std::size_t i = 0; i < len; ++i) {
    if (i > 0) out += ", ";
    out.append(element, format_element(data[static_cast<std::ptrdiff_t>(i) * stride], element));
  }
  out += "], shape=[";
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, len).ptr);
  out += "], strides=[";
  append_number(out, stride);
  // A one-dimensional view is both row- and column-major exactly when its
  // elements are adjacent (or there are fewer than two).
  out += (len < 2 || stride == 1) ? "], layout=CFcf (0xf)" : "], layout=Custom (0x0)";
  out += ", const ndim=1";
}

}  // namespace mave
