#include "static/json.hpp"

namespace mave::json {

Result<simdjson::padded_string> read_text(const std::string& path) {
  auto opened = File::open_read(path);
  if (!opened.ok()) return EmbeddingsError::read(Step::OpenFile, opened.error());
  File file = std::move(opened).value();
  const std::optional<std::uint64_t> size = file.regular_size();
  BufferedReader reader(std::move(file), std::size_t{1} << 16);
  if (size) {
    if (*size > SIZE_MAX - simdjson::SIMDJSON_PADDING) {
      return EmbeddingsError::overflow(Step::ReadJsonFile);
    }
    simdjson::padded_string text(static_cast<std::size_t>(*size));
    if (auto read = reader.read_exact(text.data(), text.size()); !read.ok()) {
      return EmbeddingsError::read(Step::ReadJsonFile, read.error());
    }
    return text;
  }
  // A stream without a size (a pipe) is read up to its end in pieces.
  std::string bytes;
  char buffer[1 << 16];
  for (;;) {
    auto got = reader.read_up_to(buffer, sizeof buffer);
    if (!got.ok()) return EmbeddingsError::read(Step::ReadJsonFile, got.error());
    if (got.value() == 0) break;
    bytes.append(buffer, got.value());
  }
  return simdjson::padded_string(bytes);
}

Result<element> parse(simdjson::dom::parser& parser, std::string_view text, bool padded) {
  element root;
  if (auto error = parser.parse(text.data(), text.size(), !padded).get(root)) {
    EmbeddingsError e = EmbeddingsError::static_model(StaticFault::NotJson);
    e.detail = simdjson::error_message(error);
    return e;
  }
  return root;
}

Result<object> as_object(element e, std::string_view name) {
  object o;
  if (e.get_object().get(o)) return bad_field(name, JsonKind::Object);
  return o;
}

Result<array> as_array(element e, std::string_view name) {
  array a;
  if (e.get_array().get(a)) return bad_field(name, JsonKind::Array);
  return a;
}

Result<std::string_view> as_string(element e, std::string_view name) {
  std::string_view s;
  if (e.get_string().get(s)) return bad_field(name, JsonKind::String);
  return s;
}

Result<std::uint64_t> as_count(element e, std::string_view name) {
  std::uint64_t n;
  if (e.get_uint64().get(n)) return bad_field(name, JsonKind::Count);
  return n;
}

std::optional<element> field(object o, std::string_view key) {
  element e;
  if (o.at_key(key).get(e)) return std::nullopt;
  return e;
}

}  // namespace mave::json
