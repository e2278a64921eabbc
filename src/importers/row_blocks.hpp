// A float32 matrix that grows a block of rows at a time, for readers of
// formats that do not say (or cannot be trusted to say) how many rows follow.
//
// Memory is taken only when a row arrives, so a count in a file never decides
// an allocation, and the matrix is held once: no doubling growth and no copy
// into a final array. The last block is at most kBlockBytes too large.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "base/io.hpp"

namespace mave {

class RowBlocks {
 public:
  static constexpr std::size_t kBlockBytes = std::size_t{8} << 20;

  // `expected_rows` (what the rest of the file could hold, not a count read
  // from it) keeps the blocks of a small file small.
  RowBlocks(std::size_t cols, std::size_t expected_rows)
      : cols_(cols),
        rows_per_block_(std::clamp<std::size_t>(
            expected_rows, 1,
            std::max<std::size_t>(1, kBlockBytes / sizeof(float) / std::max<std::size_t>(cols, 1)))) {}

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }

  // Room for one more row (its values uninitialised); it counts from now on.
  float* append_row() {
    if (rows_ == blocks_.size() * rows_per_block_) {
      // Uninitialised: every value is written by the reader before it is used.
      // Huge pages, asked for before the first touch, save most page faults.
      blocks_.emplace_back(new float[rows_per_block_ * cols_]);
      advise_huge_pages(blocks_.back().get(), rows_per_block_ * cols_ * sizeof(float));
    }
    return row_mut(rows_++);
  }
  // Forgets the last row (a reader that dropped its word).
  void pop_row() { --rows_; }

  const float* row(std::size_t i) const {
    return blocks_[i / rows_per_block_].get() + (i % rows_per_block_) * cols_;
  }
  float* row_mut(std::size_t i) { return blocks_[i / rows_per_block_].get() + (i % rows_per_block_) * cols_; }

 private:
  std::size_t cols_;
  std::size_t rows_per_block_;
  std::size_t rows_ = 0;
  std::vector<std::unique_ptr<float[]>> blocks_;
};

}  // namespace mave
