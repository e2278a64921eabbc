// Reading whole files, the checking constructor, lookups and writing.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "base/vector_math.hpp"
#include "format/embeddings.hpp"
#include "format/subword_vocab.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

using namespace test;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// A float32 buffer with a view over every `stride`-th element.
struct Target {
  std::vector<float> buf;
  TargetView view;
  Target(std::size_t len, std::ptrdiff_t stride, float fill = -7.0f)
      : buf(len * static_cast<std::size_t>(std::abs(stride) ? std::abs(stride) : 1) + 1, fill) {
    std::byte* base = reinterpret_cast<std::byte*>(buf.data());
    if (stride < 0) base += (len - 1) * static_cast<std::size_t>(-stride) * 4;
    view = TargetView{base, len, stride * 4};
  }
  std::vector<float> values() const {
    std::vector<float> out(view.len);
    for (std::size_t i = 0; i < view.len; ++i) out[i] = view.get(i);
    return out;
  }
};

std::string ninety_six_byte_file() {
  Bytes f;
  header(f, {1, 2});
  simple_vocab(f, {"a", "b"});
  nd_array(f, 2, 2, {1.0f, 2.0f, -3.0f, 0.5f});
  return f.str();
}

TEST(WholeFile, TheNinetySixByteFileLoadsAndLooksBothWordsUp) {
  std::string f = ninety_six_byte_file();
  ASSERT_EQ(f.size(), 96u);
  EXPECT_EQ(load_le<std::uint32_t>(f.data() + 20), 1u);
  EXPECT_EQ(load_le<std::uint64_t>(f.data() + 24), 18u);
  EXPECT_EQ(load_le<std::uint32_t>(f.data() + 50), 2u);
  EXPECT_EQ(load_le<std::uint64_t>(f.data() + 54), 34u);
  EXPECT_EQ(load_le<std::uint64_t>(f.data() + 62), 2u);
  EXPECT_EQ(load_le<std::uint32_t>(f.data() + 70), 2u);
  EXPECT_EQ(load_le<std::uint32_t>(f.data() + 74), 10u);
  EXPECT_EQ(f.substr(78, 2), std::string(2, '\0'));
  EXPECT_EQ(load_le<float>(f.data() + 80), 1.0f);

  auto e = read_mapped(f);
  ASSERT_TRUE(e.ok()) << debug(e.error());
  EXPECT_EQ(e.value().dims(), 2u);
  EXPECT_FALSE(e.value().metadata());
  EXPECT_FALSE(e.value().norms());
  Target t(2, 1);
  EXPECT_TRUE(e.value().fill_embedding("a", t.view));
  EXPECT_EQ(t.values(), (std::vector<float>{1.0f, 2.0f}));
  EXPECT_TRUE(e.value().fill_embedding("b", t.view));
  EXPECT_EQ(t.values(), (std::vector<float>{-3.0f, 0.5f}));
  EXPECT_FALSE(e.value().fill_embedding("c", t.view));
  EXPECT_EQ(t.values(), (std::vector<float>{-3.0f, 0.5f}));
  auto found = e.value().find_embedding("b");
  ASSERT_TRUE(found);
  EXPECT_EQ(std::vector<float>(found->values().begin(), found->values().end()),
            (std::vector<float>{-3.0f, 0.5f}));
  EXPECT_FALSE(e.value().find_embedding("A"));
}

TEST(WholeFile, KnownRowsGoThroughAnyStride) {
  auto e = read_mapped(ninety_six_byte_file());
  ASSERT_TRUE(e.ok());
  for (std::ptrdiff_t stride : {2, -1, -3}) {
    Target t(2, stride);
    EXPECT_TRUE(e.value().fill_embedding("b", t.view));
    EXPECT_EQ(t.values(), (std::vector<float>{-3.0f, 0.5f})) << stride;
  }
  // An unaligned target with a stride that is not a multiple of 4 bytes.
  std::vector<unsigned char> raw(64, 0xEE);
  TargetView odd{reinterpret_cast<std::byte*>(raw.data() + 1), 2, 7};
  EXPECT_TRUE(e.value().fill_embedding("a", odd));
  EXPECT_EQ(odd.get(0), 1.0f);
  EXPECT_EQ(odd.get(1), 2.0f);
  EXPECT_EQ(raw[0], 0xEE);
  EXPECT_EQ(raw[5], 0xEE);  // the bytes between the two elements stay
}

