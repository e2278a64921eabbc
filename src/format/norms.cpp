#include "format/norms.hpp"

namespace mave {

// Pinned: docs/compatibility.md
Result<NdNorms> read_norms(BufferedReader& r) {
  MAVE_TRY(expect_chunk_identifier(r, ChunkIdentifier::NdNorms));
  MAVE_TRY(read_u64(r, "Cannot read norms chunk length"));
  MAVE_ASSIGN_OR_RETURN(std::size_t n, read_size(r, "Cannot read norms vector length"));
  MAVE_TRY(expect_element_type(r, kElementTypeF32));
  MAVE_TRY(skip_padding(r));
  MAVE_ASSIGN_OR_RETURN(std::vector<float> values, read_f32_array(r, n, "Cannot read norms"));
  return NdNorms{std::move(values)};
}

// Pinned: docs/compatibility.md
Status write_norms(BufferedWriter& w, std::span<const float> norms) {
  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(ChunkIdentifier::NdNorms),
                     "Cannot write norms chunk identifier"));
  // The chunk length counts the fields after it: the count (u64), the
  // element type (u32), the padding and the values.
  constexpr std::uint64_t kFieldBytes = sizeof(std::uint64_t) + sizeof(std::uint32_t);
  MAVE_ASSIGN_OR_RETURN(std::uint32_t padding,
                        padding_after(w, sizeof(std::uint64_t) + kFieldBytes));
  MAVE_TRY(write_u64(w, kFieldBytes + padding + sizeof(float) * static_cast<std::uint64_t>(norms.size()),
                     "Cannot write norms chunk length"));
  MAVE_TRY(write_u64(w, norms.size(), "Cannot write norms vector length"));
  MAVE_TRY(write_u32(w, kElementTypeF32, "Cannot write norms vector type identifier"));
  MAVE_TRY(write_padding(w, padding));
  for (float norm : norms) MAVE_TRY(write_f32(w, norm, "Cannot write norm"));
  return {};
}

}  // namespace mave
