// The dense matrix chunk: an owned float32 matrix (built by the fastText
// conversion, written here) and the read-only mapping of one in a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "base/io.hpp"
#include "format/chunk.hpp"

namespace mave {

// Owned row-major rows x cols matrix.
class NdArray {
 public:
  NdArray() = default;
  NdArray(std::size_t rows, std::size_t cols, std::vector<float> data)
      : rows_(rows), cols_(cols), data_(std::move(data)) {}

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::span<const float> row(std::size_t i) const {
    check_index(i, rows_);
    return {data_.data() + i * cols_, cols_};
  }
  std::span<float> row_mut(std::size_t i) {
    check_index(i, rows_);
    return {data_.data() + i * cols_, cols_};
  }
  const float* row_data(std::size_t i) const { return row(i).data(); }
  const std::vector<float>& data() const { return data_; }

 private:
  std::size_t rows_ = 0, cols_ = 0;
  std::vector<float> data_;
};

// rows x cols float32 values mapped read-only from the file; exactly the data
// bytes are visible, and the mapping lives as long as this value.
class MappedNdArray {
 public:
  MappedNdArray() = default;
  MappedNdArray(std::size_t rows, std::size_t cols, Mapping mapping)
      : rows_(rows), cols_(cols), mapping_(std::move(mapping)) {}

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  // The data starts at a file offset that is a multiple of 4 and the mapping
  // at a page boundary, so rows are aligned float32 values (little-endian host).
  const float* row_data(std::size_t i) const {
    check_index(i, rows_);
    return data() + i * cols_;
  }
  // All rows; null when the matrix holds no value.
  const float* data() const { return reinterpret_cast<const float*>(mapping_.data()); }

 private:
  std::size_t rows_ = 0, cols_ = 0;
  Mapping mapping_;
};

Result<MappedNdArray> read_mapped_nd_array(BufferedReader& r);
Status write_nd_array(BufferedWriter& w, const NdArray& matrix);
// The chunk of a rows x cols row-major matrix held anywhere.
Status write_nd_array(BufferedWriter& w, std::size_t rows, std::size_t cols, const float* data);
// The chunk of a matrix produced a row at a time: `row(i, scratch)` returns
// row i, either a pointer into storage or `scratch` (cols values) after
// filling it.
using RowFunction = std::function<const float*(std::size_t i, float* scratch)>;
// How long a pointer into storage that a RowFunction returns stays valid:
// for the whole write (a matrix held in memory or mapped: rows that follow
// one another there go out together, from where they lie), or only until
// the next row is asked for (rows that arrive in blocks).
enum class RowLifetime { UntilNextRow, WholeWrite };
Status write_nd_array(BufferedWriter& w, std::size_t rows, std::size_t cols, const RowFunction& row,
                      RowLifetime lifetime);

}  // namespace mave
