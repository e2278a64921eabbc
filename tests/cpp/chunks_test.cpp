// The simple vocabulary, dense matrix, norms and metadata chunks.
#include <gtest/gtest.h>

#include <locale>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "format/embeddings.hpp"
#include "format/metadata.hpp"
#include "format/nd_array.hpp"
#include "format/norms.hpp"
#include "format/simple_vocab.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

using namespace test;

// Writes through a real buffered writer, after `lead` bytes of filler.
template <class F>
std::string write_with(std::size_t lead, F&& write) {
  TempFile out;
  {
    BufferedWriter w(File::create(out.path()).value());
    EXPECT_TRUE(w.write_all(std::string(lead, 'x').data(), lead).ok());
    auto st = write(w);
    EXPECT_TRUE(st.ok()) << debug(st.error());
    EXPECT_TRUE(w.close().ok());
  }
  return out.read().substr(lead);
}

// --- Simple vocabulary -------------------------------------------------------

TEST(SimpleVocabChunk, ReadsWordsInRowOrderAndFindsThemExactly) {
  Bytes f;
  simple_vocab(f, {"Haus", "haus",
                   "Stra\xC3\x9F"
                   "e",
                   "e\xCC\x81", "\xC3\xA9", ""});
  TempFile file(f.str() + "next");
  BufferedReader r = file.reader();
  auto vocab = read_simple_vocab(r);
  ASSERT_TRUE(vocab.ok());
  const WordList& words = vocab.value().words;
  ASSERT_EQ(words.size(), 6u);
  EXPECT_EQ(vocab.value().n_words(), 6u);
  EXPECT_EQ(vocab.value().addressed_rows(), 6u);
  // Case and normalisation differences make different words.
  EXPECT_EQ(words.find("Haus"), 0u);
  EXPECT_EQ(words.find("haus"), 1u);
  EXPECT_EQ(words.find("Stra\xC3\x9F"
                       "e"),
            2u);
  EXPECT_EQ(words.find("e\xCC\x81"), 3u);
  EXPECT_EQ(words.find("\xC3\xA9"), 4u);
  EXPECT_EQ(words.find(""), 5u);
  EXPECT_EQ(words.find("HAUS"), std::nullopt);
  EXPECT_EQ(words.find("Haus "), std::nullopt);
  EXPECT_EQ(r.position().value(), f.size());  // right after the last word
}

TEST(SimpleVocabChunk, EmptyVocabularyFindsNothing) {
  Bytes f;
  simple_vocab(f, {});
  TempFile file(f.str());
  BufferedReader r = file.reader();
  auto vocab = read_simple_vocab(r);
  ASSERT_TRUE(vocab.ok());
  EXPECT_EQ(vocab.value().n_words(), 0u);
  EXPECT_EQ(vocab.value().words.find("a"), std::nullopt);
  EXPECT_EQ(vocab.value().words.find(""), std::nullopt);
}

TEST(SimpleVocabChunk, RepeatedWordIsAnAbortingFailure) {
  Bytes f;
  simple_vocab(f, {"a", "b", "a"});
  TempFile file(f.str());
  BufferedReader r = file.reader();
  EXPECT_EQ(panic_message([&] { (void)read_simple_vocab(r); }),
            "assertion `left == right` failed: words contained duplicate entries.\n  left: 3\n right: 2");
}

TEST(SimpleVocabChunk, ManyWordsAllFoundAtTheirRows) {
  std::vector<std::string> words;
  for (int i = 0; i < 20000; ++i) words.push_back("w" + std::to_string(i * 7919));
  Bytes f;
  simple_vocab(f, words);
  TempFile file(f.str());
  BufferedReader r = file.reader();
  auto vocab = read_simple_vocab(r);
  ASSERT_TRUE(vocab.ok());
  for (std::size_t i = 0; i < words.size(); ++i) ASSERT_EQ(vocab.value().words.find(words[i]), i);
  EXPECT_EQ(vocab.value().words.find("w1"), std::nullopt);
}

