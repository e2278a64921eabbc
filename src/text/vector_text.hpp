// The one-line debug text of a one-dimensional float32 vector that `eval`
// prints: its elements, then shape, strides, memory layout and dimensions.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace mave {

// A float32 never needs more: sign, 9 significant digits, and at most 16
// integer digits or an exponent in the positional and scientific forms.
inline constexpr std::size_t kMaxElementText = 32;

// Writes the shortest round-trip text of `x` ("0.1", "-0.0", "1e16", "NaN",
// "-inf", ...) into `out` and returns its length.
std::size_t format_element(float x, char* out);

// Appends the text for `len` elements, element i read at data[i * stride]
// (stride in elements, any sign). No line end is appended.
void append_vector_text(std::string& out, const float* data, std::size_t len, std::ptrdiff_t stride);

// A contiguous vector: stride 1, or 0 when it is empty.
inline void append_vector_text(std::string& out, std::span<const float> values) {
  append_vector_text(out, values.data(), values.size(), values.empty() ? 0 : 1);
}

}  // namespace mave
