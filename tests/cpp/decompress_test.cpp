// Compressed input: gzip, bzip2, xz and zip copies of files gensim and
// fastText wrote read as the files themselves; damaged archives fail as
// data errors, never as a crash or a hang; files that expand to gigabytes
// are refused early, in bounded memory.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>

#include "compress/decompress.hpp"
#include "fasttext/fasttext.hpp"
#include "importers/word2vec.hpp"
#include "python/native/messages.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

// mave's words for a failure, which name what the tests look for.
[[maybe_unused]] std::string said(const EmbeddingsError& e) { return messages::reason(e).text; }
[[maybe_unused]] std::string said(const IoError& e) { return messages::io_text(e); }

using namespace test;

const char* const kSuffixes[] = {".gz", ".bz2", ".xz", ".zip"};

BufferedReader open(const std::string& path, std::string_view member = {}) {
  auto file = File::open_read(path);
  EXPECT_TRUE(file.ok());
  auto r = open_decompressed(std::move(file).value(), member);
  if (!r.ok()) ADD_FAILURE() << path << ": " << said(r.error());
  return std::move(r).value();
}

void expect_same(const ImportedEmbeddings& a, const ImportedEmbeddings& b) {
  ASSERT_EQ(a.words.size(), b.words.size());
  ASSERT_EQ(a.matrix.cols(), b.matrix.cols());
  for (std::size_t i = 0; i < a.words.size(); ++i) {
    ASSERT_EQ(a.words[i], b.words[i]);
    ASSERT_EQ(std::memcmp(a.matrix.row(i), b.matrix.row(i), a.matrix.cols() * 4), 0) << a.words[i];
  }
}

ImportedEmbeddings read_text(BufferedReader r, TextLayout layout = TextLayout::WithHeader) {
  auto e = read_text_embeddings(r, layout);
  EXPECT_TRUE(e.ok()) << said(e.error());
  return std::move(e).value();
}

TEST(DecompressTest, SignaturesDecideWhateverTheName) {
  auto kind = [](std::initializer_list<unsigned char> bytes) {
    std::vector<unsigned char> v(bytes);
    return detect_compression(v);
  };
  EXPECT_EQ(kind({0x1f, 0x8b, 8, 0}), Compression::Gzip);
  EXPECT_EQ(kind({'B', 'Z', 'h', '9', '1'}), Compression::Bzip2);
  EXPECT_EQ(kind({'B', 'Z', 'h', '0'}), Compression::None);  // no such block size
  EXPECT_EQ(kind({0xfd, '7', 'z', 'X', 'Z', 0}), Compression::Xz);
  EXPECT_EQ(kind({'P', 'K', 3, 4}), Compression::Zip);
  EXPECT_EQ(kind({'4', '0', '0', ' ', '1', '6'}), Compression::None);
  EXPECT_EQ(kind({0x1f}), Compression::None);

  // A gzip file named like a plain one reads decompressed.
  TempFile renamed(read_file(data_path("compressed/cbow-en.vec.gz")));
  expect_same(read_text(open(renamed.path())), read_text(open(data_path("compressed/cbow-en.vec"))));
}

TEST(DecompressTest, CompressedCopiesReadAsTheFilesGensimWrote) {
  const ImportedEmbeddings plain = read_text(open(data_path("compressed/cbow-en.vec")));
  ASSERT_EQ(plain.words.size(), 400u);
  std::optional<ImportedEmbeddings> binary;
  for (const char* suffix : kSuffixes) {
    SCOPED_TRACE(suffix);
    expect_same(read_text(open(data_path(std::string("compressed/cbow-en.vec") + suffix))), plain);
    BufferedReader r = open(data_path(std::string("compressed/cbow-en.w2v") + suffix));
    auto e = read_word2vec_binary(r);
    ASSERT_TRUE(e.ok()) << said(e.error());
    if (binary) {
      expect_same(e.value(), *binary);
    } else {
      binary = std::move(e).value();
    }
  }
  // gensim's text holds the floats exactly.
  expect_same(*binary, plain);
}

TEST(DecompressTest, CompressedFastTextModelsLoadAsTheModel) {
  BufferedReader plain_reader = open(data_path("compressed/tiny-skipgram.bin"));
  auto plain = load_fasttext_model(plain_reader);
  ASSERT_TRUE(plain.ok()) << said(plain.error());
  const NdArray& expected = std::get<NdArray>(plain.value().storage().variant());
  for (const char* suffix : kSuffixes) {
    SCOPED_TRACE(suffix);
    BufferedReader r = open(data_path(std::string("compressed/tiny-skipgram.bin") + suffix));
    auto e = load_fasttext_model(r);
    ASSERT_TRUE(e.ok()) << said(e.error());
    const NdArray& got = std::get<NdArray>(e.value().storage().variant());
    ASSERT_EQ(got.rows(), expected.rows());
    ASSERT_EQ(std::memcmp(got.row(0).data(), expected.row(0).data(), got.rows() * got.cols() * 4), 0);
  }
}

