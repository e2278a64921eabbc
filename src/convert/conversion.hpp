// Conversions between embedding formats: reading any source format into
// rows (with the vocabulary, subwords and metadata of the formats that have
// them), writing any destination format, writing a finalfusion file from
// words and a matrix held in memory, and assembling a quantized finalfusion
// file. Each writer of a named file writes it atomically (AtomicOutput).
// Nothing here touches Python: the bindings parse arguments, report
// progress and render failures.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "base/io.hpp"
#include "base/word_list.hpp"
#include "convert/atomic_output.hpp"
#include "convert/formats.hpp"
#include "format/embeddings.hpp"
#include "importers/word2vec.hpp"

namespace mave {

// A source is read in large blocks: fewer system calls on files of gigabytes.
inline constexpr std::size_t kConvertReadBytes = std::size_t{1} << 20;

// What a source became: the rows of a word2vec, text or GloVe file (with
// their norms once scaled), or a finalfusion or fastText file as Embeddings.
struct ImportedRows {
  ImportedEmbeddings embeddings;
  std::optional<std::vector<float>> norms;
  // How its words were decoded: recorded in a finalfusion file's metadata
  // when words were dropped.
  Utf8Errors errors = Utf8Errors::Strict;
};
using Source = std::variant<ImportedRows, Embeddings>;

// How a source is read beyond its format (mave.convert's choices; the
// defaults are _mave.build_model's).
struct SourceOptions {
  // Words that are not valid UTF-8, and how many rows to read.
  ReadOptions read;
  // The member of a zip archive to read; empty: its only file.
  std::string member;
  // fastText binaries from before the magic number, and floret's, read too.
  bool any_fasttext_layout = false;
};

// Reads a source in `format` from `r`, a reader over any byte stream; a
// finalfusion source maps its matrix, so `r` must read a file, not a
// decompressed stream. With `normalize` the rows of a word2vec, text or GloVe
// source are scaled to unit length in place (their norms kept) and a fastText
// model is read as `_mave.build_model` reads it. `progress` counts bytes of
// the input.
Result<Source> read_source(BufferedReader& r, Format format, bool normalize, const Progress& progress = {},
                           const SourceOptions& options = {});

// Writes `source` in `format` (any but fastText). A finalfusion destination
// of a finalfusion or fastText source keeps its vocabulary (subwords
// included) and metadata; the words of an imported source are moved into
// the vocabulary written. Word rows take the requested form: with
// `normalize` unit rows (norms kept in a finalfusion file), without it the
// original vectors (row x norm where the source has norms). `progress`
// counts rows written.
Status write_destination(BufferedWriter& w, Source& source, Format format, bool normalize,
                         const Progress& progress = {});

// Where a failure belongs: reading the source or writing the destination.
struct ConversionFailure {
  std::string path;
  EmbeddingsError error;
};

// Writes a named file through `write`, atomically.
std::optional<ConversionFailure> write_file(const std::string& path, Durability durability,
                                            const std::function<Status(BufferedWriter&)>& write);

// What a conversion did: the failure, if any, and the words dropped.
struct ConversionOutcome {
  std::optional<ConversionFailure> failure;
  std::size_t dropped_words = 0;
};

// Reads the file `src` in `src_format`, decompressed when its first bytes
// say it is compressed, and writes `dst` in `dst_format`.
ConversionOutcome convert_file(const std::string& src, Format src_format, const std::string& dst,
                               Format dst_format, bool normalize, const SourceOptions& options,
                               const Progress& read_progress, const Progress& write_progress);

// The first `n` bytes the file at `path` holds, decompressed when its first
// bytes say it is compressed (a zip archive's only file, or `member`; a
// member named for another file is left for the conversion to refuse), for
// telling its format; fewer only when it holds fewer. Failures are those
// convert_file reports for reading the same file.
Result<std::string> read_head(const std::string& path, const std::string& member, std::size_t n);

// A finalfusion file of a simple vocabulary and a dense matrix held in
// memory: row i of `matrix` (rows x cols, row-major) is the vector of
// words[i]. With `normalize` each row is scaled to unit length on its way
// (the matrix is not changed) and the norms chunk keeps the lengths;
// otherwise `norms`, when given, is the norms chunk.
struct MatrixRows {
  WordList words;  // indexed, distinct
  const float* matrix;
  std::size_t cols;
  std::optional<std::span<const float>> norms;
  std::optional<Metadata> metadata;
};
Status write_matrix_embeddings(BufferedWriter& w, MatrixRows& rows, bool normalize,
                               const Progress& progress = {});

// The same with rows from `row`, asked for in order, each once: a matrix that
// arrives in blocks (a Parquet file's row groups) is never held whole.
struct StreamedRows {
  WordList words;  // indexed, distinct
  std::size_t cols;
  RowFunction row;
  std::optional<std::span<const float>> norms;
  std::optional<Metadata> metadata;
  // Blocks come and go: a row is written before the next is asked for.
  RowLifetime lifetime = RowLifetime::UntilNextRow;
};
Status write_streamed_embeddings(BufferedWriter& w, StreamedRows& rows, bool normalize,
                                 const Progress& progress = {});

// The parts of a product-quantized matrix made elsewhere (training): one
// code per part of each storage row, and optionally each row's norm.
struct QuantizedMatrix {
  const ProductQuantizer& quantizer;
  std::optional<std::span<const float>> row_norms;
  std::span<const std::uint8_t> codes;
};

// A quantized finalfusion file of `source`: its metadata with a top-level
// `table` of `settings`, its vocabulary, the quantized matrix and `norms`
// as the norms chunk (if given).
Status write_quantized_embeddings(BufferedWriter& w, const Embeddings& source, std::string_view table,
                                  const std::vector<std::pair<std::string, Metadata::Value>>& settings,
                                  const QuantizedMatrix& matrix, std::optional<std::span<const float>> norms);

}  // namespace mave