TEST(WholeFile, TargetLengthIsCheckedBeforeTheLookup) {
  auto e = read_mapped(ninety_six_byte_file());
  ASSERT_TRUE(e.ok());
  for (const char* word : {"a", "unknown"}) {
    Target t(3, 1);
    EXPECT_EQ(panic_message([&] { e.value().fill_embedding(word, t.view); }),
              "assertion `left == right` failed: Embeddings have 2 dimensions, whereas target "
              "array has 3\n  left: 3\n right: 2");
    EXPECT_EQ(t.values(), std::vector<float>(3, -7.0f));
  }
}

struct ContainerCase {
  std::string name;
  std::string bytes;
  std::string debug;
};

Bytes with_header(std::vector<std::uint32_t> codes) {
  Bytes f;
  header(f, codes);
  return f;
}

std::vector<ContainerCase> container_failures() {
  std::vector<ContainerCase> out;
  out.push_back({"NoChunks", with_header({}).str(), "Format(\"Embedding file does not contain chunks\")"});
  {
    Bytes f = with_header({5, 1, 2});
    simple_vocab(f, {"a"});
    out.push_back({"MetadataListedButVocabFollows", f.str(),
                   "Format(\"Invalid chunk identifier, expected: Metadata, got: SimpleVocab\")"});
  }
  {
    Bytes f = with_header({1, 2});
    metadata(f, "a = 1");
    simple_vocab(f, {"a"});
    nd_array(f, 1, 1, {1});
    out.push_back({"MetadataNotListed", f.str(),
                   "Format(\"Invalid chunk identifier, expected one of: SimpleVocab, "
                   "ExplicitSubwordVocab, FastTextSubwordVocab, FloretSubwordVocab or "
                   "BucketSubwordVocab, got: Metadata\")"});
  }
  {
    Bytes f = with_header({1, 2});
    simple_vocab(f, {"a"});
    norms(f, {1});
    out.push_back({"NormsInsteadOfMatrix", f.str(),
                   "Format(\"Invalid chunk identifier, expected: NdArray, got: NdNorms\")"});
  }
  {
    Bytes f = with_header({1, 2});
    simple_vocab(f, {"a"});
    simple_vocab(f, {"b"});
    out.push_back({"VocabularyInsteadOfMatrix", f.str(),
                   "Format(\"Invalid chunk identifier, expected: NdArray, got: SimpleVocab\")"});
  }
  out.push_back({"VocabCodeUnknown", with_header({1, 2}).u32(11).str(), "UnknownChunkIdentifier(11)"});
  out.push_back({"VocabCodeMissing", with_header({1, 2}).u8(1).str(),
                 eof_read("Cannot read vocabulary chunk identifier")});
  {
    Bytes f = with_header({1, 2});
    simple_vocab(f, {"a"});
    out.push_back({"StorageCodeUnknown", Bytes(f).u32(0).str(), "UnknownChunkIdentifier(0)"});
    out.push_back({"StorageCodeMissing", f.str(), eof_read("Cannot read storage chunk identifier")});
  }
  out.push_back({"NotFinalfusion", "FiFv", "Format(\"Expected 'FiFu' as magic, got: FiFv\")"});
  return out;
}

class ContainerFailures : public testing::TestWithParam<ContainerCase> {};

TEST_P(ContainerFailures, ReportExactly) {
  EXPECT_EQ(debug_of(read_mapped(GetParam().bytes)), GetParam().debug);
}

INSTANTIATE_TEST_SUITE_P(Cases, ContainerFailures, testing::ValuesIn(container_failures()),
                         [](const auto& info) { return info.param.name; });