TEST(SimpleVocabChunk, ItemsAcrossReadBufferBoundariesKeepTheirBytes) {
  // Lengths 0 to 40 (and one item longer than the 8192-byte read buffer) put
  // length fields and words across every buffer boundary; multi-byte
  // characters land on both sides of one.
  std::vector<std::string> words;
  for (int i = 0; words.size() < 3000; ++i) {
    std::string w = std::to_string(i) + ":";
    for (int k = 0; k < i % 41; ++k) w += (k % 3 == 0) ? "\xC3\xA9" : "x";
    words.push_back(w);
    if (i == 1500) words.push_back(std::string(9000, 'L') + "\xE2\x82\xAC");
  }
  Bytes f;
  simple_vocab(f, words);
  TempFile file(f.str() + "next");
  BufferedReader r = file.reader();
  auto vocab = read_simple_vocab(r);
  ASSERT_TRUE(vocab.ok()) << debug(vocab.error());
  ASSERT_EQ(vocab.value().words.size(), words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    ASSERT_EQ(vocab.value().words[i], words[i]) << i;
    ASSERT_EQ(vocab.value().words.find(words[i]), i);
  }
  EXPECT_EQ(r.position().value(), f.size());

  // A bad item far into the chunk reports its own bytes, wherever it lies.
  for (std::size_t bad : {std::size_t{0}, std::size_t{700}, words.size() - 1}) {
    std::vector<std::string> broken = words;
    broken[bad] += "\xE2\x82";
    Bytes g;
    simple_vocab(g, broken);
    TempFile broken_file(g.str());
    BufferedReader br = broken_file.reader();
    EXPECT_EQ(debug_of(read_simple_vocab(br)),
              "Format(\"Item contains invalid UTF-8: incomplete utf-8 byte sequence from index " +
                  std::to_string(words[bad].size()) + "\")")
        << bad;
  }
}

struct ChunkFailure {
  std::string name;
  std::string bytes;
  std::string debug;
};

std::string chunk_failure_name(const testing::TestParamInfo<ChunkFailure>& info) { return info.param.name; }

class SimpleVocabFailures : public testing::TestWithParam<ChunkFailure> {};

TEST_P(SimpleVocabFailures, ReportExactly) {
  TempFile file(GetParam().bytes);
  BufferedReader r = file.reader();
  EXPECT_EQ(debug_of(read_simple_vocab(r)), GetParam().debug);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimpleVocabFailures,
    testing::Values(ChunkFailure{"WrongChunk", Bytes().u32(2).str(),
                                 "Format(\"Invalid chunk identifier, expected: SimpleVocab, got: NdArray\")"},
                    ChunkFailure{"ChunkLength", Bytes().u32(1).u32(0).str(),
                                 eof_read("Cannot read vocabulary chunk length")},
                    ChunkFailure{"WordCount", Bytes().u32(1).u64(0).u32(0).str(),
                                 eof_read("Cannot read vocabulary length")},
                    ChunkFailure{"StringLength", Bytes().u32(1).u64(0).u64(2).item("a").u8(1).str(),
                                 eof_read("Cannot read string length")},
                    ChunkFailure{"Item", Bytes().u32(1).u64(0).u64(1).u32(3).str("ab").str(),
                                 eof_read("Cannot read item")},
                    ChunkFailure{"HugeCount", Bytes().u32(1).u64(0).u64(~0ULL).item("a").str(),
                                 eof_read("Cannot read string length")},
                    ChunkFailure{"HugeLength", Bytes().u32(1).u64(0).u64(1).u32(~0u).str("abc").str(),
                                 eof_read("Cannot read item")},
                    ChunkFailure{
                        "Utf8", Bytes().u32(1).u64(0).u64(1).item("a\xFF").str(),
                        "Format(\"Item contains invalid UTF-8: invalid utf-8 sequence of 1 bytes from "
                        "index 1\")"}),
    chunk_failure_name);

// --- Dense matrix --------------------------------------------------------------

TEST(DenseMatrixChunk, PaddingAndChunkLengthFollowTheStartOffset) {
  NdArray m(2, 3, {1, 2, 3, 4, 5, 6});
  for (std::size_t lead : {0, 1, 2, 3, 100, 101}) {
    std::string chunk = write_with(lead, [&](BufferedWriter& w) { return write_nd_array(w, m); });
    std::uint32_t pad = padding_for(lead + 28);
    ASSERT_EQ(chunk.size(), 28 + pad + 24) << lead;
    Bytes expect;
    expect.u32(2).u64(16 + pad + 24).u64(2).u32(3).u32(10).zeros(pad);
    for (float v : m.data()) expect.f32(v);
    EXPECT_EQ(chunk, expect.str()) << lead;
    EXPECT_EQ((lead + 28 + pad) % 4, 0u);  // data 4-aligned in the file
  }
  // At offset 100: element type at 124..127, 4 padding bytes, length 20 + data.
  std::string at100 = write_with(100, [&](BufferedWriter& w) { return write_nd_array(w, m); });
  EXPECT_EQ(load_le<std::uint64_t>(at100.data() + 4), 20u + 24u);
  std::string at101 = write_with(101, [&](BufferedWriter& w) { return write_nd_array(w, m); });
  EXPECT_EQ(load_le<std::uint64_t>(at101.data() + 4), 19u + 24u);
}

