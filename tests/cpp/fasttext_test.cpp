// The fastText model reader and its conversion into embeddings, on crafted
// models laid out byte by byte.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "fasttext/fasttext.hpp"
#include "format/embeddings.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

using test::Bytes;
using test::debug_of;
using test::eof_read;
using test::panic_message;
using test::read_mapped;
using test::TempFile;
using test::written_file;

struct Entry {
  std::string word;
  std::uint64_t count = 1;
  std::uint8_t type = 0;
};

// A fastText binary model, field by field. Unset shapes follow the entries
// and settings; unset matrix values are a fixed pattern.
struct FtModel {
  std::uint32_t magic = 793712314;
  std::uint32_t version = 12;
  std::uint32_t dims = 10, window_size = 5, epoch = 7, min_count = 2, neg = 5, word_ngrams = 1;
  std::uint32_t loss = 2, model = 2;
  std::uint32_t bucket = 5, min_n = 3, max_n = 6, lr_update_rate = 100;
  double sampling_threshold = 0.0001;
  std::optional<std::uint32_t> vocab_size;
  std::uint32_t word_count = 123, label_count = 0;
  std::uint64_t token_count = 4567;
  std::int64_t pruned_vocab_size = -1;
  std::vector<Entry> entries = {{"ab"}};
  std::uint8_t quantized = 0;
  std::optional<std::uint64_t> rows, cols;
  std::optional<std::vector<float>> matrix;
  std::string trailing;

  std::uint64_t n_rows() const { return rows.value_or(entries.size() + bucket); }
  std::uint64_t n_cols() const { return cols.value_or(dims); }

  std::vector<float> values() const {
    if (matrix) return *matrix;
    std::vector<float> v(n_rows() * n_cols());
    for (std::size_t k = 0; k < v.size(); ++k) {
      v[k] = static_cast<float>(static_cast<int>((k * 37 + 11) % 23) - 11) / 7.0f;
    }
    return v;
  }

  // Everything up to and including the dictionary.
  Bytes dictionary() const {
    Bytes b;
    b.u32(magic).u32(version);
    b.u32(dims).u32(window_size).u32(epoch).u32(min_count).u32(neg).u32(word_ngrams);
    b.u32(loss).u32(model).u32(bucket).u32(min_n).u32(max_n).u32(lr_update_rate);
    b.f64(sampling_threshold);
    b.u32(vocab_size.value_or(static_cast<std::uint32_t>(entries.size())));
    b.u32(word_count).u32(label_count).u64(token_count).i64(pruned_vocab_size);
    for (const Entry& e : entries) b.str(e.word).u8(0).u64(e.count).u8(e.type);
    return b;
  }

  std::string bytes() const {
    Bytes b = dictionary();
    b.u8(quantized).u64(n_rows()).u64(n_cols());
    for (float x : values()) b.f32(x);
    return b.str() + trailing;
  }
};

Result<Embeddings> convert(const std::string& bytes) {
  TempFile f(bytes);
  BufferedReader r = f.reader();
  return load_fasttext_model(r);
}

const NdArray& matrix_of(const Embeddings& e) { return std::get<NdArray>(e.storage().variant()); }
const FastTextSubwordVocab& vocab_of(const Embeddings& e) {
  return std::get<FastTextSubwordVocab>(e.vocab().variant());
}

// --- Independent arithmetic -----------------------------------------------------

// 32-bit FNV-1a over the bytes, each sign-extended.
std::uint32_t ft_hash(std::string_view s) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : s) {
    h ^= c >= 0x80 ? 0xFFFFFF00u | c : c;
    h *= 16777619u;
  }
  return h;
}

// Eight partial sums of squares, then the tail; elements divided by the norm.
float unit_scale(std::vector<float>& v) {
  float s = test::partial_sums_of_squares(v);
  float norm = std::sqrt(s);
  if (norm != 0.0f) {
    for (float& x : v) x = x / norm;
  }
  return norm;
}

std::vector<float> row_of(const FtModel& m, std::uint64_t row) {
  std::vector<float> all = m.values();
  auto begin = all.begin() + static_cast<std::ptrdiff_t>(row * m.n_cols());
  return {begin, begin + static_cast<std::ptrdiff_t>(m.n_cols())};
}

