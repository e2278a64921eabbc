#include "format/quantized_array.hpp"

#include <algorithm>
#include <limits>
#include <string>

namespace mave {

ProductQuantizer::ProductQuantizer(std::size_t quantized_len, std::size_t n_centroids, std::size_t sub_len,
                                   std::vector<float> subquantizers,
                                   std::optional<std::vector<float>> projection)
    : quantized_len_(quantized_len),
      n_centroids_(n_centroids),
      sub_len_(sub_len),
      subquantizers_(std::move(subquantizers)),
      projection_(std::move(projection)) {
  if (subquantizers_.empty()) panic(PanicKind::NoQuantizers);
  if (projection_) projection_blocks_ = ProjectionBlocks(*projection_, reconstructed_len());
}

void ProductQuantizer::concatenate(const std::uint8_t* codes, float* out) const {
  for (std::size_t q = 0; q < quantized_len_; ++q) {
    const std::size_t c = codes[q];
    check_index(c, n_centroids_);
    const float* centroid = subquantizers_.data() + (q * n_centroids_ + c) * sub_len_;
    std::copy(centroid, centroid + sub_len_, out + q * sub_len_);
  }
}

void ProductQuantizer::reconstruct(const std::uint8_t* codes, float* out, std::vector<float>& scratch) const {
  if (!projection_) {
    concatenate(codes, out);
    return;
  }
  scratch.resize(reconstructed_len());
  concatenate(codes, scratch.data());
  project(projection_blocks_, scratch.data(), out);
}

MappedQuantizedArray::MappedQuantizedArray(ProductQuantizer quantizer,
                                           std::optional<std::vector<float>> norms, Mapping codes)
    : quantizer_(std::move(quantizer)),
      norms_(std::move(norms)),
      codes_(std::move(codes)),
      rows_(codes_.size() / quantizer_.quantized_len()) {
  // The reader maps exactly n_embeddings rows of codes and reads as many
  // norms, so every row has its norm and no lookup reads past them.
  if (norms_ && norms_->size() != rows_) {
    panic(PanicKind::QuantizedNormsRows, PanicFacts::values(rows_, norms_->size()));
  }
}

void MappedQuantizedArray::rebuild(std::size_t i, float* out) const {
  // Per thread: rows are rebuilt on several threads at once.
  thread_local std::vector<float> unprojected;
  quantizer_.reconstruct(codes() + i * quantizer_.quantized_len(), out, unprojected);
  if (norms_) {
    const float norm = (*norms_)[i];
    for (std::size_t k = 0, n = cols(); k < n; ++k) out[k] = out[k] * norm;
  }
}

void MappedQuantizedArray::row_into(std::size_t i, float* out) const {
  check_index(i, rows_);
  rebuild(i, out);
}

void MappedQuantizedArray::rows_into(std::span<const std::uint64_t> indices, float* out) const {
  for (std::uint64_t i : indices) check_index(i, rows_);
  const std::size_t n = cols();
  for (std::size_t r = 0; r < indices.size(); ++r) {
    rebuild(static_cast<std::size_t>(indices[r]), out + r * n);
  }
}

// Pinned: docs/compatibility.md (every message text of this reader)
Result<MappedQuantizedArray> read_mapped_quantized_array(BufferedReader& r) {
  MAVE_TRY(expect_chunk_identifier(r, ChunkIdentifier::QuantizedArray));
  MAVE_TRY(read_u64(r, Step::ReadQuantizedEmbeddingMatrixChunkLength));
  MAVE_ASSIGN_OR_RETURN(std::uint32_t projection_flag,
                        read_u32(r, Step::ReadQuantizedEmbeddingMatrixProjection));
  MAVE_ASSIGN_OR_RETURN(std::uint32_t norms_flag, read_u32(r, Step::ReadQuantizedEmbeddingMatrixNorms));
  MAVE_ASSIGN_OR_RETURN(std::uint32_t quantized_len, read_u32(r, Step::ReadQuantizedEmbeddingLength));
  MAVE_ASSIGN_OR_RETURN(std::uint32_t reconstructed_len, read_u32(r, Step::ReadReconstructedEmbeddingLength));
  // Pinned: docs/compatibility.md (it reads the number of centroids; the wording stays)
  MAVE_ASSIGN_OR_RETURN(std::uint32_t n_centroids, read_u32(r, Step::ReadNumberOfSubquantizers));
  MAVE_ASSIGN_OR_RETURN(std::size_t n_embeddings, read_size(r, Step::ReadNumberOfQuantizedEmbeddings));

  // Every row has quantized_len codes; without one there is nothing to rebuild
  // (and sub_len would divide by zero).
  if (quantized_len == 0) panic(PanicKind::ZeroQuantizedLength);
  if (reconstructed_len % quantized_len != 0) {
    return EmbeddingsError::with_values(ErrorCode::BadQuantizedShape, Step::ReadReconstructedEmbeddingLength,
                                        quantized_len, reconstructed_len);
  }
  const std::uint32_t sub_len = reconstructed_len / quantized_len;

  MAVE_TRY(expect_element_type(r, kElementTypeU8));
  MAVE_TRY(expect_element_type(r, kElementTypeF32));
  MAVE_TRY(skip_padding(r));

  // Both counts are products of two u32 fields and so fit in 64 bits;
  // read_f32_array refuses any count the rest of the file cannot hold before
  // allocating for it.
  std::optional<std::vector<float>> projection;
  if (projection_flag != 0) {
    const std::uint64_t n = std::uint64_t{reconstructed_len} * reconstructed_len;
    MAVE_ASSIGN_OR_RETURN(std::vector<float> p, read_f32_array(r, n, Step::ReadProjectionMatrix));
    projection = std::move(p);
  }
  // quantized_len x n_centroids x sub_len = n_centroids x reconstructed_len.
  const std::uint64_t n_subquantizer_values = std::uint64_t{n_centroids} * reconstructed_len;
  MAVE_ASSIGN_OR_RETURN(std::vector<float> subquantizers,
                        read_f32_array(r, n_subquantizer_values, Step::ReadSubquantizer));
  ProductQuantizer quantizer(quantized_len, n_centroids, sub_len, std::move(subquantizers),
                             std::move(projection));

  std::optional<std::vector<float>> norms;
  if (norms_flag != 0) {
    MAVE_ASSIGN_OR_RETURN(std::vector<float> n, read_f32_array(r, n_embeddings, Step::ReadNorms));
    norms = std::move(n);
  }

  // Pinned: docs/compatibility.md
  MAVE_ASSIGN_OR_RETURN(std::uint64_t offset,
                        stream_position(r, Step::GetFilePositionForMemoryMappingEmbeddingMatrix));
  // A wrapped product would map fewer rows than n_embeddings and leave the
  // row count out of step with the norms.
  if (n_embeddings > std::numeric_limits<std::size_t>::max() / quantized_len) {
    return EmbeddingsError::overflow(Step::ReadNumberOfQuantizedEmbeddings).at(offset);
  }
  const std::size_t n_code_bytes = n_embeddings * quantized_len;
  auto codes = Mapping::map(r.file(), offset, n_code_bytes);
  if (!codes.ok()) {
    return EmbeddingsError::read(Step::MemoryMapQuantizedEmbeddingMatrix, std::move(codes).error())
        .at(offset);
  }
  MAVE_TRY(seek_forward(r, n_code_bytes, Step::SkipQuantizedEmbeddingMatrix));
  return MappedQuantizedArray(std::move(quantizer), std::move(norms), std::move(codes).value());
}

namespace {

EmbeddingsError invalid_quantized_array(IoMessage what) {
  return EmbeddingsError::write(Step::WriteQuantizedEmbeddingMatrix,
                                IoError::message(ErrorKind::InvalidInput, what));
}

// Float data goes out in large blocks: the host is little-endian, as the
// file (the dense writer and mapped reads rely on the same).
Status write_f32_block(BufferedWriter& w, std::span<const float> values, Step step) {
  if (values.empty()) return {};
  return write_bytes(w, values.data(), values.size() * sizeof(float), step);
}

}  // namespace

Status write_quantized_array(BufferedWriter& w, const ProductQuantizer& quantizer,
                             std::optional<std::span<const float>> norms,
                             std::span<const std::uint8_t> codes) {
  constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
  const std::size_t quantized_len = quantizer.quantized_len();
  const std::size_t reconstructed_len = quantizer.reconstructed_len();
  const std::size_t n_centroids = quantizer.n_centroids();
  if (quantized_len > kU32Max || reconstructed_len > kU32Max || n_centroids > kU32Max) {
    return invalid_quantized_array(IoMessage::QuantizedTooLarge);
  }
  if (codes.size() % quantized_len != 0) {
    return invalid_quantized_array(IoMessage::CodesNotWholeRows);
  }
  const std::size_t rows = codes.size() / quantized_len;
  if (norms && norms->size() != rows) {
    return invalid_quantized_array(IoMessage::NormCountNotRows);
  }
  // The reader would answer such a row with an aborting failure; the file is
  // not written at all.
  if (n_centroids <= 0xFF) {
    const std::uint8_t limit = static_cast<std::uint8_t>(n_centroids);
    for (std::uint8_t c : codes) {
      if (c >= limit) return invalid_quantized_array(IoMessage::CodeBeyondCentroids);
    }
  }

  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(ChunkIdentifier::QuantizedArray),
                     Step::WriteQuantizedEmbeddingMatrixChunkIdentifier));
  // The chunk length counts the fields after it: the two flags, the three
  // lengths (u32 each), the row count (u64), the two element types (u32
  // each), the padding, and the arrays.
  constexpr std::uint64_t kFieldBytes =
      5 * sizeof(std::uint32_t) + sizeof(std::uint64_t) + 2 * sizeof(std::uint32_t);
  MAVE_ASSIGN_OR_RETURN(std::uint32_t padding, padding_after(w, sizeof(std::uint64_t) + kFieldBytes));
  const std::span<const float> projection = quantizer.projection();
  const std::span<const float> subquantizers = quantizer.subquantizers();
  const std::uint64_t array_bytes = sizeof(float) * (static_cast<std::uint64_t>(projection.size()) +
                                                     subquantizers.size() + (norms ? norms->size() : 0)) +
                                    codes.size();
  MAVE_TRY(write_u64(w, kFieldBytes + padding + array_bytes, Step::WriteQuantizedEmbeddingMatrixChunkLength));
  MAVE_TRY(write_u32(w, quantizer.has_projection() ? 1 : 0, Step::WriteQuantizedEmbeddingMatrixProjection));
  MAVE_TRY(write_u32(w, norms ? 1 : 0, Step::WriteQuantizedEmbeddingMatrixNorms));
  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(quantized_len), Step::WriteQuantizedEmbeddingLength));
  MAVE_TRY(
      write_u32(w, static_cast<std::uint32_t>(reconstructed_len), Step::WriteReconstructedEmbeddingLength));
  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(n_centroids), Step::WriteNumberOfSubquantizers));
  MAVE_TRY(write_u64(w, rows, Step::WriteNumberOfQuantizedEmbeddings));
  MAVE_TRY(write_u32(w, kElementTypeU8, Step::WriteQuantizedEmbeddingTypeIdentifier));
  MAVE_TRY(write_u32(w, kElementTypeF32, Step::WriteReconstructedEmbeddingTypeIdentifier));
  MAVE_TRY(write_padding(w, padding));
  MAVE_TRY(write_f32_block(w, projection, Step::WriteProjectionMatrix));
  MAVE_TRY(write_f32_block(w, subquantizers, Step::WriteSubquantizer));
  if (norms) MAVE_TRY(write_f32_block(w, *norms, Step::WriteNorms));
  if (codes.empty()) return {};
  return write_bytes(w, codes.data(), codes.size(), Step::WriteQuantizedEmbeddingMatrix);
}

Status write_quantized_array(BufferedWriter& w, const MappedQuantizedArray& matrix) {
  std::optional<std::span<const float>> norms;
  if (matrix.norms()) norms = std::span<const float>(*matrix.norms());
  return write_quantized_array(
      w, matrix.quantizer(), norms,
      std::span<const std::uint8_t>(matrix.codes(), matrix.rows() * matrix.quantizer().quantized_len()));
}

}  // namespace mave
