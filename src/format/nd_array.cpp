#include "format/nd_array.hpp"

#include <utility>

#include <bit>
#include <limits>

#include "base/endian.hpp"

namespace mave {

static_assert(std::endian::native == std::endian::little,
              "mapped float32 rows are read in place, which needs a little-endian host");

// Pinned: docs/compatibility.md (every message text of this reader)
Result<MappedNdArray> read_mapped_nd_array(BufferedReader& r) {
  MAVE_TRY(expect_chunk_identifier(r, ChunkIdentifier::NdArray));
  MAVE_TRY(read_u64(r, Step::ReadEmbeddingMatrixChunkLength));
  MAVE_ASSIGN_OR_RETURN(std::size_t rows, read_size(r, Step::ReadNumberOfRowsOfTheEmbeddingMatrix));
  MAVE_ASSIGN_OR_RETURN(std::uint32_t cols, read_u32(r, Step::ReadNumberOfColumnsOfTheEmbeddingMatrix));
  MAVE_TRY(expect_element_type(r, kElementTypeF32));
  MAVE_TRY(skip_padding(r));
  MAVE_ASSIGN_OR_RETURN(std::uint64_t offset,
                        stream_position(r, Step::GetFilePositionForMemoryMappingEmbeddingMatrix));

  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  if (cols != 0 && rows > kMax / cols / 4) {
    return EmbeddingsError::overflow(Step::ReadNumberOfRowsOfTheEmbeddingMatrix).at(offset);
  }
  std::size_t n_bytes = rows * cols * 4;

  auto mapping = Mapping::map(r.file(), offset, n_bytes);
  if (!mapping.ok()) {
    return EmbeddingsError::read(Step::MemoryMapEmbeddingMatrix, std::move(mapping).error()).at(offset);
  }
  MAVE_TRY(seek_forward(r, n_bytes, Step::SkipEmbeddingMatrix));
  return MappedNdArray(rows, cols, std::move(mapping).value());
}

// Pinned: docs/compatibility.md (every message text of this writer)
Status write_nd_array(BufferedWriter& w, const NdArray& matrix) {
  return write_nd_array(w, matrix.rows(), matrix.cols(), matrix.data().data());
}

namespace {

// Everything before the values.
Status write_nd_array_fields(BufferedWriter& w, std::size_t rows, std::size_t cols) {
  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(ChunkIdentifier::NdArray),
                     Step::WriteEmbeddingMatrixChunkIdentifier));
  // The chunk length counts the fields after it: rows (u64), columns and
  // element type (u32 each), the padding and the data.
  constexpr std::uint64_t kFieldBytes = sizeof(std::uint64_t) + 2 * sizeof(std::uint32_t);
  MAVE_ASSIGN_OR_RETURN(std::uint32_t padding, padding_after(w, sizeof(std::uint64_t) + kFieldBytes));
  const std::uint64_t data_bytes = static_cast<std::uint64_t>(rows) * cols * sizeof(float);
  MAVE_TRY(write_u64(w, kFieldBytes + padding + data_bytes, Step::WriteEmbeddingMatrixChunkLength));
  MAVE_TRY(write_u64(w, rows, Step::WriteNumberOfRowsOfTheEmbeddingMatrix));
  // Pinned: docs/compatibility.md
  // The file holds the column count in 32 bits; a wider one (possible only
  // for a matrix without rows) would be written cut short, as another shape.
  if (cols > std::numeric_limits<std::uint32_t>::max()) {
    return EmbeddingsError::write(Step::WriteNumberOfColumnsOfTheEmbeddingMatrix,
                                  IoError::message(ErrorKind::InvalidInput, IoMessage::TooManyColumns));
  }
  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(cols), Step::WriteNumberOfColumnsOfTheEmbeddingMatrix));
  MAVE_TRY(write_u32(w, kElementTypeF32, Step::WriteEmbeddingMatrixTypeIdentifier));
  MAVE_TRY(write_padding(w, padding));
  return {};
}

}  // namespace

Status write_nd_array(BufferedWriter& w, std::size_t rows, std::size_t cols, const float* data) {
  return write_nd_array(
      w, rows, cols, [data, cols](std::size_t i, float*) { return data + i * cols; },
      RowLifetime::WholeWrite);
}

Status write_nd_array(BufferedWriter& w, std::size_t rows, std::size_t cols, const RowFunction& row,
                      RowLifetime lifetime) {
  MAVE_TRY(write_nd_array_fields(w, rows, cols));
  // Row-major and little-endian on disk as in memory. Rows that stay where
  // they are and follow one another in memory (a stored matrix) go out from
  // there without a copy, in runs just over a write buffer's size (which the
  // writer sends on directly); any other row goes out before the next one is
  // asked for. Longer runs were slower: writing a 277 MB matrix in 4 MiB
  // writes took the kernel 0.31 s, in 1 MiB writes 0.05 s.
  constexpr std::size_t kRunBytes = kWriteBufferBytes;
  const std::size_t row_bytes = cols * sizeof(float);
  const std::size_t max_run = row_bytes == 0 ? 1 : (kRunBytes + row_bytes - 1) / row_bytes;
  // A matrix without rows may claim any number of columns: no room for them.
  std::vector<float> scratch(rows == 0 ? 0 : cols);
  const float* run = nullptr;
  std::size_t run_rows = 0;
  auto write_run = [&]() -> Status {
    const std::size_t n = std::exchange(run_rows, 0);
    return write_bytes(w, run, n * row_bytes, Step::WriteEmbeddingMatrixComponent);
  };
  for (std::size_t i = 0; i < rows; ++i) {
    const float* r = row(i, scratch.data());
    if (r != scratch.data() && run_rows > 0 && run_rows < max_run && r == run + run_rows * cols) {
      ++run_rows;
      continue;
    }
    MAVE_TRY(write_run());
    if (r == scratch.data() || lifetime == RowLifetime::UntilNextRow) {
      MAVE_TRY(write_bytes(w, r, row_bytes, Step::WriteEmbeddingMatrixComponent));
    } else {
      run = r;
      run_rows = 1;
    }
  }
  return write_run();
}

}  // namespace mave
