// Fuzz target: the tokenizer.json reader, and when a file reads, encoding
// with it: texts of every kind and the input's own valid UTF-8 prefix.
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.hpp"
#include "fuzz_support.hpp"
#include "tokenize/tokenizer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using mave::fuzz::require;
  const std::string_view json(reinterpret_cast<const char*>(data), size);
  auto parsed = mave::Tokenizer::parse(json);
  if (!parsed.ok()) {
    require(mave::fuzz::renders(parsed.error()), "a tokenizer failure renders");
    return 0;
  }
  const mave::Tokenizer& tokenizer = parsed.value();
  const std::size_t n = tokenizer.vocab_size();
  for (std::uint32_t id = 0; id < n && id < 64; ++id) {
    require(tokenizer.id_of(tokenizer.token(id)).has_value(), "every token is found");
  }
  (void)tokenizer.describe();
  if (!tokenizer.unsupported().empty()) return 0;
  std::vector<std::string> texts = {
      "",
      " ",
      "Hello, world! It's 2024.",
      "caf\xC3\xA9 e\xCC\x81 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80",
      "  [UNK] <s></s>\t\n\xE2\x96\x81x",
      std::string(300, 'a'),
  };
  // The input itself as a text, up to its first invalid byte.
  std::string_view own = json.substr(0, 512);
  if (auto error = mave::validate_utf8(own)) own = own.substr(0, error->valid_up_to);
  texts.emplace_back(own);
  mave::TokenizerScratch scratch;
  std::vector<std::uint32_t> ids;
  for (const std::string& text : texts) {
    ids.clear();
    tokenizer.encode(text, ids, scratch);
    for (std::uint32_t id : ids) require(id < n, "an id is below the vocabulary size");
    std::vector<std::uint32_t> first;
    tokenizer.encode(text, first, scratch, 3);
    require(first.size() == std::min<std::size_t>(3, ids.size()), "max_ids gives the first ids");
    for (std::size_t i = 0; i < first.size(); ++i) require(first[i] == ids[i], "max_ids gives the first ids");
  }
  return 0;
}
