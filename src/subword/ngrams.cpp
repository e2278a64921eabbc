#include "subword/ngrams.hpp"

#include <algorithm>
#include <type_traits>

#include "base/error.hpp"

namespace mave {

namespace {

inline bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::size_t count_chars(std::string_view utf8) {
  std::size_t n = 0;
  for (char c : utf8) n += !is_continuation(c);
  return n;
}

CharNGrams::CharNGrams(std::string_view text, std::uint32_t min_ngram_len, std::uint32_t max_ngram_len)
    : text_(text), min_(min_ngram_len), max_(max_ngram_len) {
  // Pinned: docs/compatibility.md (and the next check)
  if (min_ngram_len == 0) panic(PanicKind::MinNGramZero);
  if (max_ngram_len < min_ngram_len) {
    panic(PanicKind::MaxBelowMin);
  }
  chars_left_ = count_chars(text);
  current_len_ = std::min<std::size_t>(max_, chars_left_);
  current_end_ = advance_chars(0, current_len_);
}

std::size_t CharNGrams::advance_chars(std::size_t from, std::size_t chars) const {
  std::size_t i = from;
  while (chars > 0 && i < text_.size()) {
    ++i;
    while (i < text_.size() && is_continuation(text_[i])) ++i;
    --chars;
  }
  return i;
}

std::optional<NGram> CharNGrams::next() {
  for (;;) {
    if (chars_left_ < min_) return std::nullopt;
    if (current_len_ >= min_) {
      NGram ngram{text_.substr(start_, current_end_ - start_), current_len_};
      // The next shorter n-gram ends one character earlier.
      --current_len_;
      if (current_len_ > 0) {
        do --current_end_;
        while (is_continuation(text_[current_end_]));
      }
      return ngram;
    }
    // Move the start one character to the right.
    start_ = advance_chars(start_, 1);
    --chars_left_;
    if (chars_left_ < min_) return std::nullopt;
    current_len_ = std::min<std::size_t>(max_, chars_left_);
    current_end_ = advance_chars(start_, current_len_);
  }
}

}  // namespace mave
