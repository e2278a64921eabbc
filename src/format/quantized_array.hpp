// The quantized matrix chunk: product-quantized rows whose codes stay in a
// read-only mapping of the file and are rebuilt on lookup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "format/chunk.hpp"
#include "format/io.hpp"

namespace mave {

class MappedQuantizedArray {
 public:
  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  // Rebuilds row i into out[0 .. cols).
  void row_into(std::size_t i, float* out) const;
  // Rebuilds the listed rows, in order, into out (indices.size() x cols).
  void rows_into(std::span<const std::uint64_t> indices, float* out) const;

 private:
  std::size_t rows_ = 0, cols_ = 0;
};

Result<MappedQuantizedArray> read_mapped_quantized_array(BufferedReader& r);

}  // namespace mave
