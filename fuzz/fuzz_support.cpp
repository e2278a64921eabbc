#include "fuzz_support.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "python/_mave/pinned_texts.hpp"
#include "python/native/messages.hpp"

#include "base/error.hpp"
#include "search/blas.hpp"

namespace mave::fuzz {
namespace {

// The search's OpenBLAS, loaded before the first input as the package loads
// it when imported (every target links this file).
[[maybe_unused]] const bool g_blas_loaded = [] {
  auto loaded = blas::load(MAVE_OPENBLAS_LIBRARY);
  if (!loaded) std::fprintf(stderr, "fuzz: %s\n", loaded.error().c_str());
  require(loaded.ok(), "the search's OpenBLAS cannot be loaded");
  return true;
}();

}  // namespace

File empty_memory_file() {
  int fd = ::memfd_create("mave-fuzz", MFD_CLOEXEC);
  require(fd >= 0, "memfd_create failed");
  return File(fd);
}

File memory_file(const std::uint8_t* data, std::size_t size) {
  File file = empty_memory_file();
  while (size > 0) {
    ssize_t n = ::write(file.fd(), data, size);
    if (n < 0 && errno == EINTR) continue;
    require(n > 0, "writing the input to the memory file failed");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  require(::lseek(file.fd(), 0, SEEK_SET) == 0, "rewinding the memory file failed");
  return file;
}

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

bool renders(const EmbeddingsError& error) {
  return !pinned::debug(error).empty() && !pinned::display(error).empty() &&
         !messages::reason(error).text.empty();
}

}  // namespace mave::fuzz
