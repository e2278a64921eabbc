// Files, the buffered reader and writer, and read-only memory mappings.
//
// Every count read from a file is untrusted: `ByteSource::remaining()` tells how
// many bytes a regular file still holds, so that readers never allocate more
// than the file could fill.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace mave {

// The buffer size of the readers of embedding files: small, as loading a
// file reads its header and vocabulary and seeks past the matrix it maps.
inline constexpr std::size_t kStreamBufferBytes = 8192;
// The buffer size of every writer: a file goes out in blocks this large
// (a few hundred system calls for a model of a few hundred megabytes).
inline constexpr std::size_t kWriteBufferBytes = std::size_t{1} << 20;

class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Every file is opened here: a path holding a NUL is refused (the system
  // would read a shorter one), an interrupted open is retried, and the
  // descriptor is not inherited by child processes.
  static IoResult<File> open(const std::string& path, int flags, unsigned mode = 0);
  static IoResult<File> open_read(const std::string& path);
  // Creates the file if missing, truncates it if present.
  static IoResult<File> create(const std::string& path);

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Size of a regular file; none for pipes, terminals and other streams.
  std::optional<std::uint64_t> regular_size() const;
  IoStatus close();

 private:
  int fd_ = -1;
};

// Bytes produced from another stream, such as a decompressor over a file.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to n bytes into dst; 0 only at the end of the stream.
  virtual IoResult<std::size_t> read(void* dst, std::size_t n) = 0;
  // Bytes taken from the underlying file so far, for progress reports.
  virtual std::uint64_t consumed() const = 0;
};

// Buffered reader over a file or a byte source, with logical positions and
// seeks. Over a source it only reads forward: positions count the source's
// bytes, and its size is unknown.
class BufferedReader {
 public:
  explicit BufferedReader(File file, std::size_t capacity = kStreamBufferBytes);
  // `input_size` is the size of what the source reads (a compressed file),
  // the total of progress reports.
  BufferedReader(std::unique_ptr<ByteSource> source, std::optional<std::uint64_t> input_size,
                 std::size_t capacity = kStreamBufferBytes);

  // Reads exactly n bytes; a short file gives UnexpectedEof.
  IoStatus read_exact(void* dst, std::size_t n);
  // Reads up to n bytes, fewer only at the end of the stream; returns how many.
  IoResult<std::size_t> read_up_to(void* dst, std::size_t n);
  // Appends bytes up to and including `delim` (or to the end of the stream,
  // or until `max` bytes were appended).
  IoResult<std::size_t> read_until(unsigned char delim, std::string& out, std::size_t max = SIZE_MAX);

  IoResult<std::uint64_t> position() const;
  // The file offset of the next byte to read, for error facts.
  std::uint64_t offset() const { return file_offset_ - buffered(); }
  IoResult<std::uint64_t> seek_to(std::uint64_t offset);
  IoResult<std::uint64_t> seek_relative(std::int64_t delta);

  // Bytes left between the position and the end of a regular file; none when
  // the size is unknown.
  std::optional<std::uint64_t> remaining() const;

  // The bytes already read from the file and not yet consumed, for parsers
  // that take small items straight from the buffer; consume(n) takes n of
  // them (n at most their count).
  std::span<const unsigned char> buffered_bytes() const { return {buf_.get() + pos_, buffered()}; }
  void consume(std::size_t n) { pos_ += n; }

  const File& file() const { return file_; }
  File into_file() { return std::move(file_); }

  // Progress in bytes of the input: the file's, or what the source took of
  // its file; and the input's size when known.
  std::uint64_t input_consumed() const;
  std::optional<std::uint64_t> input_size() const { return source_ ? input_size_ : size_; }

 private:
  IoResult<std::size_t> fill();
  // One read from the file or the source.
  IoResult<std::size_t> read_some(void* dst, std::size_t n);
  std::size_t buffered() const { return end_ - pos_; }

  File file_;
  std::unique_ptr<unsigned char[]> buf_;
  std::size_t capacity_;
  std::size_t pos_ = 0, end_ = 0;
  std::uint64_t file_offset_ = 0;  // file offset of buf_[end_]
  std::optional<std::uint64_t> size_;
  std::unique_ptr<ByteSource> source_;
  std::optional<std::uint64_t> input_size_;
};

// Writes all n bytes to the descriptor, in as many write calls as it takes
// (retrying interrupted ones); WriteZero when the descriptor takes none.
IoStatus write_all_to(int fd, const void* src, std::size_t n);

// The one buffered output of every file the core writes. Writes of at
// least a buffer's size go out directly, without a copy.
class BufferedWriter {
 public:
  explicit BufferedWriter(File file, std::size_t capacity = kWriteBufferBytes);
  ~BufferedWriter();  // best-effort flush, errors ignored; call close() to see them

  IoStatus write_all(const void* src, std::size_t n);
  // Flushes first, so the position is the true file offset.
  IoResult<std::uint64_t> position();
  IoStatus flush();
  // Flushes, then waits until the file's data is on the storage device.
  IoStatus sync();
  // Writes out the buffer and closes the file.
  IoStatus close();

 private:
  File file_;
  std::unique_ptr<unsigned char[]> buf_;
  std::size_t capacity_;
  std::size_t len_ = 0;
};

// Asks the kernel to back the whole 2 MiB pages inside [p, p + n) with huge
// pages (Linux transparent huge pages), before the memory is first touched:
// filling a large buffer then takes far fewer page faults, and reading it at
// random far fewer TLB misses. Only a hint; nothing changes where it is not
// supported.
void advise_huge_pages(void* p, std::size_t n);

// A read-only mapping of exactly [offset, offset + length) of a file. It stays
// valid after the file is closed, until it is destroyed.
class Mapping {
 public:
  Mapping() = default;
  Mapping(Mapping&& other) noexcept;
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  // The range is checked against the file's size first: mapping past the end
  // succeeds at the OS level but touching those pages kills the process.
  static IoResult<Mapping> map(const File& file, std::uint64_t offset, std::uint64_t length);

  const std::byte* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  void* base_ = nullptr;
  std::size_t base_len_ = 0;
  // Inside the mapping at base_, which lives exactly as long as this object.
  const std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace mave
