// The nearest-rows search against a brute-force scan of the rows as lookups
// give them, on dense and quantized files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "format/embeddings.hpp"
#include "search/nearest.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

using namespace test;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<std::string> words_of(std::size_t n) {
  std::vector<std::string> words;
  for (std::size_t i = 0; i < n; ++i) words.push_back("w" + std::to_string(i));
  return words;
}

// A simple vocabulary of w0, w1, ... over the rows of `matrix`.
std::string dense_file(std::size_t rows, std::uint32_t dims, const std::vector<float>& matrix) {
  Bytes f;
  header(f, {1, 2});
  simple_vocab(f, words_of(rows));
  nd_array(f, rows, dims, matrix);
  return f.str();
}

std::vector<float> gaussian(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> out(n);
  for (float& x : out) x = normal(rng);
  return out;
}

// Row r as the lookup of its word gives it (rebuilt and scaled, for a
// quantized matrix).
std::vector<float> row_of(const Embeddings& e, std::size_t r) {
  std::vector<float> row(e.dims());
  const bool found =
      e.fill_embedding("w" + std::to_string(r),
                       TargetView{reinterpret_cast<std::byte*>(row.data()), row.size(), sizeof(float)});
  EXPECT_TRUE(found) << r;
  return row;
}

// Cosines in double of the query with rows [0, n_rows); NaN where a row has
// no direction (zero or not finite).
std::vector<double> brute_cosines(const Embeddings& e, const std::vector<float>& query, std::size_t n_rows) {
  double query_length = 0;
  for (float q : query) query_length += double(q) * q;
  query_length = std::sqrt(query_length);
  std::vector<double> out;
  for (std::size_t r = 0; r < n_rows; ++r) {
    const std::vector<float> row = row_of(e, r);
    double dot = 0, length = 0;
    for (std::size_t j = 0; j < row.size(); ++j) {
      dot += double(row[j]) * query[j];
      length += double(row[j]) * row[j];
    }
    out.push_back(length > 0 && std::isfinite(length) && std::isfinite(dot)
                      ? dot / (std::sqrt(length) * query_length)
                      : std::nan(""));
  }
  return out;
}

// What a correct answer is, near ties allowed to fall either way: as many
// rows as there are candidates (up to k), best first, each with its own
// cosine, none excluded, and no row left out that beats the last one taken.
void expect_top_k(const std::vector<Neighbour>& got, const std::vector<double>& cosines, std::size_t k,
                  const std::vector<std::size_t>& exclude = {}) {
  constexpr double kTolerance = 1e-5;
  std::size_t candidates = 0;
  for (std::size_t r = 0; r < cosines.size(); ++r) {
    if (!std::isnan(cosines[r]) && std::find(exclude.begin(), exclude.end(), r) == exclude.end()) {
      ++candidates;
    }
  }
  ASSERT_EQ(got.size(), std::min(k, candidates));
  std::vector<bool> taken(cosines.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_LT(got[i].row, cosines.size());
    EXPECT_FALSE(taken[got[i].row]) << "row " << got[i].row << " twice";
    taken[got[i].row] = true;
    EXPECT_EQ(std::find(exclude.begin(), exclude.end(), got[i].row), exclude.end());
    EXPECT_NEAR(got[i].cosine, cosines[got[i].row], kTolerance) << "row " << got[i].row;
    if (i > 0) {
      EXPECT_GE(got[i - 1].cosine, got[i].cosine);
    }
  }
  if (got.empty()) return;
  for (std::size_t r = 0; r < cosines.size(); ++r) {
    if (taken[r] || std::isnan(cosines[r])) continue;
    if (std::find(exclude.begin(), exclude.end(), r) != exclude.end()) continue;
    EXPECT_LE(cosines[r], got.back().cosine + kTolerance) << "row " << r << " left out";
  }
}

std::vector<std::size_t> rows_of(const std::vector<Neighbour>& neighbours) {
  std::vector<std::size_t> rows;
  for (const Neighbour& n : neighbours) rows.push_back(n.row);
  return rows;
}