TEST(WholeFile, NormsAreOptionalAndAnythingUnreadableAfterTheMatrixMeansNone) {
  Bytes base = with_header({1, 2, 6});
  simple_vocab(base, {"a", "b"});
  nd_array(base, 2, 1, {1, 2});

  auto plain = read_mapped(base.str());
  ASSERT_TRUE(plain.ok());
  EXPECT_FALSE(plain.value().norms());

  auto garbage = read_mapped(Bytes(base).str("not a norms chunk at all").str());
  ASSERT_TRUE(garbage.ok());
  EXPECT_FALSE(garbage.value().norms());

  Bytes with_norms = base;
  norms(with_norms, {3.0f});  // a count that differs from the word count is kept as it is
  auto kept = read_mapped(with_norms.str());
  ASSERT_TRUE(kept.ok());
  ASSERT_TRUE(kept.value().norms());
  EXPECT_EQ(kept.value().norms()->values, std::vector<float>{3.0f});

  Bytes wrong_type = base;
  wrong_type.u32(6).u64(20).u64(1).u32(1).zeros(4).f32(1);
  auto typed = read_mapped(wrong_type.str());
  ASSERT_TRUE(typed.ok());
  EXPECT_FALSE(typed.value().norms());

  Bytes metadata_last = with_header({1, 2, 5});
  simple_vocab(metadata_last, {"a", "b"});
  nd_array(metadata_last, 2, 1, {1, 2});
  metadata(metadata_last, "x = 1");
  auto neither = read_mapped(metadata_last.str());
  ASSERT_TRUE(neither.ok());
  EXPECT_FALSE(neither.value().metadata());
  EXPECT_FALSE(neither.value().norms());
}

TEST(WholeFile, MetadataListedFirstIsRead) {
  Bytes f = with_header({5, 1, 2});
  metadata(f, "model = \"SkipGram\"\ndims = 2");
  simple_vocab(f, {"a"});
  nd_array(f, 1, 2, {1, 2});
  auto e = read_mapped(f.str());
  ASSERT_TRUE(e.ok()) << debug(e.error());
  ASSERT_TRUE(e.value().metadata());
  EXPECT_EQ(e.value().metadata()->keys(), (std::vector<std::string>{"dims", "model"}));
}

TEST(WholeFile, RowsBeyondTheMatrixFailOnLookupOnly) {
  Bytes f = with_header({1, 2});
  simple_vocab(f, {"a", "b", "c"});
  nd_array(f, 2, 1, {1, 2});
  auto e = read_mapped(f.str());
  ASSERT_TRUE(e.ok());
  Target t(1, 1);
  EXPECT_TRUE(e.value().fill_embedding("b", t.view));
  EXPECT_EQ(panic_message([&] { e.value().fill_embedding("c", t.view); }), "assertion failed: index < dim");
  EXPECT_EQ(panic_message([&] { (void)e.value().find_embedding("c"); }), "assertion failed: index < dim");
}

// --- Composed lookups: sum in list order, then the unit-length scaling --------

float sequential_squares(const std::vector<float>& v) {
  float s = 0;
  for (float x : v) {
    float sq = x * x;
    s += sq;
  }
  return s;
}

std::vector<float> divided(std::vector<float> v, float sum) {
  float norm = std::sqrt(sum);
  if (norm != 0)
    for (float& x : v) x = x / norm;
  return v;
}

// An explicit vocabulary in which "ab" hits exactly the listed n-gram rows.
std::string explicit_file(std::size_t dims, const std::vector<std::vector<float>>& ngram_rows,
                          const std::vector<std::pair<std::string, std::uint64_t>>& table) {
  Bytes f = with_header({8, 2});
  explicit_vocab(f, {"known"}, table, 3, 6);
  std::vector<float> values(dims, 0.25f);  // the row of "known"
  for (const auto& row : ngram_rows) values.insert(values.end(), row.begin(), row.end());
  nd_array(f, 1 + ngram_rows.size(), static_cast<std::uint32_t>(dims), values);
  return f.str();
}

// Values whose sums of squares differ between the two orders (dims >= 9).
std::vector<float> order_sensitive_row(std::size_t dims) {
  EXPECT_GE(dims, 9u);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> mag(-3.0f, 3.0f);
  for (;;) {
    std::vector<float> v(dims);
    for (float& x : v) x = std::ldexp(mag(rng), static_cast<int>(rng() % 24) - 12);
    if (bits(partial_sums_of_squares(v)) != bits(sequential_squares(v))) return v;
  }
}

