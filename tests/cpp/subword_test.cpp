// N-gram enumeration, the four indexers, the subword vocabulary chunks and
// composed lookups through them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "base/murmur3.hpp"
#include "format/embeddings.hpp"
#include "format/subword_vocab.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

using namespace test;

std::vector<std::string> ngrams_of(std::string_view text, std::uint32_t min, std::uint32_t max) {
  std::vector<std::string> out;
  CharNGrams it(text, min, max);
  while (auto g = it.next()) {
    EXPECT_EQ(g->char_count, count_chars(g->text));
    out.emplace_back(g->text);
  }
  return out;
}

TEST(CharNGramsTest, OrderIsByStartThenLongestFirst) {
  EXPECT_EQ(ngrams_of("<where>", 3, 6),
            (std::vector<std::string>{"<where", "<wher", "<whe", "<wh", "where>", "where", "wher", "whe",
                                      "here>", "here", "her", "ere>", "ere", "re>"}));
  EXPECT_EQ(ngrams_of("<ab>", 3, 6), (std::vector<std::string>{"<ab>", "<ab", "ab>"}));
  EXPECT_EQ(ngrams_of("<>", 3, 6), std::vector<std::string>{});
  EXPECT_EQ(ngrams_of("abc", 1, 1), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(ngrams_of("aaa", 2, 2), (std::vector<std::string>{"aa", "aa"}));  // repeats kept
  EXPECT_EQ(ngrams_of("", 1, 3), std::vector<std::string>{});
  EXPECT_EQ(ngrams_of("abc", 1, 4000000000u), (std::vector<std::string>{"abc", "ab", "a", "bc", "b", "c"}));
}

TEST(CharNGramsTest, LengthsCountCharactersNotBytes) {
  CharNGrams it("<\xC3\xA9>", 3, 6);
  auto g = it.next();
  ASSERT_TRUE(g);
  EXPECT_EQ(g->text, "<\xC3\xA9>");
  EXPECT_EQ(g->char_count, 3u);
  EXPECT_FALSE(it.next());
  EXPECT_EQ(ngrams_of("\xE6\x97\xA5\xF0\x9F\x98\x80\xC3\x9F", 2, 2),
            (std::vector<std::string>{"\xE6\x97\xA5\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80\xC3\x9F"}));
}

TEST(CharNGramsTest, LengthChecksAreAbortingFailures) {
  EXPECT_EQ(panic_message([] { CharNGrams("<a>", 0, 3); }), "The minimum n-gram length cannot be zero.");
  EXPECT_EQ(panic_message([] { CharNGrams("<a>", 0, 0); }), "The minimum n-gram length cannot be zero.");
  EXPECT_EQ(panic_message([] { CharNGrams("<a>", 4, 3); }),
            "The maximum length should be equal to or greater than the minimum length.");
}

// --- Hash indexers --------------------------------------------------------------

TEST(BucketIndexers, WorkedValues) {
  FnvBucketIndexer full(64), b21(21);
  EXPECT_EQ(full.indices_of({"abc", 3}).values[0], 0x929ED5CF7D701DE6ULL);
  EXPECT_EQ(b21.indices_of({"abc", 3}).values[0], 1056230u);
  EXPECT_EQ(full.indices_of({"\xC3\xA9", 1}).values[0], 0x00F3B66475FF169DULL);
  EXPECT_EQ(b21.indices_of({"\xC3\xA9", 1}).values[0], 2037405u);
  EXPECT_EQ(FastTextHashIndexer::hash("abc"), 0x1A47E90Bu);
  EXPECT_EQ(FastTextHashIndexer::hash("\xC3\xA9"), 0x3CFA68C1u);
  EXPECT_EQ(FastTextHashIndexer::hash("<\xC3\xA9>"), 0x3BC59BD7u);
  FastTextHashIndexer ft(2000000);
  EXPECT_EQ(ft.indices_of({"abc", 3}).values[0], 920331u);
  EXPECT_EQ(ft.indices_of({"\xC3\xA9", 1}).values[0], 1043777u);
  EXPECT_EQ(ft.indices_of({"<\xC3\xA9>", 3}).values[0], 806231u);
  EXPECT_EQ(ft.indices_of({"<ab>", 4}).values[0], 621742u);
  EXPECT_EQ(ft.indices_of({"<ab", 3}).values[0], 209508u);
  EXPECT_EQ(ft.indices_of({"ab>", 3}).values[0], 1241756u);
  EXPECT_EQ(ft.indices_of({"abc", 99}).values[0], 920331u);  // the count is not hashed
  EXPECT_NE(full.indices_of({"abc", 4}).values[0], full.indices_of({"abc", 3}).values[0]);
}

TEST(BucketIndexers, BoundsAndLimits) {
  FnvBucketIndexer zero(0);
  EXPECT_EQ(zero.indices_of({"anything", 8}).values[0], 0u);
  EXPECT_EQ(zero.upper_bound(), 1u);
  EXPECT_EQ(FnvBucketIndexer(64).upper_bound(), std::nullopt);  // 2^64
  EXPECT_EQ(FnvBucketIndexer(21).upper_bound(), 1u << 21);
  EXPECT_EQ(panic_message([] { FnvBucketIndexer(65); }), "The largest possible buckets exponent is 64.");
  EXPECT_EQ(FastTextHashIndexer(2147483647u).upper_bound(), 2147483647u);
  EXPECT_EQ(panic_message([] { FastTextHashIndexer(2147483648u); }),
            "The largest possible number of buckets is: 2147483647");
  FastTextHashIndexer none(0);
  EXPECT_EQ(panic_message([&] { none.indices_of({"abc", 3}); }),
            "attempt to calculate the remainder with a divisor of zero");
}

struct MurmurLine {
  std::uint32_t seed;
  std::string data;
  std::uint64_t h1, h2;
};

std::vector<MurmurLine> murmur_reference() {
  std::ifstream in(data_path("murmur3_reference.txt"));
  std::vector<MurmurLine> out;
  std::string seed, hex, h1, h2;
  while (in >> seed >> hex >> h1 >> h2) {
    std::string data;
    if (hex != "-") {
      for (std::size_t i = 0; i < hex.size(); i += 2) {
        data += static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16));
      }
    }
    out.push_back({static_cast<std::uint32_t>(std::stoul(seed, nullptr, 16)), data,
                   std::stoull(h1, nullptr, 16), std::stoull(h2, nullptr, 16)});
  }
  return out;
}

