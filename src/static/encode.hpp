// Texts into vectors with the core's tokenizer: each text cut as Model2Vec
// cuts it, tokenized without special tokens, its first max_length ids
// pooled (static/pooling.hpp), many texts spread over threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "format/storage.hpp"
#include "format/target.hpp"
#include "static/pooling.hpp"
#include "tokenize/tokenizer.hpp"

namespace mave {

struct EncodeOptions {
  PoolingOptions pooling;  // pooling.max_tokens: max_length (SIZE_MAX: no limit)
  // A text is cut to its first max_tokens x chars_per_token characters before
  // it is tokenized (nothing is cut without a limit).
  std::size_t chars_per_token = 0;
};

// The first `chars` characters (code points) of valid UTF-8 text.
std::string_view first_chars(std::string_view text, std::size_t chars);

// Row i of `out` gets the vector of texts[i] (valid UTF-8). The tokenizer
// must tokenize every component of its file (unsupported() empty) and give
// ids below the storage's rows (an aborting failure otherwise). No allocation
// per text once a thread's buffers have grown. `threads` 0 chooses by the
// number of texts.
void encode_texts(const Tokenizer& tokenizer, const Storage& storage, std::span<const std::string_view> texts,
                  const EncodeOptions& options, const TargetMatrix& out, unsigned threads);

// out[i]: the number of ids of the whole of texts[i], without special tokens.
void count_tokens(const Tokenizer& tokenizer, std::span<const std::string_view> texts, std::int64_t* out,
                  unsigned threads);

}  // namespace mave