// (word row + the rows of the listed n-grams, in order) / float32(count + 1),
// then scaled to unit length.
std::pair<std::vector<float>, float> averaged(const FtModel& m, std::size_t word,
                                              const std::vector<std::string>& ngrams) {
  std::vector<float> v = row_of(m, word);
  for (const std::string& g : ngrams) {
    std::vector<float> sub = row_of(m, m.entries.size() + ft_hash(g) % m.bucket);
    for (std::size_t j = 0; j < v.size(); ++j) v[j] = v[j] + sub[j];
  }
  float d = static_cast<float>(ngrams.size() + 1);
  for (float& x : v) x = x / d;
  float norm = unit_scale(v);
  return {v, norm};
}

void expect_bits(std::span<const float> got, const std::vector<float>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t j = 0; j < want.size(); ++j) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got[j]), std::bit_cast<std::uint32_t>(want[j]))
        << "element " << j << ": " << got[j] << " vs " << want[j];
  }
}

// --- Read failures --------------------------------------------------------------

// Every fixed-width field of a model with the one word "ab", at its offset.
struct Field {
  const char* desc;
  std::size_t offset, width;
};

const Field kFields[] = {
    {"Cannot fastText read magic", 0, 4},
    {"Cannot read fastText version", 4, 4},
    {"Cannot read number of dimensions", 8, 4},
    {"Cannot read window size", 12, 4},
    {"Cannot read number of epochs", 16, 4},
    {"Cannot read minimum count", 20, 4},
    {"Cannot read negative samples", 24, 4},
    {"Cannot read word n-gram length", 28, 4},
    {"Cannot read loss type", 32, 4},
    {"Cannot read model type", 36, 4},
    {"Cannot read number of buckets", 40, 4},
    {"Cannot read minimum subword length", 44, 4},
    {"Cannot read maximum subword length", 48, 4},
    {"Cannot read LR update rate", 52, 4},
    {"Cannot read sampling threshold", 56, 8},
    {"Cannot read vocabulary size", 64, 4},
    {"Cannot read number of words", 68, 4},
    {"Cannot read number of labels", 72, 4},
    {"Cannot read number of tokens", 76, 8},
    {"Cannot read pruned vocabulary size", 84, 8},
    // "ab\0" at 92..94
    {"Cannot read word frequency", 95, 8},
    {"Cannot read entry type", 103, 1},
    {"Cannot read quantization information", 104, 1},
    {"Cannot read number of embedding matrix rows", 105, 8},
    {"Cannot read number of embedding matrix columns", 113, 8},
    {"Cannot read embeddings", 121, 6 * 10 * 4},
};

class ReadFailures : public testing::TestWithParam<Field> {};

