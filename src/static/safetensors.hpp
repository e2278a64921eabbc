// The safetensors file: an 8-byte little-endian header length, a JSON header
// naming each tensor's dtype, shape and [begin, end) byte offsets in the data
// that follows, then the raw little-endian data. Tensors are memory-mapped,
// never read whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/io.hpp"

namespace mave {

enum class TensorDtype : std::uint8_t {
  Bool,
  U8,
  I8,
  F8E5M2,
  F8E4M3,
  I16,
  U16,
  F16,
  BF16,
  I32,
  U32,
  F32,
  F64,
  I64,
  U64,
};
inline constexpr std::size_t kTensorDtypeCount = 15;

// The format's name of a dtype ("F32"), and the bytes of one element.
std::string_view dtype_name(TensorDtype dtype);
std::size_t dtype_bytes(TensorDtype dtype);

struct TensorInfo {
  std::string name;
  TensorDtype dtype;
  std::vector<std::uint64_t> shape;
  std::uint64_t begin, end;  // within the data
};

struct SafetensorsHeader {
  std::uint64_t data_offset = 0;  // where the data starts in the file
  std::uint64_t data_bytes = 0;
  std::vector<TensorInfo> tensors;  // in the order of their data

  const TensorInfo* find(std::string_view name) const;
};

// Checks the header text (the JSON after the length field) of a file whose
// data holds `data_bytes` bytes from `data_offset` on, as the format asks:
// an object of tensors (and an optional "__metadata__" object), each with a
// known dtype, a shape and offsets whose size is the shape's, the tensors
// covering the data exactly once, in any order in the text.
Result<SafetensorsHeader> parse_safetensors_header(std::string_view text, std::uint64_t data_offset,
                                                   std::uint64_t data_bytes);

// Reads and checks the length field and the header from the start of a
// regular file (a short file, or a length past its end, fails before anything
// is allocated).
Result<SafetensorsHeader> read_safetensors_header(BufferedReader& r, std::uint64_t file_size);

// The tensor's bytes, mapped read-only.
Result<Mapping> map_tensor(const File& file, const SafetensorsHeader& header, const TensorInfo& tensor);

}  // namespace mave
