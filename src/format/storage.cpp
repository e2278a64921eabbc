#include "format/storage.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>

#include "format/vector_math.hpp"

namespace mave {

std::size_t Storage::rows() const {
  return std::visit([](const auto& s) { return s.rows(); }, v_);
}

std::size_t Storage::cols() const {
  return std::visit([](const auto& s) { return s.cols(); }, v_);
}

const float* Storage::dense_row(std::size_t i) const {
  return std::visit(
      [i](const auto& s) -> const float* {
        if constexpr (std::is_same_v<std::decay_t<decltype(s)>, MappedQuantizedArray>) {
          check_index(i, s.rows());
          return nullptr;
        } else {
          return s.row_data(i);
        }
      },
      v_);
}

void Storage::row_into(std::size_t i, float* out) const {
  std::visit(
      [&](const auto& s) {
        if constexpr (std::is_same_v<std::decay_t<decltype(s)>, MappedQuantizedArray>) {
          s.row_into(i, out);
        } else if (const float* row = s.row_data(i); s.cols() != 0) {
          // A zero-column matrix has no data: memcpy must not see its null row.
          std::memcpy(out, row, s.cols() * sizeof(float));
        }
      },
      v_);
}

void Storage::add_rows(std::span<const std::uint64_t> indices, float* acc,
                       std::vector<float>& scratch) const {
  const std::size_t n_rows = rows(), n_cols = cols();
  for (std::uint64_t i : indices) check_index(i, n_rows);
  // The rows go to add_rows_to a group at a time; groups follow each other in
  // list order, so every element is still summed in that order.
  constexpr std::size_t kGroup = 32;
  std::array<const float*, kGroup> group;
  if (const auto* q = std::get_if<MappedQuantizedArray>(&v_)) {
    scratch.resize(indices.size() * n_cols);
    q->rows_into(indices, scratch.data());
    for (std::size_t start = 0; start < indices.size(); start += kGroup) {
      const std::size_t n = std::min(kGroup, indices.size() - start);
      for (std::size_t k = 0; k < n; ++k) group[k] = scratch.data() + (start + k) * n_cols;
      add_rows_to(acc, n_cols, std::span(group.data(), n));
    }
    return;
  }
  for (std::size_t start = 0; start < indices.size(); start += kGroup) {
    const std::size_t n = std::min(kGroup, indices.size() - start);
    for (std::size_t k = 0; k < n; ++k) {
      group[k] = dense_row(static_cast<std::size_t>(indices[start + k]));
    }
    add_rows_to(acc, n_cols, std::span(group.data(), n));
  }
}

Result<Storage> read_storage_chunk(BufferedReader& r) {
  MAVE_ASSIGN_OR_RETURN(ChunkIdentifier id, peek_chunk_identifier(r, "storage"));
  switch (id) {
    case ChunkIdentifier::NdArray: {
      MAVE_ASSIGN_OR_RETURN(MappedNdArray m, read_mapped_nd_array(r));
      return Storage(std::move(m));
    }
    case ChunkIdentifier::QuantizedArray: {
      MAVE_ASSIGN_OR_RETURN(MappedQuantizedArray q, read_mapped_quantized_array(r));
      return Storage(std::move(q));
    }
    default:
      // The message names only NdArray, although QuantizedArray is accepted too.
      return EmbeddingsError::format(
          "Invalid chunk identifier, expected: NdArray, got: " +
          std::string(chunk_identifier_name(id)));
  }
}

}  // namespace mave