TEST(Murmur3, AgreesWithAnIndependentImplementation) {
  auto lines = murmur_reference();
  ASSERT_GT(lines.size(), 900u);
  std::set<std::size_t> lengths;
  for (const auto& l : lines) {
    // A buffer of exactly the input's size, so that the sanitizer build
    // catches a load of the short last lane that runs past the end.
    auto exact = std::make_unique<unsigned char[]>(l.data.size());
    std::memcpy(exact.get(), l.data.data(), l.data.size());
    Hash128 h = murmur3_x64_128(exact.get(), l.data.size(), l.seed);
    ASSERT_EQ(h.h1, l.h1) << l.seed << " " << l.data.size();
    ASSERT_EQ(h.h2, l.h2) << l.seed << " " << l.data.size();
    lengths.insert(l.data.size());
  }
  // Every length up to four blocks: each way of loading a short last lane.
  for (std::size_t n = 0; n < 64; ++n) EXPECT_TRUE(lengths.count(n)) << n;
  Hash128 empty = murmur3_x64_128("", 0, 0);
  EXPECT_EQ(empty.h1, 0u);
  EXPECT_EQ(empty.h2, 0u);
}

TEST(FloretIndexer, CutsTheHashIntoFourWordsInOrder) {
  for (const auto& l : murmur_reference()) {
    if (l.data.size() > 20) continue;
    const std::uint64_t words[4] = {l.h1 & 0xFFFFFFFF, l.h1 >> 32, l.h2 & 0xFFFFFFFF, l.h2 >> 32};
    for (std::uint32_t hashes = 1; hashes <= 4; ++hashes) {
      for (std::uint64_t buckets : {1ULL, 7ULL, 1000003ULL, (1ULL << 32) + 5}) {
        FloretHashIndexer idx(buckets, hashes, l.seed);
        NGramIndices got = idx.indices_of({l.data, 0});
        ASSERT_EQ(got.count, hashes);
        for (std::uint32_t i = 0; i < hashes; ++i) {
          ASSERT_EQ(got.values[i], words[i] % buckets);
          if (buckets > (1ULL << 32)) {
            ASSERT_EQ(got.values[i], words[i]);
          }
          if (buckets == 1) {
            ASSERT_EQ(got.values[i], 0u);
          }
        }
      }
    }
  }
  EXPECT_EQ(panic_message([] { FloretHashIndexer(10, 0, 0); }), "Floret indexer needs 1 to 4 hashes, got 0");
  EXPECT_EQ(panic_message([] { FloretHashIndexer(10, 5, 0); }), "Floret indexer needs 1 to 4 hashes, got 5");
  EXPECT_EQ(panic_message([] { FloretHashIndexer(0, 0, 0); }), "Floret indexer needs 1 to 4 hashes, got 0");
  EXPECT_EQ(panic_message([] { FloretHashIndexer(0, 2, 0); }),
            "assertion `left != right` failed: Floret needs at least 1 bucket.\n  left: 0\n right: 0");
}

