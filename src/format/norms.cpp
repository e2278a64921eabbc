#include "format/norms.hpp"

namespace mave {

// Pinned: docs/compatibility.md
Result<NdNorms> read_norms(BufferedReader& r) {
  MAVE_TRY(expect_chunk_identifier(r, ChunkIdentifier::NdNorms));
  MAVE_TRY(read_u64(r, Step::ReadNormsChunkLength));
  MAVE_ASSIGN_OR_RETURN(std::size_t n, read_size(r, Step::ReadNormsVectorLength));
  MAVE_TRY(expect_element_type(r, kElementTypeF32));
  MAVE_TRY(skip_padding(r));
  MAVE_ASSIGN_OR_RETURN(std::vector<float> values, read_f32_array(r, n, Step::ReadNorms));
  return NdNorms{std::move(values)};
}

// Pinned: docs/compatibility.md
Status write_norms(BufferedWriter& w, std::span<const float> norms) {
  MAVE_TRY(
      write_u32(w, static_cast<std::uint32_t>(ChunkIdentifier::NdNorms), Step::WriteNormsChunkIdentifier));
  // The chunk length counts the fields after it: the count (u64), the
  // element type (u32), the padding and the values.
  constexpr std::uint64_t kFieldBytes = sizeof(std::uint64_t) + sizeof(std::uint32_t);
  MAVE_ASSIGN_OR_RETURN(std::uint32_t padding, padding_after(w, sizeof(std::uint64_t) + kFieldBytes));
  MAVE_TRY(write_u64(w, kFieldBytes + padding + sizeof(float) * static_cast<std::uint64_t>(norms.size()),
                     Step::WriteNormsChunkLength));
  MAVE_TRY(write_u64(w, norms.size(), Step::WriteNormsVectorLength));
  MAVE_TRY(write_u32(w, kElementTypeF32, Step::WriteNormsVectorTypeIdentifier));
  MAVE_TRY(write_padding(w, padding));
  for (float norm : norms) MAVE_TRY(write_f32(w, norm, Step::WriteNorm));
  return {};
}

}  // namespace mave
