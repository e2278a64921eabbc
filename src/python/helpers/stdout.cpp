#include "python/helpers/stdout.hpp"

#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace mave::py {
namespace {

std::mutex g_stdout_lock;

// Pinned: docs/compatibility.md (fd 1, one write per line)
IoStatus write_stdout(std::string_view line) {
  std::lock_guard<std::mutex> hold(g_stdout_lock);
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDOUT_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return IoError::os(errno);
    }
    if (n == 0) return IoError::write_zero();
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace

void print_stdout(std::string_view line) {
  IoStatus written = write_stdout(line);
  if (!written.ok()) panic(PanicKind::StdoutFailed, PanicFacts::of(written.error()));
}

}  // namespace mave::py
