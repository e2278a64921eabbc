// The word2vec and GloVe readers and writers: the same result whatever the
// reader's buffer size (items straddle its end at every position), streams
// of unknown size, exact bytes written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <thread>

#include "importers/word2vec.hpp"
#include "python/native/messages.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

// mave's words for a failure, which name what the tests look for.
[[maybe_unused]] std::string said(const EmbeddingsError& e) { return messages::reason(e).text; }
[[maybe_unused]] std::string said(const IoError& e) { return messages::io_text(e); }

using namespace test;

const std::vector<std::string> kWords = {"</s>", "grün", "a", "日本"};
const std::vector<float> kValues = {0.5f, -1.25f, 3e-7f, 0.0f, -0.0f, 1e30f,
                                    2.0f, -3.5f,  0.1f,  7.0f, 8.0f,  9.0f};

std::string binary_file(bool newlines) {
  Bytes f;
  f.str("4 3\n");
  for (std::size_t i = 0; i < kWords.size(); ++i) {
    f.str(kWords[i]).str(" ");
    for (std::size_t j = 0; j < 3; ++j) f.f32(kValues[i * 3 + j]);
    if (newlines) f.str("\n");
  }
  return f.str();
}

std::string text_file(bool header, std::string_view line_end) {
  std::string s;
  if (header) (s = "4 3") += line_end;
  for (std::size_t i = 0; i < kWords.size(); ++i) {
    s += kWords[i];
    for (std::size_t j = 0; j < 3; ++j) {
      char buffer[32];
      auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, kValues[i * 3 + j]);
      s += ' ';
      s.append(buffer, end);
    }
    s += line_end;
  }
  return s;
}

void expect_sample(const Result<ImportedEmbeddings>& read) {
  ASSERT_TRUE(read.ok()) << debug(read.error());
  const ImportedEmbeddings& e = read.value();
  ASSERT_EQ(e.words.size(), kWords.size());
  ASSERT_EQ(e.matrix.cols(), 3u);
  for (std::size_t i = 0; i < kWords.size(); ++i) {
    EXPECT_EQ(e.words[i], kWords[i]);
    EXPECT_EQ(std::memcmp(e.matrix.row(i), &kValues[i * 3], 12), 0) << kWords[i];
    EXPECT_EQ(e.words.find(kWords[i]), i);
  }
}

TEST(ImportersTest, EveryBufferSizeReadsTheSameRows) {
  for (bool newlines : {false, true}) {
    TempFile binary(binary_file(newlines));
    for (std::size_t capacity = 1; capacity <= 40; ++capacity) {
      SCOPED_TRACE(capacity);
      BufferedReader r(File::open_read(binary.path()).value(), capacity);
      expect_sample(read_word2vec_binary(r));
    }
  }
  for (std::string_view end : {"\n", "\r\n", " \t\r\n"}) {
    TempFile text(text_file(true, end)), glove(text_file(false, end));
    for (std::size_t capacity = 1; capacity <= 40; ++capacity) {
      SCOPED_TRACE(capacity);
      BufferedReader r(File::open_read(text.path()).value(), capacity);
      expect_sample(read_text_embeddings(r, TextLayout::WithHeader));
      BufferedReader g(File::open_read(glove.path()).value(), capacity);
      expect_sample(read_text_embeddings(g, TextLayout::GloVe));
    }
  }
}

// A pipe has no size, so a header's count cannot be checked up front: it
// must not decide an allocation either, and the end of the stream tells.
BufferedReader pipe_of(std::string contents) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  std::thread([fd = fds[1], contents = std::move(contents)] {
    std::size_t done = 0;
    while (done < contents.size()) {
      ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }).detach();
  return BufferedReader(File(fds[0]));
}

TEST(ImportersTest, StreamsOfUnknownSize) {
  {
    BufferedReader r = pipe_of(binary_file(true));
    expect_sample(read_word2vec_binary(r));
  }
  {
    BufferedReader r = pipe_of("18446744073709551615 3\na 1 2 3\n");
    auto read = read_text_embeddings(r, TextLayout::WithHeader);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().line, 3u);
    EXPECT_EQ(read.error().detail,
              "the file ends after 1 of the 18446744073709551615 words the header announces");
  }
  {
    BufferedReader r = pipe_of("18446744073709551615 4294967295\nab");
    auto read = read_word2vec_binary(r);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().offset, 32u);
    EXPECT_EQ(read.error().detail, "the file ends inside word \"ab\", 1 of 18446744073709551615");
  }
}

