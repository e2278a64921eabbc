#include "importers/word2vec.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include <fast_float/fast_float.h>

#include "base/threads.hpp"
#include "base/utf8.hpp"
#include "format/chunk.hpp"

namespace mave {

static_assert(std::endian::native == std::endian::little,
              "word2vec binary rows are read and written in place, which needs a little-endian host");

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
// How often the readers report: every this many bytes, and the writers every
// this many rows.
constexpr std::uint64_t kProgressBytes = std::uint64_t{4} << 20;
constexpr std::uint64_t kProgressRows = 4096;

class Ticker {
 public:
  Ticker(const Progress& progress, std::uint64_t step) : progress_(progress), step_(step) {}
  void operator()(std::uint64_t done, std::uint64_t total) {
    if (progress_ && done >= next_) {
      progress_(done, total);
      next_ = done + step_;
    }
  }
  // The last report, at the end of the work.
  void finish(std::uint64_t done, std::uint64_t total) {
    if (progress_) progress_(done, total);
  }

 private:
  const Progress& progress_;
  std::uint64_t step_;
  std::uint64_t next_ = 0;
};

// Progress counts the bytes of the input file: compressed ones when the
// reader decompresses.
std::uint64_t file_size(const BufferedReader& r) { return r.input_size().value_or(0); }

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The word as shown in messages: quoted, and readable even when it is not
// valid UTF-8.
std::string shown(std::string_view word) { return quoted(word); }

// Where an error happened, in the reader's own terms: a line of a text file
// or a byte offset of a binary one.
struct Place {
  enum Unit { Line, Byte } unit;
  std::uint64_t at;

  EmbeddingsError error(std::string what) const {
    EmbeddingsError e(ErrorCode::BadText);
    if (unit == Line) {
      e.line = at;
    } else {
      e.offset = at;
    }
    e.detail = std::move(what);
    return e;
  }
};

std::optional<std::string> check_word(std::string_view word, Utf8Errors errors) {
  if (word.empty()) return "a row without a word";
  if (errors != Utf8Errors::Strict) return std::nullopt;
  if (auto bad = validate_utf8(word)) {
    return "word " + shown(word) + " is not valid UTF-8 (" +
           (bad->error_len ? "a bad byte sequence" : "a sequence cut short") + " at index " +
           std::to_string(bad->valid_up_to) + ")";
  }
  return std::nullopt;
}

// The rows kept from a file, as they arrive: a word that decodes to nothing
// takes its row back at once; repeats are left for the end.
struct Kept {
  Utf8Errors errors;
  std::string scratch;
  std::size_t dropped = 0;

  // The word to keep for a row just appended, or none (its row is removed).
  std::optional<std::string_view> take(std::string_view word, RowBlocks& matrix) {
    std::optional<std::string_view> decoded = decode_word(word, errors, scratch);
    if (decoded && decoded->empty()) {
      matrix.pop_row();
      ++dropped;
      return std::nullopt;
    }
    return decoded;
  }
};

// Keeps the first row of each word, moving the later rows up.
std::size_t drop_repeats(WordList& words, RowBlocks& matrix) {
  if (words.build_index() == words.size()) return 0;
  std::unordered_set<std::string_view> seen;
  seen.reserve(words.size());
  WordList kept;
  kept.reserve(words.size());
  std::size_t out = 0;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (!seen.insert(words[i]).second) continue;
    if (out != i) std::copy_n(matrix.row(i), matrix.cols(), matrix.row_mut(out));
    kept.push_back(words[i]);
    ++out;
  }
  const std::size_t dropped = words.size() - out;
  while (matrix.rows() > out) matrix.pop_row();
  kept.build_index();
  words = std::move(kept);
  return dropped;
}

// The longest line or word a stream of unknown size may give: what a row of
// `dims` values could need, and no more, so that a small compressed file
// that expands without end is refused early. Values longer than 255
// characters are not expected.
constexpr std::size_t kMaxWordBytes = std::size_t{1} << 20;
std::size_t max_line_bytes(const BufferedReader& r, std::uint64_t dims) {
  if (r.remaining()) return SIZE_MAX;
  if (dims == 0) return std::size_t{64} << 20;  // a first GloVe line: any width up to a million values
  return kMaxWordBytes +
         static_cast<std::size_t>(std::min<std::uint64_t>(dims, std::uint64_t{1} << 32)) * 256;
}

