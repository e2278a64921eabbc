#include "convert/atomic_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace mave {

IoResult<AtomicOutput> AtomicOutput::create(const std::string& path, Durability durability) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::random_device random;
  for (int attempt = 0;; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
    std::string temporary = dir + "." + name + "." + suffix + ".tmp";
    // O_EXCL: never reuse a file someone else made; 0666 lets the umask decide.
    auto file = File::open(temporary, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (file.ok()) {
      return AtomicOutput(path, std::move(temporary), std::move(file).value(), durability);
    }
    const IoError& error = file.error();
    if (error.repr() != IoError::Repr::Os || error.code() != EEXIST || attempt == 100) {
      return std::move(file).error();
    }
  }
}

AtomicOutput::AtomicOutput(AtomicOutput&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_(std::move(other.temporary_)),
      writer_(std::move(other.writer_)),
      durability_(other.durability_) {
  other.temporary_.clear();
}

AtomicOutput::~AtomicOutput() {
  if (temporary_.empty()) return;
  writer_.reset();  // closes the file (its last bytes no longer matter)
  ::unlink(temporary_.c_str());
}

IoStatus AtomicOutput::commit() {
  if (durability_ == Durability::Synced) MAVE_TRY(writer_->sync());
  MAVE_TRY(writer_->close());
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) return IoError::os(errno);
  temporary_.clear();
  return {};
}

}  // namespace mave
