#include "importers/floret_text.hpp"

#include <charconv>
#include <string>
#include <vector>

#include "format/chunk.hpp"
#include "format/subword_vocab.hpp"

namespace mave {

namespace {

EmbeddingsError on_line(std::uint64_t line, std::string what) {
  return EmbeddingsError(ErrorCode::BadText).on_line(line).with_detail(std::move(what));
}

EmbeddingsError table_error(std::string what) { return on_line(1, std::move(what)); }

}  // namespace

Result<Embeddings> read_floret_table(BufferedReader& r, const Progress& progress) {
  std::string line;
  auto got = r.read_until('\n', line, std::size_t{1} << 16);
  if (!got.ok()) return EmbeddingsError::read(Step::ReadEmbeddings, std::move(got).error());
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
  // Six numbers and two markers.
  std::vector<std::string_view> fields;
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t end = std::min(line.find(' ', at), line.size());
    if (end > at) fields.emplace_back(line.data() + at, end - at);
    at = end + 1;
  }
  if (fields.size() != 8) {
    return table_error(
        "expected a floret header of 8 fields (rows, dimensions, minimum and maximum n-gram "
        "length, hash count, seed, begin and end marker), found " +
        std::to_string(fields.size()));
  }
  std::uint64_t n[6];
  for (std::size_t i = 0; i < 6; ++i) {
    auto [ptr, ec] = std::from_chars(fields[i].data(), fields[i].data() + fields[i].size(), n[i]);
    if (ec != std::errc() || ptr != fields[i].data() + fields[i].size()) {
      return table_error("header field " + std::to_string(i + 1) + " is not a number");
    }
  }
  const auto [rows, dims, min_n, max_n, hash_count, seed] = n;
  if (rows == 0 || dims == 0) return table_error("a floret table without rows or dimensions");
  if (hash_count < 1 || hash_count > 4) return table_error("the hash count must be 1 to 4");
  if (seed > UINT32_MAX || min_n > UINT32_MAX || max_n > UINT32_MAX || max_n < min_n) {
    return table_error("n-gram lengths or seed out of range");
  }
  // The rows read as GloVe text whose words are their indices.
  auto read = read_text_embeddings(r, TextLayout::GloVe, progress);
  if (!read.ok()) {
    // The rows start on the second line of the file.
    EmbeddingsError e = std::move(read).error();
    if (e.line) ++*e.line;
    return e;
  }
  ImportedEmbeddings body = std::move(read).value();
  if (body.matrix.cols() != dims) {
    return on_line(2,
                   std::to_string(body.matrix.cols()) + " values, the header gives " + std::to_string(dims));
  }
  if (body.words.size() != rows) {
    return on_line(body.words.size() + 2, "the table holds " + std::to_string(body.words.size()) +
                                              " rows, the header gives " + std::to_string(rows));
  }
  std::vector<float> data(static_cast<std::size_t>(rows * dims));
  for (std::size_t i = 0; i < body.words.size(); ++i) {
    if (body.words[i] != std::to_string(i)) {
      return on_line(i + 2, "expected row " + std::to_string(i));
    }
    std::copy_n(body.matrix.row(i), dims, data.data() + i * dims);
  }
  FloretSubwordVocab vocab = new_subword_vocabulary(
      WordList{}, static_cast<std::uint32_t>(min_n), static_cast<std::uint32_t>(max_n),
      FloretHashIndexer(rows, static_cast<std::uint32_t>(hash_count), static_cast<std::uint32_t>(seed)),
      std::string(fields[6]), std::string(fields[7]));
  return Embeddings::unchecked(
      std::nullopt, Vocab(std::move(vocab)),
      Storage(NdArray(static_cast<std::size_t>(rows), static_cast<std::size_t>(dims), std::move(data))),
      std::nullopt);
}

Status write_floret_table(BufferedWriter& w, const Embeddings& e, const Progress& progress) {
  const auto* vocab = std::get_if<FloretSubwordVocab>(&e.vocab().variant());
  if (!vocab) {
    return EmbeddingsError(ErrorCode::Unwritable)
        .with_detail("only a file of the floret vocabulary kind can be written as a floret table");
  }
  if (vocab->begin_marker.find_first_of(" \n") != std::string::npos ||
      vocab->end_marker.find_first_of(" \n") != std::string::npos || vocab->begin_marker.empty() ||
      vocab->end_marker.empty()) {
    return EmbeddingsError(ErrorCode::Unwritable)
        .with_detail("a floret table cannot hold markers that are empty or hold a space");
  }
  const Storage& s = e.storage();
  const std::string header =
      std::to_string(s.rows()) + " " + std::to_string(s.cols()) + " " + std::to_string(vocab->min_ngram_len) +
      " " + std::to_string(vocab->max_ngram_len) + " " + std::to_string(vocab->indexer.hash_count()) + " " +
      std::to_string(vocab->indexer.seed()) + " " + vocab->begin_marker + " " + vocab->end_marker + "\n";
  MAVE_TRY(write_bytes(w, header.data(), header.size(), Step::WriteEmbeddings));
  std::string index;
  WordRows rows{s.rows(), s.cols(),
                [&index](std::size_t i) {
                  index = std::to_string(i);
                  return std::string_view(index);
                },
                [&s](std::size_t i, float* scratch) {
                  if (const float* row = s.dense_row(i)) return row;
                  s.row_into(i, scratch);
                  return static_cast<const float*>(scratch);
                }};
  return write_text_embeddings(w, rows, TextLayout::GloVe, progress);
}

}  // namespace mave