// One decimal value. std::from_chars rounds correctly and knows "nan" and
// "inf"; it refuses a leading '+', which some writers put in front.
std::optional<float> parse_value(std::string_view token) {
  if (token.size() > 1 && token[0] == '+' && token[1] != '-') token.remove_prefix(1);
  const char* end = token.data() + token.size();
  float value = 0;
  auto [ptr, ec] = std::from_chars(token.data(), end, value);
  if (ec == std::errc() && ptr == end) return value;
  if (ec != std::errc::result_out_of_range || ptr != end) return std::nullopt;
  // Out of range: below the smallest float32 it rounds to zero (or a
  // subnormal), as IEEE arithmetic would; above the largest it is refused.
  double wide = 0;
  auto [wptr, wec] = std::from_chars(token.data(), end, wide);
  if (wec == std::errc() && wptr == end && std::fabs(wide) < 1.0) return static_cast<float>(wide);
  return std::nullopt;
}

// Splits the values after a word into `out`, at most `limit` of them; returns
// how many there were (limit + 1 when there are more), or the bad token.
struct Values {
  std::size_t count = 0;
  std::string_view bad;
};

Values parse_values(std::string_view rest, float* out, std::size_t limit) {
  Values v;
  const char* p = rest.data();
  const char* const end = p + rest.size();
  while (true) {
    while (p < end && is_blank(*p)) ++p;
    if (p == end) return v;
    if (v.count == limit) {
      ++v.count;
      return v;
    }
    // The common case straight from the line: a number ending at a blank or
    // the end whose value is a normal float. fast_float rounds correctly as
    // std::from_chars does, so such a value has the same bits either way.
    // Anything else (a '+', zero, a subnormal, an infinity or NaN, a value
    // out of range, a bad token) goes through parse_value with the whole token.
    float value;
    auto [next, ec] = fast_float::from_chars(p, end, value);
    if (ec == std::errc() && (next == end || is_blank(*next)) && std::isnormal(value)) {
      out[v.count++] = value;
      p = next;
      continue;
    }
    const char* token_end = p;
    while (token_end < end && !is_blank(*token_end)) ++token_end;
    const std::string_view token(p, static_cast<std::size_t>(token_end - p));
    auto parsed = parse_value(token);
    if (!parsed) {
      v.bad = token;
      return v;
    }
    out[v.count++] = *parsed;
    p = token_end;
  }
}

// A line without its end ("\n", "\r\n") and trailing blanks.
std::string_view trimmed(std::string_view s) {
  if (s.ends_with('\n')) s.remove_suffix(1);
  if (s.ends_with('\r')) s.remove_suffix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

struct Header {
  std::uint64_t words = 0;
  std::uint64_t dims = 0;
};

// "<words> <dims>", the first line of both word2vec formats. `min_row_bytes`
// (a function of dims) bounds what a row takes in the file, so that a count
// the rest of the file cannot hold fails here, before anything is reserved.
Result<Header> parse_header(std::string_view line, const BufferedReader& r,
                            std::uint64_t (*min_row_bytes)(std::uint64_t)) {
  const Place place{Place::Line, 1};
  if (line.starts_with(kBom)) line.remove_prefix(kBom.size());
  std::uint64_t numbers[2];
  std::size_t found = 0;
  std::size_t i = 0;
  bool ok = true;
  while (ok) {
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i == line.size()) break;
    std::size_t j = i;
    while (j < line.size() && !is_blank(line[j])) ++j;
    if (found == 2) {
      ok = false;
      break;
    }
    auto [ptr, ec] = std::from_chars(line.data() + i, line.data() + j, numbers[found]);
    ok = ec == std::errc() && ptr == line.data() + j;
    ++found;
    i = j;
  }
  if (!ok || found != 2) {
    return place.error("expected a header of two numbers, the count of words and of dimensions, found " +
                       shown(line.substr(0, 80)));
  }
  Header h{numbers[0], numbers[1]};
  if (h.dims == 0) return place.error("the header gives 0 dimensions");
  if (h.dims > std::numeric_limits<std::uint32_t>::max()) {
    return place.error("the header gives " + std::to_string(h.dims) +
                       " dimensions, more than a finalfusion file can hold");
  }
  if (auto left = r.remaining()) {
    const std::uint64_t per_row = min_row_bytes(h.dims);
    if (h.words != 0 && (per_row == 0 || h.words > *left / per_row)) {
      return place.error("the header announces " + std::to_string(h.words) + " words of " +
                         std::to_string(h.dims) + " values, more than the " + std::to_string(*left) +
                         " bytes after it can hold");
    }
  }
  return h;
}

