#include "static/encode.hpp"

#include <vector>

#include "base/threads.hpp"

namespace mave {
namespace {

// One thread's buffers, reused from text to text and batch to batch.
struct EncodeScratch {
  TokenizerScratch tokenizer;
  std::vector<std::uint32_t> ids;
};

EncodeScratch& scratch() {
  thread_local EncodeScratch s;
  return s;
}

// Texts per thread at the least: fewer do not pay for starting one.
constexpr std::size_t kTextsPerThread = 256;

}  // namespace

std::string_view first_chars(std::string_view text, std::size_t chars) {
  // A character begins at every byte that does not continue another.
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (seen == chars) return text.substr(0, i);
    ++seen;
  }
  return text;
}

void encode_texts(const Tokenizer& tokenizer, const Storage& storage, std::span<const std::string_view> texts,
                  const EncodeOptions& options, const TargetMatrix& out, unsigned threads) {
  const std::size_t limit = options.pooling.max_tokens;
  // SIZE_MAX: nothing is cut (no limit, or a cut longer than any text).
  std::size_t cut = SIZE_MAX;
  if (limit != SIZE_MAX && (options.chars_per_token == 0 || limit <= SIZE_MAX / options.chars_per_token)) {
    cut = limit * options.chars_per_token;
  }
  threads = choose_threads(threads, texts.size(), kTextsPerThread);
  parallel_for(texts.size(), threads, [&](unsigned, std::size_t begin, std::size_t end) {
    EncodeScratch& s = scratch();
    for (std::size_t i = begin; i < end; ++i) {
      const std::string_view text = cut == SIZE_MAX ? texts[i] : first_chars(texts[i], cut);
      s.ids.clear();
      tokenizer.encode(text, s.ids, s.tokenizer, limit);
      pool_text(storage, s.ids, options.pooling, out.row(i));
    }
  });
}

void count_tokens(const Tokenizer& tokenizer, std::span<const std::string_view> texts, std::int64_t* out,
                  unsigned threads) {
  threads = choose_threads(threads, texts.size(), kTextsPerThread);
  parallel_for(texts.size(), threads, [&](unsigned, std::size_t begin, std::size_t end) {
    EncodeScratch& s = scratch();
    for (std::size_t i = begin; i < end; ++i) {
      s.ids.clear();
      tokenizer.encode(texts[i], s.ids, s.tokenizer);
      out[i] = static_cast<std::int64_t>(s.ids.size());
    }
  });
}

}  // namespace mave
