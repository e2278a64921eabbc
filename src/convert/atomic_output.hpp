// An output file that appears at its path only when it is complete: the
// bytes go to a new file beside it (same directory, so the same file system)
// and are renamed over the path by commit(). Until then an existing file at
// the path is untouched (a reader that has it mapped keeps its contents),
// and a failure leaves nothing behind: the destructor removes the temporary
// file, also when an exception (Ctrl-C met in a progress callback) unwinds
// through the writing.
#pragma once

#include <memory>
#include <string>

#include "base/error.hpp"
#include "base/io.hpp"

namespace mave {

// Whether commit() waits for the data to reach the storage device before the
// rename, so that a crash cannot leave a file of the new name with missing
// data. Files only read back at once (temporaries) need not.
enum class Durability { Cached, Synced };

class AtomicOutput {
 public:
  // Creates the temporary file "<dir>/.<name>.<random>.tmp" with the
  // permissions a new file gets (0666 less the umask).
  static IoResult<AtomicOutput> create(const std::string& path, Durability durability);

  // Moving leaves `other` owning nothing.
  AtomicOutput(AtomicOutput&& other) noexcept;
  AtomicOutput& operator=(AtomicOutput&&) = delete;
  AtomicOutput(const AtomicOutput&) = delete;
  ~AtomicOutput();  // removes the temporary file unless committed

  BufferedWriter& writer() { return *writer_; }
  // Writes out the buffer (and syncs it when asked), closes the file and
  // renames it to the path.
  IoStatus commit();

 private:
  AtomicOutput(std::string path, std::string temporary, File file, Durability durability)
      : path_(std::move(path)),
        temporary_(std::move(temporary)),
        writer_(std::make_unique<BufferedWriter>(std::move(file))),
        durability_(durability) {}

  std::string path_;
  std::string temporary_;  // empty once committed or moved from
  std::unique_ptr<BufferedWriter> writer_;
  Durability durability_;
};

}  // namespace mave
