// The closed set of storage kinds and the dispatch on a storage chunk.
#pragma once

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "format/mapped_table.hpp"
#include "format/nd_array.hpp"
#include "format/quantized_array.hpp"

namespace mave {

class Storage {
 public:
  using Variant = std::variant<NdArray, MappedNdArray, MappedQuantizedArray, MappedTable>;

  template <class S>
  explicit Storage(S storage) : v_(std::move(storage)) {}

  std::size_t rows() const;
  std::size_t cols() const;

  // Row i in place for the dense kinds; nullptr for a quantized matrix or a
  // converted table, whose rows must be rebuilt. Checks the index.
  const float* dense_row(std::size_t i) const;
  // Asks for the memory of row i: its first cache line (the stream of the
  // copy that follows fetches the rest) or, with `whole`, all of it. Nothing
  // for an index beyond the matrix.
  void prefetch_row(std::size_t i, bool whole = false) const;
  // Copies (or rebuilds) row i into out[0 .. cols). Checks the index.
  void row_into(std::size_t i, float* out) const;
  // Rows [begin, begin + n) into out, row-major (n x cols). Checks the range.
  void rows_into(std::size_t begin, std::size_t n, float* out) const;
  // acc[j] = acc[j] + row[j] for each listed row in order, in float32. Every
  // index is checked before anything is added. `scratch` holds rebuilt rows
  // (reused, it allocates only to grow, to one group of rows at most).
  void add_rows(std::span<const std::uint64_t> indices, float* acc, std::vector<float>& scratch) const;

  const Variant& variant() const { return v_; }

 private:
  Variant v_;
};

Result<Storage> read_storage_chunk(BufferedReader& r);

}  // namespace mave
