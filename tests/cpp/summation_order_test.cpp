// The order of float32 additions is part of every composed and averaged
// vector. The row sums are computed a block of columns and a group of rows at a
// time; these tests hold them to a plain row-after-row loop, bit for bit, on
// values for which any other order gives other bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "base/vector_math.hpp"
#include "fasttext/fasttext.hpp"
#include "format/embeddings.hpp"
#include "format/storage.hpp"
#include "subword/ngrams.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

std::vector<std::uint32_t> bits_of(const std::vector<float>& v) {
  std::vector<std::uint32_t> out;
  for (float f : v) out.push_back(std::bit_cast<std::uint32_t>(f));
  return out;
}

// Magnitudes from 2^-30 to 2^30 with both signs: almost every reordering of
// a sum of such values rounds differently.
std::vector<float> wide_range_values(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> exponent(-30, 30);
  std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
  std::vector<float> out(n);
  for (float& x : out) {
    x = std::ldexp(mantissa(rng), exponent(rng));
    if (rng() & 1) x = -x;
  }
  return out;
}

struct Rows {
  std::vector<std::vector<float>> values;
  std::vector<const float*> pointers;
};

Rows rows_of(std::size_t count, std::size_t n, std::uint32_t seed) {
  Rows r;
  for (std::size_t k = 0; k < count; ++k) r.values.push_back(wide_range_values(n, seed + k));
  for (const auto& v : r.values) r.pointers.push_back(v.data());
  return r;
}

// The reference: one whole row after the other.
std::vector<float> row_after_row(std::vector<float> acc, const Rows& rows) {
  for (const auto& row : rows.values) {
    for (std::size_t j = 0; j < acc.size(); ++j) acc[j] = acc[j] + row[j];
  }
  return acc;
}

// Two orders a blocked implementation could slip into: the rows summed last
// to first, and the rows summed among themselves before the accumulator.
std::vector<float> last_to_first(std::vector<float> acc, const Rows& rows) {
  for (auto it = rows.values.rbegin(); it != rows.values.rend(); ++it) {
    for (std::size_t j = 0; j < acc.size(); ++j) acc[j] = acc[j] + (*it)[j];
  }
  return acc;
}

std::vector<float> rows_first(std::vector<float> acc, const Rows& rows) {
  std::vector<float> sum(acc.size(), 0.0f);
  for (const auto& row : rows.values) {
    for (std::size_t j = 0; j < acc.size(); ++j) sum[j] = sum[j] + row[j];
  }
  for (std::size_t j = 0; j < acc.size(); ++j) acc[j] = acc[j] + sum[j];
  return acc;
}

std::size_t differing(const std::vector<float>& a, const std::vector<float>& b) {
  std::size_t n = 0;
  for (std::size_t j = 0; j < a.size(); ++j)
    n += std::bit_cast<std::uint32_t>(a[j]) != std::bit_cast<std::uint32_t>(b[j]);
  return n;
}

TEST(SummationOrder, TheDataTellsOrdersApart) {
  Rows rows = rows_of(40, 300, 7);
  std::vector<float> acc = wide_range_values(300, 99);
  std::vector<float> forward = row_after_row(acc, rows);
  // Many elements change under either other order, so a test that compares
  // against `forward` sees any reordering.
  EXPECT_GT(differing(forward, last_to_first(acc, rows)), 200u);
  EXPECT_GT(differing(forward, rows_first(acc, rows)), 50u);
}

TEST(SummationOrder, AddRowsToMatchesRowAfterRowForEveryShape) {
  // Widths around the 32-column block and the 4-lane step, row counts around
  // the groups of the storage.
  for (std::size_t n : {0, 1, 3, 4, 5, 31, 32, 33, 36, 63, 64, 100, 300, 301}) {
    for (std::size_t count : {0, 1, 2, 7, 31, 32, 33, 70}) {
      Rows rows = rows_of(count, n, static_cast<std::uint32_t>(1000 * n + count));
      std::vector<float> acc = wide_range_values(n, static_cast<std::uint32_t>(n + 5));
      std::vector<float> expected = row_after_row(acc, rows);
      add_rows_to(acc.data(), n, rows.pointers);
      EXPECT_EQ(bits_of(acc), bits_of(expected)) << n << " columns, " << count << " rows";
    }
  }
}

TEST(SummationOrder, RowsMayRepeatAndStartAnywhere) {
  // Rows of a mapped matrix start at any multiple of 4 bytes: unaligned to
  // the 16-byte lanes.
  std::vector<float> matrix = wide_range_values(1 + 5 * 45, 3);
  Rows rows;
  for (std::size_t r : {2, 0, 2, 4, 1, 2, 3, 0}) {
    rows.values.emplace_back(matrix.begin() + 1 + r * 45, matrix.begin() + 1 + (r + 1) * 45);
    rows.pointers.push_back(matrix.data() + 1 + r * 45);
  }
  std::vector<float> acc(45, 0.0f);
  std::vector<float> expected = row_after_row(acc, rows);
  add_rows_to(acc.data(), 45, rows.pointers);
  EXPECT_EQ(bits_of(acc), bits_of(expected));
}