TEST(ComposedLookup, SingleRowIsScaledWithTheOrderOfTheTarget) {
  const std::size_t dims = 10;
  std::vector<float> row = order_sensitive_row(dims);
  auto e = read_mapped(explicit_file(dims, {row}, {{"<ab>", 5}}));
  ASSERT_TRUE(e.ok()) << debug(e.error());

  std::vector<float> contiguous = divided(row, partial_sums_of_squares(row));
  std::vector<float> strided = divided(row, sequential_squares(row));
  ASSERT_NE(contiguous, strided);

  Target t(dims, 1);
  ASSERT_TRUE(e.value().fill_embedding("ab", t.view));
  EXPECT_EQ(t.values(), contiguous);
  auto found = e.value().find_embedding("ab");
  ASSERT_TRUE(found);
  EXPECT_EQ(std::vector<float>(found->values().begin(), found->values().end()), contiguous);
  for (std::ptrdiff_t stride : {2, -1}) {
    Target s(dims, stride);
    ASSERT_TRUE(e.value().fill_embedding("ab", s.view));
    EXPECT_EQ(s.values(), strided) << stride;
  }
}

TEST(ComposedLookup, RowsAreSummedInListOrderWithRepeats) {
  const std::size_t dims = 3;
  std::vector<float> r0 = {1e8f, 1.0f, -2.0f}, r1 = {-1e8f, 0.5f, 3.0f};
  // n-grams of "<aba>" with lengths 3..6 in order: <aba>, <ab, <aba... the table
  // puts "<ab" and "ab" style n-grams on rows 0 and 1.
  auto e = read_mapped(explicit_file(dims, {r0, r1}, {{"<ab", 1}, {"ab>", 2}, {"<ab>", 1}}));
  ASSERT_TRUE(e.ok()) << debug(e.error());
  // "ab" -> '<ab>' (row 0), '<ab' (row 0), 'ab>' (row 1): r0 + r0 + r1 in that order.
  std::vector<float> sum(dims, 0.0f);
  for (const auto* r : {&r0, &r0, &r1})
    for (std::size_t j = 0; j < dims; ++j) sum[j] = sum[j] + (*r)[j];
  std::vector<float> expect = divided(sum, partial_sums_of_squares(sum));
  Target t(dims, 1);
  ASSERT_TRUE(e.value().fill_embedding("ab", t.view));
  EXPECT_EQ(t.values(), expect);
  // Starting the sum from zero matters: -0.0 rows give +0.0.
  auto z = read_mapped(explicit_file(2, {{-0.0f, -0.0f}}, {{"<ab>", 0}}));
  ASSERT_TRUE(z.ok());
  Target zt(2, 1);
  ASSERT_TRUE(z.value().fill_embedding("ab", zt.view));
  EXPECT_EQ(bits(zt.values()[0]), 0u);
  EXPECT_EQ(bits(zt.values()[1]), 0u);
}

TEST(ComposedLookup, AllZeroSumStaysZeroAndUnknownNGramsGiveNothing) {
  auto e = read_mapped(explicit_file(4, {{0, 0, 0, 0}}, {{"<ab>", 0}}));
  ASSERT_TRUE(e.ok());
  Target t(4, 1);
  ASSERT_TRUE(e.value().fill_embedding("ab", t.view));
  EXPECT_EQ(t.values(), std::vector<float>(4, 0.0f));
  Target untouched(4, 1);
  EXPECT_FALSE(e.value().fill_embedding("zz", untouched.view));
  EXPECT_EQ(untouched.values(), std::vector<float>(4, -7.0f));
  EXPECT_FALSE(e.value().find_embedding("zz"));
  // The known word is copied, not composed.
  Target k(4, 1);
  ASSERT_TRUE(e.value().fill_embedding("known", k.view));
  EXPECT_EQ(k.values(), std::vector<float>(4, 0.25f));
}