// Text rows take at least a one-byte word and a space and a digit per value;
// binary rows a one-byte word, a space and four bytes per value. Both
// saturate instead of wrapping (dims is below 2^32 here).
std::uint64_t min_text_row_bytes(std::uint64_t dims) { return 1 + 2 * dims; }
std::uint64_t min_binary_row_bytes(std::uint64_t dims) { return 2 + 4 * dims; }

// After all rows: a repeated word is an error at its later row.
std::optional<std::pair<std::size_t, std::size_t>> first_repeat(WordList& words) {
  if (words.build_index() == words.size()) return std::nullopt;
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::size_t last = *words.find(words[i]);
    if (last != i) return std::pair{i, last};
  }
  return std::nullopt;  // unreachable: build_index counted a repeat
}

EmbeddingsError read_error(const IoError& e) { return EmbeddingsError::read(Step::ReadEmbeddings, e); }

}  // namespace

namespace {

// One row line after the first, its end removed: the word, and the values
// parsed into `row`; or the error text. Shared by every thread.
std::optional<std::string> parse_row_line(std::string_view s, std::size_t dims, float* row, Utf8Errors errors,
                                          std::string_view& word) {
  if (s.empty()) return std::string("an empty line");
  const std::size_t space = s.find(' ');
  word = s.substr(0, space);
  std::string_view rest = space == std::string_view::npos ? std::string_view() : s.substr(space + 1);
  if (auto bad = check_word(word, errors)) return bad;
  Values values = parse_values(rest, row, dims);
  if (!values.bad.empty()) {
    return "word " + shown(word) + ": value " + std::to_string(values.count + 1) + " " +
           shown(values.bad.substr(0, 40)) + " is not a float32 number";
  }
  if (values.count != dims) {
    return "word " + shown(word) + " has " +
           (values.count > dims ? "more than " + std::to_string(dims) : std::to_string(values.count)) +
           " values, expected " + std::to_string(dims);
  }
  return std::nullopt;
}

// Bytes of the file parsed at a time, and the least share of them worth a
// thread of its own (counted in bytes: a block holds 2,500 lines of 300
// values, or 100,000 lines of 25).
constexpr std::size_t kBlockBytes = std::size_t{8} << 20;
constexpr std::size_t kBytesPerThread = std::size_t{1} << 20;

std::string longer_than(std::size_t max_line) {
  return "the line is longer than the " + std::to_string(max_line) + " bytes a row of its values could need";
}

// What is wrong with the values parsed from the first row of a GloVe file,
// if anything: that row decides the dimensions, so it must have values.
std::optional<std::string> bad_first_values(std::string_view word, const Values& values) {
  if (!values.bad.empty()) {
    return "word " + shown(word) + ": value " + std::to_string(values.count + 1) + " " +
           shown(values.bad.substr(0, 40)) + " is not a float32 number";
  }
  if (values.count == 0) return "word " + shown(word) + " has no values";
  return std::nullopt;
}

// Reads a text file in phases: the header (or a GloVe file's first row,
// which decides the dimensions), then the other rows a block of lines at a
// time, parsed on every core into rows taken in file order (the result is
// that of one line after the other, errors included: the first in the file
// wins), then the checks of the whole.
class TextReader {
 public:
  TextReader(BufferedReader& r, const Progress& progress, const ReadOptions& options)
      : r_(r),
        options_(options),
        total_(file_size(r)),
        tick_(progress, kProgressBytes),
        max_line_(max_line_bytes(r, 0)),
        kept_{options.errors, {}, 0},
        limit_(options.limit.value_or(std::numeric_limits<std::uint64_t>::max())) {}

  Result<ImportedEmbeddings> read(TextLayout layout) {
    if (layout == TextLayout::WithHeader) {
      MAVE_TRY(read_header());
    } else if (limit_ > 0) {
      MAVE_TRY(read_first_glove_row());
    }
    bool at_end = !out_;
    while (!at_end && rows_read_ < limit_) {
      MAVE_ASSIGN_OR_RETURN(at_end, read_block());
      MAVE_ASSIGN_OR_RETURN(const std::size_t n, rows_of_block());
      MAVE_TRY(parse_rows(n));
      MAVE_TRY(check_row_count(n));
      keep_rows(n);
    }
    return finish();
  }

