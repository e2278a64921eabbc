// The metadata chunk: a TOML document. toml++ stays behind this interface so
// that only one translation unit pays for its headers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/utf8.hpp"
#include "format/chunk.hpp"

namespace mave {

struct MetadataDocument;  // the parsed TOML table

// A metadata value as plain data, for the bindings: every TOML kind, tables
// and arrays included.
struct MetadataDate {
  std::uint16_t year;
  std::uint8_t month, day;
};
struct MetadataTime {
  std::uint8_t hour, minute, second;
  std::uint32_t nanosecond;
};
struct MetadataDateTime {
  MetadataDate date;
  MetadataTime time;
  std::optional<std::int16_t> offset_minutes;  // none: a local date-time
};
struct MetadataItem {
  using Array = std::vector<MetadataItem>;
  // Keys in the order the file's TOML text lists them when written.
  using Table = std::vector<std::pair<std::string, MetadataItem>>;
  std::variant<std::int64_t, double, bool, std::string, MetadataDate, MetadataTime, MetadataDateTime, Array,
               Table>
      value;
};

class Metadata {
 public:
  using Value = std::variant<std::int64_t, double, std::string>;

  // A flat table; its keys are kept in ascending byte order whatever the
  // insertion order.
  static Metadata from_entries(const std::vector<std::pair<std::string, Value>>& entries);
  // Parses a TOML document (a leading byte-order mark is ignored).
  static Result<Metadata> parse(std::string_view text);

  // A copy whose top-level `key` is a table of `entries`, replacing any value
  // the key had.
  Metadata with_table(std::string_view key, const std::vector<std::pair<std::string, Value>>& entries) const;

  // TOML text with every table's keys in ascending byte order.
  std::string to_toml() const;
  // Top-level keys in order, and scalar values, for inspection.
  std::vector<std::string> keys() const;
  std::optional<Value> get(std::string_view key) const;
  // The whole document as plain data.
  MetadataItem::Table items() const;

 private:
  Metadata() = default;  // values come only from the two factories above
  std::shared_ptr<const MetadataDocument> doc_;
};

// `metadata` (or an empty document) with a [conversion] table that says how
// many words a conversion dropped and how their bytes were decoded.
Metadata with_dropped_words(const std::optional<Metadata>& metadata, std::size_t dropped, Utf8Errors errors);

Result<Metadata> read_metadata(BufferedReader& r);
Status write_metadata(BufferedWriter& w, const Metadata& metadata);

}  // namespace mave
