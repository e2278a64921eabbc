// The one BLAS routine the search needs, kept behind this header so that the
// rest of the search does not depend on which BLAS is linked (OpenBLAS, from
// the scipy-openblas32 build, whose symbols carry a scipy_ prefix).
#pragma once

#include <cstddef>

namespace mave::blas {

// c (m x n, row stride ldc) = a (m x k, row stride lda) times the transpose
// of b (n x k, row stride ldb), in float32, all row-major. Runs on the
// calling thread only: the search spreads its own work over threads.
void multiply_transposed(const float* a, std::size_t lda, const float* b, std::size_t ldb,
                         float* c, std::size_t ldc, std::size_t m, std::size_t n, std::size_t k);

}  // namespace mave::blas
