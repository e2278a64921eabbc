// Lookups of many strings at once: the same rows as one lookup at a time, at
// every thread count.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "format/batch.hpp"
#include "format/embeddings.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

using namespace test;

std::vector<float> values(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> uniform(-2.0f, 2.0f);
  std::vector<float> out(n);
  for (float& x : out) x = uniform(rng);
  return out;
}

std::vector<std::string> vocabulary(std::size_t n) {
  std::vector<std::string> words;
  for (std::size_t i = 0; i < n; ++i) words.push_back("wort" + std::to_string(i * 7919 % 100003));
  return words;
}

constexpr std::uint32_t kDims = 10;
constexpr std::size_t kWords = 500;

std::string simple_dense_file() {
  Bytes f;
  header(f, {1, 2});
  simple_vocab(f, vocabulary(kWords));
  nd_array(f, kWords, kDims, values(kWords * kDims, 1));
  return f.str();
}

// fastText-style subwords: unknown strings are composed from n-gram rows.
std::string subword_dense_file() {
  const std::uint32_t buckets = 64;
  Bytes f;
  header(f, {7, 2});
  fasttext_vocab(f, vocabulary(kWords), 3, 5, buckets);
  nd_array(f, kWords + buckets, kDims, values((kWords + buckets) * kDims, 2));
  return f.str();
}

std::string quantized_file() {
  const std::uint32_t n_sub = 5, n_centroids = 8;
  std::vector<std::uint8_t> codes(kWords * n_sub);
  std::mt19937 rng(3);
  for (std::uint8_t& c : codes) c = static_cast<std::uint8_t>(rng() % n_centroids);
  Bytes f;
  header(f, {1, 4});
  simple_vocab(f, vocabulary(kWords));
  quantized_array(f, n_sub, kDims, n_centroids, values(n_sub * n_centroids * 2, 4), codes,
                  values(kDims * kDims, 5), values(kWords, 6));
  return f.str();
}

// Known words in random order (repeats included), strings that are no word
// (composed where the vocabulary has subwords), and the empty string.
std::vector<std::string> queries(std::size_t n, std::uint32_t seed) {
  const std::vector<std::string> words = vocabulary(kWords);
  std::mt19937 rng(seed);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) {
    switch (rng() % 4) {
      case 0:
        out.push_back(words[rng() % kWords] + "x");
        break;
      case 1:
        out.push_back(i % 9 ? "zq" + std::to_string(rng() % 1000) : "");
        break;
      default:
        out.push_back(words[rng() % kWords]);
    }
  }
  return out;
}

struct Output {
  std::vector<float> buf;
  TargetMatrix matrix;
};

// rows x cols floats, filled with a value no lookup writes; column-major
// when asked, so that no row is contiguous.
Output output(std::size_t rows, std::size_t cols, bool column_major) {
  Output o{std::vector<float>(rows * cols + 1, -1234.5f), {}};
  const std::ptrdiff_t f = sizeof(float);
  o.matrix = TargetMatrix{reinterpret_cast<std::byte*>(o.buf.data()), rows, cols,
                          column_major ? f : static_cast<std::ptrdiff_t>(cols) * f,
                          column_major ? static_cast<std::ptrdiff_t>(rows) * f : f};
  return o;
}

std::vector<std::uint32_t> row_bits(const TargetMatrix& m, std::size_t r) {
  std::vector<std::uint32_t> out;
  for (std::size_t j = 0; j < m.cols; ++j) {
    const float v = m.row(r).get(j);
    std::uint32_t b;
    std::memcpy(&b, &v, 4);
    out.push_back(b);
  }
  return out;
}

struct BatchCase {
  const char* name;
  std::string (*file)();
};

class FillEmbeddings : public testing::TestWithParam<BatchCase> {};

TEST_P(FillEmbeddings, EqualToOneLookupAtATimeAtEveryThreadCount) {
  const Embeddings e = load(GetParam().file());
  for (std::size_t n : {0u, 1u, 5u, 13u, 40u, 1000u}) {
    const std::vector<std::string> strings = queries(n, static_cast<std::uint32_t>(n));
    const std::vector<std::string_view> words(strings.begin(), strings.end());
    for (bool column_major : {false, true}) {
      // The reference: each string on its own into a row-major matrix; a row
      // without a vector is zero. A batch gives those bits whatever the
      // layout of its output.
      Output single = output(n, kDims, /*column_major=*/false);
      std::vector<char> single_found(n);
      for (std::size_t i = 0; i < n; ++i) {
        single_found[i] = e.fill_embedding(words[i], single.matrix.row(i));
        if (!single_found[i]) {
          for (std::size_t j = 0; j < kDims; ++j) single.matrix.row(i).set(j, 0.0f);
        }
      }
      std::size_t known = 0;
      for (char f : single_found) known += f;
      if (n >= 40) {
        EXPECT_GT(known, 0u);
        EXPECT_LT(known, n);  // both kinds in the batch
      }
      for (unsigned threads = 0; threads <= 8; ++threads) {
        SCOPED_TRACE(std::to_string(n) + " strings, " + std::to_string(threads) + " threads" +
                     (column_major ? ", column-major" : ""));
        Output batch = output(n, kDims, column_major);
        std::unique_ptr<bool[]> found(new bool[n + 1]);
        std::fill_n(found.get(), n + 1, !column_major);
        fill_embeddings(e, words, batch.matrix, found.get(), threads);
        for (std::size_t i = 0; i < n; ++i) {
          ASSERT_EQ(found[i], static_cast<bool>(single_found[i])) << "string " << i;
          ASSERT_EQ(row_bits(batch.matrix, i), row_bits(single.matrix, i))
              << "string " << i << " \"" << words[i] << "\"";
        }
        EXPECT_EQ(found[n], !column_major);  // nothing written past the batch
        EXPECT_EQ(batch.buf.back(), -1234.5f);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Files, FillEmbeddings,
                         testing::Values(BatchCase{"simple_dense", simple_dense_file},
                                         BatchCase{"subword_dense", subword_dense_file},
                                         BatchCase{"quantized", quantized_file}),
                         [](const testing::TestParamInfo<BatchCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace mave
