#include "fasttext/fasttext.hpp"

#include <algorithm>
#include <bit>
#include <array>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "format/chunk.hpp"
#include "base/utf8.hpp"
#include "base/vector_math.hpp"

namespace mave {

namespace {

// The smallest dictionary entry: an empty word's terminator, the u64 count and
// the u8 entry type.
constexpr std::size_t kMinEntryBytes = 1 + 8 + 1;

// A stored loss or model code: 1..3, tested unsigned so that 0 and the signed
// -1 (4294967295) are both refused.
template <class E>
Result<E> read_code(BufferedReader& r, std::string_view desc, std::string_view unknown) {
  MAVE_ASSIGN_OR_RETURN(std::uint32_t code, read_u32(r, desc));
  if (code - 1 >= 3) return EmbeddingsError::format(std::string(unknown) + std::to_string(code));
  return static_cast<E>(code - 1);
}

// One dictionary word: bytes up to the first zero byte, or to the end of the
// stream when none comes. The last byte read is dropped either way; without a
// terminator the count read that follows fails at the end of the stream.
// Pinned: docs/compatibility.md
Result<std::string_view> read_entry_word(BufferedReader& r, std::string& buf) {
  buf.clear();
  auto got = r.read_until(0, buf);
  if (!got.ok()) return EmbeddingsError::read("Cannot read string", std::move(got).error());
  if (!buf.empty()) buf.pop_back();
  if (auto bad = validate_utf8(buf)) {
    return EmbeddingsError::format("Token contains invalid UTF-8: " + utf8_error_description(*bad));
  }
  return std::string_view(buf);
}

}  // namespace

// Pinned: docs/compatibility.md (metadata values)
const char* loss_name(Loss loss) {
  switch (loss) {
    case Loss::HierarchicalSoftmax: return "HierarchicalSoftmax";
    case Loss::NegativeSampling: return "NegativeSampling";
    case Loss::Softmax: return "Softmax";
  }
  return "";
}

// Pinned: docs/compatibility.md
const char* model_name(Model model) {
  switch (model) {
    case Model::Cbow: return "Cbow";
    case Model::SkipGram: return "SkipGram";
    case Model::Supervised: return "Supervised";
  }
  return "";
}

// Pinned: docs/compatibility.md
Result<FastTextConfig> read_fasttext_config(BufferedReader& r) {
  FastTextConfig c;
  MAVE_ASSIGN_OR_RETURN(c.dims, read_u32(r, "Cannot read number of dimensions"));
  MAVE_ASSIGN_OR_RETURN(c.window_size, read_u32(r, "Cannot read window size"));
  MAVE_ASSIGN_OR_RETURN(c.epoch, read_u32(r, "Cannot read number of epochs"));
  MAVE_ASSIGN_OR_RETURN(c.min_count, read_u32(r, "Cannot read minimum count"));
  MAVE_ASSIGN_OR_RETURN(c.neg, read_u32(r, "Cannot read negative samples"));
  MAVE_ASSIGN_OR_RETURN(c.word_ngrams, read_u32(r, "Cannot read word n-gram length"));
  // The loss is checked before the model is read.
  MAVE_ASSIGN_OR_RETURN(c.loss, read_code<Loss>(r, "Cannot read loss type", "Unknown loss: "));
  MAVE_ASSIGN_OR_RETURN(c.model, read_code<Model>(r, "Cannot read model type", "Unknown model: "));
  MAVE_ASSIGN_OR_RETURN(c.bucket, read_u32(r, "Cannot read number of buckets"));
  MAVE_ASSIGN_OR_RETURN(c.min_n, read_u32(r, "Cannot read minimum subword length"));
  MAVE_ASSIGN_OR_RETURN(c.max_n, read_u32(r, "Cannot read maximum subword length"));
  MAVE_ASSIGN_OR_RETURN(c.lr_update_rate, read_u32(r, "Cannot read LR update rate"));
  MAVE_ASSIGN_OR_RETURN(c.sampling_threshold, read_f64(r, "Cannot read sampling threshold"));
  return c;
}

// Pinned: docs/compatibility.md
Result<FastTextSubwordVocab> read_fasttext_words(BufferedReader& r, const FastTextConfig& config) {
  MAVE_ASSIGN_OR_RETURN(std::uint32_t vocab_size, read_u32(r, "Cannot read vocabulary size"));
  MAVE_TRY(read_u32(r, "Cannot read number of words"));
  MAVE_ASSIGN_OR_RETURN(std::uint32_t label_count, read_u32(r, "Cannot read number of labels"));
  if (label_count != 0) return EmbeddingsError::format("fastText prediction models are not supported");
  MAVE_TRY(read_u64(r, "Cannot read number of tokens"));
  MAVE_ASSIGN_OR_RETURN(std::int64_t pruned_vocab_size,
                        read_i64(r, "Cannot read pruned vocabulary size"));
  if (pruned_vocab_size >= 0) return EmbeddingsError::format("Pruned vocabularies are not supported");

  // vocab_size is untrusted: reserve no more entries than the rest of the file holds.
  WordList words;
  words.reserve(reservation_for(r, vocab_size, kMinEntryBytes));
  std::string buf;
  for (std::uint32_t i = 0; i < vocab_size; ++i) {
    MAVE_ASSIGN_OR_RETURN(std::string_view word, read_entry_word(r, buf));
    MAVE_TRY(read_u64(r, "Cannot read word frequency"));
    MAVE_ASSIGN_OR_RETURN(std::uint8_t entry_type, read_u8(r, "Cannot read entry type"));
    if (entry_type != 0) return EmbeddingsError::format("Non-word entry");
    words.push_back(word);
  }
  return new_subword_vocabulary(std::move(words), config.min_n, config.max_n,
                                FastTextHashIndexer(config.bucket), "<", ">");
}

// Pinned: docs/compatibility.md
Result<NdArray> read_fasttext_matrix(BufferedReader& r) {
  MAVE_ASSIGN_OR_RETURN(std::size_t rows, read_size(r, "Cannot read number of embedding matrix rows"));
  MAVE_ASSIGN_OR_RETURN(std::size_t cols,
                        read_size(r, "Cannot read number of embedding matrix columns"));
  // A shape whose byte count overflows cannot be in the file: it fails as the
  // short read would, before anything is allocated.
  constexpr const char* kDesc = "Cannot read embeddings";
  if (cols != 0 && rows > std::numeric_limits<std::size_t>::max() / cols) {
    return EmbeddingsError::read(kDesc, IoError::unexpected_eof());
  }
  MAVE_ASSIGN_OR_RETURN(std::vector<float> data, read_f32_array(r, std::uint64_t{rows} * cols, kDesc));
  return NdArray(rows, cols, std::move(data));
}

void average_word_rows(const FastTextSubwordVocab& vocab, NdArray& matrix) {
  const std::size_t n_words = vocab.words.size();
  const std::size_t n_rows = matrix.rows();
  // The subword rows are summed a group at a time as they are enumerated,
  // never all collected: a long word with a large max_n has quadratically
  // many n-grams.
  std::string bracketed;
  for (std::size_t i = 0; i < n_words; ++i) {
    // The failures come in the same order as with a collected list: the
    // length checks, then a zero bucket count on the first hash, then the
    // word's row, then each subword row in turn.
    std::string_view word = vocab.words[i];
    bracketed.clear();
    bracketed.append(vocab.begin_marker).append(word).append(vocab.end_marker);
    CharNGrams ngrams(bracketed, vocab.min_ngram_len, vocab.max_ngram_len);
    std::optional<NGram> ngram = ngrams.next();
    if (!ngram) continue;  // bracketed word shorter than min_n: the row stays as read
    std::uint64_t r = n_words + vocab.indexer.indices_of(*ngram).values[0];

    // Subword rows lie at or after n_words, so they never alias word row i and
    // the sum can be built in place.
    std::span<float> v = matrix.row_mut(i);
    GroupedRowSum sum(v.data(), v.size());
    std::uint64_t count = 0;
    for (;;) {
      check_index(r, n_rows);
      sum.add(matrix.row(static_cast<std::size_t>(r)).data());
      ++count;
      ngram = ngrams.next();
      if (!ngram) break;
      r = n_words + vocab.indexer.indices_of(*ngram).values[0];
    }
    sum.flush();
    // A division by float32(count + 1), not a multiplication by its reciprocal.
    const float d = static_cast<float>(count + 1);
    for (float& x : v) x = x / d;
  }
}

NdNorms normalize_word_rows(NdArray& matrix, std::size_t n_words) {
  NdNorms norms;
  norms.values.assign(n_words, 0.0f);
  const std::size_t present = std::min(n_words, matrix.rows());
  for (std::size_t i = 0; i < present; ++i) {
    std::span<float> row = matrix.row_mut(i);
    norms.values[i] = scale_to_unit_norm(row.data(), row.size(), /*contiguous=*/true);
  }
  return norms;
}

// Pinned: docs/compatibility.md (the metadata keys)
Metadata fasttext_metadata(const FastTextConfig& c) {
  using V = Metadata::Value;
  auto i = [](std::uint32_t v) { return V(static_cast<std::int64_t>(v)); };
  return Metadata::from_entries({
      {"dims", i(c.dims)},
      {"window_size", i(c.window_size)},
      {"epoch", i(c.epoch)},
      {"min_count", i(c.min_count)},
      {"neg", i(c.neg)},
      {"word_ngrams", i(c.word_ngrams)},
      {"loss", V(std::string(loss_name(c.loss)))},
      {"model", V(std::string(model_name(c.model)))},
      {"bucket", i(c.bucket)},
      {"min_n", i(c.min_n)},
      {"max_n", i(c.max_n)},
      {"lr_update_rate", i(c.lr_update_rate)},
      {"sampling_threshold", V(c.sampling_threshold)},
  });
}

Result<Embeddings> load_fasttext_model(BufferedReader& r, bool normalize) {
  // Pinned: docs/compatibility.md (odd word order kept; and the texts below)
  MAVE_ASSIGN_OR_RETURN(std::uint32_t magic, read_u32(r, "Cannot fastText read magic"));
  if (magic != kFastTextMagic) {
    return EmbeddingsError::format("Expected " + std::to_string(kFastTextMagic) +
                                   " as magic, got: " + std::to_string(magic));
  }
  MAVE_ASSIGN_OR_RETURN(std::uint32_t version, read_u32(r, "Cannot read fastText version"));
  if (version > kFastTextMaxVersion) {
    return EmbeddingsError::format("Expected " + std::to_string(kFastTextMaxVersion) +
                                   " as version, got: " + std::to_string(version));
  }
  MAVE_ASSIGN_OR_RETURN(FastTextConfig config, read_fasttext_config(r));
  MAVE_ASSIGN_OR_RETURN(FastTextSubwordVocab vocab, read_fasttext_words(r, config));

  // Pinned: docs/compatibility.md (and the texts below)
  MAVE_ASSIGN_OR_RETURN(std::uint8_t quantized, read_u8(r, "Cannot read quantization information"));
  // Only 1 means quantized; other values read as an ordinary matrix.
  if (quantized == 1) return EmbeddingsError::format("Quantized fastText models are not supported");
  MAVE_ASSIGN_OR_RETURN(NdArray matrix, read_fasttext_matrix(r));

  average_word_rows(vocab, matrix);
  std::optional<NdNorms> norms;
  if (normalize) norms = normalize_word_rows(matrix, vocab.words.size());
  // Checked only now: a matrix with extra rows is averaged and normalised first.
  if (matrix.rows() != vocab.words.size() + std::size_t{config.bucket}) {
    return EmbeddingsError::matrix_shape(ShapeErrorKind::IncompatibleShape);
  }
  if (!norms) {
    return Embeddings::unchecked(fasttext_metadata(config), Vocab(std::move(vocab)),
                                 Storage(std::move(matrix)), std::nullopt);
  }
  return Embeddings(fasttext_metadata(config), Vocab(std::move(vocab)), Storage(std::move(matrix)),
                    std::move(*norms));
}

namespace {

// floret's modes as stored.
constexpr std::uint32_t kFloretModeFastText = 1;
constexpr std::uint32_t kFloretModeFloret = 2;

struct Settings {
  FastTextLayout layout;
  FastTextConfig config;
  std::uint32_t mode = kFloretModeFastText;
  std::uint32_t hash_count = 1;
};

// The settings block after an optional magic and version. In floret's block
// the eight bytes where fastText keeps the sampling threshold hold the hash
// count (1 to 4) and the learning-rate update rate: as a double they are a
// positive subnormal, which no sampling threshold is.
Result<Settings> read_settings(BufferedReader& r) {
  MAVE_ASSIGN_OR_RETURN(std::uint32_t first, read_u32(r, "Cannot read fastText magic"));
  Settings s{FastTextLayout::Current, {}};
  if (first == kFastTextMagic) {
    MAVE_ASSIGN_OR_RETURN(std::uint32_t version, read_u32(r, "Cannot read fastText version"));
    if (version > kFastTextMaxVersion) {
      return EmbeddingsError::format("Expected " + std::to_string(kFastTextMaxVersion) +
                                     " as version, got: " + std::to_string(version));
    }
    MAVE_ASSIGN_OR_RETURN(s.config, read_fasttext_config(r));
  } else {
    // The old layout starts with the settings: `first` is the dimension count.
    s.layout = FastTextLayout::Old;
    FastTextConfig c;
    c.dims = first;
    MAVE_ASSIGN_OR_RETURN(c.window_size, read_u32(r, "Cannot read window size"));
    MAVE_ASSIGN_OR_RETURN(c.epoch, read_u32(r, "Cannot read number of epochs"));
    MAVE_ASSIGN_OR_RETURN(c.min_count, read_u32(r, "Cannot read minimum count"));
    MAVE_ASSIGN_OR_RETURN(c.neg, read_u32(r, "Cannot read negative samples"));
    MAVE_ASSIGN_OR_RETURN(c.word_ngrams, read_u32(r, "Cannot read word n-gram length"));
    MAVE_ASSIGN_OR_RETURN(c.loss, read_code<Loss>(r, "Cannot read loss type", "Unknown loss: "));
    MAVE_ASSIGN_OR_RETURN(c.model, read_code<Model>(r, "Cannot read model type", "Unknown model: "));
    MAVE_ASSIGN_OR_RETURN(c.bucket, read_u32(r, "Cannot read number of buckets"));
    MAVE_ASSIGN_OR_RETURN(c.min_n, read_u32(r, "Cannot read minimum subword length"));
    MAVE_ASSIGN_OR_RETURN(c.max_n, read_u32(r, "Cannot read maximum subword length"));
    MAVE_ASSIGN_OR_RETURN(c.lr_update_rate, read_u32(r, "Cannot read LR update rate"));
    MAVE_ASSIGN_OR_RETURN(c.sampling_threshold, read_f64(r, "Cannot read sampling threshold"));
    s.config = c;
    return s;
  }
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(s.config.sampling_threshold);
  const auto low = static_cast<std::uint32_t>(bits), high = static_cast<std::uint32_t>(bits >> 32);
  if (bits != 0 && (high >> 20) == 0 && low >= 1 && low <= 4) {
    s.layout = FastTextLayout::Floret;
    s.mode = s.config.lr_update_rate;
    s.hash_count = low;
    s.config.lr_update_rate = high;
    MAVE_ASSIGN_OR_RETURN(s.config.sampling_threshold, read_f64(r, "Cannot read sampling threshold"));
    if (s.mode != kFloretModeFastText && s.mode != kFloretModeFloret) {
      return EmbeddingsError::format("Unknown floret mode: " + std::to_string(s.mode));
    }
  }
  return s;
}

// The dictionary, in either layout: the words, the first `limit` of them kept.
Result<WordList> read_dictionary(BufferedReader& r, FastTextLayout layout, std::uint64_t& n_words) {
  MAVE_ASSIGN_OR_RETURN(std::uint32_t vocab_size, read_u32(r, "Cannot read vocabulary size"));
  MAVE_TRY(read_u32(r, "Cannot read number of words"));
  MAVE_ASSIGN_OR_RETURN(std::uint32_t label_count, read_u32(r, "Cannot read number of labels"));
  if (label_count != 0) return EmbeddingsError::format("fastText prediction models are not supported");
  MAVE_TRY(read_u64(r, "Cannot read number of tokens"));
  if (layout != FastTextLayout::Old) {
    MAVE_ASSIGN_OR_RETURN(std::int64_t pruned, read_i64(r, "Cannot read pruned vocabulary size"));
    if (pruned >= 0) return EmbeddingsError::format("Pruned vocabularies are not supported");
  }
  WordList words;
  words.reserve(reservation_for(r, vocab_size, kMinEntryBytes));
  std::string buf;
  for (std::uint32_t i = 0; i < vocab_size; ++i) {
    MAVE_ASSIGN_OR_RETURN(std::string_view word, read_entry_word(r, buf));
    MAVE_TRY(read_u64(r, "Cannot read word frequency"));
    MAVE_ASSIGN_OR_RETURN(std::uint8_t entry_type, read_u8(r, "Cannot read entry type"));
    if (entry_type != 0) return EmbeddingsError::format("Non-word entry");
    words.push_back(word);
  }
  n_words = vocab_size;
  return words;
}

Metadata floret_metadata(const Settings& s) {
  using V = Metadata::Value;
  auto i = [](std::uint32_t v) { return V(static_cast<std::int64_t>(v)); };
  const FastTextConfig& c = s.config;
  return Metadata::from_entries({
      {"dims", i(c.dims)},
      {"window_size", i(c.window_size)},
      {"epoch", i(c.epoch)},
      {"min_count", i(c.min_count)},
      {"neg", i(c.neg)},
      {"word_ngrams", i(c.word_ngrams)},
      {"loss", V(std::string(loss_name(c.loss)))},
      {"model", V(std::string(model_name(c.model)))},
      {"bucket", i(c.bucket)},
      {"min_n", i(c.min_n)},
      {"max_n", i(c.max_n)},
      {"mode", V(std::string("floret"))},
      {"hash_count", i(s.hash_count)},
      {"hash_seed", V(static_cast<std::int64_t>(kFloretSeed))},
      {"lr_update_rate", i(c.lr_update_rate)},
      {"sampling_threshold", V(c.sampling_threshold)},
  });
}

// Keeps the first `keep` word rows and every row after the `n_words` word
// rows.
NdArray without_word_rows(NdArray matrix, std::size_t n_words, std::size_t keep) {
  if (keep == n_words) return matrix;
  const std::size_t cols = matrix.cols();
  const std::size_t rows = matrix.rows() - (n_words - keep);
  std::vector<float> data(rows * cols);
  for (std::size_t i = 0; i < keep; ++i) std::copy_n(matrix.row(i).data(), cols, data.data() + i * cols);
  for (std::size_t i = n_words; i < matrix.rows(); ++i) {
    std::copy_n(matrix.row(i).data(), cols, data.data() + (i - n_words + keep) * cols);
  }
  return NdArray(rows, cols, std::move(data));
}

}  // namespace

Result<FastTextImport> import_fasttext_model(BufferedReader& r, const FastTextModelOptions& options) {
  MAVE_ASSIGN_OR_RETURN(Settings s, read_settings(r));
  std::uint64_t n_words = 0;
  MAVE_ASSIGN_OR_RETURN(WordList words, read_dictionary(r, s.layout, n_words));
  if (s.layout != FastTextLayout::Old) {
    MAVE_ASSIGN_OR_RETURN(std::uint8_t quantized, read_u8(r, "Cannot read quantization information"));
    if (quantized == 1) return EmbeddingsError::format("Quantized fastText models are not supported");
  }
  MAVE_ASSIGN_OR_RETURN(NdArray matrix, read_fasttext_matrix(r));
  if (matrix.rows() != n_words + std::uint64_t{s.config.bucket} || matrix.cols() != s.config.dims) {
    return EmbeddingsError::matrix_shape(ShapeErrorKind::IncompatibleShape);
  }

  if (s.layout == FastTextLayout::Floret && s.mode == kFloretModeFloret) {
    if (s.config.bucket == 0) return EmbeddingsError::format("A floret model without buckets");
    // Only the bucket rows: floret looks every string up by its n-grams.
    NdArray buckets = without_word_rows(std::move(matrix), static_cast<std::size_t>(n_words), 0);
    FloretSubwordVocab vocab = new_subword_vocabulary(
        WordList{}, s.config.min_n, s.config.max_n,
        FloretHashIndexer(s.config.bucket, s.hash_count, kFloretSeed), "<", ">");
    return FastTextImport{s.layout, Embeddings::unchecked(floret_metadata(s), Vocab(std::move(vocab)),
                                                          Storage(std::move(buckets)), std::nullopt)};
  }
  if (s.config.max_n < s.config.min_n) {
    return EmbeddingsError::format("A fastText model without subwords (max_n below min_n)");
  }
  const std::size_t keep = static_cast<std::size_t>(
      options.limit ? std::min<std::uint64_t>(*options.limit, n_words) : n_words);
  if (keep < n_words) {
    WordList first;
    first.reserve(keep);
    for (std::size_t i = 0; i < keep; ++i) first.push_back(words[i]);
    words = std::move(first);
    matrix = without_word_rows(std::move(matrix), static_cast<std::size_t>(n_words), keep);
  }
  if (words.build_index() != words.size()) return EmbeddingsError::format("A word repeats in the dictionary");
  FastTextSubwordVocab vocab = new_subword_vocabulary(std::move(words), s.config.min_n, s.config.max_n,
                                                      FastTextHashIndexer(s.config.bucket), "<", ">");
  average_word_rows(vocab, matrix);
  std::optional<NdNorms> norms;
  if (options.normalize) norms = normalize_word_rows(matrix, vocab.words.size());
  return FastTextImport{s.layout, Embeddings::unchecked(fasttext_metadata(s.config), Vocab(std::move(vocab)),
                                                        Storage(std::move(matrix)), std::move(norms))};
}

}  // namespace mave
