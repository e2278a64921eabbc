// The one BLAS routine the search needs, kept behind this header so that the
// rest of the search does not depend on which BLAS serves it: OpenBLAS as the
// scipy-openblas32 package ships it (its symbols carry a scipy_ prefix, so it
// never meets another BLAS in the process), loaded by path at run time rather
// than linked. A linked library would have to be found again wherever the
// extension is installed, from a path that held only on the build machine or
// from a copy bundled in a wheel; loaded, it is the one the installed
// scipy-openblas32 package holds, whichever way mave was built.
#pragma once

#include <cstddef>
#include <string>

#include "base/error.hpp"

namespace mave::blas {

// Loads the library at `path` (scipy-openblas32's libscipy_openblas), checks
// that it has the routines the search calls, and sets its own thread pool to
// one thread (the search spreads its work over threads of its own). The first
// library that passes serves the search for the life of the process: a later
// call only checks its path. The error is why the library cannot be used, in
// the system loader's words. Safe to call from any thread.
Result<void, std::string> load(const std::string& path);

// Whether a library has been loaded.
bool loaded();

// c (m x n, row stride ldc) = a (m x k, row stride lda) times the transpose
// of b (n x k, row stride ldb), in float32, all row-major. Runs on the
// calling thread only. Panics (BlasUnavailable) when no library is loaded,
// and (IndexOutOfBounds) when a dimension is beyond the BLAS's int.
void multiply_transposed(const float* a, std::size_t lda, const float* b, std::size_t ldb, float* c,
                         std::size_t ldc, std::size_t m, std::size_t n, std::size_t k);

}  // namespace mave::blas