TEST(NearestDense, AgreesWithBruteForceOnRandomMatrices) {
  for (std::uint32_t dims : {1u, 7u, 8u, 20u, 67u}) {
    SCOPED_TRACE("dims " + std::to_string(dims));
    const std::size_t rows = 300;
    Embeddings e = load(dense_file(rows, dims, gaussian(rows * dims, dims)));
    NearestSearch search(e);
    for (std::uint32_t q = 0; q < 3; ++q) {
      const std::vector<float> query = gaussian(dims, 1000 + q);
      const std::vector<double> cosines = brute_cosines(e, query, rows);
      for (std::size_t k : {1u, 10u, 299u, 300u}) {
        for (unsigned threads : {0u, 1u, 3u}) {
          SCOPED_TRACE("k " + std::to_string(k) + ", threads " + std::to_string(threads));
          expect_top_k(search.nearest(query, rows, k, {}, threads), cosines, k);
        }
      }
    }
  }
}

// A dense file of `rows` Gaussian rows from `seed`, its search, and a
// Gaussian query from the next seed.
struct GaussianCase {
  GaussianCase(std::size_t n_rows, std::uint32_t dims, std::uint32_t seed)
      : rows(n_rows),
        e(load(dense_file(n_rows, dims, gaussian(n_rows * dims, seed)))),
        search(e),
        query(gaussian(dims, seed + 1)) {}

  std::size_t rows;
  Embeddings e;
  NearestSearch search;  // reads e, so it comes after it
  std::vector<float> query;
};

TEST(NearestDense, TheAnswerDoesNotDependOnTheThreads) {
  const GaussianCase c(5000, 16, 7);
  const std::vector<Neighbour> one = c.search.nearest(c.query, c.rows, 50, {}, 1);
  for (unsigned threads : {0u, 2u, 3u, 8u}) {
    const std::vector<Neighbour> many = c.search.nearest(c.query, c.rows, 50, {}, threads);
    ASSERT_EQ(rows_of(many), rows_of(one)) << threads << " threads";
    for (std::size_t i = 0; i < one.size(); ++i) EXPECT_EQ(many[i].cosine, one[i].cosine);
  }
}

// Small integers: every dot product and length is exact in float32, in any
// order of summation, so equal cosines are equal bit for bit.
std::vector<float> tie_matrix() {
  return {
      0,  1, 0,  // 0: cosine 0
      2,  0, 0,  // 1: cosine 1
      1,  1, 0,  // 2: cosine 1/sqrt(2)
      4,  0, 0,  // 3: cosine 1 (a longer copy of row 1)
      0,  0, 0,  // 4: no direction
      1,  0, 0,  // 5: cosine 1
      0,  3, 4,  // 6: cosine 0
      -1, 0, 0,  // 7: cosine -1
      1,  1, 0,  // 8: cosine 1/sqrt(2), as row 2
  };
}

TEST(NearestDense, EqualCosinesComeInRowOrder) {
  Embeddings e = load(dense_file(9, 3, tie_matrix()));
  NearestSearch search(e);
  const std::vector<float> query{5, 0, 0};
  for (unsigned threads : {1u, 2u, 4u}) {
    SCOPED_TRACE(threads);
    const std::vector<Neighbour> all = search.nearest(query, 9, 100, {}, threads);
    EXPECT_EQ(rows_of(all), (std::vector<std::size_t>{1, 3, 5, 2, 8, 0, 6, 7}));
    // k cuts through the group of ties: the first rows of it are kept.
    EXPECT_EQ(rows_of(search.nearest(query, 9, 2, {}, threads)), (std::vector<std::size_t>{1, 3}));
    EXPECT_EQ(rows_of(search.nearest(query, 9, 4, {}, threads)), (std::vector<std::size_t>{1, 3, 5, 2}));
    EXPECT_EQ(all[0].cosine, 1.0f);
    EXPECT_EQ(all[0].cosine, all[2].cosine);
    EXPECT_EQ(all[3].cosine, all[4].cosine);
    EXPECT_EQ(all.back().cosine, -1.0f);
  }
}

