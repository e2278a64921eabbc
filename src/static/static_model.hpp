// Static sentence models: a folder holding a tokenizer.json and a table of one
// vector per token in a safetensors file, in the layouts Model2Vec and
// sentence-transformers publish. Loading reads the configuration, the
// tokenizer's vocabulary and the safetensors header, and maps the table: an
// Embeddings over the tokens (a simple vocabulary in id order) and the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/error.hpp"
#include "format/embeddings.hpp"
#include "static/safetensors.hpp"
#include "tokenize/tokenizer.hpp"

namespace mave {

enum class StaticLayout : std::uint8_t {
  // config.json, tokenizer.json and model.safetensors ("embeddings", with
  // optional "mapping" and "weights").
  Model2Vec,
  // config_sentence_transformers.json, tokenizer.json and model.safetensors
  // at the root.
  SentenceTransformers,
  // modules.json naming a StaticEmbedding module's folder (tokenizer.json,
  // model.safetensors with "embedding.weight"), and an optional Normalize.
  SentenceTransformersModules,
};

// How the texts of a model are pooled.
struct StaticSettings {
  bool normalize = false;
  // At most this many tokens of a text, after the text was cut to its first
  // max_length x chars_per_token characters (as Model2Vec does before
  // tokenizing, for speed); none: all of it.
  std::optional<std::size_t> max_length = 512;
  // The median token length in characters, rounded down (TokenVocab).
  std::size_t chars_per_token = 0;
  // Tokens with this id are left out of a text's mean.
  std::optional<std::uint32_t> unknown_id;
};

// A failure and the file it is about (the folder itself when no file of a
// layout is there).
struct FileFailure {
  std::string path;
  EmbeddingsError error;
};

// The core's tokenizer of a static model, read from its tokenizer.json on
// first use, once, whichever thread asks first: reading a large vocabulary
// into the tokenizer's tables takes longer than the rest of a load, and a
// model that is only looked up in never needs it.
class LazyTokenizer {
 public:
  explicit LazyTokenizer(std::string path) : path_(std::move(path)) {}

  // The tokenizer, or why tokenizer.json cannot be read; the same every time.
  const Result<Tokenizer, FileFailure>& get() const;

 private:
  std::string path_;
  mutable std::once_flag once_;
  mutable std::optional<Result<Tokenizer, FileFailure>> result_;
};

// What a static model is besides its embeddings.
struct StaticFacts {
  StaticSettings settings;
  StaticLayout layout = StaticLayout::Model2Vec;
  std::string tokenizer_path;
  std::string tensors_path;
  std::string tokenizer_model;           // "WordPiece", "BPE", "Unigram", "WordLevel"
  TensorDtype dtype = TensorDtype::F32;  // of the table
  bool has_mapping = false;
  bool has_weights = false;
  std::shared_ptr<const LazyTokenizer> tokenizer;
};

struct StaticModel {
  Embeddings embeddings;
  StaticFacts facts;
};

// Loads the folder. A missing file of the layout found is an OS error
// (ENOENT) naming it; anything else wrong a BadStaticModel error.
Result<StaticModel, FileFailure> load_static_model(const std::string& folder);

// The table of a safetensors file of `file_size` bytes (its header checked)
// for `n_tokens` tokens: the 2-D tensor table_names[0] (or else
// table_names[1]), through the optional "mapping" (token -> row) and scaled by
// the optional "weights". An aligned float32 table without either is mapped
// as a plain matrix; anything else as a converting MappedTable. `facts`, when
// given, gets the dtype and whether there are a mapping and weights.
Result<Storage> read_token_table(const File& file, std::uint64_t file_size,
                                 const std::string_view (&table_names)[2], std::size_t n_tokens,
                                 StaticFacts* facts);

// Whether `path` names a directory (following links).
bool is_directory(const std::string& path);

}  // namespace mave