TEST(SummationOrder, StorageAddsListedRowsInListOrderAcrossGroups) {
  const std::size_t rows = 50, cols = 37;
  std::vector<float> data = wide_range_values(rows * cols, 11);
  Storage storage{NdArray(rows, cols, data)};
  std::vector<std::uint64_t> indices;
  std::mt19937 rng(5);
  for (int k = 0; k < 75; ++k) indices.push_back(rng() % rows);  // repeats, three groups
  Rows listed;
  for (std::uint64_t i : indices) {
    listed.values.emplace_back(data.begin() + i * cols, data.begin() + (i + 1) * cols);
  }
  std::vector<float> acc(cols, 0.0f), scratch;
  storage.add_rows(indices, acc.data(), scratch);
  EXPECT_EQ(bits_of(acc), bits_of(row_after_row(std::vector<float>(cols, 0.0f), listed)));
}

TEST(SummationOrder, ComposedLookupOfALongWordSumsItsNGramRowsInOrder) {
  // "abcdefghijklmnopqrst" has 74 n-grams of 3 to 6 characters: three groups
  // of rows, with 61 buckets some of them hit twice.
  const std::uint32_t buckets = 61;
  const std::size_t cols = 300;
  WordList words;
  words.push_back("known");
  auto vocab = new_subword_vocabulary(std::move(words), 3, 6, FastTextHashIndexer(buckets), std::string("<"),
                                      std::string(">"));
  const std::string word = "abcdefghijklmnopqrst";
  std::vector<std::uint64_t> listed;
  subword_rows(vocab, word, listed);
  ASSERT_EQ(listed.size(), 74u);

  const std::size_t rows = 1 + buckets;
  std::vector<float> data = wide_range_values(rows * cols, 21);
  Rows rows_in_order;
  for (std::uint64_t i : listed) {
    rows_in_order.values.emplace_back(data.begin() + i * cols, data.begin() + (i + 1) * cols);
  }
  std::vector<float> expected = row_after_row(std::vector<float>(cols, 0.0f), rows_in_order);
  const float norm = std::sqrt(test::partial_sums_of_squares(expected));
  for (float& x : expected) x = x / norm;

  Embeddings e(std::nullopt, Vocab(std::move(vocab)), Storage(NdArray(rows, cols, data)),
               NdNorms{std::vector<float>(1, 1.0f)});
  std::vector<float> got(cols, -1.0f);
  ASSERT_TRUE(e.fill_embedding(word, TargetView{reinterpret_cast<std::byte*>(got.data()), cols, 4}));
  EXPECT_EQ(bits_of(got), bits_of(expected));
  auto found = e.find_embedding(word);
  ASSERT_TRUE(found);
  EXPECT_EQ(bits_of(std::vector<float>(found->values().begin(), found->values().end())), bits_of(expected));
}

TEST(SummationOrder, AveragedWordRowsAddTheirNGramRowsInOrder) {
  // A word with 74 n-grams (three groups), a short one, and one too short for
  // any n-gram, whose row stays as read.
  const std::uint32_t buckets = 53;
  const std::size_t cols = 45;
  const std::vector<std::string> texts = {"abcdefghijklmnopqrst", "xyz", "q"};
  WordList words;
  for (const auto& w : texts) words.push_back(w);
  auto vocab = new_subword_vocabulary(std::move(words), 4, 6, FastTextHashIndexer(buckets), std::string("<"),
                                      std::string(">"));
  const std::size_t rows = texts.size() + buckets;
  const std::vector<float> data = wide_range_values(rows * cols, 31);

  std::vector<float> expected(data.begin(), data.begin() + texts.size() * cols);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    std::vector<std::uint64_t> listed;
    subword_rows(vocab, texts[i], listed);
    if (listed.empty()) continue;
    Rows rows_in_order;
    for (std::uint64_t r : listed) {
      rows_in_order.values.emplace_back(data.begin() + r * cols, data.begin() + (r + 1) * cols);
    }
    std::vector<float> v(expected.begin() + i * cols, expected.begin() + (i + 1) * cols);
    v = row_after_row(v, rows_in_order);
    const float d = static_cast<float>(listed.size() + 1);
    for (std::size_t j = 0; j < cols; ++j) expected[i * cols + j] = v[j] / d;
  }

  NdArray matrix(rows, cols, data);
  average_word_rows(vocab, matrix);
  std::vector<float> got(matrix.data().begin(), matrix.data().begin() + texts.size() * cols);
  EXPECT_EQ(bits_of(got), bits_of(expected));
  // The subword rows are carried over as read.
  EXPECT_TRUE(std::equal(matrix.data().begin() + texts.size() * cols, matrix.data().end(),
                         data.begin() + texts.size() * cols));
}

}  // namespace
}  // namespace mave