// A matrix given a row at a time. Rows that stay for the whole write and
// follow one another in memory go out as one run (up to 4 MiB), rows made in
// scratch between them, rows of another order break a run; rows that last
// only until the next is asked for (a block reused) go out one by one. The
// bytes are those of the rows in order.
TEST(DenseMatrixChunk, RowsInRunsAndInScratchWriteTheRowsInOrder) {
  const std::size_t rows = 30000, cols = 50;  // 6 MB: more than one run
  std::vector<float> stored(rows * cols);
  for (std::size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<float>(i) * 0.5f;
  // Row i is stored row source(i): in order, but a block taken backwards and
  // every seventh row made in scratch (negated, so it differs).
  auto source = [](std::size_t i) { return i >= 1000 && i < 1100 ? 2099 - i : i; };
  std::vector<float> expected;
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < cols; ++j) {
      const float v = stored[source(i) * cols + j];
      expected.push_back(i % 7 == 3 ? -v : v);
    }
  }
  const RowFunction row = [&](std::size_t i, float* scratch) -> const float* {
    const float* s = stored.data() + source(i) * cols;
    if (i % 7 != 3) return s;
    for (std::size_t j = 0; j < cols; ++j) scratch[j] = -s[j];
    return scratch;
  };
  // The same rows through one block of its own, refilled for every row.
  std::vector<float> block(cols);
  const RowFunction reused = [&](std::size_t i, float* scratch) -> const float* {
    const float* r = row(i, scratch);
    std::copy_n(r, cols, block.data());
    return block.data();
  };
  const std::string whole =
      write_with(0, [&](BufferedWriter& w) { return write_nd_array(w, rows, cols, expected.data()); });
  EXPECT_EQ(
      write_with(
          0, [&](BufferedWriter& w) { return write_nd_array(w, rows, cols, row, RowLifetime::WholeWrite); }),
      whole);
  EXPECT_EQ(write_with(0,
                       [&](BufferedWriter& w) {
                         return write_nd_array(w, rows, cols, reused, RowLifetime::UntilNextRow);
                       }),
            whole);
  ASSERT_EQ(whole.size() % 4, 0u);
  EXPECT_EQ(
      std::memcmp(whole.data() + whole.size() - expected.size() * 4, expected.data(), expected.size() * 4),
      0);
}

TEST(DenseMatrixChunk, WrittenMatrixReadsBackBitForBit) {
  std::vector<float> values = {0.1f,
                               -0.0f,
                               std::numeric_limits<float>::infinity(),
                               std::numeric_limits<float>::denorm_min(),
                               std::bit_cast<float>(0x7FC01234u),
                               -3.0e38f};
  NdArray m(3, 2, values);
  for (std::size_t lead : {0, 1, 2, 3}) {
    TempFile file(std::string(lead, 'x') +
                  write_with(lead, [&](BufferedWriter& w) { return write_nd_array(w, m); }) + "after");
    BufferedReader r = file.reader();
    ASSERT_TRUE(r.seek_to(lead).ok());
    auto read = read_mapped_nd_array(r);
    ASSERT_TRUE(read.ok()) << debug(read.error());
    EXPECT_EQ(read.value().rows(), 3u);
    EXPECT_EQ(read.value().cols(), 2u);
    for (std::size_t i = 0; i < 3; ++i) {
      for (std::size_t j = 0; j < 2; ++j) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(read.value().row_data(i)[j]),
                  std::bit_cast<std::uint32_t>(values[i * 2 + j]));
      }
    }
    // The stream is left right after the matrix data.
    char tail[5];
    ASSERT_TRUE(r.read_exact(tail, 5).ok());
    EXPECT_EQ(std::string(tail, 5), "after");
  }
}

TEST(DenseMatrixChunk, MappingOutlivesTheReaderAndItsFile) {
  Bytes f;
  nd_array(f, 1, 2, {7.0f, 8.0f});
  std::optional<MappedNdArray> kept;
  {
    TempFile file(f.str());
    BufferedReader r = file.reader();
    auto read = read_mapped_nd_array(r);
    ASSERT_TRUE(read.ok());
    kept.emplace(std::move(read).value());
  }  // reader closed, file deleted
  EXPECT_EQ(kept->row_data(0)[0], 7.0f);
  EXPECT_EQ(kept->row_data(0)[1], 8.0f);
}

