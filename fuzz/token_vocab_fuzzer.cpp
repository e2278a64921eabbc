// Fuzz target: the vocabulary reader of tokenizer.json (the tokens in id
// order, the unknown token, the median token length). A failure must come
// back as an error both renderers can word; a success must give distinct
// tokens that the index finds at their ids.
#include <cstdint>
#include <string_view>

#include "fuzz_support.hpp"
#include "static/token_vocab.hpp"
#include "subword/ngrams.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using mave::fuzz::require;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto vocab = mave::parse_token_vocab(text);
  if (!vocab.ok()) {
    require(mave::fuzz::renders(vocab.error()), "an error without text");
    return 0;
  }
  const mave::TokenVocab& v = vocab.value();
  std::size_t longest = 0;
  for (std::size_t i = 0; i < v.tokens.size(); ++i) {
    const auto found = v.tokens.find(v.tokens[i]);
    require(found && *found == i, "a token is not found at its id");
    longest = std::max(longest, mave::count_chars(v.tokens[i]));
  }
  require(!v.unknown_id || *v.unknown_id < v.tokens.size(), "the unknown id names no token");
  require(v.median_chars <= longest, "a median longer than every token");
  return 0;
}
