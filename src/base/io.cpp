#include "base/io.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

namespace mave {

namespace {

// Pinned: docs/compatibility.md
IoError invalid_seek() { return IoError::message(ErrorKind::InvalidInput, IoMessage::InvalidSeek); }

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

IoResult<File> File::open(const std::string& path, int flags, unsigned mode) {
  if (path.find('\0') != std::string::npos) {
    // Pinned: docs/compatibility.md (the kind; the message is rendered by the bindings)
    return IoError::message(ErrorKind::InvalidInput, IoMessage::NulInFileName);
  }
  int fd;
  do fd = ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError::os(errno);
  return File(fd);
}

IoResult<File> File::open_read(const std::string& path) { return open(path, O_RDONLY); }

IoResult<File> File::create(const std::string& path) {
  return open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
}

std::optional<std::uint64_t> File::regular_size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

IoStatus File::close() {
  int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return IoError::os(errno);
  return {};
}

// ---------------------------------------------------------------------------

BufferedReader::BufferedReader(File file, std::size_t capacity)
    : file_(std::move(file)),
      buf_(new unsigned char[capacity]),
      capacity_(capacity),
      size_(file_.regular_size()) {
  off_t off = ::lseek(file_.fd(), 0, SEEK_CUR);
  file_offset_ = off > 0 ? static_cast<std::uint64_t>(off) : 0;
}

BufferedReader::BufferedReader(std::unique_ptr<ByteSource> source, std::optional<std::uint64_t> input_size,
                               std::size_t capacity)
    : buf_(new unsigned char[capacity]),
      capacity_(capacity),
      source_(std::move(source)),
      input_size_(input_size) {}

IoResult<std::size_t> BufferedReader::read_some(void* dst, std::size_t n) {
  if (source_) return source_->read(dst, n);
  for (;;) {
    ssize_t got = ::read(file_.fd(), dst, n);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return IoError::os(errno);
  }
}

std::uint64_t BufferedReader::input_consumed() const {
  return source_ ? source_->consumed() : file_offset_ - buffered();
}

IoResult<std::size_t> BufferedReader::fill() {
  pos_ = end_ = 0;
  MAVE_ASSIGN_OR_RETURN(end_, read_some(buf_.get(), capacity_));
  file_offset_ += end_;
  return end_;
}

IoStatus BufferedReader::read_exact(void* dst, std::size_t n) {
  // An empty read may come with the null data() of an empty vector, which
  // memcpy must not see even for zero bytes.
  if (n == 0) return {};
  auto* out = static_cast<unsigned char*>(dst);
  if (n <= buffered()) {
    std::memcpy(out, buf_.get() + pos_, n);
    pos_ += n;
    return {};
  }
  std::size_t have = buffered();
  std::memcpy(out, buf_.get() + pos_, have);
  pos_ = end_ = 0;
  out += have;
  n -= have;
  // Large remainders go straight to the destination; small ones through the buffer.
  while (n >= capacity_) {
    MAVE_ASSIGN_OR_RETURN(std::size_t got, read_some(out, n));
    if (got == 0) return IoError::unexpected_eof();
    file_offset_ += got;
    out += got;
    n -= got;
  }
  while (n > 0) {
    auto filled = fill();
    if (!filled.ok()) return std::move(filled).error();
    if (filled.value() == 0) return IoError::unexpected_eof();
    std::size_t take = std::min(n, end_);
    std::memcpy(out, buf_.get(), take);
    pos_ = take;
    out += take;
    n -= take;
  }
  return {};
}

IoResult<std::size_t> BufferedReader::read_up_to(void* dst, std::size_t n) {
  auto* out = static_cast<unsigned char*>(dst);
  std::size_t done = std::min(n, buffered());
  if (done > 0) std::memcpy(out, buf_.get() + pos_, done);
  pos_ += done;
  while (done < n) {
    MAVE_ASSIGN_OR_RETURN(std::size_t got, read_some(out + done, n - done));
    if (got == 0) break;
    file_offset_ += got;
    done += got;
  }
  return done;
}

IoResult<std::size_t> BufferedReader::read_until(unsigned char delim, std::string& out, std::size_t max) {
  std::size_t total = 0;
  while (total < max) {
    if (buffered() == 0) {
      auto filled = fill();
      if (!filled.ok()) return std::move(filled).error();
      if (filled.value() == 0) return total;
    }
    const unsigned char* start = buf_.get() + pos_;
    const std::size_t span = std::min(buffered(), max - total);
    const void* hit = std::memchr(start, delim, span);
    std::size_t take =
        hit ? static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - start) + 1 : span;
    out.append(reinterpret_cast<const char*>(start), take);
    pos_ += take;
    total += take;
    if (hit) return total;
  }
  return total;
}

IoResult<std::uint64_t> BufferedReader::position() const { return file_offset_ - buffered(); }

IoResult<std::uint64_t> BufferedReader::seek_to(std::uint64_t offset) {
  std::uint64_t buffer_start = file_offset_ - end_;
  if (offset >= buffer_start && offset <= file_offset_) {
    pos_ = static_cast<std::size_t>(offset - buffer_start);
    return offset;
  }
  if (source_) {
    // A stream goes forward only: skip by reading.
    if (offset < buffer_start) return invalid_seek();
    std::uint64_t skip = offset - (file_offset_ - buffered());
    while (skip > 0) {
      if (buffered() == 0) {
        MAVE_ASSIGN_OR_RETURN(std::size_t got, fill());
        if (got == 0) return IoError::unexpected_eof();
      }
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(skip, buffered()));
      pos_ += take;
      skip -= take;
    }
    return offset;
  }
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return invalid_seek();
  off_t got = ::lseek(file_.fd(), static_cast<off_t>(offset), SEEK_SET);
  if (got < 0) return IoError::os(errno);
  pos_ = end_ = 0;
  file_offset_ = static_cast<std::uint64_t>(got);
  return file_offset_;
}

