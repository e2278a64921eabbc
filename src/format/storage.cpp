#include "format/storage.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>
#include <utility>

#include "base/vector_math.hpp"

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
        using S = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<S, MappedQuantizedArray> || std::is_same_v<S, MappedTable>) {
          check_index(i, s.rows());
          return nullptr;
        } else {
          return s.row_data(i);
        }
      },
      v_);
}

void Storage::prefetch_row(std::size_t i, bool whole) const {
  if (i >= rows()) return;
  // The row's bytes: its codes, or its floats.
  const auto [bytes, n] = std::visit(
      [i](const auto& s) -> std::pair<const char*, std::size_t> {
        using S = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<S, MappedQuantizedArray>) {
          const std::size_t len = s.quantizer().quantized_len();
          return {reinterpret_cast<const char*>(s.codes() + i * len), len};
        } else if constexpr (std::is_same_v<S, MappedTable>) {
          return {reinterpret_cast<const char*>(s.row_bytes(s.table_row(i))), s.bytes_per_row()};
        } else {
          return {reinterpret_cast<const char*>(s.row_data(i)), s.cols() * sizeof(float)};
        }
      },
      v_);
  if (n == 0) return;
  __builtin_prefetch(bytes);
  if (!whole) return;
  for (std::size_t at = 64; at < n; at += 64) __builtin_prefetch(bytes + at);
  __builtin_prefetch(bytes + n - 1);
}

void Storage::row_into(std::size_t i, float* out) const {
  std::visit(
      [&](const auto& s) {
        using S = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<S, MappedQuantizedArray> || std::is_same_v<S, MappedTable>) {
          s.row_into(i, out);
        } else if (const float* row = s.row_data(i); s.cols() != 0) {
          // A zero-column matrix has no data: memcpy must not see its null row.
          std::memcpy(out, row, s.cols() * sizeof(float));
        }
      },
      v_);
}

void Storage::rows_into(std::size_t begin, std::size_t n, float* out) const {
  if (const auto* t = std::get_if<MappedTable>(&v_)) {
    t->rows_into(begin, n, out);
    return;
  }
  if (n == 0) return;
  check_index(begin, rows());
  check_index(n - 1, rows() - begin);
  for (std::size_t k = 0; k < n; ++k) row_into(begin + k, out + k * cols());
}

void Storage::add_rows(std::span<const std::uint64_t> indices, float* acc,
                       std::vector<float>& scratch) const {
  const std::size_t n_rows = rows(), n_cols = cols();
  for (std::uint64_t i : indices) check_index(i, n_rows);
  GroupedRowSum sum(acc, n_cols);
  if (const auto* q = std::get_if<MappedQuantizedArray>(&v_)) {
    // One group of rows is rebuilt and added at a time, so that the scratch
    // holds at most one group whatever the number of rows.
    constexpr std::size_t kGroup = GroupedRowSum::kGroup;
    scratch.resize(std::min(indices.size(), kGroup) * n_cols);
    for (std::size_t start = 0; start < indices.size(); start += kGroup) {
      const auto group = indices.subspan(start, std::min(kGroup, indices.size() - start));
      q->rows_into(group, scratch.data());
      for (std::size_t k = 0; k < group.size(); ++k) sum.add(scratch.data() + k * n_cols);
      sum.flush();
    }
  } else if (const auto* t = std::get_if<MappedTable>(&v_)) {
    // Converted element by element straight into the sum, one row after the
    // other: the order of the sums is that of adding whole rows.
    for (std::uint64_t i : indices) t->add_row(static_cast<std::size_t>(i), acc);
  } else {
    for (std::uint64_t i : indices) sum.add(dense_row(static_cast<std::size_t>(i)));
  }
  sum.flush();
}

Result<Storage> read_storage_chunk(BufferedReader& r) {
  // Pinned: docs/compatibility.md
  MAVE_ASSIGN_OR_RETURN(ChunkIdentifier id, peek_chunk_identifier(r, PeekedChunk::Storage));
  const std::uint64_t start = r.offset();
  switch (id) {
    // A failure inside the chunk names it.
    case ChunkIdentifier::NdArray: {
      auto m = read_mapped_nd_array(r);
      if (!m.ok()) return in_chunk(std::move(m).error(), static_cast<std::uint32_t>(id));
      return Storage(std::move(m).value());
    }
    case ChunkIdentifier::QuantizedArray: {
      auto q = read_mapped_quantized_array(r);
      if (!q.ok()) return in_chunk(std::move(q).error(), static_cast<std::uint32_t>(id));
      return Storage(std::move(q).value());
    }
    default:
      return EmbeddingsError::with_values(
                 ErrorCode::UnexpectedChunk, Step::ReadStorageChunkIdentifier,
                 chunk_mask(ChunkIdentifier::NdArray) | chunk_mask(ChunkIdentifier::QuantizedArray),
                 static_cast<std::uint32_t>(id))
          .at(start);
  }
}

}  // namespace mave
