// The simple vocabulary chunk: a plain word list without subword information.
#pragma once

#include "base/word_list.hpp"
#include "format/chunk.hpp"

namespace mave {

struct SimpleVocab {
  WordList words;  // position = matrix row; indexed for exact lookup

  std::size_t n_words() const { return words.size(); }
  std::uint64_t addressed_rows() const { return words.size(); }
};

Result<SimpleVocab> read_simple_vocab(BufferedReader& r);
Status write_simple_vocab(BufferedWriter& w, const SimpleVocab& vocab);

}  // namespace mave