TEST(NGramTable, DenseIndicesByFirstAppearanceOfTheStoredIndex) {
  NGramTableIndexer t({{"x", 7}, {"y", 3}, {"z", 7}});
  auto one = [&](std::string_view s) {
    NGramIndices i = t.indices_of({s, 0});
    return i.count == 0 ? -1 : static_cast<long>(i.values[0]);
  };
  EXPECT_EQ(one("x"), 0);
  EXPECT_EQ(one("y"), 1);
  EXPECT_EQ(one("z"), 0);
  EXPECT_EQ(one("w"), -1);
  EXPECT_EQ(t.upper_bound(), 2u);
  NGramTableIndexer empty({});
  EXPECT_EQ(empty.upper_bound(), 0u);
  EXPECT_EQ(empty.indices_of({"x", 1}).count, 0u);
  EXPECT_EQ(panic_message([] { NGramTableIndexer({{"x", 1}, {"x", 2}}); }),
            "ngrams contains duplicate entries.");
}

// --- Subword vocabulary chunks -------------------------------------------------

Result<Vocab> read_vocab(const std::string& bytes) {
  TempFile file(bytes);
  BufferedReader r = file.reader();
  return read_vocab_chunk(r);
}

std::vector<std::uint64_t> rows_of(const Vocab& v, std::string_view word, WordLookup::Kind* kind = nullptr) {
  std::vector<std::uint64_t> rows, buffer;
  auto collect = [&rows](std::span<const std::uint64_t> batch) {
    rows.insert(rows.end(), batch.begin(), batch.end());
  };
  WordLookup l = v.lookup(word, buffer, RowBatchSink(collect));
  if (kind) *kind = l.kind;
  if (l.kind == WordLookup::Kind::Known) return {l.row};
  return rows;
}

TEST(SubwordVocabs, FastTextRowsOfTheWorkedExample) {
  Bytes f;
  std::vector<std::string> words;
  for (int i = 0; i < 10; ++i) words.push_back("w" + std::to_string(i));
  fasttext_vocab(f, words, 3, 6, 2000000);
  auto v = read_vocab(f.str());
  ASSERT_TRUE(v.ok()) << debug(v.error());
  WordLookup::Kind kind;
  EXPECT_EQ(rows_of(v.value(), "ab", &kind), (std::vector<std::uint64_t>{621752, 209518, 1241766}));
  EXPECT_EQ(kind, WordLookup::Kind::Composed);
  EXPECT_EQ(rows_of(v.value(), "w3", &kind), std::vector<std::uint64_t>{3});
  EXPECT_EQ(kind, WordLookup::Kind::Known);
  EXPECT_EQ(rows_of(v.value(), "", &kind), std::vector<std::uint64_t>{});  // '<>' is too short
  EXPECT_EQ(kind, WordLookup::Kind::None);
  EXPECT_EQ(rows_of(v.value(), "\xC3\xA9", &kind), std::vector<std::uint64_t>{10 + 806231});
  EXPECT_EQ(v.value().n_words(), 10u);
  EXPECT_EQ(v.value().addressed_rows(), 2000010u);
  EXPECT_EQ(v.value().chunk_identifier(), ChunkIdentifier::FastTextSubwordVocab);
}

