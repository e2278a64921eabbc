#include "format/subword_vocab.hpp"

#include <limits>
#include <optional>
#include <type_traits>

#include "base/utf8.hpp"

namespace mave {

template <class Indexer>
SubwordVocab<Indexer> new_subword_vocabulary(WordList words, std::uint32_t min_ngram_len,
                                             std::uint32_t max_ngram_len, Indexer indexer,
                                             std::string begin_marker, std::string end_marker) {
  std::size_t distinct = words.build_index();
  if (distinct != words.size()) {
    panic(PanicKind::DuplicateWords, PanicFacts::values(words.size(), distinct));
  }
  constexpr std::uint64_t kMaxSize = std::numeric_limits<std::size_t>::max();
  std::optional<std::uint64_t> bound = indexer.upper_bound();
  if constexpr (std::is_same_v<Indexer, FnvBucketIndexer> || std::is_same_v<Indexer, FloretHashIndexer>) {
    if (!bound || *bound > kMaxSize) {
      panic(PanicKind::IndexerUpperBound);
    }
  }
  if (!bound || *bound > kMaxSize - words.size()) {
    panic(PanicKind::VocabSizeOverflow);
  }
  return SubwordVocab<Indexer>{std::move(words),        min_ngram_len,         max_ngram_len,
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

// The most rows subword_rows hands over at once.
constexpr std::size_t kSubwordRowBatch = 1024;

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

#define MAVE_INSTANTIATE(Indexer)                                                                          \
  template SubwordVocab<Indexer> new_subword_vocabulary(WordList, std::uint32_t, std::uint32_t, Indexer,   \
                                                        std::string, std::string);                         \
  template void subword_rows(const SubwordVocab<Indexer>&, std::string_view, std::vector<std::uint64_t>&); \
  template std::uint64_t subword_rows(const SubwordVocab<Indexer>&, std::string_view,                      \
                                      std::vector<std::uint64_t>&, RowBatchSink);
MAVE_INSTANTIATE(FnvBucketIndexer)
MAVE_INSTANTIATE(FastTextHashIndexer)
MAVE_INSTANTIATE(NGramTableIndexer)
MAVE_INSTANTIATE(FloretHashIndexer)
#undef MAVE_INSTANTIATE

namespace {

// Word and n-gram counts are stored as u64 and truncated to the size type.
std::size_t truncate_to_size(std::uint64_t v) { return static_cast<std::size_t>(v); }

struct NGramLengths {
  std::uint32_t min, max;
};

// Pinned: docs/compatibility.md
Result<NGramLengths> read_ngram_lengths(BufferedReader& r) {
  MAVE_ASSIGN_OR_RETURN(std::uint32_t min, read_u32(r, Step::ReadMinimumNGramLength));
  MAVE_ASSIGN_OR_RETURN(std::uint32_t max, read_u32(r, Step::ReadMaximumNGramLength));
  return NGramLengths{min, max};
}

// The bucket and fastText kinds share their layout: only the meaning of the
// u32 bucket field differs (an exponent, or a count), which the indexer takes.
// Pinned: docs/compatibility.md
template <class Indexer>
Result<SubwordVocab<Indexer>> read_hashed_subword_vocab(BufferedReader& r, ChunkIdentifier kind) {
  MAVE_TRY(expect_chunk_identifier(r, kind));
  MAVE_TRY(read_u64(r, Step::ReadVocabularyChunkLength));
  MAVE_ASSIGN_OR_RETURN(std::uint64_t n_words, read_u64(r, Step::ReadVocabularyLength));
  MAVE_ASSIGN_OR_RETURN(NGramLengths lengths, read_ngram_lengths(r));
  MAVE_ASSIGN_OR_RETURN(std::uint32_t buckets, read_u32(r, Step::ReadNumberOfBuckets));
  WordList words;
  MAVE_TRY(read_string_items(r, truncate_to_size(n_words), words));
  Indexer indexer(buckets);
  return new_subword_vocabulary(std::move(words), lengths.min, lengths.max, indexer, "<", ">");
}

}  // namespace

Result<BucketSubwordVocab> read_bucket_subword_vocab(BufferedReader& r) {
  return read_hashed_subword_vocab<FnvBucketIndexer>(r, ChunkIdentifier::BucketSubwordVocab);
}

Result<FastTextSubwordVocab> read_fasttext_subword_vocab(BufferedReader& r) {
  return read_hashed_subword_vocab<FastTextHashIndexer>(r, ChunkIdentifier::FastTextSubwordVocab);
}

// Pinned: docs/compatibility.md (every message text of this reader)
Result<ExplicitSubwordVocab> read_explicit_subword_vocab(BufferedReader& r) {
  MAVE_TRY(expect_chunk_identifier(r, ChunkIdentifier::ExplicitSubwordVocab));
  MAVE_TRY(read_u64(r, Step::ReadVocabularyChunkLength));
  MAVE_ASSIGN_OR_RETURN(std::uint64_t n_words, read_u64(r, Step::ReadNumberOfWords));
  MAVE_ASSIGN_OR_RETURN(std::uint64_t n_ngrams, read_u64(r, Step::ReadNumberOfNgrams));
  MAVE_ASSIGN_OR_RETURN(NGramLengths lengths, read_ngram_lengths(r));
  WordList words;
  MAVE_TRY(read_string_items(r, truncate_to_size(n_words), words));

  const std::size_t count = truncate_to_size(n_ngrams);
  std::vector<NGramTableIndexer::Entry> entries;
  entries.reserve(reservation_for(r, count, 12));  // length + index at least
  for (std::size_t i = 0; i < count; ++i) {
    MAVE_ASSIGN_OR_RETURN(std::uint32_t len, read_u32(r, Step::ReadItemLength));
    const std::uint64_t at = r.offset();
    auto text = read_bytes(r, len);
    if (!text.ok()) return EmbeddingsError::read(Step::ReadItem, std::move(text).error()).at(at);
    if (auto bad = validate_utf8(text.value())) return invalid_utf8(Step::ReadItem, *bad, at);
    // Pinned: docs/compatibility.md (the full stop stays)
    MAVE_ASSIGN_OR_RETURN(std::uint64_t index, read_u64(r, Step::ReadNgramIndex));
    entries.push_back({std::move(text).value(), index});
  }
  NGramTableIndexer indexer(entries);
  return new_subword_vocabulary(std::move(words), lengths.min, lengths.max, std::move(indexer), "<", ">");
}

// Pinned: docs/compatibility.md (every message text of this reader)
Result<FloretSubwordVocab> read_floret_subword_vocab(BufferedReader& r) {
  MAVE_TRY(expect_chunk_identifier(r, ChunkIdentifier::FloretSubwordVocab));
  MAVE_TRY(read_u64(r, Step::ReadVocabularyChunkLength));
  MAVE_ASSIGN_OR_RETURN(NGramLengths lengths, read_ngram_lengths(r));
  MAVE_ASSIGN_OR_RETURN(std::uint64_t buckets, read_u64(r, Step::ReadNumberOfBuckets));
  const std::uint64_t hashes_at = r.offset();
  MAVE_ASSIGN_OR_RETURN(std::uint32_t hash_count, read_u32(r, Step::ReadNumberOfHashes));
  if (hash_count < 1 || hash_count > 4) {
    return EmbeddingsError::with_values(ErrorCode::BadHashCount, Step::ReadNumberOfHashes, 4, hash_count)
        .at(hashes_at);
  }
  MAVE_ASSIGN_OR_RETURN(std::uint32_t seed, read_u32(r, Step::ReadHasherSeed));
  auto begin = read_string_item(r);
  if (!begin.ok()) {
    return EmbeddingsError::in_step(Step::ReadBeginOfWordMarker, std::move(begin).error());
  }
  auto end = read_string_item(r);
  if (!end.ok()) {
    return EmbeddingsError::in_step(Step::ReadEndOfWordMarker, std::move(end).error());
  }
  FloretHashIndexer indexer(buckets, hash_count, seed);
  return new_subword_vocabulary(WordList{}, lengths.min, lengths.max, indexer, std::move(begin).value(),
                                std::move(end).value());
}

namespace {

// The bucket and fastText kinds share their layout: only the meaning of the
// u32 bucket field differs.
// Pinned: docs/compatibility.md
template <class Indexer>
Status write_hashed_subword_vocab(BufferedWriter& w, const SubwordVocab<Indexer>& vocab, ChunkIdentifier kind,
                                  std::uint32_t buckets) {
  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(kind), Step::WriteSubwordVocabularyChunkIdentifier));
  // The chunk length counts the fields after it: the word count (u64), the
  // two n-gram lengths and the bucket field (u32 each), and the words.
  constexpr std::uint64_t kFieldBytes = sizeof(std::uint64_t) + 3 * sizeof(std::uint32_t);
  const std::uint64_t chunk_len = kFieldBytes + string_items_bytes(vocab.words);
  MAVE_TRY(write_u64(w, chunk_len, Step::WriteSubwordVocabularyChunkLength));
  MAVE_TRY(write_u64(w, vocab.words.size(), Step::WriteVocabularyLength));
  MAVE_TRY(write_u32(w, vocab.min_ngram_len, Step::WriteMinimumNGramLength));
  MAVE_TRY(write_u32(w, vocab.max_ngram_len, Step::WriteMaximumNGramLength));
  MAVE_TRY(write_u32(w, buckets, Step::WriteNumberOfBuckets));
  return write_string_items(w, vocab.words);
}

Status write_string_item(BufferedWriter& w, std::string_view item) {
  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(item.size()), Step::WriteStringLength));
  return write_bytes(w, item.data(), item.size(), Step::WriteString);
}

}  // namespace

