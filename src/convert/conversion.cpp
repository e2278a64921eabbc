#include "convert/conversion.hpp"

#include <algorithm>
#include <cstring>

#include "base/vector_math.hpp"
#include "compress/decompress.hpp"
#include "fasttext/fasttext.hpp"
#include "importers/floret_text.hpp"

namespace mave {
namespace {

TextLayout text_layout(Format format) {
  return format == Format::Text ? TextLayout::WithHeader : TextLayout::GloVe;
}

// Calls `progress` for the rows a writer produces, now and then, so the
// writers of finalfusion files report progress as the exporters do.
RowFunction counted(RowFunction row, std::size_t rows, const Progress& progress) {
  return
      [row = std::move(row), rows, &progress, next = std::size_t{0}](std::size_t i, float* scratch) mutable {
        if (progress && (i >= next || i + 1 == rows)) {
          progress(i + 1, rows);
          next = i + 4096;
        }
        return row(i, scratch);
      };
}

// The rows of the vocabulary words of a finalfusion or fastText file as
// lookups give them, turned into the requested form: with `normalize` unit
// rows (a file with norms already holds them; other files' rows are scaled),
// without it the original vectors (row x norm where the file has norms).
struct WordRowForm {
  const Embeddings& e;
  bool normalize;
  // Filled when rows are scaled here: the norms to write.
  std::vector<float>* computed_norms;