TEST(ImportersTest, ProgressReachesTheFileSize) {
  const std::string contents = text_file(true, "\n");
  TempFile text(contents);
  BufferedReader r(File::open_read(text.path()).value());
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  auto read = read_text_embeddings(r, TextLayout::WithHeader, [&](std::uint64_t done, std::uint64_t total) {
    calls.emplace_back(done, total);
  });
  ASSERT_TRUE(read.ok());
  ASSERT_FALSE(calls.empty());
  const std::pair<std::uint64_t, std::uint64_t> last{contents.size(), contents.size()};
  EXPECT_EQ(calls.back(), last);
}

WordRows sample_rows() {
  return WordRows{kWords.size(), 3, [](std::size_t i) { return std::string_view(kWords[i]); },
                  [](std::size_t i, float*) { return &kValues[i * 3]; }};
}

std::string written(const std::function<Status(BufferedWriter&)>& write) {
  TempFile out;
  BufferedWriter w(File::create(out.path()).value());
  Status status = write(w);
  EXPECT_TRUE(status.ok()) << debug(status.error());
  EXPECT_TRUE(w.close().ok());
  return out.read();
}

TEST(ImportersTest, WritersGiveTheReadersFormatsExactly) {
  EXPECT_EQ(written([](BufferedWriter& w) { return write_word2vec_binary(w, sample_rows()); }),
            binary_file(true));
  EXPECT_EQ(written([](BufferedWriter& w) {
              return write_text_embeddings(w, sample_rows(), TextLayout::WithHeader);
            }),
            text_file(true, "\n"));
  EXPECT_EQ(
      written([](BufferedWriter& w) { return write_text_embeddings(w, sample_rows(), TextLayout::GloVe); }),
      text_file(false, "\n"));
}

TEST(ImportersTest, AFirstWordStartingWithAByteOrderMarkKeepsIt) {
  // Found by fuzzing: GloVe text starting with U+FEFF U+FEFF "aus" read as
  // the word U+FEFF "aus", which was written back at the start of the file
  // and read as "aus".
  const std::string word =
      "\xEF\xBB\xBF"
      "aus";
  WordRows rows{1, 3, [&](std::size_t) { return std::string_view(word); },
                [](std::size_t, float*) { return &kValues[0]; }};
  TempFile out(written([&](BufferedWriter& w) { return write_text_embeddings(w, rows, TextLayout::GloVe); }));
  BufferedReader r(File::open_read(out.path()).value());
  auto read = read_text_embeddings(r, TextLayout::GloVe);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value().words[0], word);
}

TEST(ImportersTest, WordsTheFormatsCannotHoldAreRefused) {
  // Binary rows end words at a space only, and take one newline before a
  // word for the separator after the row before.
  for (std::string word : {"a b", "", "tab\there", "line\nend", "\nlead"}) {
    WordRows rows{1, 3, [&](std::size_t) { return std::string_view(word); },
                  [](std::size_t, float*) { return &kValues[0]; }};
    TempFile out;
    BufferedWriter w(File::create(out.path()).value());
    Status text = write_text_embeddings(w, rows, TextLayout::GloVe);
    EXPECT_FALSE(text.ok()) << word;
    Status binary = write_word2vec_binary(w, rows);
    EXPECT_EQ(binary.ok(), word == "tab\there" || word == "line\nend") << word;
  }
}

}  // namespace
}  // namespace mave

