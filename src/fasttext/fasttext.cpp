#include "fasttext/fasttext.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <iterator>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/utf8.hpp"
#include "base/vector_math.hpp"
#include "format/chunk.hpp"

namespace mave {

namespace {

// The smallest dictionary entry: an empty word's terminator, the u64 count and
// the u8 entry type.
constexpr std::size_t kMinEntryBytes = 1 + 8 + 1;

// A stored loss or model code: 1..3, tested unsigned so that 0 and the signed
// -1 (4294967295) are both refused.
template <class E>
Result<E> read_code(BufferedReader& r, Step step) {
  const std::uint64_t at = r.offset();
  MAVE_ASSIGN_OR_RETURN(std::uint32_t code, read_u32(r, step));
  if (code - 1 >= 3) return EmbeddingsError::with_values(ErrorCode::UnknownCode, step, 3, code).at(at);
  return static_cast<E>(code - 1);
}

// A model this reader does not take; `step` is the field that tells.
EmbeddingsError unsupported(Step step, std::uint64_t found, std::uint64_t offset) {
  EmbeddingsError e(ErrorCode::UnsupportedModel, step);
  e.found = found;
  return std::move(e).at(offset);
}

// One dictionary word: bytes up to the first zero byte, or to the end of the
// stream when none comes. The last byte read is dropped either way; without a
// terminator the count read that follows fails at the end of the stream.
// Without `validate` the word's bytes are taken as they are (decoded later).
// Pinned: docs/compatibility.md
Result<std::string_view> read_entry_word(BufferedReader& r, std::string& buf, bool validate = true) {
  buf.clear();
  const std::uint64_t at = r.offset();
  auto got = r.read_until(0, buf);
  if (!got.ok()) return EmbeddingsError::read(Step::ReadString, std::move(got).error()).at(at);
  if (!buf.empty()) buf.pop_back();
  if (!validate) return std::string_view(buf);
  if (auto bad = validate_utf8(buf)) return invalid_utf8(Step::ReadString, *bad, at);
  return std::string_view(buf);
}

// Pinned: docs/compatibility.md (metadata values)
// Indexed by the enumerators' values.
constexpr std::string_view kLossNames[] = {"HierarchicalSoftmax", "NegativeSampling", "Softmax"};
static_assert(std::size(kLossNames) == static_cast<std::size_t>(Loss::Softmax) + 1);
constexpr std::string_view kModelNames[] = {"Cbow", "SkipGram", "Supervised"};
static_assert(std::size(kModelNames) == static_cast<std::size_t>(Model::Supervised) + 1);

// The dictionary, in either layout.
Result<WordList> read_dictionary(BufferedReader& r, FastTextLayout layout, std::uint64_t& n_words,
                                 bool validate) {
  MAVE_ASSIGN_OR_RETURN(std::uint32_t vocab_size, read_u32(r, Step::ReadVocabularySize));
  MAVE_TRY(read_u32(r, Step::ReadNumberOfWords));
  const std::uint64_t labels_at = r.offset();
  MAVE_ASSIGN_OR_RETURN(std::uint32_t label_count, read_u32(r, Step::ReadNumberOfLabels));
  if (label_count != 0) return unsupported(Step::ReadNumberOfLabels, label_count, labels_at);
  MAVE_TRY(read_u64(r, Step::ReadNumberOfTokens));
  if (layout != FastTextLayout::Old) {
    const std::uint64_t pruned_at = r.offset();
    MAVE_ASSIGN_OR_RETURN(std::int64_t pruned, read_i64(r, Step::ReadPrunedVocabularySize));
    if (pruned >= 0) {
      return unsupported(Step::ReadPrunedVocabularySize, static_cast<std::uint64_t>(pruned), pruned_at);
    }
  }
  WordList words;
  words.reserve(reservation_for(r, vocab_size, kMinEntryBytes));
  std::string buf;
  for (std::uint32_t i = 0; i < vocab_size; ++i) {
    MAVE_ASSIGN_OR_RETURN(std::string_view word, read_entry_word(r, buf, validate));
    MAVE_TRY(read_u64(r, Step::ReadWordFrequency));
    const std::uint64_t type_at = r.offset();
    MAVE_ASSIGN_OR_RETURN(std::uint8_t entry_type, read_u8(r, Step::ReadEntryType));
    if (entry_type != 0) return unsupported(Step::ReadEntryType, entry_type, type_at);
    words.push_back(word);
  }
  n_words = vocab_size;
  return words;
}

}  // namespace

namespace {

// Every setting after the dimension count, in the order both layouts keep
// them. The loss is checked before the model is read.
Status read_settings_after_dims(BufferedReader& r, FastTextConfig& c) {
  MAVE_ASSIGN_OR_RETURN(c.window_size, read_u32(r, Step::ReadWindowSize));
  MAVE_ASSIGN_OR_RETURN(c.epoch, read_u32(r, Step::ReadNumberOfEpochs));
  MAVE_ASSIGN_OR_RETURN(c.min_count, read_u32(r, Step::ReadMinimumCount));
  MAVE_ASSIGN_OR_RETURN(c.neg, read_u32(r, Step::ReadNegativeSamples));
  MAVE_ASSIGN_OR_RETURN(c.word_ngrams, read_u32(r, Step::ReadWordNGramLength));
  MAVE_ASSIGN_OR_RETURN(c.loss, read_code<Loss>(r, Step::ReadLossType));
  MAVE_ASSIGN_OR_RETURN(c.model, read_code<Model>(r, Step::ReadModelType));
  MAVE_ASSIGN_OR_RETURN(c.bucket, read_u32(r, Step::ReadNumberOfBuckets));
  MAVE_ASSIGN_OR_RETURN(c.min_n, read_u32(r, Step::ReadMinimumSubwordLength));
  MAVE_ASSIGN_OR_RETURN(c.max_n, read_u32(r, Step::ReadMaximumSubwordLength));
  MAVE_ASSIGN_OR_RETURN(c.lr_update_rate, read_u32(r, Step::ReadLRUpdateRate));
  MAVE_ASSIGN_OR_RETURN(c.sampling_threshold, read_f64(r, Step::ReadSamplingThreshold));
  return {};
}

}  // namespace

// Pinned: docs/compatibility.md
Result<FastTextConfig> read_fasttext_config(BufferedReader& r) {
  FastTextConfig c;
  MAVE_ASSIGN_OR_RETURN(c.dims, read_u32(r, Step::ReadNumberOfDimensions));
  MAVE_TRY(read_settings_after_dims(r, c));
  return c;
}

// Pinned: docs/compatibility.md
Result<FastTextSubwordVocab> read_fasttext_words(BufferedReader& r, const FastTextConfig& config) {
  std::uint64_t n_words = 0;
  MAVE_ASSIGN_OR_RETURN(WordList words, read_dictionary(r, FastTextLayout::Current, n_words, true));
  return new_subword_vocabulary(std::move(words), config.min_n, config.max_n,
                                FastTextHashIndexer(config.bucket), "<", ">");
}

// Pinned: docs/compatibility.md
Result<NdArray> read_fasttext_matrix(BufferedReader& r) {
  MAVE_ASSIGN_OR_RETURN(std::size_t rows, read_size(r, Step::ReadNumberOfEmbeddingMatrixRows));
  MAVE_ASSIGN_OR_RETURN(std::size_t cols, read_size(r, Step::ReadNumberOfEmbeddingMatrixColumns));
  // A shape whose byte count overflows cannot be in the file: it fails as the
  // short read would, before anything is allocated.
  if (cols != 0 && rows > std::numeric_limits<std::size_t>::max() / cols) {
    return EmbeddingsError::read(Step::ReadEmbeddings, IoError::unexpected_eof()).at(r.offset());
  }
  MAVE_ASSIGN_OR_RETURN(std::vector<float> data,
                        read_f32_array(r, std::uint64_t{rows} * cols, Step::ReadEmbeddings));
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

namespace {

// Pinned: docs/compatibility.md (the metadata keys)
std::vector<std::pair<std::string, Metadata::Value>> fasttext_entries(const FastTextConfig& c) {
  using V = Metadata::Value;
  auto i = [](std::uint32_t v) { return V(static_cast<std::int64_t>(v)); };
  return {
      {"dims", i(c.dims)},
      {"window_size", i(c.window_size)},
      {"epoch", i(c.epoch)},
      {"min_count", i(c.min_count)},
      {"neg", i(c.neg)},
      {"word_ngrams", i(c.word_ngrams)},
      {"loss", V(std::string(kLossNames[static_cast<std::size_t>(c.loss)]))},
      {"model", V(std::string(kModelNames[static_cast<std::size_t>(c.model)]))},
      {"bucket", i(c.bucket)},
      {"min_n", i(c.min_n)},
      {"max_n", i(c.max_n)},
      {"lr_update_rate", i(c.lr_update_rate)},
      {"sampling_threshold", V(c.sampling_threshold)},
  };
}

Metadata fasttext_metadata(const FastTextConfig& c) { return Metadata::from_entries(fasttext_entries(c)); }

}  // namespace

Result<Embeddings> load_fasttext_model(BufferedReader& r, bool normalize) {
  // Pinned: docs/compatibility.md (odd word order kept; and the texts below)
  const std::uint64_t start = r.offset();
  MAVE_ASSIGN_OR_RETURN(std::uint32_t magic, read_u32(r, Step::FastTextReadMagic));
  if (magic != kFastTextMagic) {
    return EmbeddingsError::with_values(ErrorCode::BadMagic, Step::FastTextReadMagic, kFastTextMagic, magic)
        .at(start);
  }
  MAVE_ASSIGN_OR_RETURN(std::uint32_t version, read_u32(r, Step::ReadFastTextVersion));
  if (version > kFastTextMaxVersion) {
    return EmbeddingsError::with_values(ErrorCode::UnsupportedVersion, Step::ReadFastTextVersion,
                                        kFastTextMaxVersion, version)
        .at(start + 4);
  }
  MAVE_ASSIGN_OR_RETURN(FastTextConfig config, read_fasttext_config(r));
  MAVE_ASSIGN_OR_RETURN(FastTextSubwordVocab vocab, read_fasttext_words(r, config));

  // Pinned: docs/compatibility.md (and the texts below)
  const std::uint64_t quantized_at = r.offset();
  MAVE_ASSIGN_OR_RETURN(std::uint8_t quantized, read_u8(r, Step::ReadQuantizationInformation));
  // Only 1 means quantized; other values read as an ordinary matrix.
  if (quantized == 1) return unsupported(Step::ReadQuantizationInformation, 1, quantized_at);
  MAVE_ASSIGN_OR_RETURN(NdArray matrix, read_fasttext_matrix(r));

  average_word_rows(vocab, matrix);
  std::optional<NdNorms> norms;
  if (normalize) norms = normalize_word_rows(matrix, vocab.words.size());
  // Checked only now: a matrix with extra rows is averaged and normalised first.
  if (matrix.rows() != vocab.words.size() + std::size_t{config.bucket}) {
    EmbeddingsError e =
        EmbeddingsError::with_values(ErrorCode::BadShape, Step::ReadNumberOfEmbeddingMatrixRows,
                                     vocab.words.size() + std::uint64_t{config.bucket}, matrix.rows());
    e.shape = ShapeErrorKind::IncompatibleShape;
    return e;
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
  const std::uint64_t start = r.offset();
  MAVE_ASSIGN_OR_RETURN(std::uint32_t first, read_u32(r, Step::FastTextReadMagic));
  Settings s{FastTextLayout::Current, {}};
  if (first == kFastTextMagic) {
    MAVE_ASSIGN_OR_RETURN(std::uint32_t version, read_u32(r, Step::ReadFastTextVersion));
    if (version > kFastTextMaxVersion) {
      return EmbeddingsError::with_values(ErrorCode::UnsupportedVersion, Step::ReadFastTextVersion,
                                          kFastTextMaxVersion, version)
          .at(start + 4);
    }
    MAVE_ASSIGN_OR_RETURN(s.config, read_fasttext_config(r));
  } else {
    // The old layout starts with the settings: `first` is the dimension count.
    // A file whose settings do not read as such is neither kind: it is
    // refused for its magic number.
    const auto not_fasttext = [&] {
      return EmbeddingsError::with_values(ErrorCode::BadMagic, Step::FastTextReadMagic, kFastTextMagic, first)
          .at(start);
    };
    if (first == 0) return not_fasttext();
    s.layout = FastTextLayout::Old;
    auto old = [&]() -> Result<FastTextConfig> {
      FastTextConfig c;
      c.dims = first;
      MAVE_TRY(read_settings_after_dims(r, c));
      return c;
    }();
    if (!old.ok()) return not_fasttext();
    FastTextConfig c = std::move(old).value();
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
    const std::uint64_t threshold_at = r.offset();
    MAVE_ASSIGN_OR_RETURN(s.config.sampling_threshold, read_f64(r, Step::ReadSamplingThreshold));
    if (s.mode != kFloretModeFastText && s.mode != kFloretModeFloret) {
      EmbeddingsError e(ErrorCode::UnknownFloretMode);
      e.found = s.mode;
      // The mode is the lr_update_rate field, 20 bytes before the threshold.
      return std::move(e).at(threshold_at - 20);
    }
  }
  return s;
}

// fastText's settings and floret's hashing.
Metadata floret_metadata(const Settings& s) {
  using V = Metadata::Value;
  auto entries = fasttext_entries(s.config);
  entries.emplace_back("mode", V(std::string("floret")));
  entries.emplace_back("hash_count", V(static_cast<std::int64_t>(s.hash_count)));
  entries.emplace_back("hash_seed", V(static_cast<std::int64_t>(kFloretSeed)));
  return Metadata::from_entries(entries);
}

// The rows of the words `kept` (ascending), then every bucket row.
NdArray select_word_rows(NdArray matrix, std::size_t n_words, const std::vector<std::size_t>& kept) {
  if (kept.size() == n_words) return matrix;
  const std::size_t cols = matrix.cols();
  const std::size_t rows = matrix.rows() - (n_words - kept.size());
  std::vector<float> data(rows * cols);
  for (std::size_t k = 0; k < kept.size(); ++k) {
    std::copy_n(matrix.row(kept[k]).data(), cols, data.data() + k * cols);
  }
  for (std::size_t i = n_words; i < matrix.rows(); ++i) {
    std::copy_n(matrix.row(i).data(), cols, data.data() + (i - n_words + kept.size()) * cols);
  }
  return NdArray(rows, cols, std::move(data));
}

std::vector<std::size_t> first_rows(std::size_t n) {
  std::vector<std::size_t> rows(n);
  std::iota(rows.begin(), rows.end(), std::size_t{0});
  return rows;
}

// The words as `errors` decodes them; a word that becomes empty or equal to
// an earlier one is left out. Returns the indices of the words kept.
std::vector<std::size_t> decode_words(const WordList& raw, Utf8Errors errors, WordList& decoded) {
  std::vector<std::size_t> kept;
  std::unordered_set<std::string> seen;
  std::string scratch;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const std::optional<std::string_view> word = decode_word(raw[i], errors, scratch);
    if (!word || word->empty() || !seen.emplace(*word).second) continue;
    decoded.push_back(*word);
    kept.push_back(i);
  }
  return kept;
}

}  // namespace

Result<FastTextImport> import_fasttext_model(BufferedReader& r, const FastTextModelOptions& options) {
  MAVE_ASSIGN_OR_RETURN(Settings s, read_settings(r));
  std::uint64_t n_words = 0;
  MAVE_ASSIGN_OR_RETURN(WordList words,
                        read_dictionary(r, s.layout, n_words, options.errors == Utf8Errors::Strict));
  if (s.layout != FastTextLayout::Old) {
    const std::uint64_t quantized_at = r.offset();
    MAVE_ASSIGN_OR_RETURN(std::uint8_t quantized, read_u8(r, Step::ReadQuantizationInformation));
    if (quantized == 1) return unsupported(Step::ReadQuantizationInformation, 1, quantized_at);
  }
  MAVE_ASSIGN_OR_RETURN(NdArray matrix, read_fasttext_matrix(r));
  if (matrix.rows() != n_words + std::uint64_t{s.config.bucket} || matrix.cols() != s.config.dims) {
    return EmbeddingsError::with_values(ErrorCode::BadShape, Step::ReadNumberOfEmbeddingMatrixRows,
                                        n_words + std::uint64_t{s.config.bucket}, matrix.rows());
  }

  if (s.layout == FastTextLayout::Floret && s.mode == kFloretModeFloret) {
    if (s.config.bucket == 0) return EmbeddingsError(ErrorCode::FloretWithoutBuckets);
    // Only the bucket rows: floret looks every string up by its n-grams.
    NdArray buckets = select_word_rows(std::move(matrix), static_cast<std::size_t>(n_words), {});
    FloretSubwordVocab vocab =
        new_subword_vocabulary(WordList{}, s.config.min_n, s.config.max_n,
                               FloretHashIndexer(s.config.bucket, s.hash_count, kFloretSeed), "<", ">");
    return FastTextImport{s.layout, Embeddings::unchecked(floret_metadata(s), Vocab(std::move(vocab)),
                                                          Storage(std::move(buckets)), std::nullopt)};
  }
  const std::size_t keep =
      static_cast<std::size_t>(options.limit ? std::min<std::uint64_t>(*options.limit, n_words) : n_words);
  if (keep < n_words) {
    WordList first;
    first.reserve(keep);
    for (std::size_t i = 0; i < keep; ++i) first.push_back(words[i]);
    words = std::move(first);
    matrix = select_word_rows(std::move(matrix), static_cast<std::size_t>(n_words), first_rows(keep));
  }
  if (words.build_index() != words.size()) {
    // The first word met again names the failure.
    EmbeddingsError e(ErrorCode::RepeatedWord);
    for (std::size_t i = 0; i < words.size(); ++i) {
      if (words.find(words[i]) != i) {
        e.detail = std::string(words[i]);
        break;
      }
    }
    return e;
  }
  FastTextSubwordVocab vocab = new_subword_vocabulary(std::move(words), s.config.min_n, s.config.max_n,
                                                      FastTextHashIndexer(s.config.bucket), "<", ">");
  // Averaged with the n-grams of the words as stored, so each row is
  // fastText's vector of its entry, whatever name decoding gives it.
  average_word_rows(vocab, matrix);
  Metadata metadata = fasttext_metadata(s.config);
  std::size_t dropped = 0;
  if (options.errors != Utf8Errors::Strict) {
    WordList decoded;
    const std::vector<std::size_t> kept = decode_words(vocab.words, options.errors, decoded);
    dropped = vocab.words.size() - kept.size();
    matrix = select_word_rows(std::move(matrix), vocab.words.size(), kept);
    vocab = new_subword_vocabulary(std::move(decoded), s.config.min_n, s.config.max_n,
                                   FastTextHashIndexer(s.config.bucket), "<", ">");
    if (dropped > 0) metadata = with_dropped_words(metadata, dropped, options.errors);
  }
  std::optional<NdNorms> norms;
  if (options.normalize) norms = normalize_word_rows(matrix, vocab.words.size());
  return FastTextImport{s.layout,
                        Embeddings::unchecked(std::move(metadata), Vocab(std::move(vocab)),
                                              Storage(std::move(matrix)), std::move(norms)),
                        dropped};
}

}  // namespace mave
