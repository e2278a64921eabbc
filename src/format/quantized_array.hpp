// The quantized matrix chunk: product-quantized rows whose codes stay in a
// read-only mapping of the file and are rebuilt on lookup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/io.hpp"
#include "base/vector_math.hpp"
#include "format/chunk.hpp"

namespace mave {

// The centroids of every subquantizer and the optional projection that turns
// their concatenation into a row.
class ProductQuantizer {
 public:
  // `subquantizers` holds quantized_len x n_centroids x sub_len values, at
  // least one; `projection`, when present, reconstructed_len^2 values.
  ProductQuantizer(std::size_t quantized_len, std::size_t n_centroids, std::size_t sub_len,
                   std::vector<float> subquantizers, std::optional<std::vector<float>> projection);

  std::size_t quantized_len() const { return quantized_len_; }
  std::size_t n_centroids() const { return n_centroids_; }
  std::size_t sub_len() const { return sub_len_; }
  std::size_t reconstructed_len() const { return quantized_len_ * sub_len_; }
  bool has_projection() const { return projection_.has_value(); }
  // Centroid c of subquantizer q starts at (q * n_centroids + c) * sub_len.
  std::span<const float> subquantizers() const { return subquantizers_; }
  // Row-major reconstructed_len^2 values; empty without a projection.
  std::span<const float> projection() const {
    return projection_ ? std::span<const float>(*projection_) : std::span<const float>();
  }

  // Rebuilds the row of `codes` (quantized_len bytes) into out[0 ..
  // reconstructed_len); `scratch` holds the unprojected row when there is a
  // projection (reused, it allocates only to grow). Element k of the
  // projected row is dot8 of the projection's row k and the unprojected row,
  // as if computed row by row. A code not below n_centroids is an aborting
  // failure.
  void reconstruct(const std::uint8_t* codes, float* out, std::vector<float>& scratch) const;

 private:
  // Concatenates the centroids the codes select.
  void concatenate(const std::uint8_t* codes, float* out) const;

  std::size_t quantized_len_, n_centroids_, sub_len_;
  std::vector<float> subquantizers_;
  std::optional<std::vector<float>> projection_;  // row-major, reconstructed_len^2
  // A copy of projection_ in the layout of project(), made at construction.
  ProjectionBlocks projection_blocks_;
};

class MappedQuantizedArray {
 public:
  // `codes` holds exactly rows x quantized_len bytes, and `norms`, when
  // present, one value per row.
  MappedQuantizedArray(ProductQuantizer quantizer, std::optional<std::vector<float>> norms, Mapping codes);

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return quantizer_.reconstructed_len(); }
  // Rebuilds row i into out[0 .. cols).
  void row_into(std::size_t i, float* out) const;
  // Rebuilds the listed rows, in order, into out (indices.size() x cols).
  // Every index is checked before anything is written.
  void rows_into(std::span<const std::uint64_t> indices, float* out) const;

  const ProductQuantizer& quantizer() const { return quantizer_; }
  // rows() x quantized_len codes, row-major.
  const std::uint8_t* codes() const { return reinterpret_cast<const std::uint8_t*>(codes_.data()); }
  const std::optional<std::vector<float>>& norms() const { return norms_; }

 private:
  void rebuild(std::size_t i, float* out) const;

  ProductQuantizer quantizer_;
  std::optional<std::vector<float>> norms_;
  Mapping codes_;
  std::size_t rows_;
};

// Reads the chunk at the stream's position and leaves the stream just after
// its codes, which are mapped rather than read.
Result<MappedQuantizedArray> read_mapped_quantized_array(BufferedReader& r);

// Writes the chunk of `quantizer` with the codes of every row (row-major,
// quantized_len per row) and, when given, one norm per row, laid out as the
// reader reads it. Codes that are not a whole number of rows, a code not
// below n_centroids, a norm count other than the row count, or a count the
// chunk's u32 fields cannot hold fail with a Write error before anything is
// written.
Status write_quantized_array(BufferedWriter& w, const ProductQuantizer& quantizer,
                             std::optional<std::span<const float>> norms,
                             std::span<const std::uint8_t> codes);
// The chunk of a matrix read from a file, as it was read.
Status write_quantized_array(BufferedWriter& w, const MappedQuantizedArray& matrix);

}  // namespace mave