TEST(ComposedLookup, NGramRowBeyondTheMatrixZeroesTheTargetThenFails) {
  // The table addresses 2 n-gram rows but the matrix holds only one.
  Bytes f = with_header({8, 2});
  explicit_vocab(f, {}, {{"<ab", 0}, {"ab>", 1}}, 3, 6);
  nd_array(f, 1, 2, {1, 2});
  auto e = read_mapped(f.str());
  ASSERT_TRUE(e.ok());
  Target t(2, 1);
  EXPECT_EQ(panic_message([&] { e.value().fill_embedding("ab", t.view); }), "assertion failed: index < dim");
  EXPECT_EQ(t.values(), std::vector<float>(2, 0.0f));
}

TEST(VectorMath, TenElementsUseEightPartialsThenTheTailInOrder) {
  std::vector<float> v = order_sensitive_row(10);
  EXPECT_EQ(bits(dot8(v.data(), v.data(), 10)), bits(partial_sums_of_squares(v)));
  EXPECT_EQ(bits(sequential_sum_of_squares(v.data(), 10)), bits(sequential_squares(v)));
  for (std::size_t n : {0, 1, 7, 8, 9, 16, 17, 300}) {
    // Below nine elements both orders agree, so borrow a longer row's prefix.
    std::vector<float> w = order_sensitive_row(std::max<std::size_t>(n, 10));
    w.resize(n);
    std::vector<float> scaled = w;
    float norm = scale_to_unit_norm(scaled.data(), n);
    EXPECT_EQ(bits(norm), bits(std::sqrt(partial_sums_of_squares(w)))) << n;
    EXPECT_EQ(scaled, divided(w, partial_sums_of_squares(w))) << n;
  }
  std::vector<float> nan = {std::nanf(""), 1.0f};
  scale_to_unit_norm(nan.data(), 2);
  EXPECT_TRUE(std::isnan(nan[1]));  // a NaN norm still divides
}

// --- The checking constructor and writing -------------------------------------

FastTextSubwordVocab fasttext_vocab_of(std::vector<std::string> words, std::uint32_t buckets) {
  WordList list;
  for (const auto& w : words) list.push_back(w);
  return new_subword_vocabulary(std::move(list), 3, 6, FastTextHashIndexer(buckets), "<", ">");
}

Embeddings small_embeddings(bool with_metadata, bool with_norms) {
  auto vocab = fasttext_vocab_of({"a", "bc", "\xC3\xA9t\xC3\xA9"}, 2);
  std::vector<float> data;
  for (int i = 0; i < 5 * 3; ++i) data.push_back(static_cast<float>(i) * 0.5f - 3.0f);
  std::optional<Metadata> m;
  if (with_metadata) m = Metadata::from_entries({{"dims", std::int64_t{3}}, {"bucket", std::int64_t{2}}});
  if (with_norms) {
    return Embeddings(m, Vocab(std::move(vocab)), Storage(NdArray(5, 3, data)), NdNorms{{1.0f, 2.0f, 3.0f}});
  }
  return Embeddings::unchecked(m, Vocab(std::move(vocab)), Storage(NdArray(5, 3, data)), std::nullopt);
}

TEST(CheckingConstructor, NormsAndRowsMustMatchTheVocabulary) {
  EXPECT_EQ(panic_message([] {
              Embeddings(std::nullopt, Vocab(fasttext_vocab_of({"a", "b"}, 2)),
                         Storage(NdArray(4, 1, std::vector<float>(4))), NdNorms{{1.0f}});
            }),
            "assertion `left == right` failed: Vocab and norms do not have the same length\n"
            "  left: 2\n right: 1");
  EXPECT_EQ(panic_message([] {
              Embeddings(std::nullopt, Vocab(fasttext_vocab_of({"a", "b"}, 2)),
                         Storage(NdArray(5, 1, std::vector<float>(5))), NdNorms{{1.0f, 1.0f}});
            }),
            "assertion `left == right` failed: Max vocab index must match number of rows in the "
            "embedding matrix.\n  left: 4\n right: 5");
}

