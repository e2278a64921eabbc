// The four subword vocabulary kinds (bucket, fastText, explicit, floret):
// the record they share, the rows a word's n-grams address, and their chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/io.hpp"
#include "base/word_list.hpp"
#include "format/chunk.hpp"
#include "subword/indexers.hpp"
#include "subword/ngrams.hpp"

namespace mave {

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
      : object_(&f),
        call_([](void* o, std::span<const std::uint64_t> rows) { (*static_cast<F*>(o))(rows); }) {}
  void operator()(std::span<const std::uint64_t> rows) const { call_(object_, rows); }

 private:
  void* object_;
  void (*call_)(void*, std::span<const std::uint64_t>);
};

// The rows subword_rows lists, handed to `sink` in order in batches of at
// most 1024 built in `buffer`: the n-grams of a long string, or of long
// floret markers with a large maximum length, are quadratically many, so
// they are never all held at once. Returns the number of rows handed over.
template <class Indexer>
std::uint64_t subword_rows(const SubwordVocab<Indexer>& vocab, std::string_view word,
                           std::vector<std::uint64_t>& buffer, RowBatchSink sink);

Result<BucketSubwordVocab> read_bucket_subword_vocab(BufferedReader& r);
Result<FastTextSubwordVocab> read_fasttext_subword_vocab(BufferedReader& r);
Result<ExplicitSubwordVocab> read_explicit_subword_vocab(BufferedReader& r);
Result<FloretSubwordVocab> read_floret_subword_vocab(BufferedReader& r);

Status write_bucket_subword_vocab(BufferedWriter& w, const BucketSubwordVocab& vocab);
Status write_fasttext_subword_vocab(BufferedWriter& w, const FastTextSubwordVocab& vocab);
Status write_explicit_subword_vocab(BufferedWriter& w, const ExplicitSubwordVocab& vocab);
Status write_floret_subword_vocab(BufferedWriter& w, const FloretSubwordVocab& vocab);

}  // namespace mave