 private:
  // Reads the next line into `line_`; false at the end of the file.
  Result<bool> next_line() {
    line_.clear();
    auto n = r_.read_until('\n', line_, max_line_);
    if (!n.ok()) return read_error(n.error());
    if (n.value() == 0) return false;
    ++line_no_;
    if (n.value() == max_line_ && line_.back() != '\n') {
      return Place{Place::Line, line_no_}.error(longer_than(max_line_));
    }
    return true;
  }

  // "<words> <dims>", and room for the rows the rest of the file can hold
  // (a pipe: a modest start).
  Status read_header() {
    MAVE_ASSIGN_OR_RETURN(bool any, next_line());
    if (!any) return Place{Place::Line, 1}.error("the file is empty");
    MAVE_ASSIGN_OR_RETURN(Header h, parse_header(trimmed(line_), r_, min_text_row_bytes));
    header_ = h;
    max_line_ = max_line_bytes(r_, h.dims);
    const std::size_t expected = reservation_for(r_, h.words, min_text_row_bytes(h.dims));
    out_.emplace(ImportedEmbeddings{WordList{}, RowBlocks(static_cast<std::size_t>(h.dims), expected)});
    out_->words.reserve(expected);
    return {};
  }

  // The first row of a GloVe file: as many dimensions as it has values. An
  // empty file holds no rows at all.
  Status read_first_glove_row() {
    MAVE_ASSIGN_OR_RETURN(bool any, next_line());
    if (!any) return {};
    const Place place{Place::Line, line_no_};
    std::string_view s = trimmed(line_);
    if (s.starts_with(kBom)) s.remove_prefix(kBom.size());
    if (s.empty()) return place.error("an empty line");
    const std::size_t space = s.find(' ');
    std::string_view word = s.substr(0, space);
    std::string_view rest = space == std::string_view::npos ? std::string_view() : s.substr(space + 1);
    if (auto bad = check_word(word, options_.errors)) return place.error(*bad);
    std::vector<float> first_row(rest.size() / 2 + 1);
    const Values values = parse_values(rest, first_row.data(), first_row.size());
    if (auto bad = bad_first_values(word, values)) return place.error(*bad);
    // About as many rows as lines of this length fit in the rest.
    const std::size_t expected =
        1 + reservation_for(r_, std::numeric_limits<std::uint64_t>::max(), line_.size());
    out_.emplace(ImportedEmbeddings{WordList{}, RowBlocks(values.count, expected)});
    std::copy_n(first_row.data(), values.count, out_->matrix.append_row());
    max_line_ = max_line_bytes(r_, values.count);
    ++rows_read_;
    if (auto keep = kept_.take(word, out_->matrix)) out_->words.push_back(*keep);
    return {};
  }

  // The next block of the file after the lines carried from the last one,
  // cut into lines: whole ones only, but at the end of the file the last
  // one as it is. True at the end of the file.
  Result<bool> read_block() {
    const std::size_t carried = block_.size();
    block_.resize(carried + kBlockBytes);
    auto got = r_.read_up_to(block_.data() + carried, kBlockBytes);
    if (!got.ok()) return read_error(got.error());
    block_.resize(carried + got.value());
    const bool at_end = got.value() == 0;
    std::size_t whole = block_.size();
    if (!at_end) {
      const std::size_t last = block_.rfind('\n');
      whole = last == std::string::npos ? 0 : last + 1;
    }
    starts_.clear();
    for (std::size_t at = 0; at < whole;) {
      starts_.push_back(at);
      const void* nl = std::memchr(block_.data() + at, '\n', whole - at);
      at = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - block_.data()) + 1 : whole;
    }
    starts_.push_back(whole);
    return at_end;
  }

  std::size_t lines_in_block() const { return starts_.size() - 1; }
  std::string_view block_line(std::size_t k) const {
    return {block_.data() + starts_[k], starts_[k + 1] - starts_[k]};
  }

