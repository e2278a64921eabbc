#include "format/simple_vocab.hpp"

namespace mave {

// Pinned: docs/compatibility.md
Result<SimpleVocab> read_simple_vocab(BufferedReader& r) {
  MAVE_TRY(expect_chunk_identifier(r, ChunkIdentifier::SimpleVocab));
  MAVE_TRY(read_u64(r, "Cannot read vocabulary chunk length"));
  MAVE_ASSIGN_OR_RETURN(std::size_t n_words, read_size(r, "Cannot read vocabulary length"));
  SimpleVocab vocab;
  MAVE_TRY(read_string_items(r, n_words, vocab.words));
  std::size_t distinct = vocab.words.build_index();
  if (distinct != vocab.words.size()) {
    panic_assert_eq("words contained duplicate entries.", vocab.words.size(), distinct);
  }
  return vocab;
}

}  // namespace mave