  const float* operator()(std::size_t i, float* scratch) const {
    const Storage& s = e.storage();
    const std::size_t n = s.cols();
    const float* stored = s.dense_row(i);
    if (stored == nullptr) {
      s.row_into(i, scratch);
      stored = scratch;
    }
    const auto& norms = e.norms();
    if (normalize && norms) return stored;
    if (!normalize && !norms) return stored;
    if (stored != scratch) std::memcpy(scratch, stored, n * sizeof(float));
    if (normalize) {
      const float norm = scale_to_unit_norm(scratch, n, /*contiguous=*/true);
      if (computed_norms) (*computed_norms)[i] = norm;
      return scratch;
    }
    if (i >= norms->values.size()) {
      panic(PanicKind::NormsCount, PanicFacts::values(norms->values.size(), e.vocab().n_words()));
    }
    const float norm = norms->values[i];
    for (std::size_t j = 0; j < n; ++j) scratch[j] = scratch[j] * norm;
    return scratch;
  }
};

WordRows word_rows(const Source& source, bool normalize) {
  if (const auto* imported = std::get_if<ImportedRows>(&source)) {
    const ImportedEmbeddings& e = imported->embeddings;
    return WordRows{e.words.size(), e.matrix.cols(), [&e](std::size_t i) { return e.words[i]; },
                    [&e](std::size_t i, float*) { return e.matrix.row(i); }};
  }
  const Embeddings& e = std::get<Embeddings>(source);
  const WordList& words = e.vocab().words();
  return WordRows{words.size(), e.dims(), [&words](std::size_t i) { return words[i]; },
                  WordRowForm{e, normalize, nullptr}};
}

Status write_dense(BufferedWriter& w, const std::optional<Metadata>& metadata, const Vocab& vocab,
                   std::size_t rows, std::size_t cols, const RowFunction& row, RowLifetime lifetime,
                   std::optional<std::span<const float>> norms) {
  return write_embeddings_file(
      w, metadata, vocab, ChunkIdentifier::NdArray,
      [&](BufferedWriter& out) { return write_nd_array(out, rows, cols, row, lifetime); }, norms);
}

// What a reader left out, for `mave info` to show: a [conversion] table,
// only when words were dropped (other files are as they always were).
std::optional<Metadata> conversion_metadata(const ImportedRows& imported) {
  const std::size_t dropped = imported.embeddings.dropped_words;
  if (dropped == 0) return std::nullopt;
  return with_dropped_words(std::nullopt, dropped, imported.errors);
}

// Moves the words of an imported source into the vocabulary it writes.
Status write_finalfusion(BufferedWriter& w, Source& source, bool normalize, const Progress& progress) {
  if (auto* imported = std::get_if<ImportedRows>(&source)) {
    ImportedEmbeddings& e = imported->embeddings;
    const Vocab vocab{SimpleVocab{std::move(e.words)}};
    const RowBlocks& m = e.matrix;
    std::optional<std::span<const float>> norms;
    if (imported->norms) norms = std::span<const float>(*imported->norms);
    return write_dense(w, conversion_metadata(*imported), vocab, m.rows(), m.cols(),
                       counted([&m](std::size_t i, float*) { return m.row(i); }, m.rows(), progress),
                       RowLifetime::WholeWrite, norms);
  }
  // The rows beyond the words (subword rows) are carried over as stored, and
  // a quantized matrix is written dense.
  const Embeddings& e = std::get<Embeddings>(source);
  const Storage& s = e.storage();
  const std::size_t n_words = std::min(e.vocab().n_words(), s.rows());
  std::vector<float> computed(normalize && !e.norms() ? e.vocab().n_words() : 0);
  const WordRowForm form{e, normalize, &computed};
  RowFunction rows = counted(
      [&](std::size_t i, float* scratch) -> const float* {
        if (i < n_words) return form(i, scratch);
        if (const float* stored = s.dense_row(i)) return stored;
        s.row_into(i, scratch);
        return scratch;
      },
      s.rows(), progress);
  std::optional<std::span<const float>> norms;
  if (normalize) {
    // Filled while the matrix is written, before the norms chunk follows it.
    norms = e.norms() ? std::span<const float>(e.norms()->values) : std::span<const float>(computed);
  }
  return write_dense(w, e.metadata(), e.vocab(), s.rows(), s.cols(), rows, RowLifetime::WholeWrite, norms);
}

}  // namespace

namespace {

// A source, and the rows its reader left out because their word, decoded,
// was empty or repeated an earlier one.
struct SourceRead {
  Source source;
  std::size_t dropped_words = 0;
};

Result<SourceRead> read_counted(BufferedReader& r, Format format, bool normalize, const Progress& progress,
                                const SourceOptions& options) {
  switch (format) {
    case Format::FinalFusion: {
      if (!r.file().is_open()) return EmbeddingsError(ErrorCode::CompressedFinalFusion);
      MAVE_ASSIGN_OR_RETURN(Embeddings e, read_embeddings_mapped(r));
      return SourceRead{Source(std::move(e))};
    }
    case Format::FastText: {
      if (!options.any_fasttext_layout) {
        MAVE_ASSIGN_OR_RETURN(Embeddings e, load_fasttext_model(r, normalize));
        return SourceRead{Source(std::move(e))};
      }
      MAVE_ASSIGN_OR_RETURN(FastTextImport imported,
                            import_fasttext_model(r, {normalize, options.read.limit, options.read.errors}));
      return SourceRead{Source(std::move(imported.embeddings)), imported.dropped_words};
    }
    case Format::Floret: {
      MAVE_ASSIGN_OR_RETURN(Embeddings e, read_floret_table(r, progress));
      return SourceRead{Source(std::move(e))};
    }
    case Format::Word2Vec:
    case Format::Text:
    case Format::GloVe:
      break;
  }
  auto read = format == Format::Word2Vec
                  ? read_word2vec_binary(r, progress, options.read)
                  : read_text_embeddings(r, text_layout(format), progress, options.read);
  if (!read.ok()) return std::move(read).error();
  const std::size_t dropped = read.value().dropped_words;
  ImportedRows imported{std::move(read).value(), std::nullopt, options.read.errors};
  if (normalize) {
    // In place: the matrix is held once.
    RowBlocks& m = imported.embeddings.matrix;
    imported.norms.emplace(m.rows());
    for (std::size_t i = 0; i < m.rows(); ++i) {
      (*imported.norms)[i] = scale_to_unit_norm(m.row_mut(i), m.cols(), /*contiguous=*/true);
    }
  }
  return SourceRead{Source(std::move(imported)), dropped};
}

}  // namespace

Result<Source> read_source(BufferedReader& r, Format format, bool normalize, const Progress& progress,
                           const SourceOptions& options) {
  MAVE_ASSIGN_OR_RETURN(SourceRead read, read_counted(r, format, normalize, progress, options));
  return std::move(read.source);
}

Status write_destination(BufferedWriter& w, Source& source, Format format, bool normalize,
                         const Progress& progress) {
  switch (format) {
    case Format::FinalFusion:
      return write_finalfusion(w, source, normalize, progress);
    case Format::Word2Vec:
      return write_word2vec_binary(w, word_rows(source, normalize), progress);
    case Format::Text:
    case Format::GloVe:
      return write_text_embeddings(w, word_rows(source, normalize), text_layout(format), progress);
    case Format::Floret:
      if (const auto* e = std::get_if<Embeddings>(&source)) return write_floret_table(w, *e, progress);
      return EmbeddingsError(ErrorCode::Unwritable)
          .with_detail("only a file of the floret vocabulary kind can be written as a floret table");
    case Format::FastText:
      break;
  }
  panic(PanicKind::NotWritable);
}

std::optional<ConversionFailure> write_file(const std::string& path, Durability durability,
                                            const std::function<Status(BufferedWriter&)>& write) {
  auto output = AtomicOutput::create(path, durability);
  if (!output.ok()) {
    return ConversionFailure{path, EmbeddingsError::write(Step::CreateFile, std::move(output).error())};
  }
  if (Status written = write(output.value().writer()); !written.ok()) {
    return ConversionFailure{path, std::move(written).error()};
  }
  if (auto committed = output.value().commit(); !committed.ok()) {
    return ConversionFailure{path, EmbeddingsError::write(Step::WriteFile, std::move(committed).error())};
  }
  return std::nullopt;
}

namespace {

// The source file opened for reading, decompressed when it is compressed.
Result<BufferedReader> open_source(const std::string& path, std::string_view member,
                                   std::size_t buffer_bytes) {
  auto file = File::open_read(path);
  if (!file.ok()) return EmbeddingsError::read(Step::OpenFile, std::move(file).error());
  auto opened = open_decompressed(std::move(file).value(), member, buffer_bytes);
  if (!opened.ok()) return EmbeddingsError::read(Step::ReadEmbeddings, std::move(opened).error());
  return std::move(opened).value();
}

// A failure the decompressor found says where: how far into the compressed
// file it had read (the reader's own errors say their line or byte).
EmbeddingsError located(EmbeddingsError error, const BufferedReader& r) {
  const IoError* io = error.io_cause();
  const bool compressed = io != nullptr && io->repr() == IoError::Repr::Message &&
                          (io->fixed_message() == IoMessage::CompressedDamaged ||
                           io->fixed_message() == IoMessage::CompressedCutShort);
  if (compressed && !error.offset && !error.line) error.offset = r.input_consumed();
  return error;
}

}  // namespace

Result<std::string> read_head(const std::string& path, const std::string& member, std::size_t n) {
  auto opened = open_source(path, member, kStreamBufferBytes);
  const IoError* io = opened.ok() ? nullptr : opened.error().io_cause();
  if (io != nullptr && io->repr() == IoError::Repr::Message &&
      io->fixed_message() == IoMessage::MemberOfNonZip) {
    // A member named for a file that is no zip archive is for the reader of
    // its format to refuse, in its own words (a Parquet file's): the head is
    // what the file holds.
    opened = open_source(path, {}, kStreamBufferBytes);
  }
  if (!opened.ok()) return std::move(opened).error();
  BufferedReader& r = opened.value();
  // Grown as bytes come: memory follows what the file holds, not `n`.
  std::string head;
  constexpr std::size_t kStep = std::size_t{1} << 16;
  while (head.size() < n) {
    const std::size_t at = head.size(), want = std::min(kStep, n - at);
    head.resize(at + want);
    auto got = r.read_up_to(head.data() + at, want);
    if (!got.ok()) return located(EmbeddingsError::read(Step::ReadEmbeddings, got.error()), r);
    head.resize(at + got.value());
    if (got.value() < want) break;
  }
  return head;
}

ConversionOutcome convert_file(const std::string& src, Format src_format, const std::string& dst,
                               Format dst_format, bool normalize, const SourceOptions& options,
                               const Progress& read_progress, const Progress& write_progress) {
  auto opened = open_source(src, options.member, kConvertReadBytes);
  if (!opened.ok()) return {ConversionFailure{src, std::move(opened).error()}};
  auto read = read_counted(opened.value(), src_format, normalize, read_progress, options);
  if (!read.ok()) return {ConversionFailure{src, located(std::move(read).error(), opened.value())}};
  return {write_file(dst, Durability::Cached,
                     [&](BufferedWriter& w) {
                       return write_destination(w, read.value().source, dst_format, normalize,
                                                write_progress);
                     }),
          read.value().dropped_words};
}

Status write_matrix_embeddings(BufferedWriter& w, MatrixRows& rows, bool normalize,
                               const Progress& progress) {
  const float* data = rows.matrix;
  const std::size_t cols = rows.cols;
  StreamedRows streamed{std::move(rows.words),
                        cols,
                        [data, cols](std::size_t i, float*) { return data + i * cols; },
                        rows.norms,
                        std::move(rows.metadata),
                        RowLifetime::WholeWrite};
  return write_streamed_embeddings(w, streamed, normalize, progress);
}

Status write_streamed_embeddings(BufferedWriter& w, StreamedRows& rows, bool normalize,
                                 const Progress& progress) {
  const std::size_t n = rows.words.size(), cols = rows.cols;
  std::vector<float> computed(normalize ? n : 0);
  RowFunction row = counted(
      [&](std::size_t i, float* scratch) -> const float* {
        const float* stored = rows.row(i, scratch);
        if (!normalize) return stored;
        if (stored != scratch) std::memcpy(scratch, stored, cols * sizeof(float));
        computed[i] = scale_to_unit_norm(scratch, cols, /*contiguous=*/true);
        return scratch;
      },
      n, progress);
  std::optional<std::span<const float>> norms = rows.norms;
  if (normalize && !norms) norms = std::span<const float>(computed);
  const Vocab vocab{SimpleVocab{std::move(rows.words)}};
  return write_dense(w, rows.metadata, vocab, n, cols, row, rows.lifetime, norms);
}

Status write_quantized_embeddings(BufferedWriter& w, const Embeddings& source, std::string_view table,
                                  const std::vector<std::pair<std::string, Metadata::Value>>& settings,
                                  const QuantizedMatrix& matrix,
                                  std::optional<std::span<const float>> norms) {
  const Metadata base = source.metadata() ? *source.metadata() : Metadata::from_entries({});
  const Metadata metadata = base.with_table(table, settings);
  return write_embeddings_file(
      w, metadata, source.vocab(), ChunkIdentifier::QuantizedArray,
      [&](BufferedWriter& out) {
        return write_quantized_array(out, matrix.quantizer, matrix.row_norms, matrix.codes);
      },
      norms);
}

}  // namespace mave
