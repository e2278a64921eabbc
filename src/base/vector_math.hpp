// Float32 arithmetic whose order is part of the results: the eight-partial-sum
// dot product and the scaling to unit length. The build forbids contraction
// into fused multiply-adds and fast-math, so each product and sum is rounded
// to float32 as written.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <span>

namespace mave {

// Products of elements 8b + k go to partial sum k; then
// (((p0 + p4) + (p1 + p5)) + (p2 + p6)) + (p3 + p7), then the tail in order.
float dot8(const float* a, const float* b, std::size_t n);

// acc[j] = acc[j] + rows[0][j] + rows[1][j] + ..., each addition rounded to
// float32 in the order of `rows`, for every j < n: the same values, bit for
// bit, as adding one whole row after the other. No row may overlap acc.
void add_rows_to(float* acc, std::size_t n, std::span<const float* const> rows);

// Sums rows into acc through add_rows_to a group at a time, so that the cache
// misses of a group's rows are in flight together. Groups follow each other in
// the order the rows are added, so every element is still summed in that
// order. Call flush() after the last row.
class GroupedRowSum {
 public:
  static constexpr std::size_t kGroup = 32;

  GroupedRowSum(float* acc, std::size_t n) : acc_(acc), n_(n) {}

  void add(const float* row) {
    group_[size_++] = row;
    if (size_ == kGroup) flush();
  }
  void flush() {
    if (size_ != 0) add_rows_to(acc_, n_, std::span(group_.data(), size_));
    size_ = 0;
  }

 private:
  float* acc_;
  std::size_t n_;
  std::array<const float*, kGroup> group_;
  std::size_t size_ = 0;
};

// A square n x n matrix p regrouped for project(): ceil(n / 16) blocks of
// n x 16 values, block b holding for each column j the values p[16b + l][j]
// (l < 16) side by side, zeros past the last row. The blocks start on a
// 64-byte boundary so that no load of a block crosses a cache line.
class ProjectionBlocks {
 public:
  static constexpr std::size_t kRows = 16;

  ProjectionBlocks() = default;
  // `p` holds n * n values, row-major.
  ProjectionBlocks(std::span<const float> p, std::size_t n);

  std::size_t n() const { return n_; }
  const float* data() const { return data_.get(); }

 private:
  struct Free {
    void operator()(float* p) const;
  };
  std::size_t n_ = 0;
  std::unique_ptr<float[], Free> data_;
};

// The instruction sets project() can use.
enum class VectorWidth { Bits128, Bits256, Bits512 };

// The widest width this processor and its system support (128 everywhere).
VectorWidth widest_vector_width();

// out[k] = dot8(row k of the matrix, x, n) for every k < n, bit for bit:
// sixteen rows at once, each lane keeping its row's eight partial sums and
// tail, so only the number of rows worked on together depends on the
// processor. `width` must be supported (widest_vector_width() at most).
void project(const ProjectionBlocks& p, const float* x, float* out);
void project(const ProjectionBlocks& p, const float* x, float* out, VectorWidth width);

// Sequential sum of squares: s = 0, then each square in index order.
float sequential_sum_of_squares(const float* v, std::size_t n);

// Scales v to unit L2 length in place and returns the norm; a zero norm leaves
// v as it is, a NaN norm still divides. The sum of squares uses the eight
// partial sums when the vector's final home is contiguous (or n < 2) and the
// sequential order for any other stride.
float scale_to_unit_norm(float* v, std::size_t n, bool contiguous = true);

}  // namespace mave