namespace mave {
namespace {

// Enough rows for the text reader to parse blocks on several threads.
std::string many_rows(std::size_t rows, std::size_t dims) {
  std::string s = std::to_string(rows) + " " + std::to_string(dims) + "\n";
  for (std::size_t i = 0; i < rows; ++i) {
    s += "w" + std::to_string(i);
    for (std::size_t j = 0; j < dims; ++j) {
      char buffer[32];
      auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer,
                                     static_cast<float>(i) / 7.0f - static_cast<float>(j) * 1e-3f);
      s += ' ';
      s.append(buffer, end);
    }
    s += '\n';
  }
  return s;
}

// The text readers parse the common values with one parser and the rare
// forms with std::from_chars: every value must come out as std::from_chars
// reads it, and the rare forms keep their own rules.
TEST(ImportersTest, TextValuesAreReadAsFromCharsReadsThem) {
  std::vector<std::string> tokens = {
      "0",    "-0",       "0.0",   "1e-40",        "-1.4e-45",       "+1.5", "+0",      "nan",
      "-inf", "Infinity", "1e-50", "3.4028235e38", "1.17549435e-38", "7",    "-0.00001"};
  // Values near every power of ten and with 7 to 12 significant digits,
  // where a parser that rounds twice would go wrong.
  std::uint32_t state = 12345;
  for (int i = 0; i < 2000; ++i) {
    state = state * 1664525u + 1013904223u;
    const int digits = 7 + static_cast<int>(state % 6);
    const int exponent = static_cast<int>((state >> 8) % 76) - 38;
    std::string t = (state >> 20) & 1 ? "-" : "";
    std::uint64_t m = state;
    t += std::to_string(1 + m % 9) + ".";
    for (int d = 1; d < digits; ++d) {
      m = m * 6364136223846793005ULL + 1442695040888963407ULL;
      t += static_cast<char>('0' + (m >> 60) % 10);
    }
    tokens.push_back(t + "e" + std::to_string(exponent));
  }
  std::string file = "w";
  for (const std::string& t : tokens) file += " " + t;
  file += "\n";
  TempFile f(file);
  BufferedReader r = f.reader();
  auto e = read_text_embeddings(r, TextLayout::GloVe);
  ASSERT_TRUE(e.ok()) << said(e.error());
  ASSERT_EQ(e.value().matrix.cols(), tokens.size());
  const float* row = e.value().matrix.row(0);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    std::string_view t = tokens[i];
    if (t.starts_with('+')) t.remove_prefix(1);
    float expected = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), expected);
    if (ec == std::errc::result_out_of_range) {
      double wide = 0;
      std::from_chars(t.data(), t.data() + t.size(), wide);
      expected = static_cast<float>(wide);
    } else {
      ASSERT_EQ(ec, std::errc()) << tokens[i];
    }
    std::uint32_t got_bits, expected_bits;
    std::memcpy(&got_bits, &row[i], 4);
    std::memcpy(&expected_bits, &expected, 4);
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(row[i])) << tokens[i];
    } else {
      EXPECT_EQ(got_bits, expected_bits) << tokens[i];
    }
  }

  // Beyond the largest float32 is refused, not read as infinity.
  f.write("w 1 3.5e38 2\n");
  BufferedReader r2 = f.reader();
  auto big = read_text_embeddings(r2, TextLayout::GloVe);
  ASSERT_FALSE(big.ok());
  EXPECT_NE(said(big.error()).find("value 2 \"3.5e38\" is not a float32 number"), std::string::npos)
      << said(big.error());
}

TEST(ImportersTest, TextParsedInParallelBlocksIsTheSameAsLineByLine) {
  const std::size_t rows = 30000, dims = 8;
  const std::string file = many_rows(rows, dims);
  TempFile f(file);
  BufferedReader r = f.reader();
  auto e = read_text_embeddings(r, TextLayout::WithHeader);
  ASSERT_TRUE(e.ok()) << said(e.error());
  ASSERT_EQ(e.value().words.size(), rows);
  for (std::size_t i = 0; i < rows; i += 997) {
    EXPECT_EQ(e.value().words[i], "w" + std::to_string(i));
    for (std::size_t j = 0; j < dims; ++j) {
      EXPECT_EQ(e.value().matrix.row(i)[j], static_cast<float>(i) / 7.0f - static_cast<float>(j) * 1e-3f);
    }
  }

  // Two broken lines far apart: the first one in the file is reported,
  // whichever thread parsed it.
  auto line_start = [&](std::size_t line) {
    std::size_t at = 0;
    for (std::size_t k = 1; k < line; ++k) at = file.find('\n', at) + 1;
    return at;
  };
  std::string broken = file;
  broken.replace(line_start(29001), 1, "\n");                   // an empty line late in the file
  broken.insert(broken.find(' ', line_start(12000)) + 1, "x");  // a bad value earlier
  f.write(broken);
  BufferedReader r2 = f.reader();
  auto bad = read_text_embeddings(r2, TextLayout::WithHeader);
  ASSERT_FALSE(bad.ok());
  EXPECT_NE(said(bad.error()).find("line 12000: word \"w11998\": value 1"), std::string::npos)
      << said(bad.error());

  // One row more than the header announces, and limit below the count.
  f.write("29999" + file.substr(file.find(' ')));
  BufferedReader r3 = f.reader();
  auto more = read_text_embeddings(r3, TextLayout::WithHeader);
  ASSERT_FALSE(more.ok());
  EXPECT_NE(said(more.error()).find("line 30001: more words than the 29999"), std::string::npos)
      << said(more.error());
  BufferedReader r4 = f.reader();
  auto limited = read_text_embeddings(r4, TextLayout::WithHeader, {}, {Utf8Errors::Strict, 20000});
  ASSERT_TRUE(limited.ok());
  EXPECT_EQ(limited.value().words.size(), 20000u);
  EXPECT_EQ(limited.value().words[19999], "w19999");
}

}  // namespace
}  // namespace mave