TEST(NearestDense, KLargerThanTheCandidatesGivesEveryCandidate) {
  Embeddings e = load(dense_file(9, 3, tie_matrix()));
  NearestSearch search(e);
  const std::vector<float> query{0, 1, 1};
  const std::vector<double> cosines = brute_cosines(e, query, 9);
  // Eight rows have a direction; the zero row never counts.
  expect_top_k(search.nearest(query, 9, 9, {}, 1), cosines, 9);
  expect_top_k(search.nearest(query, 9, 1000, {}, 1), cosines, 1000);
  EXPECT_EQ(search.nearest(query, 9, 1000, {}, 1).size(), 8u);
  EXPECT_TRUE(search.nearest(query, 9, 0, {}, 1).empty());
}

TEST(NearestDense, ExcludedRowsAreNeverAnswers) {
  const GaussianCase c(200, 12, 21);
  const std::vector<double> cosines = brute_cosines(c.e, c.query, c.rows);
  const std::vector<Neighbour> best = c.search.nearest(c.query, c.rows, 5, {}, 1);
  // The best rows left out, and rows that would not have been answers.
  std::vector<std::size_t> exclude{best[0].row, best[2].row, 199, 0, best[0].row};
  for (unsigned threads : {1u, 4u}) {
    const std::vector<Neighbour> got = c.search.nearest(c.query, c.rows, 5, exclude, threads);
    expect_top_k(got, cosines, 5, exclude);
    EXPECT_EQ(got[0].row, best[1].row);
  }
  // Every row excluded: nothing.
  std::vector<std::size_t> everything(c.rows);
  for (std::size_t r = 0; r < c.rows; ++r) everything[r] = r;
  EXPECT_TRUE(c.search.nearest(c.query, c.rows, 5, everything, 1).empty());
}

TEST(NearestDense, ZeroAndNaNRowsAreNeverAnswers) {
  std::vector<float> matrix = gaussian(20 * 4, 31);
  for (std::size_t r : {0u, 7u, 19u}) std::fill_n(matrix.begin() + r * 4, 4, 0.0f);
  matrix[3 * 4 + 1] = kNaN;
  matrix[11 * 4 + 0] = std::numeric_limits<float>::infinity();
  Embeddings e = load(dense_file(20, 4, matrix));
  NearestSearch search(e);
  for (std::uint32_t q = 0; q < 5; ++q) {
    const std::vector<float> query = gaussian(4, 40 + q);
    const std::vector<Neighbour> all = search.nearest(query, 20, 20, {}, 2);
    EXPECT_EQ(all.size(), 15u);
    const std::vector<std::size_t> rows = rows_of(all);
    for (std::size_t bad : {0u, 3u, 7u, 11u, 19u}) {
      EXPECT_EQ(std::count(rows.begin(), rows.end(), bad), 0) << bad;
    }
    expect_top_k(all, brute_cosines(e, query, 20), 20);
  }
}

// Rows so short or long that float32 cannot scale them (subnormal values,
// values near the largest float) once scored infinite and ranked first.
TEST(NearestDense, RowsFloat32CannotScaleAreNeverAnswers) {
  std::vector<float> matrix = gaussian(12 * 4, 33);
  std::fill_n(matrix.begin() + 2 * 4, 4, 1e-42f);
  std::fill_n(matrix.begin() + 5 * 4, 4, 0.0f);
  matrix[5 * 4] = 1e-40f;
  std::fill_n(matrix.begin() + 8 * 4, 4, 3e38f);
  Embeddings e = load(dense_file(12, 4, matrix));
  NearestSearch search(e);
  for (const std::vector<float>& query :
       std::vector<std::vector<float>>{{1, 1, 1, 1}, {1, 0, 0, 0}, {-1, 2, 0.5f, 1}}) {
    const std::vector<Neighbour> all = search.nearest(query, 12, 12, {}, 1);
    const std::vector<std::size_t> rows = rows_of(all);
    EXPECT_EQ(all.size(), 9u);
    for (std::size_t bad : {2u, 5u, 8u}) EXPECT_EQ(std::count(rows.begin(), rows.end(), bad), 0);
    for (const Neighbour& n : all) EXPECT_LE(std::fabs(n.cosine), 1.0f + 1e-6f);
  }
}

