#include "subword/ngrams.hpp"

#include <algorithm>
#include <type_traits>

#include "format/error.hpp"

namespace mave {

namespace {

inline bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::size_t count_chars(std::string_view utf8) {
  std::size_t n = 0;
  for (char c : utf8) n += !is_continuation(c);
  return n;
}

CharNGrams::CharNGrams(std::string_view text, std::uint32_t min_ngram_len,
                       std::uint32_t max_ngram_len)
    : text_(text), min_(min_ngram_len), max_(max_ngram_len) {
  if (min_ngram_len == 0) panic("The minimum n-gram length cannot be zero.");
  if (max_ngram_len < min_ngram_len) {
    panic("The maximum length should be equal to or greater than the minimum length.");
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

template <class Indexer>
SubwordVocab<Indexer> new_subword_vocabulary(WordList words, std::uint32_t min_ngram_len,
                                             std::uint32_t max_ngram_len, Indexer indexer,
                                             std::string begin_marker, std::string end_marker) {
  std::size_t distinct = words.build_index();
  if (distinct != words.size()) {
    panic_assert_eq("words contained duplicate entries.", words.size(), distinct);
  }
  constexpr std::uint64_t kMaxSize = std::numeric_limits<std::size_t>::max();
  std::optional<std::uint64_t> bound = indexer.upper_bound();
  if constexpr (std::is_same_v<Indexer, FnvBucketIndexer> ||
                std::is_same_v<Indexer, FloretHashIndexer>) {
    if (!bound || *bound > kMaxSize) {
      panic("The upper bound of the indexer cannot be represented by the native word size.");
    }
  }
  if (!bound || *bound > kMaxSize - words.size()) {
    panic("The vocab + subword vocab size cannot be represented by the native word size");
  }
  return SubwordVocab<Indexer>{std::move(words),       min_ngram_len,         max_ngram_len,
                               std::move(begin_marker), std::move(end_marker), std::move(indexer)};
}

namespace {

// Calls add(row) for every subword row of the word, in enumeration order.
template <class Indexer, class Add>
void for_each_subword_row(const SubwordVocab<Indexer>& vocab, std::string_view word, Add&& add) {
  std::string bracketed;
  bracketed.reserve(vocab.begin_marker.size() + word.size() + vocab.end_marker.size());
  bracketed.append(vocab.begin_marker).append(word).append(vocab.end_marker);

  CharNGrams ngrams(bracketed, vocab.min_ngram_len, vocab.max_ngram_len);
  const std::uint64_t n_words = vocab.words.size();
  if constexpr (std::is_same_v<Indexer, FloretHashIndexer>) {
    // Floret also indexes the whole bracketed word, whatever its length.
    for (std::uint64_t i : vocab.indexer.indices_of(NGram{bracketed, count_chars(bracketed)})) {
      add(n_words + i);
    }
  }
  while (auto ngram = ngrams.next()) {
    for (std::uint64_t i : vocab.indexer.indices_of(*ngram)) add(n_words + i);
  }
}

}  // namespace

template <class Indexer>
void subword_rows(const SubwordVocab<Indexer>& vocab, std::string_view word,
                  std::vector<std::uint64_t>& rows) {
  for_each_subword_row(vocab, word, [&rows](std::uint64_t row) { rows.push_back(row); });
}

template <class Indexer>
std::uint64_t subword_rows(const SubwordVocab<Indexer>& vocab, std::string_view word,
                           std::vector<std::uint64_t>& buffer, RowBatchSink sink) {
  std::uint64_t total = 0;
  buffer.clear();
  for_each_subword_row(vocab, word, [&](std::uint64_t row) {
    buffer.push_back(row);
    if (buffer.size() == kSubwordRowBatch) {
      total += buffer.size();
      sink(buffer);
      buffer.clear();
    }
  });
  if (!buffer.empty()) {
    total += buffer.size();
    sink(buffer);
    buffer.clear();
  }
  return total;
}

#define MAVE_INSTANTIATE(Indexer)                                                              \
  template SubwordVocab<Indexer> new_subword_vocabulary(WordList, std::uint32_t, std::uint32_t, \
                                                        Indexer, std::string, std::string);     \
  template void subword_rows(const SubwordVocab<Indexer>&, std::string_view,                   \
                             std::vector<std::uint64_t>&);                                      \
  template std::uint64_t subword_rows(const SubwordVocab<Indexer>&, std::string_view,          \
                                      std::vector<std::uint64_t>&, RowBatchSink);
MAVE_INSTANTIATE(FnvBucketIndexer)
MAVE_INSTANTIATE(FastTextHashIndexer)
MAVE_INSTANTIATE(NGramTableIndexer)
MAVE_INSTANTIATE(FloretHashIndexer)
#undef MAVE_INSTANTIATE

}  // namespace mave
