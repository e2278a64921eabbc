// A tokenizer read from a Hugging Face `tokenizer.json`: its vocabulary for
// every model kind, and for the pipelines it knows (see unsupported()) the
// ids the `tokenizers` package gives, bit for bit, without the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace mave {

namespace tokenize {
struct TokenizerImpl;
}

// Buffers one thread reuses across texts, so that encoding allocates
// nothing once they have grown to the texts' size.
struct TokenizerScratch {
  // The added tokens found in the text, and in its normalized pieces.
  std::vector<std::uint64_t> raw_spans, spans2;
  std::vector<std::uint32_t> raw_span_ids, span2_ids;
  // Normalizing: code points between steps, and where each came from.
  std::u32string chars[2];
  std::vector<std::uint32_t> origin[2], normalized_origin;
  std::vector<std::uint64_t> work;
  std::string normalized, region;
  // Pre-tokenizing: the pieces (begin << 32 | end in pieces_text).
  std::string pieces_text[2];
  std::vector<std::uint64_t> pieces[2];
  std::vector<std::uint8_t> piece_first[2];
  std::vector<std::uint64_t> spans, merged;
  std::vector<std::uint8_t> matches;
  std::vector<std::size_t> offsets;
  std::string word;
  // The models.
  std::vector<std::uint64_t> boundaries, queue;
  std::vector<std::uint32_t> symbols, best;
  std::vector<std::int32_t> links;
  std::vector<double> scores;
};

class Tokenizer {
 public:
  // Parses tokenizer.json. A malformed file is ErrorCode::BadTokenizer with
  // the field and what is wrong; a component this code cannot tokenize is not
  // an error (see unsupported()).
  static Result<Tokenizer> parse(std::string_view json);

  // Ids are 0 .. vocab_size()-1: the model's tokens, then the added ones.
  std::size_t vocab_size() const;
  std::string_view token(std::uint32_t id) const;
  std::optional<std::uint32_t> id_of(std::string_view token) const;
  // The model's unknown token, if it has one.
  std::optional<std::uint32_t> unk_id() const;
  // Empty when every component is tokenized here; else the first that is not
  // (e.g. "normalizer Precompiled").
  std::string_view unsupported() const;
  // One line: the model kind and each component with its settings.
  std::string describe() const;

  // Appends the ids of `text` (valid UTF-8) as `tokenizers`'
  // `Tokenizer.encode(text, add_special_tokens=False).ids`, stopping after
  // `max_ids` ids (the first max_ids of the whole encoding). Only when
  // unsupported() is empty. Thread-safe with one scratch per thread.
  void encode(std::string_view text, std::vector<std::uint32_t>& ids, TokenizerScratch& scratch,
              std::size_t max_ids = SIZE_MAX) const;

  // For tests: the text after the normalizer, and the pieces after the
  // pre-tokenizer (each as the model sees it), of the text between added tokens.
  std::string normalize(std::string_view text) const;
  std::vector<std::string> pre_tokenize(std::string_view text) const;

  explicit Tokenizer(std::shared_ptr<const tokenize::TokenizerImpl> impl) : impl_(std::move(impl)) {}

 private:
  std::shared_ptr<const tokenize::TokenizerImpl> impl_;
};

}  // namespace mave
