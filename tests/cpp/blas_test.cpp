// The search's BLAS, loaded by path at run time: loaded here before any test
// runs (as the package loads it when imported), what loading a library that
// cannot serve reports, and the product against a double-precision one.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "search/blas.hpp"

namespace mave {
namespace {

class BlasEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    auto loaded = blas::load(MAVE_OPENBLAS_LIBRARY);
    ASSERT_TRUE(loaded.ok()) << loaded.error();
  }
};

// Registered before main runs: the search tests multiply through it.
[[maybe_unused]] ::testing::Environment* const g_blas =
    ::testing::AddGlobalTestEnvironment(new BlasEnvironment);

struct Unusable {
  std::string path;
  std::string why;  // a part of the error
};

class BlasLoadFailure : public ::testing::TestWithParam<Unusable> {};

TEST_P(BlasLoadFailure, NamesTheLibraryAndKeepsTheLoadedOne) {
  const Unusable& u = GetParam();
  auto loaded = blas::load(u.path);
  ASSERT_FALSE(loaded.ok());
  EXPECT_NE(loaded.error().find(u.path), std::string::npos) << loaded.error();
  EXPECT_NE(loaded.error().find(u.why), std::string::npos) << loaded.error();
  // The library loaded first still serves.
  EXPECT_TRUE(blas::loaded());
  const float a[2] = {1, 2}, b[2] = {3, 4};
  float c = 0;
  blas::multiply_transposed(a, 2, b, 2, &c, 1, 1, 1, 2);
  EXPECT_EQ(c, 11.0f);
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, BlasLoadFailure,
    ::testing::Values(Unusable{std::string(MAVE_TEST_DATA_DIR) + "/no-such-library.so", "No such file"},
                      // A file that is not a shared library at all.
                      Unusable{std::string(MAVE_TEST_DATA_DIR) + "/fasttext/demo-skipgram.bin", "ELF"},
                      // A shared library without OpenBLAS's routines (the C library's maths).
                      Unusable{"libm.so.6", "lacks scipy_cblas_sgemm"}));

TEST(Blas, LoadingTheSameLibraryAgainIsHarmless) {
  EXPECT_TRUE(blas::load(MAVE_OPENBLAS_LIBRARY).ok());
  EXPECT_TRUE(blas::loaded());
}

TEST(Blas, MultipliesByTheTransposeWithRowStrides) {
  // a: 3 x 5 in rows of 7, b: 4 x 5 in rows of 6, c: 3 x 4 in rows of 9;
  // the padding must be neither read into the products nor written.
  constexpr std::size_t m = 3, n = 4, k = 5, lda = 7, ldb = 6, ldc = 9;
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> small(-8, 8);
  std::vector<float> a(m * lda, NAN), b(n * ldb, NAN), c(m * ldc, -1.0f);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < k; ++j) a[i * lda + j] = static_cast<float>(small(rng));
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < k; ++j) b[i * ldb + j] = static_cast<float>(small(rng));
  blas::multiply_transposed(a.data(), lda, b.data(), ldb, c.data(), ldc, m, n, k);
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < ldc; ++j) {
      if (j >= n) {
        EXPECT_EQ(c[i * ldc + j], -1.0f) << i << "," << j;
        continue;
      }
      // Small integers: every product and sum is exact in float32.
      double expected = 0;
      for (std::size_t l = 0; l < k; ++l) expected += double(a[i * lda + l]) * b[j * ldb + l];
      EXPECT_EQ(c[i * ldc + j], static_cast<float>(expected)) << i << "," << j;
    }
  }
}

}  // namespace
}  // namespace mave