  // How many of the block's lines are rows to parse: none past the limit,
  // and none past the header's count (`excess_` then says where the file
  // goes on).
  Result<std::size_t> rows_of_block() {
    std::size_t n = lines_in_block();
    if (n == 0 && block_.size() >= max_line_) {
      return Place{Place::Line, line_no_ + 1}.error(longer_than(max_line_));
    }
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, limit_ - rows_read_));
    excess_.reset();
    if (header_ && n > header_->words - rows_read_) {
      excess_ = static_cast<std::size_t>(header_->words - rows_read_);
      n = *excess_;
    }
    return n;
  }

  // The first n lines of the block parsed into n new rows, on as many
  // threads as the block is worth; the first bad line in the file fails.
  Status parse_rows(std::size_t n) {
    const std::size_t dims = out_->matrix.cols();
    rows_.resize(n);
    words_.assign(n, {});
    for (std::size_t k = 0; k < n; ++k) rows_[k] = out_->matrix.append_row();
    const unsigned threads = choose_threads(0, starts_[n], kBytesPerThread);
    // Each part stops at its first bad line; parts are in file order.
    std::vector<std::optional<std::pair<std::size_t, std::string>>> failures(threads);
    parallel_for(n, threads, [&](unsigned part, std::size_t from, std::size_t to) {
      for (std::size_t k = from; k < to; ++k) {
        const std::string_view line = block_line(k);
        std::optional<std::string> bad;
        if (line.size() > max_line_ || (line.size() == max_line_ && line.back() != '\n')) {
          bad = longer_than(max_line_);
        } else {
          bad = parse_row_line(trimmed(line), dims, rows_[k], options_.errors, words_[k]);
        }
        if (bad) {
          failures[part].emplace(k, std::move(*bad));
          return;
        }
      }
    });
    for (const auto& f : failures) {
      if (f) return Place{Place::Line, line_no_ + 1 + f->first}.error(f->second);
    }
    return {};
  }

  // A line after the rows the header announces is an error (an empty one
  // named as such).
  Status check_row_count(std::size_t n) const {
    if (!excess_ || lines_in_block() <= n) return {};
    const Place place{Place::Line, line_no_ + 1 + n};
    if (trimmed(block_line(n)).empty()) return place.error("an empty line");
    return place.error("more words than the " + std::to_string(header_->words) + " the header announces");
  }

  // The block's rows kept in file order with their decoded words, moved up
  // over those whose word was dropped; the parsed lines leave the block.
  void keep_rows(std::size_t n) {
    const std::size_t dims = out_->matrix.cols();
    const std::size_t first_row = out_->matrix.rows() - n;
    std::size_t kept_rows = first_row;
    for (std::size_t k = 0; k < n; ++k) {
      std::optional<std::string_view> word = decode_word(words_[k], options_.errors, kept_.scratch);
      if (word && word->empty()) {
        ++kept_.dropped;
        continue;
      }
      if (kept_rows != first_row + k) std::copy_n(rows_[k], dims, out_->matrix.row_mut(kept_rows));
      out_->words.push_back(*word);
      ++kept_rows;
    }
    while (out_->matrix.rows() > kept_rows) out_->matrix.pop_row();
    rows_read_ += n;
    line_no_ += n;
    block_.erase(0, starts_[n]);
    tick_(r_.input_consumed(), total_);
  }

  // The whole file read: as many rows as the header announced (unless the
  // limit cut them), repeated words dropped or refused.
  Result<ImportedEmbeddings> finish() {
    if (!out_) return Place{Place::Line, line_no_ + 1}.error("the file holds no vectors");
    const bool cut_by_limit = rows_read_ == limit_;
    if (header_ && rows_read_ != header_->words && !cut_by_limit) {
      return Place{Place::Line, line_no_ + 1}.error("the file ends after " + std::to_string(rows_read_) +
                                                    " of the " + std::to_string(header_->words) +
                                                    " words the header announces");
    }
    out_->dropped_words = kept_.dropped;
    if (options_.errors != Utf8Errors::Strict) {
      out_->dropped_words += drop_repeats(out_->words, out_->matrix);
    } else if (auto repeat = first_repeat(out_->words)) {
      const std::uint64_t first_row_line = header_ ? 2 : 1;
      return Place{Place::Line, first_row_line + repeat->second}.error(
          "word " + shown(out_->words[repeat->first]) + " repeats the word of line " +
          std::to_string(first_row_line + repeat->first));
    }
    tick_.finish(total_, total_);
    return std::move(*out_);
  }

  BufferedReader& r_;
  const ReadOptions& options_;
  const std::uint64_t total_;
  Ticker tick_;
  std::string line_;           // the header or first line
  std::uint64_t line_no_ = 0;  // lines consumed so far
  std::size_t max_line_;
  Kept kept_;
  std::uint64_t rows_read_ = 0;
  const std::uint64_t limit_;
  std::optional<Header> header_;
  std::optional<ImportedEmbeddings> out_;
  // The block being parsed: line k is [starts_[k], starts_[k + 1]), its row
  // rows_[k] and its word words_[k] (a view into block_).
  std::string block_;
  std::vector<std::size_t> starts_;
  std::vector<float*> rows_;
  std::vector<std::string_view> words_;
  std::optional<std::size_t> excess_;
};

}  // namespace