// Questions naming shared terms by number (as an evaluation's questions
// share their words) get the answers of the same questions given their
// terms one after the other: the same rows, scores equal to rounding.
TEST(NearestDense, SharedTermsAnswerAsConsecutiveOnes) {
  const std::size_t rows = 700, dims = 16;
  Embeddings e = load(dense_file(rows, dims, gaussian(rows * dims, 61)));
  NearestSearch search(e);
  const std::vector<float> distinct = gaussian(5 * dims, 62);
  const std::uint32_t term_of[] = {0, 1, 2, 1, 0, 3, 4, 2, 0, 1, 3, 2};
  const std::uint32_t positive[] = {2, 2, 1, 1, 3}, negative[] = {1, 1, 1, 0, 0};
  std::vector<float> consecutive;
  for (std::uint32_t t : term_of) {
    consecutive.insert(consecutive.end(), distinct.begin() + t * dims, distinct.begin() + (t + 1) * dims);
  }
  const std::size_t exclude[] = {1, 2, 3, 5, 8}, offsets[] = {0, 2, 2, 3, 5, 5};
  for (Objective objective : {Objective::Cosine, Objective::CosMul}) {
    for (unsigned threads : {1u, 2u}) {
      const SearchOptions options{9, 600, {}, objective, threads};
      std::vector<std::int64_t> want_rows(5 * 9), got_rows(5 * 9);
      std::vector<float> want(5 * 9), got(5 * 9);
      search.search({consecutive, positive, negative, exclude, offsets, {}}, options, want_rows.data(),
                    want.data());
      search.search({distinct, positive, negative, exclude, offsets, term_of}, options, got_rows.data(),
                    got.data());
      for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_GE(got_rows[i], 0);
        EXPECT_NEAR(got[i], want[i], 1e-6f * (1 + std::fabs(want[i])));
        // Rows may trade places only with a neighbour of (nearly) equal score.
        const bool tie = (i % 9 > 0 && std::fabs(got[i] - got[i - 1]) < 1e-5f) ||
                         (i % 9 < 8 && std::fabs(got[i] - got[i + 1]) < 1e-5f);
        if (!tie) {
          EXPECT_EQ(got_rows[i], want_rows[i]);
        }
      }
    }
  }
  // A shared term beyond the terms is refused.
  const std::uint32_t beyond[] = {0, 1, 5};
  std::vector<std::int64_t> rows_out(9);
  std::vector<float> scores_out(9);
  EXPECT_THROW(search.search({distinct, {positive, 1}, {negative, 1}, {}, {}, beyond}, {9, 600, {}},
                             rows_out.data(), scores_out.data()),
               Panic);
}

