// Character n-grams of a bracketed word and the subword vocabularies that turn
// a word into storage rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/word_list.hpp"
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

// The record shared by the four subword vocabulary kinds.
template <class Indexer>
struct SubwordVocab {
  WordList words;
  std::uint32_t min_ngram_len = 0;
  std::uint32_t max_ngram_len = 0;
  std::string begin_marker;
  std::string end_marker;
  Indexer indexer;

  std::size_t n_words() const { return words.size(); }
  // Construction guarantees that this fits the size type.
  std::uint64_t addressed_rows() const { return words.size() + *indexer.upper_bound(); }
};

using BucketSubwordVocab = SubwordVocab<FnvBucketIndexer>;
using FastTextSubwordVocab = SubwordVocab<FastTextHashIndexer>;
using ExplicitSubwordVocab = SubwordVocab<NGramTableIndexer>;
using FloretSubwordVocab = SubwordVocab<FloretHashIndexer>;

// The shared construction with its checks, in order: repeated words, an upper
// bound beyond the size type (bucket and floret kinds), and words plus upper
// bound beyond the size type. Each is an aborting failure.
template <class Indexer>
SubwordVocab<Indexer> new_subword_vocabulary(WordList words, std::uint32_t min_ngram_len,
                                             std::uint32_t max_ngram_len, Indexer indexer,
                                             std::string begin_marker, std::string end_marker);

// Appends the storage rows of the word's subwords, in enumeration order,
// repeats kept. Does not consult the word index.
template <class Indexer>
void subword_rows(const SubwordVocab<Indexer>& vocab, std::string_view word,
                  std::vector<std::uint64_t>& rows);

// A non-owning reference to what receives batches of rows; unlike
// std::function it never allocates.
class RowBatchSink {
 public:
  template <class F>
  explicit RowBatchSink(F& f)
      : object_(&f), call_([](void* o, std::span<const std::uint64_t> rows) {
          (*static_cast<F*>(o))(rows);
        }) {}
  void operator()(std::span<const std::uint64_t> rows) const { call_(object_, rows); }

 private:
  void* object_;
  void (*call_)(void*, std::span<const std::uint64_t>);
};

// The rows subword_rows lists, handed to `sink` in order in batches of at
// most kSubwordRowBatch built in `buffer`: the n-grams of a long string, or of
// long floret markers with a large maximum length, are quadratically many, so
// they are never all held at once. Returns the number of rows handed over.
inline constexpr std::size_t kSubwordRowBatch = 1024;
template <class Indexer>
std::uint64_t subword_rows(const SubwordVocab<Indexer>& vocab, std::string_view word,
                           std::vector<std::uint64_t>& buffer, RowBatchSink sink);

}  // namespace mave