Status write_bucket_subword_vocab(BufferedWriter& w, const BucketSubwordVocab& vocab) {
  return write_hashed_subword_vocab(w, vocab, ChunkIdentifier::BucketSubwordVocab,
                                    vocab.indexer.buckets_exponent());
}

Status write_fasttext_subword_vocab(BufferedWriter& w, const FastTextSubwordVocab& vocab) {
  return write_hashed_subword_vocab(w, vocab, ChunkIdentifier::FastTextSubwordVocab,
                                    vocab.indexer.bucket_count());
}

Status write_explicit_subword_vocab(BufferedWriter& w, const ExplicitSubwordVocab& vocab) {
  const WordList& ngrams = vocab.indexer.ngrams();
  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(ChunkIdentifier::ExplicitSubwordVocab),
                     Step::WriteSubwordVocabularyChunkIdentifier));
  // The chunk length counts the fields after it: the word and n-gram counts
  // (u64 each), the two n-gram lengths (u32 each), the words, and each n-gram
  // as a string item with its index (u64).
  constexpr std::uint64_t kFieldBytes = 2 * sizeof(std::uint64_t) + 2 * sizeof(std::uint32_t);
  const std::uint64_t chunk_len = kFieldBytes + string_items_bytes(vocab.words) + string_items_bytes(ngrams) +
                                  sizeof(std::uint64_t) * static_cast<std::uint64_t>(ngrams.size());
  MAVE_TRY(write_u64(w, chunk_len, Step::WriteSubwordVocabularyChunkLength));
  MAVE_TRY(write_u64(w, vocab.words.size(), Step::WriteNumberOfWords));
  MAVE_TRY(write_u64(w, ngrams.size(), Step::WriteNumberOfNgrams));
  MAVE_TRY(write_u32(w, vocab.min_ngram_len, Step::WriteMinimumNGramLength));
  MAVE_TRY(write_u32(w, vocab.max_ngram_len, Step::WriteMaximumNGramLength));
  MAVE_TRY(write_string_items(w, vocab.words));
  // The dense indices are written as the stored ones: the reader numbers
  // stored indices by first appearance, which gives the dense ones back.
  for (std::size_t i = 0; i < ngrams.size(); ++i) {
    MAVE_TRY(write_string_item(w, ngrams[i]));
    MAVE_TRY(write_u64(w, vocab.indexer.dense_index(i), Step::WriteNgramIndex));
  }
  return {};
}

