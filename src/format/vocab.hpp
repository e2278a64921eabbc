// The closed set of vocabulary kinds and the dispatch on a vocabulary chunk.
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "format/chunk.hpp"
#include "format/simple_vocab.hpp"
#include "format/subword_vocab.hpp"

namespace mave {

// Told the row of a word that the index's slot names, before the word is
// compared: a caller starts fetching the row while the comparison waits on
// the word's bytes. A non-owning reference, like RowBatchSink.
class CandidateHook {
 public:
  CandidateHook() = default;
  template <class F>
  explicit CandidateHook(const F& f)
      : object_(&f), call_([](const void* o, std::size_t row) { (*static_cast<const F*>(o))(row); }) {}
  void operator()(std::size_t row) const {
    if (call_ != nullptr) call_(object_, row);
  }

 private:
  const void* object_ = nullptr;
  void (*call_)(const void*, std::size_t) = nullptr;
};

// The answer of a vocabulary for a string. For Composed, the rows are the ones
// appended to the caller's list, in order, repeats kept.
struct WordLookup {
  enum class Kind { None, Known, Composed };
  Kind kind = Kind::None;
  std::size_t row = 0;  // Known: the word's row
};

class Vocab {
 public:
  using Variant = std::variant<SimpleVocab, BucketSubwordVocab, FastTextSubwordVocab, ExplicitSubwordVocab,
                               FloretSubwordVocab>;

  template <class V>
  explicit Vocab(V vocab) : v_(std::move(vocab)) {}

  std::size_t n_words() const;
  // The words in row order (empty for a floret vocabulary).
  const WordList& words() const;
  std::uint64_t addressed_rows() const;
  ChunkIdentifier chunk_identifier() const;

  // Known words by their row; other strings through their subwords, whose
  // rows go to `sink` in batches built in `buffer` as they are enumerated
  // (see subword_rows); Composed when there was at least one.
  WordLookup lookup(std::string_view word, std::vector<std::uint64_t>& buffer, RowBatchSink sink,
                    CandidateHook on_candidate = {}) const;

  const Variant& variant() const { return v_; }

 private:
  Variant v_;
};

Result<Vocab> read_vocab_chunk(BufferedReader& r);
Status write_vocab_chunk(BufferedWriter& w, const Vocab& vocab);

}  // namespace mave
