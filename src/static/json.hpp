// The JSON files of a static model's folder (tokenizer.json, config.json,
// modules.json, the safetensors header), read with simdjson's DOM parser:
// the whole text, then typed access to fields whose failures are
// EmbeddingsErrors naming the field. Private to src/static.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "base/io.hpp"

namespace mave::json {

using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::object;

// The whole file, padded as simdjson needs (the allocation is the file's
// size and the padding: the input fills it).
Result<simdjson::padded_string> read_text(const std::string& path);

// Parses `text` into `parser`'s document; NotJson with the parser's words.
// `padded`: SIMDJSON_PADDING readable bytes follow the text (as in a
// padded_string), so that it need not be copied.
Result<element> parse(simdjson::dom::parser& parser, std::string_view text, bool padded);

inline EmbeddingsError bad_field(std::string_view name, JsonKind kind) {
  return EmbeddingsError::static_model(StaticFault::BadField, std::string(name),
                                       static_cast<std::uint64_t>(kind));
}
inline EmbeddingsError missing_field(std::string_view name) {
  return EmbeddingsError::static_model(StaticFault::MissingField, std::string(name));
}

Result<object> as_object(element e, std::string_view name);
Result<array> as_array(element e, std::string_view name);
Result<std::string_view> as_string(element e, std::string_view name);
Result<std::uint64_t> as_count(element e, std::string_view name);

// A field of an object, none when the object has no such key.
std::optional<element> field(object o, std::string_view key);

}  // namespace mave::json
