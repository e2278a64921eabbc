#include "format/quantized_array.hpp"

namespace mave {

void MappedQuantizedArray::row_into(std::size_t i, float*) const { check_index(i, rows_); }

void MappedQuantizedArray::rows_into(std::span<const std::uint64_t> indices, float*) const {
  for (std::uint64_t i : indices) check_index(i, rows_);
}

Result<MappedQuantizedArray> read_mapped_quantized_array(BufferedReader&) {
  return EmbeddingsError::format("Quantized embedding matrices are not supported yet");
}

}  // namespace mave
