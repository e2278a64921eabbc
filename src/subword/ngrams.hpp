// Character n-grams of a bracketed word, in the order their rows are summed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "subword/indexers.hpp"

namespace mave {

// Enumerates n-grams by start position (left to right) and, for each start,
// from the longest length down to min_ngram_len. Lengths count Unicode scalar
// values; every n-gram is a view into `text`, which must be valid UTF-8.
class CharNGrams {
 public:
  CharNGrams(std::string_view text, std::uint32_t min_ngram_len, std::uint32_t max_ngram_len);

  // The next n-gram, or none when the enumeration is over.
  std::optional<NGram> next();

 private:
  std::size_t advance_chars(std::size_t from, std::size_t chars) const;

  std::string_view text_;
  std::uint32_t min_, max_;
  std::size_t start_ = 0;       // byte offset of the current start
  std::size_t chars_left_ = 0;  // characters from start_ to the end
  std::size_t current_len_ = 0;
  std::size_t current_end_ = 0;  // byte end of the n-gram of current_len_ characters
};

std::size_t count_chars(std::string_view utf8);

}  // namespace mave
