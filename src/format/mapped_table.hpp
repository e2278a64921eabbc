// A table of one vector per token mapped read-only from a file, in an
// element type other than aligned float32 (float16, bfloat16, int8, or
// float32 at an offset that is not a multiple of 4), optionally reached
// through a token -> row mapping and scaled by a weight per token. It
// presents one logical row per token: row(t) = table[mapping[t]] x weights[t],
// converted to float32 (the static sentence models of src/static).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/io.hpp"

namespace mave {

enum class TableElement : std::uint8_t { F32, F16, BF16, I8 };

// The exact float32 value of an IEEE binary16 or a bfloat16 number.
float float_from_f16(std::uint16_t bits);
inline float float_from_bf16(std::uint16_t bits) {
  const std::uint32_t wide = std::uint32_t{bits} << 16;
  float f;
  __builtin_memcpy(&f, &wide, sizeof f);
  return f;
}

std::size_t element_bytes(TableElement element);

class MappedTable {
 public:
  // `values` holds table_rows x cols elements, row-major, little-endian;
  // `token_rows` is empty (token t reads row t: table_rows is then the number
  // of tokens) or names a row below table_rows for every token; `weights` is
  // empty or holds one value per token.
  MappedTable(TableElement element, std::size_t table_rows, std::size_t cols, Mapping values,
              std::vector<std::uint32_t> token_rows, std::vector<float> weights);

  // One row per token.
  std::size_t rows() const { return tokens_; }
  std::size_t cols() const { return cols_; }
  TableElement element() const { return element_; }
  std::size_t table_rows() const { return table_rows_; }
  bool has_mapping() const { return !token_rows_.empty(); }
  bool has_weights() const { return !weights_.empty(); }
  // The bytes the table, mapping and weights take in the file.
  std::size_t stored_bytes() const;

  // The table row of token i (checked).
  std::size_t table_row(std::size_t i) const;
  // The bytes of table row r, for prefetching.
  const std::byte* row_bytes(std::size_t r) const {
    return values_.data() + r * cols_ * element_bytes(element_);
  }
  std::size_t bytes_per_row() const { return cols_ * element_bytes(element_); }

  // Row i (converted, scaled) into out[0 .. cols). Checks the index.
  void row_into(std::size_t i, float* out) const;
  // Rows [begin, begin + n) into out, row-major (n x cols). Checks the range.
  void rows_into(std::size_t begin, std::size_t n, float* out) const;
  // acc[j] = acc[j] + row(i)[j], in float32, for every j. Checks the index.
  void add_row(std::size_t i, float* acc) const;

 private:
  TableElement element_;
  std::size_t table_rows_, cols_, tokens_;
  Mapping values_;
  std::vector<std::uint32_t> token_rows_;
  std::vector<float> weights_;
};

}  // namespace mave
