#include "importers/atomic_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace mave {

IoResult<AtomicOutput> AtomicOutput::create(const std::string& path, std::size_t buffer_bytes) {
  if (path.find('\0') != std::string::npos) {
    return IoError::message(ErrorKind::InvalidInput, IoMessage::NulInFileName);
  }
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::random_device random;
  for (int attempt = 0;; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
    std::string temporary = dir + "." + name + "." + suffix + ".tmp";
    int fd;
    // O_EXCL: never reuse a file someone else made; 0666 lets the umask decide.
    do fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      return AtomicOutput(path, std::move(temporary), File(fd), buffer_bytes);
    }
    if (errno != EEXIST || attempt == 100) return IoError::os(errno);
  }
}

AtomicOutput::AtomicOutput(AtomicOutput&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_(std::move(other.temporary_)),
      writer_(std::move(other.writer_)) {
  other.temporary_.clear();
}

AtomicOutput::~AtomicOutput() {
  if (temporary_.empty()) return;
  writer_.reset();  // closes the file (its last bytes no longer matter)
  ::unlink(temporary_.c_str());
}

IoStatus AtomicOutput::commit() {
  auto closed = writer_->close();
  if (!closed.ok()) return closed;
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) return IoError::os(errno);
  temporary_.clear();
  return {};
}

}  // namespace mave
