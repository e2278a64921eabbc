// Reading a fastText binary model and converting it into embeddings: the word
// rows become the mean of the word's row and its subword rows, scaled to unit
// length with the norms kept; the subword rows are carried over as read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/io.hpp"
#include "base/utf8.hpp"
#include "format/embeddings.hpp"
#include "format/metadata.hpp"
#include "format/nd_array.hpp"
#include "format/norms.hpp"
#include "format/subword_vocab.hpp"

namespace mave {

inline constexpr std::uint32_t kFastTextMagic = 793712314;
inline constexpr std::uint32_t kFastTextMaxVersion = 12;

// Stored codes are 1-based: code - 1 is the enumerator's value.
enum class Loss : std::uint32_t { HierarchicalSoftmax, NegativeSampling, Softmax };
enum class Model : std::uint32_t { Cbow, SkipGram, Supervised };

// The 56-byte settings block, fields in stored order.
struct FastTextConfig {
  std::uint32_t dims = 0;
  std::uint32_t window_size = 0;
  std::uint32_t epoch = 0;
  std::uint32_t min_count = 0;
  std::uint32_t neg = 0;
  std::uint32_t word_ngrams = 0;
  Loss loss = Loss::HierarchicalSoftmax;
  Model model = Model::Cbow;
  std::uint32_t bucket = 0;
  std::uint32_t min_n = 0;
  std::uint32_t max_n = 0;
  std::uint32_t lr_update_rate = 0;
  double sampling_threshold = 0.0;
};

// The whole import, from the magic to the assembled embeddings. Failures of
// the subword machinery and row-index checks are aborting failures. Without
// `normalize` the averaged word rows are kept as they are and there are no
// norms.
Result<Embeddings> load_fasttext_model(BufferedReader& r, bool normalize = true);

Result<FastTextConfig> read_fasttext_config(BufferedReader& r);

// The binaries mave.convert reads besides today's fastText models: those
// written before fastText's header had a magic number and a version (the
// settings block first; no pruned-vocabulary size; no quantization flags),
// and floret's, whose settings block holds the mode and the hash count
// between the maximum n-gram length and the learning-rate update rate.
enum class FastTextLayout { Current, Old, Floret };

// floret's seed of its n-gram hash, which its binaries do not store.
inline constexpr std::uint32_t kFloretSeed = 2166136261u;

struct FastTextModelOptions {
  bool normalize = true;
  // Only the first `limit` words are kept; every subword row stays.
  std::optional<std::uint64_t> limit;
  // Words that are not valid UTF-8: refused (Strict), or decoded; a word
  // that becomes empty or equal to an earlier one is dropped with its row.
  Utf8Errors errors = Utf8Errors::Strict;
};

struct FastTextImport {
  FastTextLayout layout = FastTextLayout::Current;
  Embeddings embeddings;
  std::size_t dropped_words = 0;
};

// fastText (both layouts) gives the fastText subword kind, as
// load_fasttext_model does; a floret model in floret mode gives the floret
// kind: no word rows (floret never uses them), the bucket rows as read, and
// no norms.
Result<FastTextImport> import_fasttext_model(BufferedReader& r, const FastTextModelOptions& options = {});
// The dictionary block, then the vocabulary built from it (markers "<" and ">").
Result<FastTextSubwordVocab> read_fasttext_words(BufferedReader& r, const FastTextConfig& config);
// row_count, column_count and the row-major float32 input matrix.
Result<NdArray> read_fasttext_matrix(BufferedReader& r);

// Replaces each word row by (row + its subword rows, in n-gram order) divided
// by float32(n-gram count + 1). Rows of words without n-grams stay as read.
void average_word_rows(const FastTextSubwordVocab& vocab, NdArray& matrix);
// Scales the first min(n_words, rows) rows to unit length; returns n_words
// norms (a row the matrix lacks leaves its norm 0, and the shape check that
// follows rejects such a matrix anyway).
NdNorms normalize_word_rows(NdArray& matrix, std::size_t n_words);

}  // namespace mave
