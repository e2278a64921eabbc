// The formats embeddings usually come in: word2vec binary, word2vec/fastText
// text (`.vec`, a header line "<words> <dims>" and one word per line) and
// GloVe text (the same lines without a header). Readers and writers.
//
// Readers stream: the words go into a WordList and the rows into RowBlocks as
// they are parsed, so memory follows what the file really holds. Every
// failure is a Format error whose text starts with where it happened ("line
// 12: " in text, "byte 4711: " in binary) and names the word.
//
// Choices where the formats are silent:
// - values are carried through as parsed, NaN and infinities included (they
//   are data); a decimal beyond the float32 range is an error, one below the
//   smallest float32 becomes a (signed) zero or subnormal;
// - "</s>" (written by word2vec and fastText) is an ordinary word;
// - a UTF-8 byte-order mark at the start of the file is skipped;
// - lines may end in "\r\n" and carry trailing spaces or tabs; values are
//   separated by runs of spaces or tabs; the word ends at the first space;
// - an empty line, or any line after the last row of a text file, is an
//   error except for one final line end;
// - in word2vec binary, each row may be followed by one "\n" (the C tool
//   writes it, gensim does not).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "base/io.hpp"
#include "base/utf8.hpp"
#include "base/word_list.hpp"
#include "importers/row_blocks.hpp"

namespace mave {

// Called now and then with the bytes consumed so far and the file's size (0
// when unknown). It may throw to abandon the work.
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

struct ImportedEmbeddings {
  WordList words;  // indexed; all distinct
  RowBlocks matrix;
  // Rows left out because their word, decoded, was empty or repeated an
  // earlier one (errors other than Strict).
  std::size_t dropped_words = 0;
};

enum class TextLayout { WithHeader, GloVe };

struct ReadOptions {
  Utf8Errors errors = Utf8Errors::Strict;
  // Only the first `limit` rows of the file are read (all when none); the
  // header may announce more.
  std::optional<std::uint64_t> limit;
};

Result<ImportedEmbeddings> read_word2vec_binary(BufferedReader& r, const Progress& progress = {},
                                                const ReadOptions& options = {});
Result<ImportedEmbeddings> read_text_embeddings(BufferedReader& r, TextLayout layout,
                                                const Progress& progress = {},
                                                const ReadOptions& options = {});

// What the writers read: `size` words with a row of `cols` values each. `row`
// returns row i, either a pointer into storage or `scratch` (cols values)
// after filling it; the pointer is read before the next call.
struct WordRows {
  std::size_t size = 0;
  std::size_t cols = 0;
  std::function<std::string_view(std::size_t i)> word;
  std::function<const float*(std::size_t i, float* scratch)> row;
};

// Both formats end a word at a space (and the text formats a line at its
// end), so a word holding one, or an empty word, is refused with a Format
// error naming it before anything is written for it.
Status write_word2vec_binary(BufferedWriter& w, const WordRows& rows, const Progress& progress = {});
// Values as the shortest text that reads back to the same float32.
Status write_text_embeddings(BufferedWriter& w, const WordRows& rows, TextLayout layout,
                             const Progress& progress = {});

}  // namespace mave