Status write_floret_subword_vocab(BufferedWriter& w, const FloretSubwordVocab& vocab) {
  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(ChunkIdentifier::FloretSubwordVocab),
                     Step::WriteSubwordVocabularyChunkIdentifier));
  // The chunk length counts the fields after it: the two n-gram lengths
  // (u32 each), the bucket count (u64), the hash count and seed (u32 each),
  // and the two markers as string items.
  constexpr std::uint64_t kFieldBytes = 4 * sizeof(std::uint32_t) + sizeof(std::uint64_t);
  const std::uint64_t chunk_len =
      kFieldBytes + 2 * sizeof(std::uint32_t) + vocab.begin_marker.size() + vocab.end_marker.size();
  MAVE_TRY(write_u64(w, chunk_len, Step::WriteSubwordVocabularyChunkLength));
  MAVE_TRY(write_u32(w, vocab.min_ngram_len, Step::WriteMinimumNGramLength));
  MAVE_TRY(write_u32(w, vocab.max_ngram_len, Step::WriteMaximumNGramLength));
  MAVE_TRY(write_u64(w, vocab.indexer.bucket_count(), Step::WriteNumberOfBuckets));
  MAVE_TRY(write_u32(w, vocab.indexer.hash_count(), Step::WriteNumberOfHashes));
  MAVE_TRY(write_u32(w, vocab.indexer.seed(), Step::WriteHasherSeed));
  MAVE_TRY(write_string_item(w, vocab.begin_marker));
  return write_string_item(w, vocab.end_marker);
}

}  // namespace mave
