#include "format/metadata.hpp"

#include <sstream>

#include <toml++/toml.h>

#include "format/utf8.hpp"

namespace mave {

struct MetadataDocument {
  toml::table table;  // std::map underneath: keys in byte order
};

Metadata Metadata::from_entries(const std::vector<std::pair<std::string, Value>>& entries) {
  auto doc = std::make_shared<MetadataDocument>();
  for (const auto& [key, value] : entries) {
    std::visit([&](const auto& v) { doc->table.insert_or_assign(key, v); }, value);
  }
  Metadata m;
  m.doc_ = std::move(doc);
  return m;
}

Result<Metadata> Metadata::parse(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  auto doc = std::make_shared<MetadataDocument>();
  try {
    doc->table = toml::parse(text);
  } catch (const toml::parse_error& e) {
    const auto& where = e.source().begin;
    return EmbeddingsError::format("Cannot deserialize TOML metadata: " +
                                   std::string(e.description()) + " at line " +
                                   std::to_string(where.line) + ", column " +
                                   std::to_string(where.column));
  }
  Metadata m;
  m.doc_ = std::move(doc);
  return m;
}

std::string Metadata::to_toml() const {
  std::ostringstream out;
  try {
    out << toml::toml_formatter(doc_->table);
  } catch (const std::exception& e) {
    panic(std::string("Unable to represent value as string: ") + e.what());
  }
  return out.str();
}

std::vector<std::string> Metadata::keys() const {
  std::vector<std::string> out;
  for (const auto& [key, value] : doc_->table) out.emplace_back(key.str());
  return out;
}

std::optional<Metadata::Value> Metadata::get(std::string_view key) const {
  const toml::node* node = doc_->table.get(key);
  if (!node) return std::nullopt;
  if (auto v = node->value<std::int64_t>(); v && node->is_integer()) return Value(*v);
  if (auto v = node->value<double>(); v && node->is_floating_point()) return Value(*v);
  if (auto v = node->value<std::string>()) return Value(*v);
  return std::nullopt;
}

Result<Metadata> read_metadata(BufferedReader& r) {
  MAVE_TRY(expect_chunk_identifier(r, ChunkIdentifier::Metadata));
  MAVE_ASSIGN_OR_RETURN(std::uint64_t len, read_u64(r, "Cannot read chunk length"));
  auto text = read_bytes(r, len);
  if (!text.ok()) return EmbeddingsError::read("Cannot read TOML metadata", std::move(text).error());
  if (auto bad = validate_utf8(text.value())) {
    return EmbeddingsError::format("TOML metadata contains invalid UTF-8: " +
                                   utf8_error_description(*bad));
  }
  return Metadata::parse(text.value());
}

Status write_metadata(BufferedWriter& w, const Metadata& metadata) {
  std::string text = metadata.to_toml();
  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(ChunkIdentifier::Metadata),
                     "Cannot write metadata chunk identifier"));
  MAVE_TRY(write_u64(w, text.size(), "Cannot write metadata length"));
  return write_bytes(w, text.data(), text.size(), "Cannot write metadata");
}

}  // namespace mave