Result<ImportedEmbeddings> read_text_embeddings(BufferedReader& r, TextLayout layout,
                                                const Progress& progress, const ReadOptions& options) {
  return TextReader(r, progress, options).read(layout);
}

Result<ImportedEmbeddings> read_word2vec_binary(BufferedReader& r, const Progress& progress,
                                                const ReadOptions& options) {
  const std::uint64_t total = file_size(r);
  Ticker tick(progress, kProgressBytes);
  std::string line;
  auto header_read = r.read_until('\n', line);
  if (!header_read.ok()) return read_error(header_read.error());
  if (header_read.value() == 0) return Place{Place::Line, 1}.error("the file is empty");
  MAVE_ASSIGN_OR_RETURN(Header header, parse_header(trimmed(line), r, min_binary_row_bytes));
  const std::size_t dims = static_cast<std::size_t>(header.dims);
  const std::uint64_t first_row_offset = header_read.value();
  const std::size_t row_bytes = dims * sizeof(float);

  const std::size_t reserved = reservation_for(r, header.words, min_binary_row_bytes(header.dims));
  ImportedEmbeddings out{WordList{}, RowBlocks(dims, reserved)};
  out.words.reserve(reserved);
  // Which rows were preceded by the optional newline, to give the byte offset
  // of a repeated word.
  std::vector<bool> newline_before;
  newline_before.reserve(reserved);
  Kept kept{options.errors, {}, 0};
  const std::uint64_t rows = options.limit ? std::min(*options.limit, header.words) : header.words;
  // A stream of unknown size: a word without its end is refused at this
  // length.
  const std::size_t max_word = r.remaining() ? SIZE_MAX : kMaxWordBytes;
  for (std::uint64_t k = 0; k < rows; ++k) {
    const std::uint64_t offset = r.position().value();
    line.clear();
    auto n = r.read_until(' ', line, max_word);
    if (!n.ok()) return read_error(n.error());
    const Place place{Place::Byte, offset};
    if (n.value() == max_word && line.back() != ' ') {
      return place.error("a word longer than " + std::to_string(max_word) + " bytes");
    }
    if (n.value() == 0 || (n.value() == 1 && line[0] == '\n')) {
      return place.error("the file ends after " + std::to_string(k) + " of the " +
                         std::to_string(header.words) + " words the header announces");
    }
    std::string_view word = line;
    const bool newline = word.starts_with('\n');
    if (newline) word.remove_prefix(1);
    if (!word.ends_with(' ')) {
      return place.error("the file ends inside word " + shown(word) + ", " + std::to_string(k + 1) + " of " +
                         std::to_string(header.words));
    }
    word.remove_suffix(1);
    if (auto bad = check_word(word, options.errors)) return place.error(*bad);
    float* row = out.matrix.append_row();
    if (auto read = r.read_exact(row, row_bytes); !read.ok()) {
      if (read.error().kind() != ErrorKind::UnexpectedEof) return read_error(read.error());
      return place.error("the file ends inside the vector of word " + shown(word));
    }
    if (auto keep = kept.take(word, out.matrix)) {
      out.words.push_back(*keep);
      newline_before.push_back(newline);
    }
    tick(r.input_consumed(), total);
  }
  out.dropped_words = kept.dropped;
  if (options.errors != Utf8Errors::Strict) out.dropped_words += drop_repeats(out.words, out.matrix);
  if (rows < header.words) {
    // The rest of the file is not read.
    tick.finish(total, total);
    return out;
  }
  // Nothing may follow the last row but its optional newline.
  const std::uint64_t end = r.position().value();
  char trailing[2];
  std::size_t extra = 0;
  while (extra < 2) {
    auto read = r.read_exact(trailing + extra, 1);
    if (!read.ok()) {
      if (read.error().kind() != ErrorKind::UnexpectedEof) return read_error(read.error());
      break;
    }
    ++extra;
  }
  if (extra == 2 || (extra == 1 && trailing[0] != '\n')) {
    return Place{Place::Byte, end}.error("data after the last of the " + std::to_string(header.words) +
                                         " words the header announces");
  }
  if (options.errors != Utf8Errors::Strict) {
    // Repeats were dropped above.
  } else if (auto repeat = first_repeat(out.words)) {
    auto offset_of = [&](std::size_t row) {
      std::uint64_t at = first_row_offset;
      for (std::size_t m = 0; m < row; ++m) at += newline_before[m] + out.words[m].size() + 1 + row_bytes;
      return at + newline_before[row];
    };
    return Place{Place::Byte, offset_of(repeat->second)}.error("word " + shown(out.words[repeat->first]) +
                                                               " repeats the word at byte " +
                                                               std::to_string(offset_of(repeat->first)));
  }
  tick.finish(total, total);
  return out;
}

