// A writable one-dimensional float32 view of memory the caller owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mave {

// Element i lies at data + i * byte_stride. The stride is kept in bytes so that
// arrays whose stride is not a multiple of 4 (a float field of a packed record)
// are addressed correctly; every access copies bytes, so alignment is free.
struct TargetView {
  std::byte* data;
  std::size_t len;
  std::ptrdiff_t byte_stride;

  // Stride of one float32 element: the layout whose sum of squares uses the
  // eight partial sums.
  bool is_contiguous() const { return byte_stride == 4 || len < 2; }

  std::byte* at(std::size_t i) const { return data + static_cast<std::ptrdiff_t>(i) * byte_stride; }
  float get(std::size_t i) const {
    float v;
    std::memcpy(&v, at(i), sizeof v);
    return v;
  }
  void set(std::size_t i, float v) const { std::memcpy(at(i), &v, sizeof v); }
};

// A writable two-dimensional float32 view: row r is the TargetView of `cols`
// elements at data + r * row_stride with byte stride col_stride.
struct TargetMatrix {
  std::byte* data;
  std::size_t rows;
  std::size_t cols;
  std::ptrdiff_t row_stride;
  std::ptrdiff_t col_stride;

  TargetView row(std::size_t r) const {
    return TargetView{data + static_cast<std::ptrdiff_t>(r) * row_stride, cols, col_stride};
  }
};

}  // namespace mave