IoResult<std::uint64_t> BufferedReader::seek_relative(std::int64_t delta) {
  std::uint64_t here = file_offset_ - buffered();
  std::uint64_t target;
  if (delta >= 0) {
    target = here + static_cast<std::uint64_t>(delta);
    if (target < here) return invalid_seek();
  } else {
    auto back = static_cast<std::uint64_t>(-(delta + 1)) + 1;
    if (back > here) return invalid_seek();
    target = here - back;
  }
  return seek_to(target);
}

std::optional<std::uint64_t> BufferedReader::remaining() const {
  if (!size_) return std::nullopt;
  std::uint64_t here = file_offset_ - buffered();
  return here >= *size_ ? 0 : *size_ - here;
}

// ---------------------------------------------------------------------------

BufferedWriter::BufferedWriter(File file, std::size_t capacity)
    : file_(std::move(file)), buf_(new unsigned char[capacity]), capacity_(capacity) {}

BufferedWriter::~BufferedWriter() {
  if (file_.is_open()) (void)flush();
}

IoStatus write_all_to(int fd, const void* src, std::size_t n) {
  const auto* p = static_cast<const unsigned char*>(src);
  while (n > 0) {
    ssize_t put = ::write(fd, p, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      return IoError::os(errno);
    }
    if (put == 0) return IoError::write_zero();
    p += put;
    n -= static_cast<std::size_t>(put);
  }
  return {};
}

IoStatus BufferedWriter::flush() {
  std::size_t n = len_;
  len_ = 0;  // a failed flush drops the buffer rather than retrying it later
  return write_all_to(file_.fd(), buf_.get(), n);
}

IoStatus BufferedWriter::write_all(const void* src, std::size_t n) {
  // A row of no columns comes as a null pointer; memcpy must not see it.
  if (n == 0) return {};
  auto* p = static_cast<const unsigned char*>(src);
  if (n <= capacity_ - len_) {
    std::memcpy(buf_.get() + len_, p, n);
    len_ += n;
    return {};
  }
  MAVE_TRY(flush());
  if (n >= capacity_) return write_all_to(file_.fd(), p, n);
  std::memcpy(buf_.get(), p, n);
  len_ = n;
  return {};
}

IoResult<std::uint64_t> BufferedWriter::position() {
  MAVE_TRY(flush());
  off_t off = ::lseek(file_.fd(), 0, SEEK_CUR);
  if (off < 0) return IoError::os(errno);
  return static_cast<std::uint64_t>(off);
}

IoStatus BufferedWriter::sync() {
  MAVE_TRY(flush());
  if (::fsync(file_.fd()) != 0) return IoError::os(errno);
  return {};
}

IoStatus BufferedWriter::close() {
  IoStatus flushed = flush();
  IoStatus closed = file_.close();
  if (!flushed.ok()) return flushed;
  return closed;
}

// ---------------------------------------------------------------------------

void advise_huge_pages(void* p, std::size_t n) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(p);
  if (n < kHuge || begin > UINTPTR_MAX - n) return;
  const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t last = (begin + n) & ~(kHuge - 1);
  if (last > first) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}

// ---------------------------------------------------------------------------

Mapping::Mapping(Mapping&& other) noexcept
    : base_(other.base_), base_len_(other.base_len_), data_(other.data_), size_(other.size_) {
  other.base_ = nullptr;
  other.base_len_ = other.size_ = 0;
  other.data_ = nullptr;
}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    if (base_) ::munmap(base_, base_len_);
    base_ = other.base_;
    base_len_ = other.base_len_;
    data_ = other.data_;
    size_ = other.size_;
    other.base_ = nullptr;
    other.base_len_ = other.size_ = 0;
    other.data_ = nullptr;
  }
  return *this;
}

Mapping::~Mapping() {
  if (base_) ::munmap(base_, base_len_);
}

IoResult<Mapping> Mapping::map(const File& file, std::uint64_t offset, std::uint64_t length) {
  Mapping m;
  if (length == 0) return m;
  struct stat st;
  if (::fstat(file.fd(), &st) != 0) return IoError::os(errno);
  if (!S_ISREG(st.st_mode)) {
    // Pinned: docs/compatibility.md (the kind; the message is rendered by the bindings)
    return IoError::message(ErrorKind::Unsupported, IoMessage::MapNotRegularFile);
  }
  auto size = static_cast<std::uint64_t>(st.st_size);
  if (offset > size || length > size - offset) {
    // Pinned: docs/compatibility.md (the kind; the message is rendered by the bindings)
    return IoError::message(ErrorKind::UnexpectedEof, IoMessage::MapPastEnd);
  }
  auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  std::uint64_t base_offset = offset - offset % page;
  std::uint64_t lead = offset - base_offset;
  if (length > std::numeric_limits<std::size_t>::max() - lead) {
    // Pinned: docs/compatibility.md (the kind; the message is rendered by the bindings)
    return IoError::message(ErrorKind::InvalidInput, IoMessage::MapTooLarge);
  }
  std::size_t base_len = static_cast<std::size_t>(lead + length);
  void* base = ::mmap(nullptr, base_len, PROT_READ, MAP_PRIVATE, file.fd(), static_cast<off_t>(base_offset));
  if (base == MAP_FAILED) return IoError::os(errno);
  m.base_ = base;
  m.base_len_ = base_len;
  m.data_ = static_cast<const std::byte*>(base) + lead;
  m.size_ = static_cast<std::size_t>(length);
  return m;
}

}  // namespace mave