namespace {

// The reason a word cannot be written in a word2vec format, if any.
std::optional<std::string> unwritable(std::string_view word, std::string_view forbidden) {
  if (word.empty()) return "an empty word cannot be written in this format";
  if (word.find_first_of(forbidden) != std::string_view::npos) {
    return "word " + shown(word) + " holds a space or line end, which this format cannot hold";
  }
  return std::nullopt;
}

Status write_text(BufferedWriter& w, std::string_view text) {
  return write_bytes(w, text.data(), text.size(), Step::WriteEmbeddings);
}

Status write_header_line(BufferedWriter& w, const WordRows& rows) {
  return write_text(w, std::to_string(rows.size) + " " + std::to_string(rows.cols) + "\n");
}

}  // namespace

Status write_word2vec_binary(BufferedWriter& w, const WordRows& rows, const Progress& progress) {
  Ticker tick(progress, kProgressRows);
  MAVE_TRY(write_header_line(w, rows));
  // A file without rows may claim any number of columns: no room for them.
  std::vector<float> scratch(rows.size == 0 ? 0 : rows.cols);
  for (std::size_t i = 0; i < rows.size; ++i) {
    std::string_view word = rows.word(i);
    // A leading newline would be taken for the separator after a row.
    if (auto bad = unwritable(word, " ")) return EmbeddingsError(ErrorCode::Unwritable).with_detail(*bad);
    if (word.starts_with('\n')) {
      return EmbeddingsError(ErrorCode::Unwritable)
          .with_detail("word " + shown(word) + " starts with a line end, which this format cannot hold");
    }
    const float* row = rows.row(i, scratch.data());
    MAVE_TRY(write_text(w, word));
    MAVE_TRY(write_text(w, " "));
    MAVE_TRY(write_bytes(w, row, rows.cols * sizeof(float), Step::WriteEmbeddings));
    // The C tool's newline after each row; gensim and this reader skip it.
    MAVE_TRY(write_text(w, "\n"));
    tick(i, rows.size);
  }
  tick.finish(rows.size, rows.size);
  return {};
}

Status write_text_embeddings(BufferedWriter& w, const WordRows& rows, TextLayout layout,
                             const Progress& progress) {
  Ticker tick(progress, kProgressRows);
  if (layout == TextLayout::WithHeader) {
    MAVE_TRY(write_header_line(w, rows));
  } else if (rows.size > 0 && rows.word(0).starts_with(kBom)) {
    // The reader takes a byte-order mark at the start of the file for one;
    // a first word that starts with U+FEFF keeps it behind a mark of its own.
    MAVE_TRY(write_text(w, kBom));
  }
  // A file without rows may claim any number of columns: no room for them.
  std::vector<float> scratch(rows.size == 0 ? 0 : rows.cols);
  std::string line;
  for (std::size_t i = 0; i < rows.size; ++i) {
    std::string_view word = rows.word(i);
    if (auto bad = unwritable(word, " \t\n\r"))
      return EmbeddingsError(ErrorCode::Unwritable).with_detail(*bad);
    const float* row = rows.row(i, scratch.data());
    line.assign(word);
    for (std::size_t j = 0; j < rows.cols; ++j) {
      char buffer[32];
      buffer[0] = ' ';
      // The shortest text that reads back to the same float32.
      auto [end, ec] = std::to_chars(buffer + 1, buffer + sizeof buffer, row[j]);
      line.append(buffer, end);
    }
    line.push_back('\n');
    MAVE_TRY(write_text(w, line));
    tick(i, rows.size);
  }
  tick.finish(rows.size, rows.size);
  return {};
}

}  // namespace mave
