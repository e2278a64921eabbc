// The formats embeddings are converted between, and their names: one table,
// which the Python package takes its list of names from.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace mave {

enum class Format { FinalFusion, FastText, Word2Vec, Text, GloVe, Floret };

struct FormatInfo {
  Format format;
  std::string_view name;
  bool writable;  // fastText models are read, not written
};

// In the order the documentation lists them.
inline constexpr std::array<FormatInfo, 6> kFormats{{
    {Format::FinalFusion, "finalfusion", true},
    {Format::FastText, "fasttext", false},
    {Format::Word2Vec, "word2vec", true},
    {Format::Text, "text", true},
    {Format::GloVe, "glove", true},
    // floret's text table for spaCy; written from files of the floret kind.
    {Format::Floret, "floret", true},
}};
static_assert(kFormats.size() == static_cast<std::size_t>(Format::Floret) + 1, "one entry per format");
static_assert(
    [] {
      for (std::size_t i = 0; i < kFormats.size(); ++i) {
        if (static_cast<std::size_t>(kFormats[i].format) != i) return false;
      }
      return true;
    }(),
    "entries in the order of the enum, so that format_info indexes");

constexpr const FormatInfo& format_info(Format format) { return kFormats[static_cast<std::size_t>(format)]; }

constexpr std::optional<Format> format_named(std::string_view name) {
  for (const FormatInfo& info : kFormats) {
    if (info.name == name) return info.format;
  }
  return std::nullopt;
}

}  // namespace mave