TEST(DecompressTest, ZipMembersAreChosenByName) {
  const std::string path = data_path("compressed/glove.zip");
  auto file = File::open_read(path);
  auto names = zip_members(file.value());
  ASSERT_TRUE(names.ok());
  EXPECT_EQ(names.value(), (std::vector<std::string>{"glove.16d.txt", "glove.first.txt"}));

  const ImportedEmbeddings plain = read_text(open(data_path("compressed/cbow-en.vec")));
  expect_same(read_text(open(path, "glove.16d.txt"), TextLayout::GloVe), plain);
  // The stored member.
  EXPECT_EQ(read_text(open(path, "glove.first.txt"), TextLayout::GloVe).words.size(), 10u);

  auto unnamed = open_decompressed(File::open_read(path).value());
  ASSERT_FALSE(unnamed.ok());
  EXPECT_EQ(unnamed.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(unnamed.error().fixed_message(), IoMessage::ZipMemberUnnamed);
  EXPECT_NE(said(unnamed.error()).find("2 files"), std::string::npos) << said(unnamed.error());
  EXPECT_NE(said(unnamed.error()).find("glove.first.txt"), std::string::npos);
  auto missing = open_decompressed(File::open_read(path).value(), "glove.300d.txt");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().fixed_message(), IoMessage::ZipMemberMissing);
  EXPECT_NE(said(missing.error()).find("no file of that name (glove.300d.txt;"), std::string::npos)
      << said(missing.error());
  auto not_zip = open_decompressed(File::open_read(data_path("compressed/small.vec.gz")).value(), "a");
  EXPECT_FALSE(not_zip.ok());
}

TEST(DecompressTest, ProgressCountsCompressedBytes) {
  for (const char* suffix : kSuffixes) {
    SCOPED_TRACE(suffix);
    const std::string path = data_path(std::string("compressed/cbow-en.vec") + suffix);
    const std::uint64_t size = read_file(path).size();
    BufferedReader r = open(path);
    std::uint64_t last_done = 0, last_total = 0;
    auto e = read_text_embeddings(r, TextLayout::WithHeader, [&](std::uint64_t done, std::uint64_t total) {
      EXPECT_GE(done, last_done);
      last_done = done;
      last_total = total;
    });
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(last_total, size);
    EXPECT_EQ(last_done, size);
    EXPECT_LE(r.input_consumed(), size);
    EXPECT_GT(r.input_consumed(), size / 2);
  }
}

// Every prefix of each archive, and each byte flipped: the reader either
// fails with a data error or (a flip in a field no check covers) gives the
// rows unchanged.
TEST(DecompressTest, CutAndFlippedArchivesFailAsDataErrors) {
  const ImportedEmbeddings plain = read_text(open(data_path("compressed/small.vec.gz")));
  ASSERT_EQ(plain.words.size(), 6u);
  for (const char* suffix : kSuffixes) {
    SCOPED_TRACE(suffix);
    const std::string archive = read_file(data_path(std::string("compressed/small.vec") + suffix));
    TempFile tmp;
    auto outcome = [&](const std::string& bytes) -> std::optional<ImportedEmbeddings> {
      tmp.write(bytes);
      auto r = open_decompressed(File::open_read(tmp.path()).value());
      if (!r.ok()) {
        EXPECT_NE(r.error().repr(), IoError::Repr::Os) << said(r.error());
        return std::nullopt;
      }
      auto e = read_text_embeddings(r.value(), TextLayout::WithHeader);
      if (!e.ok()) {
        EXPECT_NE(e.error().code, ErrorCode::InStep);
        if (e.error().io_cause()) {
          EXPECT_NE(e.error().io_cause()->repr(), IoError::Repr::Os);
        }
        return std::nullopt;
      }
      return std::move(e).value();
    };
    for (std::size_t n = 0; n < archive.size(); ++n) {
      auto got = outcome(archive.substr(0, n));
      // A cut archive that still reads (a cut after the first bytes leaves a
      // plain text file) must not read as the whole file.
      if (got && n >= 6) ADD_FAILURE() << "cut at " << n << " read as a whole file";
    }
    std::size_t unchanged = 0;
    for (std::size_t i = 0; i < archive.size(); ++i) {
      std::string flipped = archive;
      flipped[i] = static_cast<char>(flipped[i] ^ 0x5a);
      if (auto got = outcome(flipped)) {
        ++unchanged;
        if (got->words.size() == plain.words.size()) {
          bool same = true;
          for (std::size_t k = 0; k < plain.words.size(); ++k) same = same && got->words[k] == plain.words[k];
          EXPECT_TRUE(same) << "flip at " << i << " changed the words";
        }
      }
    }
    // Only header fields outside every check (times, names, flags) may flip
    // unnoticed.
    EXPECT_LT(unchanged, archive.size() / 4);
  }
}

long max_rss_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

TEST(DecompressTest, FilesThatExpandToGigabytesAreRefusedEarly) {
  struct Case {
    const char* name;
    bool binary;
    TextLayout layout;
    const char* expected;
  };
  const Case cases[] = {
      {"bomb-line.vec.bz2", false, TextLayout::WithHeader, "line 3: the line is longer than"},
      {"bomb-rows.vec.bz2", false, TextLayout::WithHeader, "line 4: more words than the 2"},
      {"bomb-glove.txt.bz2", false, TextLayout::GloVe, "line 1: the line is longer than"},
      {"bomb-word.w2v.bz2", true, TextLayout::WithHeader, "a word longer than"},
      {"bomb-count.vec.bz2", false, TextLayout::WithHeader, "the file ends after 1 of the 1000000000000"},
  };
  const long before = max_rss_kib();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BufferedReader r = open(data_path(std::string("compressed/") + c.name));
    auto e = c.binary ? read_word2vec_binary(r) : read_text_embeddings(r, c.layout);
    ASSERT_FALSE(e.ok());
    EXPECT_NE(said(e.error()).find(c.expected), std::string::npos) << said(e.error());
    // Each file holds 3 GiB; what was read of it stays far below.
    EXPECT_LT(r.position().value(), std::uint64_t{200} << 20);
  }
  EXPECT_LT(max_rss_kib() - before, 256 * 1024);
}

}  // namespace
}  // namespace mave