TEST(DenseMatrixChunk, EmptyShapesNeedNoMapping) {
  for (auto [rows, cols] : {std::pair<std::uint64_t, std::uint32_t>{0, 5}, {4, 0}, {0, 0}}) {
    Bytes f;
    nd_array(f, rows, cols, {});
    TempFile file(f.str());
    BufferedReader r = file.reader();
    auto read = read_mapped_nd_array(r);
    ASSERT_TRUE(read.ok()) << debug(read.error());
    EXPECT_EQ(read.value().rows(), rows);
    EXPECT_EQ(read.value().cols(), cols);
  }
}

TEST(DenseMatrixChunk, RowIndexIsChecked) {
  Bytes f;
  nd_array(f, 2, 1, {1, 2});
  TempFile file(f.str());
  BufferedReader r = file.reader();
  auto m = read_mapped_nd_array(r);
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(panic_message([&] { (void)m.value().row_data(2); }), "assertion failed: index < dim");
  NdArray owned(2, 1, {1, 2});
  EXPECT_EQ(panic_message([&] { (void)owned.row(2); }), "assertion failed: index < dim");
  EXPECT_EQ(owned.row(1)[0], 2.0f);
}

Bytes dense_prefix(std::uint64_t rows, std::uint32_t cols, std::uint32_t type = 10) {
  return Bytes().u32(2).u64(0).u64(rows).u32(cols).u32(type);
}

class DenseMatrixFailures : public testing::TestWithParam<ChunkFailure> {};

TEST_P(DenseMatrixFailures, ReportExactly) {
  TempFile file(GetParam().bytes);
  BufferedReader r = file.reader();
  auto read = read_mapped_nd_array(r);
  EXPECT_EQ(debug_of(read), GetParam().debug);
}

const std::string kMapFailure =
    "Read { desc: \"Cannot memory map embedding matrix\", error: Error { kind: UnexpectedEof, "
    "message: \"memory map range reaches past the end of the file\" } }";

INSTANTIATE_TEST_SUITE_P(
    Cases, DenseMatrixFailures,
    testing::Values(
        ChunkFailure{"WrongChunk", Bytes().u32(6).str(),
                     "Format(\"Invalid chunk identifier, expected: NdArray, got: NdNorms\")"},
        ChunkFailure{"ChunkLength", Bytes().u32(2).u32(0).str(),
                     eof_read("Cannot read embedding matrix chunk length")},
        ChunkFailure{"Rows", Bytes().u32(2).u64(0).u32(1).str(),
                     eof_read("Cannot read number of rows of the embedding matrix")},
        ChunkFailure{"Cols", Bytes().u32(2).u64(0).u64(1).u8(1).str(),
                     eof_read("Cannot read number of columns of the embedding matrix")},
        ChunkFailure{"TypeMissing", Bytes().u32(2).u64(0).u64(1).u32(1).str(),
                     eof_read("Cannot read type identifier")},
        ChunkFailure{"Type", dense_prefix(1, 1, 1).str(), "Format(\"Invalid type, expected: 10, got: 1\")"},
        ChunkFailure{"DataShort", dense_prefix(2, 2).zeros(4).f32(1).f32(2).f32(3).str(), kMapFailure},
        ChunkFailure{"NoData", dense_prefix(1, 1).str(), kMapFailure},
        ChunkFailure{"HugeRows", dense_prefix(1ULL << 40, 1000).zeros(4).str(), kMapFailure},
        ChunkFailure{"Overflow", dense_prefix(1ULL << 62, 8).zeros(4).str(), "Overflow"}),
    chunk_failure_name);

// --- Norms -----------------------------------------------------------------

TEST(NormsChunk, PaddingAndChunkLengthFollowTheStartOffset) {
  std::vector<float> values = {1.5f, 2.5f, 3.5f};
  for (std::size_t lead : {0, 1, 2, 3, 200}) {
    std::string chunk = write_with(lead, [&](BufferedWriter& w) { return write_norms(w, values); });
    std::uint32_t pad = padding_for(lead + 4);
    Bytes expect;
    expect.u32(6).u64(12 + pad + 12).u64(3).u32(10).zeros(pad).f32(1.5f).f32(2.5f).f32(3.5f);
    EXPECT_EQ(chunk, expect.str()) << lead;
  }
  // Aligned start: 4 padding bytes, length 16 + 4n; start = 3 (mod 4): 1 byte, 13 + 4n.
  EXPECT_EQ(load_le<std::uint64_t>(
                write_with(200, [&](BufferedWriter& w) { return write_norms(w, values); }).data() + 4),
            16u + 12u);
  EXPECT_EQ(load_le<std::uint64_t>(
                write_with(3, [&](BufferedWriter& w) { return write_norms(w, values); }).data() + 4),
            13u + 12u);
}