TEST_P(ReadFailures, AFileCutInsideAFieldNamesThatField) {
  const Field& field = GetParam();
  std::string full = FtModel().bytes();
  ASSERT_EQ(full.size(), 121u + 6 * 10 * 4);
  // Cut where the field starts and one byte before it ends.
  for (std::size_t cut : {field.offset, field.offset + field.width - 1}) {
    auto got = convert(full.substr(0, cut));
    EXPECT_EQ(debug_of(got), eof_read(field.desc)) << "cut at " << cut;
    if (!got.ok()) {
      EXPECT_EQ(display(got.error()), field.desc);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Fields, ReadFailures, testing::ValuesIn(kFields));

TEST(FastTextRead, AWordWithoutTerminatorLosesItsLastByteAndFailsAfterIt) {
  // The stream ends inside the word: the last byte is dropped as if it were
  // the terminator, and the count cannot be read.
  std::string head = FtModel().dictionary().str().substr(0, 92);
  EXPECT_EQ(debug_of(convert(head + "abc")), eof_read("Cannot read word frequency"));
  EXPECT_EQ(debug_of(convert(head)), eof_read("Cannot read word frequency"));
  // Dropping the last byte of "a" C3 A9 leaves an incomplete sequence.
  EXPECT_EQ(debug_of(convert(head + "a\xC3\xA9")),
            "Format(\"Token contains invalid UTF-8: incomplete utf-8 byte sequence from index 1\")");
}

TEST(FastTextRead, AHugeVocabularySizeReservesOnlyWhatTheFileHolds) {
  FtModel m;
  m.vocab_size = 0xFFFFFFFFu;
  // The one real entry is followed by the quantized flag and matrix, which
  // the next entries read as words until the end of the file.
  auto got = convert(m.dictionary().str());
  EXPECT_EQ(debug_of(got), eof_read("Cannot read word frequency"));
}

TEST(FastTextRead, AnUnrepresentableMatrixFailsAsAShortReadBeforeAllocating) {
  for (auto [rows, cols] : {std::pair<std::uint64_t, std::uint64_t>{1ull << 62, 8},
                            {1ull << 40, 1ull << 20},  // the byte count overflows
                            {~0ull, ~0ull},
                            {1ull << 33, 16}}) {  // representable, far beyond the file
    FtModel m;
    std::string bytes = m.dictionary().u8(0).u64(rows).u64(cols).str() + std::string(64, '\0');
    EXPECT_EQ(debug_of(convert(bytes)), eof_read("Cannot read embeddings")) << rows << " x " << cols;
  }
}

// A read that fails with an operating-system error in the middle of a word:
// the model's bytes end right before an unmapped page of this process, read
// through /proc/self/mem.
TEST(FastTextRead, AnIoErrorInsideAWordIsCannotReadString) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* base = ::mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(base, MAP_FAILED);
  auto* bytes = static_cast<char*>(base);
  ASSERT_EQ(::munmap(bytes + 2 * page, page), 0);
  std::string head = FtModel().dictionary().str().substr(0, 92) + "abc";  // no terminator
  char* start = bytes + 2 * page - head.size();
  std::memcpy(start, head.data(), head.size());

  auto file = File::open_read("/proc/self/mem");
  if (!file.ok()) GTEST_SKIP() << "no /proc/self/mem";
  ASSERT_EQ(::lseek(file.value().fd(), reinterpret_cast<off_t>(start), SEEK_SET),
            reinterpret_cast<off_t>(start));
  BufferedReader r(std::move(file).value());
  auto got = load_fasttext_model(r);
  ::munmap(base, 2 * page);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(display(got.error()), "Cannot read string");
  EXPECT_EQ(debug(got.error()),
            "Read { desc: \"Cannot read string\", error: Os { code: 5, kind: Uncategorized, "
            "message: \"Input/output error\" } }");
}

// --- Format failures ------------------------------------------------------------

struct FormatCase {
  const char* name;
  FtModel model;
  std::string message;
};

FtModel with(void (*change)(FtModel&)) {
  FtModel m;
  change(m);
  return m;
}

class FormatFailures : public testing::TestWithParam<FormatCase> {};

TEST_P(FormatFailures, Report) {
  auto got = convert(GetParam().model.bytes());
  EXPECT_EQ(debug_of(got), "Format(" + debug_quote(GetParam().message) + ")");
  if (!got.ok()) {
    EXPECT_EQ(display(got.error()), "Invalid file format " + GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, FormatFailures,
    testing::Values(
        FormatCase{"Magic", with([](FtModel& m) { m.magic = 793712315; }),
                   "Expected 793712314 as magic, got: 793712315"},
        FormatCase{"MagicOfAFinalfusionFile", with([](FtModel& m) { m.magic = 0x75466946; }),
                   "Expected 793712314 as magic, got: 1967548742"},
        FormatCase{"Version13", with([](FtModel& m) { m.version = 13; }), "Expected 12 as version, got: 13"},
        FormatCase{"VersionMax", with([](FtModel& m) { m.version = 0xFFFFFFFFu; }),
                   "Expected 12 as version, got: 4294967295"},
        FormatCase{"Loss0", with([](FtModel& m) { m.loss = 0; }), "Unknown loss: 0"},
        FormatCase{"Loss4", with([](FtModel& m) { m.loss = 4; }), "Unknown loss: 4"},
        FormatCase{"LossMinusOne", with([](FtModel& m) { m.loss = static_cast<std::uint32_t>(-1); }),
                   "Unknown loss: 4294967295"},
        // The loss is checked before the model is read.
        FormatCase{"LossBeforeModel", with([](FtModel& m) {
                     m.loss = 9;
                     m.model = 9;
                   }),
                   "Unknown loss: 9"},
        FormatCase{"Model0", with([](FtModel& m) { m.model = 0; }), "Unknown model: 0"},
        FormatCase{"Model4", with([](FtModel& m) { m.model = 4; }), "Unknown model: 4"},
        FormatCase{"Labels", with([](FtModel& m) { m.label_count = 1; }),
                   "fastText prediction models are not supported"},
        FormatCase{"LabelsBeforePruning", with([](FtModel& m) {
                     m.label_count = 3;
                     m.pruned_vocab_size = 5;
                   }),
                   "fastText prediction models are not supported"},
        FormatCase{"Pruned0", with([](FtModel& m) { m.pruned_vocab_size = 0; }),
                   "Pruned vocabularies are not supported"},
        FormatCase{"PrunedPositive", with([](FtModel& m) { m.pruned_vocab_size = 1000; }),
                   "Pruned vocabularies are not supported"},
        FormatCase{"WordFF", with([](FtModel& m) { m.entries = {{"\xFF"}}; }),
                   "Token contains invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 0"},
        FormatCase{"WordIncomplete", with([](FtModel& m) { m.entries = {{"ab"}, {"a\xC3"}}; }),
                   "Token contains invalid UTF-8: incomplete utf-8 byte sequence from index 1"},
        FormatCase{"WordSurrogate", with([](FtModel& m) { m.entries = {{"x\xED\xA0\x80"}}; }),
                   "Token contains invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 1"},
        FormatCase{"Label", with([](FtModel& m) { m.entries = {{"ab"}, {"__label__x", 1, 1}}; }),
                   "Non-word entry"},
        FormatCase{"EntryType255", with([](FtModel& m) { m.entries = {{"ab", 1, 255}}; }), "Non-word entry"},
        FormatCase{"Quantized", with([](FtModel& m) { m.quantized = 1; }),
                   "Quantized fastText models are not supported"}),
    [](const testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

TEST(FastTextRead, QuantizedFlagOneFailsBeforeTheMatrixIsRead) {
  FtModel m;
  std::string bytes = m.dictionary().u8(1).str();  // nothing after the flag
  EXPECT_EQ(debug_of(convert(bytes)), "Format(\"Quantized fastText models are not supported\")");
}

TEST(FastTextRead, UnrecognisedSettingsAreNotCheckedAgainstTheMatrix) {
  // dims 999 is stored as read; the matrix's own column count is used.
  FtModel m;
  m.dims = 999;
  m.cols = 4;
  auto got = convert(m.bytes());
  ASSERT_TRUE(got.ok()) << debug_of(got);
  EXPECT_EQ(got.value().dims(), 4u);
  EXPECT_EQ(std::get<std::int64_t>(*got.value().metadata()->get("dims")), 999);
}

// --- Accepted models ------------------------------------------------------------

TEST(FastTextRead, AcceptsVersionsZeroToTwelveQuantizedFlagTwoAndTrailingBytes) {
  FtModel base;
  auto reference = convert(base.bytes());
  ASSERT_TRUE(reference.ok()) << debug_of(reference);
  std::vector<FtModel> variants(5);
  variants[0].version = 0;
  variants[1].version = 11;
  variants[2].quantized = 2;
  variants[3].quantized = 255;
  variants[4].trailing = std::string(100, '\xFF');  // the output matrix, or garbage
  for (const FtModel& m : variants) {
    auto got = convert(m.bytes());
    ASSERT_TRUE(got.ok()) << debug_of(got);
    EXPECT_EQ(matrix_of(got.value()).data(), matrix_of(reference.value()).data());
  }
}

TEST(FastTextRead, TheEmptyWordIsAWord) {
  // "" bracketed is "<>": two characters, no n-gram of length 3..6, so its
  // row is only normalised.
  FtModel m;
  m.entries = {{""}, {"ab"}};
  auto got = convert(m.bytes());
  ASSERT_TRUE(got.ok()) << debug_of(got);
  EXPECT_EQ(vocab_of(got.value()).words[0], "");
  std::vector<float> want = row_of(m, 0);
  float norm = unit_scale(want);
  expect_bits(matrix_of(got.value()).row(0), want);
  EXPECT_EQ(got.value().norms()->values[0], norm);
  std::vector<float> out(m.dims);
  EXPECT_TRUE(
      got.value().fill_embedding("", TargetView{reinterpret_cast<std::byte*>(out.data()), out.size(), 4}));
}

TEST(FastTextRead, NoWordsNeedsExactlyTheBucketRows) {
  FtModel m;
  m.entries.clear();
  auto got = convert(m.bytes());
  ASSERT_TRUE(got.ok()) << debug_of(got);
  EXPECT_EQ(got.value().vocab().n_words(), 0u);
  EXPECT_TRUE(got.value().norms()->values.empty());
  for (std::size_t i = 0; i < m.bucket; ++i) expect_bits(matrix_of(got.value()).row(i), row_of(m, i));

  for (std::uint64_t rows : {4, 6}) {
    m.rows = rows;
    EXPECT_EQ(debug_of(convert(m.bytes())), "MatrixShape(ShapeError/IncompatibleShape: incompatible shapes)");
  }
}

TEST(FastTextRead, AZeroColumnMatrixIsAccepted) {
  FtModel m;
  m.cols = 0;
  auto got = convert(m.bytes());
  ASSERT_TRUE(got.ok()) << debug_of(got);
  EXPECT_EQ(got.value().dims(), 0u);
  EXPECT_EQ(got.value().norms()->values, std::vector<float>{0.0f});
  // An absurd row count of empty rows allocates nothing and fails the shape check.
  m.rows = 1ull << 60;
  EXPECT_EQ(debug_of(convert(m.bytes())), "MatrixShape(ShapeError/IncompatibleShape: incompatible shapes)");
}

// --- Conversion -------------------------------------------------------------------

TEST(FastTextConversion, WorkedExamplesAverageWithTheSubwordRows) {
  FtModel m;
  m.bucket = 7;
  m.entries = {{"a"},
               {"where"},
               {"Stra\xC3\x9F"
                "e"}};
  auto got = convert(m.bytes());
  ASSERT_TRUE(got.ok()) << debug_of(got);
  const Embeddings& e = got.value();

  // "a": its only n-gram is "<a>" itself, so (row + row of "<a>") / 2.
  auto [a, a_norm] = averaged(m, 0, {"<a>"});
  expect_bits(matrix_of(e).row(0), a);
  EXPECT_EQ(e.norms()->values[0], a_norm);

  // "where": the 14 n-grams of "<where>", summed in this order, divided by 15.
  auto [where, where_norm] = averaged(m, 1,
                                      {"<where", "<wher", "<whe", "<wh", "where>", "where", "wher", "whe",
                                       "here>", "here", "her", "ere>", "ere", "re>"});
  expect_bits(matrix_of(e).row(1), where);
  EXPECT_EQ(e.norms()->values[1], where_norm);

  // Lengths count characters: "ß" is one of them.
  auto [strasse, strasse_norm] = averaged(m, 2,
                                          {"<Stra\xC3\x9F", "<Stra", "<Str", "<St",
                                           "Stra\xC3\x9F"
                                           "e",
                                           "Stra\xC3\x9F", "Stra", "Str",
                                           "tra\xC3\x9F"
                                           "e>",
                                           "tra\xC3\x9F"
                                           "e",
                                           "tra\xC3\x9F", "tra",
                                           "ra\xC3\x9F"
                                           "e>",
                                           "ra\xC3\x9F"
                                           "e",
                                           "ra\xC3\x9F",
                                           "a\xC3\x9F"
                                           "e>",
                                           "a\xC3\x9F"
                                           "e",
                                           "\xC3\x9F"
                                           "e>"});
  expect_bits(matrix_of(e).row(2), strasse);
  EXPECT_EQ(e.norms()->values[2], strasse_norm);

  // The subword rows are carried over exactly as read.
  for (std::size_t i = 3; i < 3 + m.bucket; ++i) expect_bits(matrix_of(e).row(i), row_of(m, i));
  // Unit length, up to float32 rounding.
  for (std::size_t i = 0; i < 3; ++i) {
    double s = 0;
    for (float x : matrix_of(e).row(i)) s += double(x) * x;
    EXPECT_NEAR(s, 1.0, 1e-6);
  }
}

TEST(FastTextConversion, RepeatedSubwordRowsCountAsOftenAsTheyOccur) {
  // With one bucket every n-gram lands on the same row. "ab" with lengths 1
  // and 2 has the n-grams "<a" "<" "ab" "a" "b>" "b" ">": seven additions of
  // that row, divided by 8.
  FtModel m;
  m.bucket = 1;
  m.min_n = 1;
  m.max_n = 2;
  m.dims = 3;
  m.matrix = std::vector<float>{0.1f, -2.0f, 3.0f, 0.7f, 0.3f, -1.1f};
  auto got = convert(m.bytes());
  ASSERT_TRUE(got.ok()) << debug_of(got);
  std::vector<float> v = {0.1f, -2.0f, 3.0f};
  for (int k = 0; k < 7; ++k) {
    v[0] = v[0] + 0.7f;
    v[1] = v[1] + 0.3f;
    v[2] = v[2] + -1.1f;
  }
  for (float& x : v) x = x / 8.0f;
  float norm = unit_scale(v);
  expect_bits(matrix_of(got.value()).row(0), v);
  EXPECT_EQ(got.value().norms()->values[0], norm);
}

TEST(FastTextConversion, ShortWordsZeroRowsAndNaNs) {
  FtModel m;
  m.min_n = 4;
  m.max_n = 4;
  m.dims = 9;
  // "a" and "bc" bracket to 3 and 4 characters: "a" has no n-gram, "bc" has "<bc>".
  m.entries = {{"a"}, {"bc"}, {"nan"}};
  m.bucket = 2;
  std::vector<float> values = m.values();
  // Row "bc" is zero and so is every subword row: it stays zero with norm 0.
  std::fill(values.begin() + 9, values.begin() + 18, 0.0f);
  std::fill(values.begin() + 27, values.end(), 0.0f);
  values[2 * 9 + 4] = std::numeric_limits<float>::quiet_NaN();
  m.matrix = values;
  auto got = convert(m.bytes());
  ASSERT_TRUE(got.ok()) << debug_of(got);
  const Embeddings& e = got.value();

  std::vector<float> a = row_of(m, 0);  // kept as read, then normalised
  float a_norm = unit_scale(a);
  expect_bits(matrix_of(e).row(0), a);
  EXPECT_EQ(e.norms()->values[0], a_norm);

  expect_bits(matrix_of(e).row(1), std::vector<float>(9, 0.0f));
  EXPECT_EQ(e.norms()->values[1], 0.0f);

  // A NaN norm still divides: the whole row becomes NaN.
  EXPECT_TRUE(std::isnan(e.norms()->values[2]));
  for (float x : matrix_of(e).row(2)) EXPECT_TRUE(std::isnan(x));
}

TEST(FastTextConversion, ExtraRowsAreAveragedBeforeTheShapeCheckRejectsThem) {
  FtModel m;
  m.rows = m.entries.size() + m.bucket + 1;
  EXPECT_EQ(debug_of(convert(m.bytes())), "MatrixShape(ShapeError/IncompatibleShape: incompatible shapes)");
  // Averaging runs first: its failure wins over the shape.
  FtModel bad = m;
  bad.min_n = 0;
  EXPECT_EQ(panic_message([&] { (void)convert(bad.bytes()); }), "The minimum n-gram length cannot be zero.");

  // Reading and conversion up to the check happen on the real matrix.
  TempFile f(m.bytes());
  BufferedReader r = f.reader();
  ASSERT_EQ(r.seek_to(8).value(), 8u);
  FastTextConfig config = read_fasttext_config(r).value();
  FastTextSubwordVocab vocab = read_fasttext_words(r, config).value();
  ASSERT_EQ(read_u8(r, Step::ReadQuantizationInformation).value(), 0);
  NdArray matrix = read_fasttext_matrix(r).value();
  average_word_rows(vocab, matrix);
  NdNorms norms = normalize_word_rows(matrix, vocab.words.size());
  auto [ab, ab_norm] = averaged(m, 0, {"<ab>", "<ab", "ab>"});
  expect_bits(matrix.row(0), ab);
  EXPECT_EQ(norms.values, std::vector<float>{ab_norm});
}

TEST(FastTextConversion, TooFewRowsFailWhereARowIsNeededOtherwiseAtTheShapeCheck) {
  FtModel m;
  m.bucket = 5;
  m.rows = 3;  // "ab" needs the subword rows below, some of them beyond row 2
  std::vector<std::uint64_t> needed;
  for (const char* g : {"<ab>", "<ab", "ab>"}) needed.push_back(1 + ft_hash(g) % 5);
  ASSERT_GT(*std::max_element(needed.begin(), needed.end()), 2u);
  EXPECT_EQ(panic_message([&] { (void)convert(m.bytes()); }), "assertion failed: index < dim");

  m.rows = 0;  // the word's own row is missing
  EXPECT_EQ(panic_message([&] { (void)convert(m.bytes()); }), "assertion failed: index < dim");

  // A word without n-grams reads no row: the shape check reports.
  m.min_n = 5;
  m.max_n = 6;
  EXPECT_EQ(debug_of(convert(m.bytes())), "MatrixShape(ShapeError/IncompatibleShape: incompatible shapes)");
}

TEST(FastTextConversion, AbortingFailuresOfTheSubwordMachinery) {
  struct Case {
    void (*change)(FtModel&);
    const char* message;
  };
  const Case cases[] = {
      {[](FtModel& m) {
         m.bucket = 2147483648u;
         m.rows = 1;
       },
       "The largest possible number of buckets is: 2147483647"},
      {[](FtModel& m) { m.entries = {{"ab"}, {"cd"}, {"ab"}}; },
       "assertion `left == right` failed: words contained duplicate entries.\n  left: 3\n right: 2"},
      {[](FtModel& m) { m.min_n = 0; }, "The minimum n-gram length cannot be zero."},
      {[](FtModel& m) {
         m.min_n = 0;
         m.max_n = 0;
       },
       "The minimum n-gram length cannot be zero."},
      {[](FtModel& m) {
         m.min_n = 4;
         m.max_n = 3;
       },
       "The maximum length should be equal to or greater than the minimum length."},
      // fastText's own -maxn 0 with the default minimum of 3.
      {[](FtModel& m) {
         m.max_n = 0;
         m.bucket = 0;
       },
       "The maximum length should be equal to or greater than the minimum length."},
      {[](FtModel& m) { m.bucket = 0; }, "attempt to calculate the remainder with a divisor of zero"},
  };
  for (const Case& c : cases) {
    FtModel m;
    c.change(m);
    EXPECT_EQ(panic_message([&] { (void)convert(m.bytes()); }), c.message);
  }
  // The vocabulary is built right after the dictionary, before the flag.
  for (std::size_t k : {0, 1}) {
    FtModel m;
    cases[k].change(m);
    EXPECT_EQ(panic_message([&] { (void)convert(m.dictionary().str()); }), cases[k].message);
  }
  // Length settings are checked per word only: no words, no failure.
  FtModel none;
  none.entries.clear();
  none.min_n = 0;
  auto got = convert(none.bytes());
  EXPECT_TRUE(got.ok()) << debug_of(got);
}

TEST(FastTextConversion, MetadataHoldsTheSettingsWithSortedKeys) {
  FtModel m;
  m.dims = 10;
  m.window_size = 5;
  m.epoch = 7;
  m.min_count = 2;
  m.neg = 5;
  m.word_ngrams = 1;
  m.loss = 2;
  m.model = 2;
  m.lr_update_rate = 0xFFFFFFFFu;  // u32 values fit TOML's signed integers
  auto got = convert(m.bytes());
  ASSERT_TRUE(got.ok()) << debug_of(got);
  const Metadata& meta = *got.value().metadata();
  EXPECT_EQ(meta.keys(), (std::vector<std::string>{"bucket", "dims", "epoch", "loss", "lr_update_rate",
                                                   "max_n", "min_count", "min_n", "model", "neg",
                                                   "sampling_threshold", "window_size", "word_ngrams"}));
  auto i = [&](const char* k) { return std::get<std::int64_t>(*meta.get(k)); };
  EXPECT_EQ(i("bucket"), 5);
  EXPECT_EQ(i("dims"), 10);
  EXPECT_EQ(i("epoch"), 7);
  EXPECT_EQ(i("lr_update_rate"), 4294967295);
  EXPECT_EQ(i("max_n"), 6);
  EXPECT_EQ(i("min_count"), 2);
  EXPECT_EQ(i("min_n"), 3);
  EXPECT_EQ(i("neg"), 5);
  EXPECT_EQ(i("window_size"), 5);
  EXPECT_EQ(i("word_ngrams"), 1);
  EXPECT_EQ(std::get<double>(*meta.get("sampling_threshold")), 0.0001);
  EXPECT_EQ(std::get<std::string>(*meta.get("loss")), "NegativeSampling");
  EXPECT_EQ(std::get<std::string>(*meta.get("model")), "SkipGram");

  const char* losses[] = {"HierarchicalSoftmax", "NegativeSampling", "Softmax"};
  const char* models[] = {"Cbow", "SkipGram", "Supervised"};
  for (std::uint32_t code = 1; code <= 3; ++code) {
    m.loss = code;
    m.model = 4 - code;
    auto other = convert(m.bytes());
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(std::get<std::string>(*other.value().metadata()->get("loss")), losses[code - 1]);
    EXPECT_EQ(std::get<std::string>(*other.value().metadata()->get("model")), models[3 - code]);
  }
}

// --- The written file -------------------------------------------------------------

TEST(FastTextConversion, WrittenFileIsLaidOutChunkByChunkAndReadsBackBitForBit) {
  FtModel m;
  m.entries = {{"a"}, {"bc"}, {"\xC3\xA9t\xC3\xA9"}};
  m.bucket = 4;
  m.dims = 5;
  auto got = convert(m.bytes());
  ASSERT_TRUE(got.ok()) << debug_of(got);
  const Embeddings& e = got.value();

  const std::string file = written_file(e);

  // Header: Metadata, FastTextSubwordVocab, NdArray, NdNorms.
  Bytes want;
  want.str("FiFu").u32(0).u32(4).u32(5).u32(7).u32(2).u32(6);
  // Metadata: the TOML text, sorted keys, exact length.
  want.u32(5);
  ASSERT_GT(file.size(), 40u);
  std::uint64_t toml_len;
  std::memcpy(&toml_len, file.data() + 32, 8);
  ASSERT_LT(40 + toml_len, file.size());
  std::string toml = file.substr(40, toml_len);
  want.u64(toml_len).str(toml);
  std::size_t last = 0;
  for (const char* key : {"bucket = 4\n", "dims = 5\n", "epoch = 7\n", "loss = ", "lr_update_rate = 100\n",
                          "max_n = 6\n", "min_count = 2\n", "min_n = 3\n", "model = ", "neg = 5\n",
                          "sampling_threshold = 0.0001\n", "window_size = 5\n", "word_ngrams = 1"}) {
    std::size_t at = toml.find(key);
    ASSERT_NE(at, std::string::npos) << key << " in\n" << toml;
    EXPECT_GE(at, last) << key;
    last = at;
  }
  auto parsed = Metadata::parse(toml);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(std::get<std::string>(*parsed.value().get("loss")), "NegativeSampling");
  EXPECT_EQ(std::get<std::string>(*parsed.value().get("model")), "SkipGram");
  // Vocabulary: 20 + (4 + 1) + (4 + 2) + (4 + 5) bytes after the length.
  want.u32(7).u64(20 + 5 + 6 + 9).u64(3).u32(3).u32(6).u32(4);
  want.item("a").item("bc").item("\xC3\xA9t\xC3\xA9");
  // Matrix: 7 rows of 5 values after padding to a multiple of 4.
  std::size_t matrix_at = want.size();
  std::uint32_t pad = static_cast<std::uint32_t>(4 - (matrix_at + 4) % 4);
  want.u32(2).u64(16 + pad + 7 * 5 * 4).u64(7).u32(5).u32(10).zeros(pad);
  EXPECT_EQ((want.size()) % 4, 0u);
  for (std::size_t i = 0; i < 7; ++i) {
    for (float x : matrix_of(e).row(i)) want.f32(x);
  }
  // Norms: 3 values.
  std::uint32_t pad2 = static_cast<std::uint32_t>(4 - (want.size() + 4) % 4);
  want.u32(6).u64(12 + pad2 + 3 * 4).u64(3).u32(10).zeros(pad2);
  for (float x : e.norms()->values) want.f32(x);
  EXPECT_EQ(file, want.str());

  // The values themselves: word rows averaged, subword rows as read.
  expect_bits(matrix_of(e).row(0), averaged(m, 0, {"<a>"}).first);
  for (std::size_t i = 3; i < 7; ++i) expect_bits(matrix_of(e).row(i), row_of(m, i));

  // Read back through the mapped reader.
  auto back = read_mapped(file);
  ASSERT_TRUE(back.ok()) << debug_of(back);
  const Embeddings& b = back.value();
  EXPECT_EQ(b.metadata()->keys(), e.metadata()->keys());
  EXPECT_EQ(b.norms()->values.size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(b.norms()->values[k]),
              std::bit_cast<std::uint32_t>(e.norms()->values[k]));
  }
  const auto& bv = std::get<FastTextSubwordVocab>(b.vocab().variant());
  EXPECT_EQ(bv.words[2], "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(bv.indexer.bucket_count(), 4u);
  EXPECT_EQ(b.storage().rows(), 7u);
  for (std::size_t i = 0; i < 7; ++i) {
    std::vector<float> want_row(matrix_of(e).row(i).begin(), matrix_of(e).row(i).end());
    expect_bits(std::span<const float>(b.storage().dense_row(i), 5), want_row);
  }
  // Lookups agree, known and composed.
  for (const char* word : {"a", "bc", "\xC3\xA9t\xC3\xA9", "abc", "\xC3\xA9"}) {
    auto x = e.find_embedding(word);
    auto y = b.find_embedding(word);
    ASSERT_TRUE(x && y) << word;
    expect_bits(y->values(), std::vector<float>(x->values().begin(), x->values().end()));
  }
}

}  // namespace
}  // namespace mave