TEST(Writing, HeaderListsMetadataVocabularyMatrixAndNormsWhenPresent) {
  std::string full = written_file(small_embeddings(true, true));
  EXPECT_EQ(full.substr(0, 28), Bytes().str("FiFu").u32(0).u32(4).u32(5).u32(7).u32(2).u32(6).str());
  std::string bare = written_file(small_embeddings(false, false));
  EXPECT_EQ(bare.substr(0, 20), Bytes().str("FiFu").u32(0).u32(2).u32(7).u32(2).str());
  // Header, then the vocabulary chunk as it is laid out by hand.
  Bytes expect;
  header(expect, {7, 2});
  fasttext_vocab(expect, {"a", "bc", "\xC3\xA9t\xC3\xA9"}, 3, 6, 2);
  EXPECT_EQ(bare.substr(0, expect.size()), expect.str());
}

TEST(Writing, WrittenFileReadsBackBitForBit) {
  Embeddings original = small_embeddings(true, true);
  auto back = read_mapped(written_file(original));
  ASSERT_TRUE(back.ok()) << debug(back.error());
  const Embeddings& e = back.value();
  EXPECT_EQ(e.dims(), 3u);
  ASSERT_TRUE(e.norms());
  EXPECT_EQ(e.norms()->values, (std::vector<float>{1.0f, 2.0f, 3.0f}));
  ASSERT_TRUE(e.metadata());
  EXPECT_EQ(e.metadata()->keys(), (std::vector<std::string>{"bucket", "dims"}));
  const auto* vocab = std::get_if<FastTextSubwordVocab>(&e.vocab().variant());
  ASSERT_TRUE(vocab);
  EXPECT_EQ(vocab->words.size(), 3u);
  EXPECT_EQ(vocab->words[2], "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(vocab->begin_marker, "<");
  EXPECT_EQ(vocab->end_marker, ">");
  EXPECT_EQ(vocab->indexer.bucket_count(), 2u);
  EXPECT_EQ(e.storage().rows(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    std::vector<float> a(3), b(3);
    original.storage().row_into(i, a.data());
    e.storage().row_into(i, b.data());
    EXPECT_EQ(a, b);
  }
  // Composed lookups agree between the owned and the mapped matrix.
  for (const char* word : {"zzz", "\xC3\xA9", "bcd"}) {
    auto x = original.find_embedding(word), y = e.find_embedding(word);
    ASSERT_TRUE(x && y) << word;
    EXPECT_TRUE(std::equal(x->values().begin(), x->values().end(), y->values().begin())) << word;
  }
}

TEST(Writing, AFullDiskIsReportedAsAWriteError) {
  auto file = File::create("/dev/full");
  ASSERT_TRUE(file.ok());
  BufferedWriter w(std::move(file).value());
  auto st = small_embeddings(true, true).write_embeddings_to(w);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().code, ErrorCode::WriteFailed);
  EXPECT_EQ(debug(st.error()),
            "Write { desc: \"Cannot get file position for computing padding\", error: Os { code: 28, "
            "kind: StorageFull, message: \"No space left on device\" } }");
}

// Every prefix of a complete file either fails cleanly or, once the matrix is
// complete, loads (with norms only when the norms chunk is whole).
TEST(Truncation, EveryPrefixFailsCleanlyOrLoadsWithoutNorms) {
  std::string full = written_file(small_embeddings(true, true));
  Bytes f;
  header(f, {5, 7, 2});
  std::size_t matrix_end = full.size() - (4 + 8 + 8 + 4 + padding_for(0) + 12);
  // Find where the norms chunk starts: after the matrix data, at matrix_end.
  ASSERT_EQ(load_le<std::uint32_t>(full.data() + matrix_end), 6u);
  for (std::size_t len = 0; len <= full.size(); ++len) {
    auto e = read_mapped(full.substr(0, len));
    if (len < matrix_end) {
      EXPECT_FALSE(e.ok()) << len;
    } else {
      ASSERT_TRUE(e.ok()) << len << ": " << debug(e.error());
      EXPECT_EQ(static_cast<bool>(e.value().norms()), len == full.size()) << len;
    }
  }
}

}  // namespace
}  // namespace mave