TEST(NormsChunk, ReadsBackAndAcceptsAnEmptyVector) {
  for (std::vector<float> values : {std::vector<float>{}, std::vector<float>{0.25f, -1.0f}}) {
    for (std::size_t lead : {0, 1, 2, 3}) {
      std::string bytes = std::string(lead, 'x') +
                          write_with(lead, [&](BufferedWriter& w) { return write_norms(w, values); });
      TempFile file(bytes);
      BufferedReader r = file.reader();
      ASSERT_TRUE(r.seek_to(lead).ok());
      auto read = read_norms(r);
      ASSERT_TRUE(read.ok()) << debug(read.error());
      EXPECT_EQ(read.value().values, values);
      EXPECT_EQ(r.position().value(), bytes.size());
    }
  }
}

class NormsFailures : public testing::TestWithParam<ChunkFailure> {};

TEST_P(NormsFailures, ReportExactly) {
  TempFile file(GetParam().bytes);
  BufferedReader r = file.reader();
  EXPECT_EQ(debug_of(read_norms(r)), GetParam().debug);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NormsFailures,
    testing::Values(
        ChunkFailure{"WrongChunk", Bytes().u32(2).str(),
                     "Format(\"Invalid chunk identifier, expected: NdNorms, got: NdArray\")"},
        ChunkFailure{"ChunkLength", Bytes().u32(6).str(), eof_read("Cannot read norms chunk length")},
        ChunkFailure{"Length", Bytes().u32(6).u64(0).str(), eof_read("Cannot read norms vector length")},
        ChunkFailure{"Type", Bytes().u32(6).u64(0).u64(1).u32(1).str(),
                     "Format(\"Invalid type, expected: 10, got: 1\")"},
        ChunkFailure{"Values", Bytes().u32(6).u64(0).u64(2).u32(10).zeros(4).f32(1).str(),
                     eof_read("Cannot read norms")},
        ChunkFailure{"HugeCount", Bytes().u32(6).u64(0).u64(~0ULL).u32(10).zeros(4).f32(1).str(),
                     eof_read("Cannot read norms")},
        ChunkFailure{"PaddingMissing", Bytes().u32(6).u64(0).u64(1).u32(10).str(),
                     eof_read("Cannot read norms")}),
    chunk_failure_name);

// --- Metadata ----------------------------------------------------------------

Result<Metadata> read_metadata_bytes(const std::string& bytes) {
  TempFile file(bytes);
  BufferedReader r = file.reader();
  return read_metadata(r);
}

TEST(MetadataChunk, KeysComeOutInByteOrderAfterARoundTrip) {
  std::string text =
      "zeta = 1\nAlpha = \"x\"\nbeta = 0.0001\n\"\xC3\xA9t\xC3\xA9\" = 2\n[tab]\nb = 1\na = 2\n";
  auto m = read_metadata_bytes(Bytes().u32(5).u64(text.size()).str(text).str());
  ASSERT_TRUE(m.ok()) << debug(m.error());
  EXPECT_EQ(m.value().keys(),
            (std::vector<std::string>{"Alpha", "beta", "tab", "zeta", "\xC3\xA9t\xC3\xA9"}));
  std::string out = write_with(0, [&](BufferedWriter& w) { return write_metadata(w, m.value()); });
  std::uint64_t len = load_le<std::uint64_t>(out.data() + 4);
  ASSERT_EQ(out.size(), 12 + len);
  EXPECT_EQ(load_le<std::uint32_t>(out.data()), 5u);
  std::string written = out.substr(12);
  // Scalar keys in byte order, the sub-table after them with its keys sorted too.
  EXPECT_LT(written.find("Alpha"), written.find("beta"));
  EXPECT_LT(written.find("beta"), written.find("zeta"));
  EXPECT_LT(written.find("zeta"), written.find("\xC3\xA9t\xC3\xA9"));
  EXPECT_LT(written.find("a = 2"), written.find("b = 1"));
  auto again = read_metadata_bytes(out);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(std::get<double>(*again.value().get("beta")), 0.0001);
  EXPECT_EQ(std::get<std::string>(*again.value().get("Alpha")), "x");
  EXPECT_EQ(std::get<std::int64_t>(*again.value().get("zeta")), 1);
}

