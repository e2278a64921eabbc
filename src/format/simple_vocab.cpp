#include "format/simple_vocab.hpp"

namespace mave {

// Pinned: docs/compatibility.md
Result<SimpleVocab> read_simple_vocab(BufferedReader& r) {
  MAVE_TRY(expect_chunk_identifier(r, ChunkIdentifier::SimpleVocab));
  MAVE_TRY(read_u64(r, Step::ReadVocabularyChunkLength));
  MAVE_ASSIGN_OR_RETURN(std::size_t n_words, read_size(r, Step::ReadVocabularyLength));
  SimpleVocab vocab;
  MAVE_TRY(read_string_items(r, n_words, vocab.words));
  std::size_t distinct = vocab.words.build_index();
  if (distinct != vocab.words.size()) {
    panic(PanicKind::DuplicateWords, PanicFacts::values(vocab.words.size(), distinct));
  }
  return vocab;
}

Status write_simple_vocab(BufferedWriter& w, const SimpleVocab& vocab) {
  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(ChunkIdentifier::SimpleVocab),
                     Step::WriteVocabularyChunkIdentifier));
  // The chunk length counts the word count (u64) and the words.
  const std::uint64_t chunk_len = sizeof(std::uint64_t) + string_items_bytes(vocab.words);
  MAVE_TRY(write_u64(w, chunk_len, Step::WriteVocabularyChunkLength));
  MAVE_TRY(write_u64(w, vocab.words.size(), Step::WriteVocabularyLength));
  return write_string_items(w, vocab.words);
}

}  // namespace mave