// Arguments that contradict each other fail as the caller's fault, with a
// kind of their own that says which, never as a damaged file.
TEST(NearestDense, ContradictingArgumentsFailAsSuch) {
  Embeddings e = load(dense_file(9, 3, tie_matrix()));
  NearestSearch search(e);
  const std::vector<float> two_terms = {1, 0, 0, 0, 1, 0};
  const std::uint32_t zero[] = {0}, one[] = {1}, two[] = {2}, ones[] = {1, 1};
  const std::size_t exclude[] = {1, 2}, bad_offsets[] = {0, 2, 1}, short_offsets[] = {0, 1};
  const std::uint8_t few_flags[] = {1, 1};
  std::vector<std::int64_t> rows(20);
  std::vector<float> scores(20);
  struct Case {
    const char* name;
    Questions questions;
    SearchOptions options;
  };
  const std::vector<float> not_whole = {1, 0, 0, 1};
  const Case cases[] = {
      {"terms are not whole vectors", {not_whole, {}, {}, {}, {}, {}}, {2, 9, {}}},
      {"the positive and negative counts differ", {two_terms, ones, one, {}, {}, {}}, {2, 9, {}}},
      // More terms named than given, and fewer.
      {"the term counts do not add up to the terms", {two_terms, two, one, {}, {}, {}}, {2, 9, {}}},
      {"the term counts do not add up to the terms", {two_terms, one, zero, {}, {}, {}}, {2, 9, {}}},
      {"the exclusion offsets do not fit the questions",
       {two_terms, {}, {}, exclude, bad_offsets, {}},
       {2, 9, {}}},
      {"the exclusion offsets do not fit the questions",
       {two_terms, {}, {}, exclude, short_offsets, {}},
       {2, 9, {}}},
      {"allowed flags too few", {two_terms, {}, {}, {}, {}, {}}, {2, 9, few_flags}},
      {"shared terms without counts", {two_terms, {}, {}, {}, {}, one}, {2, 9, {}}},
      {"a shared term beyond the terms", {two_terms, one, zero, {}, {}, two}, {2, 9, {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      search.search(c.questions, c.options, rows.data(), scores.data());
      ADD_FAILURE() << "accepted";
    } catch (const Panic& failure) {
      EXPECT_EQ(failure.kind(), PanicKind::BadSearchArguments);
      EXPECT_EQ(failure.facts().detail, c.name);
    }
    // The same words from the check the bindings make where questions enter.
    if (c.options.allowed.empty() && c.questions.terms.size() % 3 == 0) {
      EXPECT_STREQ(contradiction(c.questions, c.questions.terms.size() / 3), c.name);
    }
  }
  // Consistent ones are answered.
  const std::uint32_t none[] = {0, 0};
  const std::size_t offsets[] = {0, 1, 2};
  search.search({two_terms, ones, none, exclude, offsets, {}}, {2, 9, {}}, rows.data(), scores.data());
  EXPECT_GE(rows[0], 0);
  EXPECT_GE(rows[2], 0);
}

TEST(NearestDense, AQueryWithoutDirectionHasNoNeighbours) {
  Embeddings e = load(dense_file(9, 3, tie_matrix()));
  NearestSearch search(e);
  for (const std::vector<float>& query : std::vector<std::vector<float>>{
           {0, 0, 0}, {kNaN, 1, 0}, {std::numeric_limits<float>::infinity(), 0, 0}}) {
    EXPECT_TRUE(search.nearest(query, 9, 5, {}, 1).empty());
  }
}

TEST(NearestDense, OnlyTheFirstRowsAreSearched) {
  const GaussianCase c(100, 6, 51);
  for (std::size_t n_rows : {0u, 1u, 10u, 64u, 100u, 1000u}) {
    SCOPED_TRACE(n_rows);
    const std::size_t scanned = std::min(n_rows, c.rows);
    const std::vector<Neighbour> got = c.search.nearest(c.query, n_rows, 500, {}, 2);
    EXPECT_EQ(got.size(), scanned);
    expect_top_k(got, brute_cosines(c.e, c.query, scanned), 500);
  }
}

// --- Quantized files -----------------------------------------------------------

struct QuantizedCase {
  const char* name;
  bool projection;  // a random (not length-keeping) projection
  bool rotation;    // a permutation with signs: keeps lengths
  bool norms;       // stored norms, some negative, one zero
};

std::string quantized_name(const testing::TestParamInfo<QuantizedCase>& info) { return info.param.name; }

class NearestQuantized : public testing::TestWithParam<QuantizedCase> {};

TEST_P(NearestQuantized, AgreesWithBruteForceOverTheRebuiltRows) {
  const QuantizedCase& c = GetParam();
  const std::uint32_t n_sub = 4, sub_len = 3, dims = n_sub * sub_len, n_centroids = 16;
  const std::size_t rows = 400;
  std::mt19937 rng(61);
  std::vector<std::uint8_t> codes(rows * n_sub);
  for (std::uint8_t& code : codes) code = static_cast<std::uint8_t>(rng() % n_centroids);
  std::vector<float> projection;
  if (c.projection) projection = gaussian(dims * dims, 62);
  if (c.rotation) {
    projection.assign(dims * dims, 0.0f);
    for (std::size_t i = 0; i < dims; ++i) projection[i * dims + (i * 5 + 3) % dims] = i % 3 ? 1.0f : -1.0f;
  }
  std::vector<float> row_norms;
  if (c.norms) {
    row_norms = gaussian(rows, 63);
    row_norms[17] = 0.0f;
  }
  Bytes f;
  header(f, {1, 4});
  simple_vocab(f, words_of(rows));
  quantized_array(f, n_sub, dims, n_centroids, gaussian(n_sub * n_centroids * sub_len, 64), codes, projection,
                  row_norms);
  Embeddings e = load(f.str());
  NearestSearch search(e);
  for (std::uint32_t q = 0; q < 4; ++q) {
    const std::vector<float> query = gaussian(dims, 70 + q);
    const std::vector<double> cosines = brute_cosines(e, query, rows);
    for (std::size_t k : {1u, 10u, 400u}) {
      for (unsigned threads : {1u, 3u}) {
        SCOPED_TRACE("k " + std::to_string(k) + ", threads " + std::to_string(threads));
        const std::vector<Neighbour> got = search.nearest(query, rows, k, {}, threads);
        expect_top_k(got, cosines, k);
        const std::vector<std::size_t> got_rows = rows_of(got);
        if (c.norms) {
          EXPECT_EQ(std::count(got_rows.begin(), got_rows.end(), 17u), 0);
        }
      }
    }
    const std::vector<std::size_t> exclude{search.nearest(query, rows, 1, {}, 1)[0].row, 5};
    expect_top_k(search.nearest(query, rows, 10, exclude, 2), cosines, 10, exclude);
    expect_top_k(search.nearest(query, 50, 10, {}, 2), brute_cosines(e, query, 50), 10);
  }
}

INSTANTIATE_TEST_SUITE_P(Storage, NearestQuantized,
                         testing::Values(QuantizedCase{"plain", false, false, false},
                                         QuantizedCase{"norms", false, false, true},
                                         QuantizedCase{"projection", true, false, false},
                                         QuantizedCase{"projection_norms", true, false, true},
                                         QuantizedCase{"rotation_norms", false, true, true}),
                         quantized_name);

TEST(NearestQuantizedTies, EqualCodesComeInRowOrder) {
  // Rows 2, 5 and 6 share their codes, so their cosines are one number.
  const std::uint32_t n_sub = 2, dims = 4, n_centroids = 3;
  const std::vector<std::uint8_t> codes{0, 1, 1, 2, 2, 2, 0, 0, 1, 1, 2, 2, 2, 2, 1, 0};
  Bytes f;
  header(f, {1, 4});
  simple_vocab(f, words_of(8));
  quantized_array(f, n_sub, dims, n_centroids, gaussian(n_sub * n_centroids * 2, 81), codes);
  Embeddings e = load(f.str());
  NearestSearch search(e);
  const std::vector<float> query = row_of(e, 2);
  const std::vector<std::size_t> first{2};
  for (unsigned threads : {1u, 3u}) {
    const std::vector<Neighbour> got = search.nearest(query, 8, 3, {}, threads);
    EXPECT_EQ(rows_of(got), (std::vector<std::size_t>{2, 5, 6}));
    EXPECT_EQ(rows_of(search.nearest(query, 8, 2, first, threads)), (std::vector<std::size_t>{5, 6}));
  }
}

}  // namespace
}  // namespace mave