// A host program may set a global C++ locale that writes numbers otherwise
// ("0,05", "1.234.567"): the metadata's numbers read and print the same.
TEST(MetadataChunk, NumbersReadAndPrintAlikeUnderAnyGlobalLocale) {
  struct Comma : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
  };
  const std::string text = "a = 0.05\nb = [1.5, 2.5e-5, -0.0]\nn = 1234567\nw = 100.0\n";
  // Floats as they have always been written: 17 significant digits.
  const std::string printed =
      "a = 0.050000000000000003\nb = [ 1.5, 2.5000000000000001e-05, -0.0 ]\nn = 1234567\nw = 100.0";
  ASSERT_EQ(Metadata::parse(text).value().to_toml(), printed);
  const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new Comma));
  auto parsed = Metadata::parse(text);
  const std::string again = parsed.ok() ? parsed.value().to_toml() : debug(parsed.error());
  std::locale::global(previous);
  EXPECT_EQ(again, printed);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(std::get<double>(*parsed.value().get("a")), 0.05);
  EXPECT_EQ(std::get<std::int64_t>(*parsed.value().get("n")), 1234567);
}

TEST(MetadataChunk, LengthCountsOnlyTheText) {
  Metadata m = Metadata::from_entries({{"key", std::int64_t{1}}});
  std::string text = m.to_toml();
  std::string out = write_with(0, [&](BufferedWriter& w) { return write_metadata(w, m); });
  EXPECT_EQ(out.size(), 4 + 8 + text.size());
  EXPECT_EQ(out.substr(12), text);
  // A 37-byte document makes a 49-byte chunk.
  Metadata m37 = Metadata::from_entries({{"k", std::string(31, 'v')}});
  ASSERT_EQ(m37.to_toml().size(), 37u) << m37.to_toml();
  EXPECT_EQ(write_with(0, [&](BufferedWriter& w) { return write_metadata(w, m37); }).size(), 49u);
}

TEST(MetadataChunk, EmptyTextAndByteOrderMarkAreEmptyOrIgnored) {
  auto empty = read_metadata_bytes(Bytes().u32(5).u64(0).str());
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.value().keys().empty());
  auto bom = read_metadata_bytes(Bytes().u32(5).u64(8).str("\xEF\xBB\xBFk = 1").str());
  ASSERT_TRUE(bom.ok()) << debug(bom.error());
  EXPECT_EQ(bom.value().keys(), std::vector<std::string>{"k"});
}

TEST(MetadataChunk, FailuresReportExactly) {
  EXPECT_EQ(debug_of(read_metadata_bytes(Bytes().u32(1).str())),
            "Format(\"Invalid chunk identifier, expected: Metadata, got: SimpleVocab\")");
  EXPECT_EQ(debug_of(read_metadata_bytes(Bytes().u32(5).u32(0).str())), eof_read("Cannot read chunk length"));
  EXPECT_EQ(debug_of(read_metadata_bytes(Bytes().u32(5).u64(10).str("a = 1").str())),
            eof_read("Cannot read TOML metadata"));
  EXPECT_EQ(debug_of(read_metadata_bytes(Bytes().u32(5).u64(~0ULL).str("a = 1").str())),
            eof_read("Cannot read TOML metadata"));
  EXPECT_EQ(debug_of(read_metadata_bytes(Bytes()
                                             .u32(5)
                                             .u64(7)
                                             .str("a = \xFF"
                                                  "12")
                                             .str())),
            "Format(\"TOML metadata contains invalid UTF-8: invalid utf-8 sequence of 1 bytes from "
            "index 4\")");
  auto bad = read_metadata_bytes(Bytes().u32(5).u64(13).str("no equals here").str().substr(0, 25));
  ASSERT_FALSE(bad.ok());
  // The parser's facts: its message, where in the TOML text, and where the text starts.
  EXPECT_EQ(bad.error().code, ErrorCode::BadMetadata);
  EXPECT_FALSE(bad.error().detail.empty());
  EXPECT_EQ(bad.error().line, 1u);
  EXPECT_EQ(bad.error().offset, 12u);
  EXPECT_EQ(display(bad.error()).rfind("Invalid file format Cannot deserialize TOML metadata: ", 0), 0u)
      << display(bad.error());
}

}  // namespace
}  // namespace mave
