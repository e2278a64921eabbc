#include "static/safetensors.hpp"

#include <algorithm>
#include <array>

#include "base/endian.hpp"
#include "static/json.hpp"

namespace mave {
namespace {

struct DtypeFacts {
  TensorDtype dtype;
  std::string_view name;
  std::size_t bytes;
};

constexpr DtypeFacts kDtypes[] = {
    {TensorDtype::Bool, "BOOL", 1},      {TensorDtype::U8, "U8", 1},          {TensorDtype::I8, "I8", 1},
    {TensorDtype::F8E5M2, "F8_E5M2", 1}, {TensorDtype::F8E4M3, "F8_E4M3", 1}, {TensorDtype::I16, "I16", 2},
    {TensorDtype::U16, "U16", 2},        {TensorDtype::F16, "F16", 2},        {TensorDtype::BF16, "BF16", 2},
    {TensorDtype::I32, "I32", 4},        {TensorDtype::U32, "U32", 4},        {TensorDtype::F32, "F32", 4},
    {TensorDtype::F64, "F64", 8},        {TensorDtype::I64, "I64", 8},        {TensorDtype::U64, "U64", 8},
};
static_assert(std::size(kDtypes) == kTensorDtypeCount);

constexpr bool in_dtype_order() {
  for (std::size_t i = 0; i < std::size(kDtypes); ++i) {
    if (kDtypes[i].dtype != static_cast<TensorDtype>(i)) return false;
  }
  return true;
}
static_assert(in_dtype_order());

constexpr std::string_view kMetadataKey = "__metadata__";

EmbeddingsError fault(StaticFault f, std::string_view name = {}, std::uint64_t expected = 0,
                      std::uint64_t found = 0) {
  return EmbeddingsError::static_model(f, std::string(name), expected, found);
}

// One tensor's entry: its dtype, shape and offsets, the shape's bytes equal
// to the offsets'.
Result<TensorInfo> read_tensor(std::string_view name, json::element entry, std::uint64_t data_bytes) {
  TensorInfo t;
  t.name = std::string(name);
  MAVE_ASSIGN_OR_RETURN(json::object fields, json::as_object(entry, name));
  auto dtype_field = json::field(fields, "dtype");
  if (!dtype_field) return json::missing_field(std::string(name) + ".dtype");
  MAVE_ASSIGN_OR_RETURN(std::string_view dtype, json::as_string(*dtype_field, std::string(name) + ".dtype"));
  const auto* known = std::find_if(std::begin(kDtypes), std::end(kDtypes),
                                   [&](const DtypeFacts& f) { return f.name == dtype; });
  if (known == std::end(kDtypes)) {
    EmbeddingsError e = fault(StaticFault::UnknownDtype, name);
    e.detail = std::string(dtype);
    return e;
  }
  t.dtype = known->dtype;

  auto shape_field = json::field(fields, "shape");
  if (!shape_field) return json::missing_field(std::string(name) + ".shape");
  MAVE_ASSIGN_OR_RETURN(json::array shape, json::as_array(*shape_field, std::string(name) + ".shape"));
  std::uint64_t size = known->bytes;
  bool overflow = false;
  for (json::element d : shape) {
    std::uint64_t n;
    if (d.get_uint64().get(n)) return json::bad_field(std::string(name) + ".shape", JsonKind::CountList);
    t.shape.push_back(n);
    // A zero anywhere makes the size zero, whatever the other dimensions.
    if (n != 0 && size > UINT64_MAX / n) overflow = true;
    size *= n;
  }
  const bool empty = std::find(t.shape.begin(), t.shape.end(), 0) != t.shape.end();
  if (overflow && !empty) return fault(StaticFault::ShapeOverflow, name);
  if (empty) size = 0;

  auto offsets_field = json::field(fields, "data_offsets");
  if (!offsets_field) return json::missing_field(std::string(name) + ".data_offsets");
  const std::string offsets_name = std::string(name) + ".data_offsets";
  json::array offsets;
  if (offsets_field->get_array().get(offsets) || offsets.size() != 2) {
    return json::bad_field(offsets_name, JsonKind::CountPair);
  }
  std::array<std::uint64_t, 2> pair{};
  std::size_t k = 0;
  for (json::element o : offsets) {
    if (o.get_uint64().get(pair[k++])) return json::bad_field(offsets_name, JsonKind::CountPair);
  }
  t.begin = pair[0];
  t.end = pair[1];
  if (t.begin > t.end) return fault(StaticFault::OffsetsReversed, name, t.begin, t.end);
  if (t.end > data_bytes) return fault(StaticFault::OffsetsPastData, name, data_bytes, t.end);
  if (t.end - t.begin != size) return fault(StaticFault::SizeMismatch, name, size, t.end - t.begin);
  return t;
}

}  // namespace

std::string_view dtype_name(TensorDtype dtype) { return kDtypes[static_cast<std::size_t>(dtype)].name; }

std::size_t dtype_bytes(TensorDtype dtype) { return kDtypes[static_cast<std::size_t>(dtype)].bytes; }

const TensorInfo* SafetensorsHeader::find(std::string_view name) const {
  for (const TensorInfo& t : tensors) {
    if (t.name == name) return &t;
  }
  return nullptr;
}

Result<SafetensorsHeader> parse_safetensors_header(std::string_view text, std::uint64_t data_offset,
                                                   std::uint64_t data_bytes) {
  simdjson::dom::parser parser;
  MAVE_ASSIGN_OR_RETURN(json::element root, json::parse(parser, text, /*padded=*/false));
  MAVE_ASSIGN_OR_RETURN(json::object entries, json::as_object(root, ""));
  SafetensorsHeader header;
  header.data_offset = data_offset;
  header.data_bytes = data_bytes;
  bool metadata_seen = false;
  for (json::object::iterator::value_type entry : entries) {
    if (entry.key == kMetadataKey) {
      // Free text for its writer: an object of strings, as the format says.
      if (metadata_seen) return fault(StaticFault::RepeatedTensor, kMetadataKey);
      metadata_seen = true;
      MAVE_ASSIGN_OR_RETURN(json::object metadata, json::as_object(entry.value, kMetadataKey));
      for (json::object::iterator::value_type item : metadata) {
        std::string_view ignored;
        if (item.value.get_string().get(ignored)) {
          return json::bad_field(std::string(kMetadataKey) + "." + std::string(item.key), JsonKind::String);
        }
      }
      continue;
    }
    MAVE_ASSIGN_OR_RETURN(TensorInfo t, read_tensor(entry.key, entry.value, data_bytes));
    header.tensors.push_back(std::move(t));
  }

  // Names are unique; the tensors, ordered by their offsets, follow each
  // other without overlap or gap and end where the data ends.
  std::vector<const TensorInfo*> by_name;
  by_name.reserve(header.tensors.size());
  for (const TensorInfo& t : header.tensors) by_name.push_back(&t);
  std::sort(by_name.begin(), by_name.end(),
            [](const TensorInfo* a, const TensorInfo* b) { return a->name < b->name; });
  for (std::size_t i = 1; i < by_name.size(); ++i) {
    if (by_name[i]->name == by_name[i - 1]->name) {
      return fault(StaticFault::RepeatedTensor, by_name[i]->name);
    }
  }
  std::stable_sort(header.tensors.begin(), header.tensors.end(),
                   [](const TensorInfo& a, const TensorInfo& b) {
                     return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
                   });
  std::uint64_t covered = 0;
  for (const TensorInfo& t : header.tensors) {
    if (t.begin < covered) return fault(StaticFault::TensorsOverlap, t.name, covered, t.begin);
    if (t.begin > covered) return fault(StaticFault::DataGap, t.name, covered, t.begin);
    covered = t.end;
  }
  if (covered != data_bytes) return fault(StaticFault::DataGap, {}, covered, data_bytes);
  return header;
}

Result<SafetensorsHeader> read_safetensors_header(BufferedReader& r, std::uint64_t file_size) {
  constexpr std::uint64_t kLengthBytes = 8;
  if (file_size < kLengthBytes) return fault(StaticFault::ShortFile, {}, kLengthBytes, file_size);
  unsigned char length_bytes[kLengthBytes];
  if (auto read = r.read_exact(length_bytes, kLengthBytes); !read.ok()) {
    return EmbeddingsError::read(Step::ReadSafetensorsHeader, read.error()).at(0);
  }
  const std::uint64_t length = load_le<std::uint64_t>(length_bytes);
  if (length > file_size - kLengthBytes) {
    return fault(StaticFault::HeaderPastEnd, {}, file_size - kLengthBytes, length).at(0);
  }
  std::string text(static_cast<std::size_t>(length), '\0');
  if (auto read = r.read_exact(text.data(), text.size()); !read.ok()) {
    return EmbeddingsError::read(Step::ReadSafetensorsHeader, read.error()).at(kLengthBytes);
  }
  return parse_safetensors_header(text, kLengthBytes + length, file_size - kLengthBytes - length);
}

Result<Mapping> map_tensor(const File& file, const SafetensorsHeader& header, const TensorInfo& tensor) {
  auto mapping = Mapping::map(file, header.data_offset + tensor.begin, tensor.end - tensor.begin);
  if (!mapping.ok()) {
    return EmbeddingsError::read(Step::MapTensor, std::move(mapping).error())
        .at(header.data_offset + tensor.begin);
  }
  return std::move(mapping).value();
}

}  // namespace mave
