#include "search/blas.hpp"

#include <climits>
#include <cstdint>

#include <cblas.h>

#include "base/error.hpp"

namespace mave::blas {
namespace {

blasint checked(std::size_t n) {
  // A dimension beyond the BLAS's int cannot be multiplied.
  check_index(n, std::uint64_t{INT_MAX} + 1);
  return static_cast<blasint>(n);
}

}  // namespace

void multiply_transposed(const float* a, std::size_t lda, const float* b, std::size_t ldb,
                         float* c, std::size_t ldc, std::size_t m, std::size_t n, std::size_t k) {
  // The search runs one product per thread of its own; OpenBLAS's pool on
  // top would oversubscribe the cores. The setting is for this library's
  // instance only (NumPy and SciPy carry their own).
  static const bool single = (scipy_openblas_set_num_threads(1), true);
  (void)single;
  scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, checked(m), checked(n), checked(k),
                    1.0f, a, checked(lda), b, checked(ldb), 0.0f, c, checked(ldc));
}

}  // namespace mave::blas
