#include "search/blas.hpp"

#include <dlfcn.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <mutex>

namespace mave::blas {
namespace {

// scipy-openblas32's routines as its cblas.h declares them: LP64 (the 32 of
// its name), so every dimension is an int; the enumerations are passed as
// ints and their values are fixed by the CBLAS standard. Declared here so
// that building needs neither the library nor its headers.
using Int = int;
constexpr int kRowMajor = 101;
constexpr int kNoTrans = 111;
constexpr int kTrans = 112;
using Sgemm = void (*)(int order, int trans_a, int trans_b, Int m, Int n, Int k, float alpha, const float* a,
                       Int lda, const float* b, Int ldb, float beta, float* c, Int ldc);
using SetNumThreads = void (*)(int threads);

// The routines of the loaded library: set once, never unloaded, read without
// a lock by every search thread.
std::atomic<Sgemm> g_sgemm{nullptr};
std::mutex g_load_mutex;

std::string loader_error(const std::string& path, const char* what) {
  const char* why = dlerror();
  return why != nullptr ? std::string(why) : path + ": " + what;
}

Int checked(std::size_t n) {
  // A dimension beyond the BLAS's int cannot be multiplied.
  check_index(n, std::uint64_t{INT_MAX} + 1);
  return static_cast<Int>(n);
}

}  // namespace

Result<void, std::string> load(const std::string& path) {
  const std::lock_guard<std::mutex> lock(g_load_mutex);
  // Local: the library's symbols stay out of the process's namespace, where
  // they would stand in for a copy SciPy or another package carries.
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return loader_error(path, "cannot be loaded");
  auto sgemm = reinterpret_cast<Sgemm>(dlsym(library, "scipy_cblas_sgemm"));
  auto set_threads = reinterpret_cast<SetNumThreads>(dlsym(library, "scipy_openblas_set_num_threads"));
  if (sgemm == nullptr || set_threads == nullptr) {
    std::string why = path + ": not scipy-openblas32's OpenBLAS (it lacks " +
                      (sgemm == nullptr ? "scipy_cblas_sgemm" : "scipy_openblas_set_num_threads") + ")";
    dlclose(library);
    return why;
  }
  if (g_sgemm.load(std::memory_order_acquire) != nullptr) {
    // Already served by the first library (the same one, when the path is).
    dlclose(library);
    return {};
  }
  // The search runs one product per thread of its own; OpenBLAS's pool on
  // top would oversubscribe the cores. The setting is this library's only
  // (NumPy and SciPy carry their own copies).
  set_threads(1);
  g_sgemm.store(sgemm, std::memory_order_release);
  return {};
}

bool loaded() { return g_sgemm.load(std::memory_order_acquire) != nullptr; }

void multiply_transposed(const float* a, std::size_t lda, const float* b, std::size_t ldb, float* c,
                         std::size_t ldc, std::size_t m, std::size_t n, std::size_t k) {
  const Sgemm sgemm = g_sgemm.load(std::memory_order_acquire);
  if (sgemm == nullptr) [[unlikely]]
    panic(PanicKind::BlasUnavailable);
  sgemm(kRowMajor, kNoTrans, kTrans, checked(m), checked(n), checked(k), 1.0f, a, checked(lda), b,
        checked(ldb), 0.0f, c, checked(ldc));
}

}  // namespace mave::blas
