// The vocabulary of a tokenizer.json (the Hugging Face tokenizers library's
// file): the tokens in id order and the unknown token, as the library gives
// them (the model's vocabulary, then the added tokens). Tokenizing is not
// done here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "base/word_list.hpp"

namespace mave {

struct TokenVocab {
  WordList tokens;  // position = token id; indexed on the first lookup
  std::optional<std::uint32_t> unknown_id;
  std::string model_type;  // "WordPiece", "BPE", "Unigram" or "WordLevel"
  // The median length of the tokens as stored (in characters, "##ing" and
  // "Ġthe" counting their marks), rounded down: Model2Vec cuts a text to
  // max_length times this many characters before tokenizing it.
  std::size_t median_chars = 0;
};

// Reads the vocabulary from the text of a tokenizer.json. Every id from 0 to
// the largest must name exactly one token; a token's text at two ids is
// found at the last (the index is built on the first lookup).
// `padded`: as for json::parse (the text is otherwise copied once).
Result<TokenVocab> parse_token_vocab(std::string_view text, bool padded = false);

}  // namespace mave
