#include "format/subword_vocab.hpp"

#include <limits>

#include "format/utf8.hpp"

namespace mave {

namespace {

// Word and n-gram counts are stored as u64 and truncated to the size type.
std::size_t truncate_to_size(std::uint64_t v) { return static_cast<std::size_t>(v); }

struct NGramLengths {
  std::uint32_t min, max;
};

Result<NGramLengths> read_ngram_lengths(BufferedReader& r) {
  MAVE_ASSIGN_OR_RETURN(std::uint32_t min, read_u32(r, "Cannot read minimum n-gram length"));
  MAVE_ASSIGN_OR_RETURN(std::uint32_t max, read_u32(r, "Cannot read maximum n-gram length"));
  return NGramLengths{min, max};
}

// The bucket and fastText kinds share their layout: only the meaning of the
// u32 bucket field differs (an exponent, or a count), which the indexer takes.
template <class Indexer>
Result<SubwordVocab<Indexer>> read_hashed_subword_vocab(BufferedReader& r, ChunkIdentifier kind) {
  MAVE_TRY(expect_chunk_identifier(r, kind));
  MAVE_TRY(read_u64(r, "Cannot read vocabulary chunk length"));
  MAVE_ASSIGN_OR_RETURN(std::uint64_t n_words, read_u64(r, "Cannot read vocabulary length"));
  MAVE_ASSIGN_OR_RETURN(NGramLengths lengths, read_ngram_lengths(r));
  MAVE_ASSIGN_OR_RETURN(std::uint32_t buckets, read_u32(r, "Cannot read number of buckets"));
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

Result<ExplicitSubwordVocab> read_explicit_subword_vocab(BufferedReader& r) {
  MAVE_TRY(expect_chunk_identifier(r, ChunkIdentifier::ExplicitSubwordVocab));
  MAVE_TRY(read_u64(r, "Cannot read vocabulary chunk length"));
  MAVE_ASSIGN_OR_RETURN(std::uint64_t n_words, read_u64(r, "Cannot read number of words"));
  MAVE_ASSIGN_OR_RETURN(std::uint64_t n_ngrams, read_u64(r, "Cannot read number of ngrams"));
  MAVE_ASSIGN_OR_RETURN(NGramLengths lengths, read_ngram_lengths(r));
  WordList words;
  MAVE_TRY(read_string_items(r, truncate_to_size(n_words), words));

  const std::size_t count = truncate_to_size(n_ngrams);
  std::vector<NGramTableIndexer::Entry> entries;
  entries.reserve(reservation_for(r, count, 12));  // length + index at least
  for (std::size_t i = 0; i < count; ++i) {
    MAVE_ASSIGN_OR_RETURN(std::uint32_t len, read_u32(r, "Cannot read item length"));
    auto text = read_bytes(r, len);
    if (!text.ok()) return EmbeddingsError::read("Cannot read item", std::move(text).error());
    if (auto bad = validate_utf8(text.value())) {
      return EmbeddingsError::format("Item contains invalid UTF-8: " + utf8_error_description(*bad));
    }
    MAVE_ASSIGN_OR_RETURN(std::uint64_t index, read_u64(r, "Cannot read ngram index."));
    entries.push_back({std::move(text).value(), index});
  }
  NGramTableIndexer indexer(entries);
  return new_subword_vocabulary(std::move(words), lengths.min, lengths.max, std::move(indexer),
                                "<", ">");
}

Result<FloretSubwordVocab> read_floret_subword_vocab(BufferedReader& r) {
  MAVE_TRY(expect_chunk_identifier(r, ChunkIdentifier::FloretSubwordVocab));
  MAVE_TRY(read_u64(r, "Cannot read vocabulary chunk length"));
  MAVE_ASSIGN_OR_RETURN(NGramLengths lengths, read_ngram_lengths(r));
  MAVE_ASSIGN_OR_RETURN(std::uint64_t buckets, read_u64(r, "Cannot read number of buckets"));
  MAVE_ASSIGN_OR_RETURN(std::uint32_t hash_count, read_u32(r, "Cannot read number of hashes"));
  if (hash_count < 1 || hash_count > 4) {
    return EmbeddingsError::read(
        "Number of hashes should be in be more than 0 and less than 5, was: " +
            std::to_string(hash_count),
        IoError::from_kind(ErrorKind::InvalidData));
  }
  MAVE_ASSIGN_OR_RETURN(std::uint32_t seed, read_u32(r, "Cannot read hasher seed"));
  auto begin = read_string_item(r);
  if (!begin.ok()) {
    return EmbeddingsError::context("Cannot read begin of word marker", std::move(begin).error());
  }
  auto end = read_string_item(r);
  if (!end.ok()) {
    return EmbeddingsError::context("Cannot read end of word marker", std::move(end).error());
  }
  FloretHashIndexer indexer(buckets, hash_count, seed);
  return new_subword_vocabulary(WordList{}, lengths.min, lengths.max, indexer,
                                std::move(begin).value(), std::move(end).value());
}

Status write_fasttext_subword_vocab(BufferedWriter& w, const FastTextSubwordVocab& vocab) {
  std::uint64_t chunk_len = 20 + 4 * static_cast<std::uint64_t>(vocab.words.size()) +
                            vocab.words.total_bytes();
  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(ChunkIdentifier::FastTextSubwordVocab),
                     "Cannot write subword vocabulary chunk identifier"));
  MAVE_TRY(write_u64(w, chunk_len, "Cannot write subword vocabulary chunk length"));
  MAVE_TRY(write_u64(w, vocab.words.size(), "Cannot write vocabulary length"));
  MAVE_TRY(write_u32(w, vocab.min_ngram_len, "Cannot write minimum n-gram length"));
  MAVE_TRY(write_u32(w, vocab.max_ngram_len, "Cannot write maximum n-gram length"));
  MAVE_TRY(write_u32(w, vocab.indexer.bucket_count(), "Cannot write number of buckets"));
  return write_string_items(w, vocab.words);
}

}  // namespace mave