TEST(SubwordVocabs, BucketKindHashesCharacterCountAndCodePoints) {
  Bytes f;
  bucket_vocab(f, {"a"}, 3, 3, 21);
  auto v = read_vocab(f.str());
  ASSERT_TRUE(v.ok()) << debug(v.error());
  // "abc" bracketed: '<ab', 'abc', 'bc>'; the middle one is the worked value.
  auto rows = rows_of(v.value(), "abc");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1], 1 + 1056230u);
  EXPECT_EQ(v.value().addressed_rows(), 1 + (1u << 21));
  // Exponent 0: one bucket, W + 1 rows.
  Bytes z;
  bucket_vocab(z, {}, 3, 6, 0);
  auto zero = read_vocab(z.str());
  ASSERT_TRUE(zero.ok());
  EXPECT_EQ(zero.value().addressed_rows(), 1u);
  EXPECT_EQ(rows_of(zero.value(), "abcd"), std::vector<std::uint64_t>(10, 0));  // 4 + 3 + 2 + 1 n-grams
}

TEST(SubwordVocabs, ExplicitKindUsesOnlyItsTable) {
  Bytes f;
  explicit_vocab(f, {"known", "ab"}, {{"<ab", 7}, {"b>", 3}, {"ab>", 7}}, 2, 3);
  auto v = read_vocab(f.str());
  ASSERT_TRUE(v.ok()) << debug(v.error());
  EXPECT_EQ(v.value().addressed_rows(), 4u);  // 2 words + 2 distinct stored indices
  // "xab": '<xa', '<x', 'xab', 'xa', 'ab>' (row 2 + 0), 'ab', 'b>' (row 2 + 1).
  EXPECT_EQ(rows_of(v.value(), "xab"), (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(rows_of(v.value(), "ab"), std::vector<std::uint64_t>{1});  // known
  WordLookup::Kind kind;
  EXPECT_EQ(rows_of(v.value(), "zz", &kind), std::vector<std::uint64_t>{});
  EXPECT_EQ(kind, WordLookup::Kind::None);
}

TEST(SubwordVocabs, FloretIndexesTheWholeWordFirstAndHasNoKnownWords) {
  Bytes f;
  floret_vocab(f, 3, 4, 1000, 2, 42, "[", "]");
  auto v = read_vocab(f.str());
  ASSERT_TRUE(v.ok()) << debug(v.error());
  EXPECT_EQ(v.value().n_words(), 0u);
  EXPECT_EQ(v.value().addressed_rows(), 1000u);
  auto expect_for = [](std::vector<std::string> grams) {
    std::vector<std::uint64_t> rows;
    for (const auto& g : grams) {
      Hash128 h = murmur3_x64_128(g.data(), g.size(), 42);
      rows.push_back((h.h1 & 0xFFFFFFFF) % 1000);
      rows.push_back((h.h1 >> 32) % 1000);
    }
    return rows;
  };
  // '[ab]' is 4 characters: indexed as the whole word and again as an n-gram.
  EXPECT_EQ(rows_of(v.value(), "ab"), expect_for({"[ab]", "[ab]", "[ab", "ab]"}));
  WordLookup::Kind kind;
  EXPECT_EQ(rows_of(v.value(), "", &kind), expect_for({"[]"}));
  EXPECT_EQ(kind, WordLookup::Kind::Composed);
}

TEST(SubwordVocabs, NGramLengthErrorsComeAtTheFirstUnknownWordOnly) {
  for (auto [min, max, message] :
       {std::tuple<std::uint32_t, std::uint32_t, const char*>{0, 6,
                                                              "The minimum n-gram length cannot be zero."},
        {5, 4, "The maximum length should be equal to or greater than the minimum length."}}) {
    Bytes f;
    fasttext_vocab(f, {"known"}, min, max, 10);
    auto v = read_vocab(f.str());
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(rows_of(v.value(), "known"), std::vector<std::uint64_t>{0});
    EXPECT_EQ(panic_message([&] { rows_of(v.value(), "k"); }), message);
    Bytes fl;
    floret_vocab(fl, min, max, 10, 1, 0);
    auto floret = read_vocab(fl.str());
    ASSERT_TRUE(floret.ok());
    EXPECT_EQ(panic_message([&] { rows_of(floret.value(), ""); }), message);
  }
  // A bucket count of 0 loads; known words resolve; subwords divide by zero.
  Bytes f;
  fasttext_vocab(f, {"known"}, 3, 6, 0);
  auto v = read_vocab(f.str());
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(rows_of(v.value(), "known"), std::vector<std::uint64_t>{0});
  EXPECT_EQ(panic_message([&] { rows_of(v.value(), "other"); }),
            "attempt to calculate the remainder with a divisor of zero");
}

TEST(SubwordVocabs, ConstructionFailuresAreAbortingFailures) {
  auto fails_with = [](const Bytes& f) { return panic_message([&] { (void)read_vocab(f.str()); }); };
  Bytes dup;
  fasttext_vocab(dup, {"x", "x"}, 3, 6, 10);
  EXPECT_EQ(fails_with(dup),
            "assertion `left == right` failed: words contained duplicate entries.\n  left: 2\n right: 1");
  Bytes bucket_dup;
  bucket_vocab(bucket_dup, {"a", "b", "a", "b"}, 3, 6, 4);
  EXPECT_EQ(fails_with(bucket_dup),
            "assertion `left == right` failed: words contained duplicate entries.\n  left: 4\n right: 2");
  Bytes e65;
  bucket_vocab(e65, {"a"}, 3, 6, 65);
  EXPECT_EQ(fails_with(e65), "The largest possible buckets exponent is 64.");
  Bytes e64;
  bucket_vocab(e64, {"a"}, 3, 6, 64);
  EXPECT_EQ(fails_with(e64), "The upper bound of the indexer cannot be represented by the native word size.");
  Bytes ft;
  fasttext_vocab(ft, {"a"}, 3, 6, 2147483648u);
  EXPECT_EQ(fails_with(ft), "The largest possible number of buckets is: 2147483647");
  Bytes ngram_dup;
  explicit_vocab(ngram_dup, {"a", "a"}, {{"x", 1}, {"x", 2}}, 3, 6);
  EXPECT_EQ(fails_with(ngram_dup), "ngrams contains duplicate entries.");
  Bytes floret0;
  floret_vocab(floret0, 3, 6, 0, 2, 0);
  EXPECT_NE(fails_with(floret0).find("Floret needs at least 1 bucket."), std::string::npos);
  // The largest floret bucket count still fits a 64-bit size type.
  Bytes huge;
  floret_vocab(huge, 3, 6, ~0ULL, 4, 0);
  auto v = read_vocab(huge.str());
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v.value().addressed_rows(), ~0ULL);
}

struct VocabFailure {
  std::string name;
  std::string bytes;
  std::string debug;
};

class SubwordVocabFailures : public testing::TestWithParam<VocabFailure> {};

TEST_P(SubwordVocabFailures, ReportExactly) {
  EXPECT_EQ(debug_of(read_vocab(GetParam().bytes)), GetParam().debug);
}

std::vector<VocabFailure> subword_failures() {
  std::vector<VocabFailure> out;
  struct Field {
    std::size_t cut;
    const char* desc;
  };
  auto cuts = [&](const char* kind, const Bytes& whole, std::vector<Field> fields) {
    for (const Field& fld : fields) {
      out.push_back({std::string(kind) + "Cut" + std::to_string(fld.cut), whole.str().substr(0, fld.cut),
                     eof_read(fld.desc)});
    }
  };
  Bytes ft;
  fasttext_vocab(ft, {"ab"}, 3, 6, 10);
  cuts("FastText", ft,
       {{4, "Cannot read vocabulary chunk length"},
        {12, "Cannot read vocabulary length"},
        {20, "Cannot read minimum n-gram length"},
        {24, "Cannot read maximum n-gram length"},
        {28, "Cannot read number of buckets"},
        {32, "Cannot read string length"},
        {37, "Cannot read item"}});
  Bytes bucket;
  bucket_vocab(bucket, {"ab"}, 3, 6, 10);
  cuts("Bucket", bucket,
       {{12, "Cannot read vocabulary length"},
        {28, "Cannot read number of buckets"},
        {33, "Cannot read string length"}});
  Bytes ex;
  explicit_vocab(ex, {"w"}, {{"ng", 4}}, 3, 6);
  cuts("Explicit", ex,
       {{12, "Cannot read number of words"},
        {20, "Cannot read number of ngrams"},
        {28, "Cannot read minimum n-gram length"},
        {32, "Cannot read maximum n-gram length"},
        {36, "Cannot read string length"},
        {41, "Cannot read item length"},
        {46, "Cannot read item"},
        {47, "Cannot read ngram index."}});
  Bytes fl;
  floret_vocab(fl, 3, 6, 10, 2, 7);
  cuts("Floret", fl,
       {{4, "Cannot read vocabulary chunk length"},
        {12, "Cannot read minimum n-gram length"},
        {16, "Cannot read maximum n-gram length"},
        {20, "Cannot read number of buckets"},
        {28, "Cannot read number of hashes"},
        {32, "Cannot read hasher seed"}});
  out.push_back({"FloretBeginMarker", fl.str().substr(0, 38),
                 "Context { context: \"Cannot read begin of word marker\", error: " +
                     eof_read("Cannot read string length") + " }"});
  out.push_back({"FloretEndMarker", fl.str().substr(0, fl.size() - 1),
                 "Context { context: \"Cannot read end of word marker\", error: " +
                     eof_read("Cannot read item") + " }"});
  for (std::uint32_t hashes : {0u, 5u, 4294967295u}) {
    Bytes bad;
    floret_vocab(bad, 3, 6, 10, hashes, 7);
    out.push_back({"FloretHashes" + std::to_string(hashes), bad.str(),
                   "Read { desc: \"Number of hashes should be in be more than 0 and less than 5, was: " +
                       std::to_string(hashes) + "\", error: Kind(InvalidData) }"});
  }
  Bytes bad_marker;
  bad_marker.u32(9).u64(0).u32(3).u32(6).u64(10).u32(1).u32(0).item("\xFF");
  out.push_back({"FloretMarkerUtf8", bad_marker.str(),
                 "Context { context: \"Cannot read begin of word marker\", error: Format(\"Item contains "
                 "invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 0\") }"});
  Bytes bad_ngram;
  explicit_vocab(bad_ngram, {}, {{"a\xC3", 1}}, 3, 6);
  out.push_back({"ExplicitNGramUtf8", bad_ngram.str(),
                 "Format(\"Item contains invalid UTF-8: incomplete utf-8 byte sequence from index 1\")"});
  Bytes huge_count;
  huge_count.u32(8).u64(0).u64(0).u64(~0ULL).u32(3).u32(6).item("x").u64(1);
  out.push_back({"ExplicitHugeNGramCount", huge_count.str(), eof_read("Cannot read item length")});
  Bytes wrong;
  wrong.u32(4).u64(0);
  out.push_back({"QuantizedIsNoVocabulary", wrong.str(),
                 "Format(\"Invalid chunk identifier, expected one of: SimpleVocab, ExplicitSubwordVocab, "
                 "FastTextSubwordVocab, FloretSubwordVocab or BucketSubwordVocab, got: QuantizedArray\")"});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Cases, SubwordVocabFailures, testing::ValuesIn(subword_failures()),
                         [](const auto& info) { return info.param.name; });

TEST(SubwordVocabs, FastTextChunkIsWrittenAsFortyThreeBytesAndReadsBack) {
  WordList words;
  words.push_back("a");
  words.push_back("bc");
  auto vocab = new_subword_vocabulary(std::move(words), 3, 6, FastTextHashIndexer(2000000), "<", ">");
  TempFile out;
  {
    BufferedWriter w(File::create(out.path()).value());
    ASSERT_TRUE(write_fasttext_subword_vocab(w, vocab).ok());
    ASSERT_TRUE(w.close().ok());
  }
  std::string bytes = out.read();
  EXPECT_EQ(bytes, Bytes().u32(7).u64(31).u64(2).u32(3).u32(6).u32(2000000).item("a").item("bc").str());
  EXPECT_EQ(bytes.size(), 43u);
  auto back = read_vocab(bytes);
  ASSERT_TRUE(back.ok());
  const auto& ft = std::get<FastTextSubwordVocab>(back.value().variant());
  EXPECT_EQ(ft.words[0], "a");
  EXPECT_EQ(ft.words[1], "bc");
  EXPECT_EQ(ft.min_ngram_len, 3u);
  EXPECT_EQ(ft.max_ngram_len, 6u);
  EXPECT_EQ(ft.indexer.bucket_count(), 2000000u);
  EXPECT_EQ(ft.begin_marker, "<");
  EXPECT_EQ(ft.end_marker, ">");
}

// --- Composed vectors through whole files --------------------------------------

std::vector<float> normalized_sum(const std::vector<std::vector<float>>& rows) {
  std::vector<float> sum(rows.front().size(), 0.0f);
  for (const auto& r : rows)
    for (std::size_t j = 0; j < sum.size(); ++j) sum[j] = sum[j] + r[j];
  float s = 0;  // fewer than nine dimensions: squares in order
  for (float x : sum) s += x * x;
  float norm = std::sqrt(s);
  for (float& x : sum) x = x / norm;
  return sum;
}

std::vector<float> lookup(const Embeddings& e, std::string_view word) {
  std::vector<float> out(e.dims(), -1.0f);
  TargetView t{reinterpret_cast<std::byte*>(out.data()), out.size(), 4};
  EXPECT_TRUE(e.fill_embedding(word, t)) << word;
  return out;
}

TEST(ComposedFiles, FastTextWordGetsTheRowsOfItsNGrams) {
  // 10 words and 2000000 buckets: rows 621752, 209518 and 1241766 hold "ab".
  const std::size_t rows = 2000010, dims = 2;
  std::vector<float> values(rows * dims, 0.0f);
  auto set = [&](std::size_t r, float a, float b) {
    values[r * dims] = a;
    values[r * dims + 1] = b;
  };
  set(621752, 1.0f, 2.0f);
  set(209518, 0.5f, -4.0f);
  set(1241766, 3.0f, 0.25f);
  Bytes f;
  header(f, {7, 2});
  std::vector<std::string> words;
  for (int i = 0; i < 10; ++i) words.push_back("w" + std::to_string(i));
  fasttext_vocab(f, words, 3, 6, 2000000);
  nd_array(f, rows, dims, values);
  auto e = read_mapped(f.str());
  ASSERT_TRUE(e.ok()) << debug(e.error());
  EXPECT_EQ(lookup(e.value(), "ab"), normalized_sum({{1.0f, 2.0f}, {0.5f, -4.0f}, {3.0f, 0.25f}}));
}

TEST(ComposedFiles, FloretAndBucketWordsGetTheRowsOfTheirHashes) {
  const std::size_t dims = 3;
  auto row = [](std::uint64_t i) {
    return std::vector<float>{static_cast<float>(i + 1), 1.0f / static_cast<float>(i + 2),
                              static_cast<float>(i % 5) - 2.0f};
  };
  {
    const std::uint64_t buckets = 97;
    Bytes f;
    header(f, {9, 2});
    floret_vocab(f, 3, 3, buckets, 3, 1234);
    std::vector<float> values;
    for (std::uint64_t i = 0; i < buckets; ++i)
      for (float x : row(i)) values.push_back(x);
    nd_array(f, buckets, dims, values);
    auto e = read_mapped(f.str());
    ASSERT_TRUE(e.ok()) << debug(e.error());
    std::vector<std::vector<float>> expect;
    for (std::string g : {"<\xC3\xA9t\xC3\xA9>", "<\xC3\xA9t", "\xC3\xA9t\xC3\xA9", "t\xC3\xA9>"}) {
      Hash128 h = murmur3_x64_128(g.data(), g.size(), 1234);
      for (std::uint64_t w : {h.h1 & 0xFFFFFFFF, h.h1 >> 32, h.h2 & 0xFFFFFFFF})
        expect.push_back(row(w % buckets));
    }
    EXPECT_EQ(lookup(e.value(), "\xC3\xA9t\xC3\xA9"), normalized_sum(expect));
  }
  {
    // Bucket kind with exponent 21: only 'abc' of '<abc>' lands on a non-zero row.
    const std::size_t rows = 1 + (1u << 21);
    std::vector<float> values(rows * 2, 0.0f);
    values[(1 + 1056230) * 2] = 3.0f;
    values[(1 + 1056230) * 2 + 1] = 4.0f;
    Bytes f;
    header(f, {3, 2});
    bucket_vocab(f, {"known"}, 3, 3, 21);
    nd_array(f, rows, 2, values);
    auto e = read_mapped(f.str());
    ASSERT_TRUE(e.ok()) << debug(e.error());
    EXPECT_EQ(lookup(e.value(), "abc"), (std::vector<float>{0.6f, 0.8f}));
  }
}

}  // namespace
}  // namespace mave
