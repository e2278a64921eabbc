#include "python/helpers/stdout.hpp"

#include <unistd.h>

#include <mutex>

#include "base/io.hpp"

namespace mave::py {
namespace {

std::mutex g_stdout_lock;

// Pinned: docs/compatibility.md (fd 1, one write per line)
IoStatus write_stdout(std::string_view line) {
  std::lock_guard<std::mutex> hold(g_stdout_lock);
  return write_all_to(STDOUT_FILENO, line.data(), line.size());
}

}  // namespace

void print_stdout(std::string_view line) {
  IoStatus written = write_stdout(line);
  if (!written.ok()) panic(PanicKind::StdoutFailed, PanicFacts::of(written.error()));
}

}  // namespace mave::py
