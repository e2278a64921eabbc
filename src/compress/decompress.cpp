#include "compress/decompress.hpp"

#include <bzlib.h>
#include <lzma.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace mave {

namespace {

// Compressed bytes read from the file at a time.
constexpr std::size_t kInputBytes = std::size_t{1} << 16;
// The most memory an xz stream may ask for its dictionary: more than any
// preset of the xz tool (-9e takes 674 MiB to compress, 65 MiB to decompress).
constexpr std::uint64_t kXzMemoryLimit = std::uint64_t{1} << 30;

IoError damaged(Compression c, std::string_view what) {
  return IoError::message(ErrorKind::InvalidData, IoMessage::CompressedDamaged,
                          std::string(compression_name(c)) + ": " + std::string(what));
}

IoError cut_short(Compression c) {
  return IoError::message(ErrorKind::InvalidData, IoMessage::CompressedCutShort,
                          std::string(compression_name(c)));
}

// The compressed bytes of a file, read in blocks, and how many were taken.
class CompressedInput {
 public:
  explicit CompressedInput(File file) : file_(std::move(file)), buf_(new unsigned char[kInputBytes]) {}

  // Refills when all was used; false at the end of the file.
  IoResult<bool> refill() {
    if (avail_ > 0) return true;
    for (;;) {
      ssize_t got = ::read(file_.fd(), buf_.get(), kInputBytes);
      if (got < 0) {
        if (errno == EINTR) continue;
        return IoError::os(errno);
      }
      next_ = buf_.get();
      avail_ = static_cast<std::size_t>(got);
      consumed_ += avail_;
      return got > 0;
    }
  }
  // After a decompressor took bytes: what is left of the block.
  void left(const unsigned char* next, std::size_t avail) {
    next_ = next;
    avail_ = avail;
  }
  const unsigned char* next() const { return next_; }
  std::size_t avail() const { return avail_; }
  // Bytes read from the file and given to the decompressor.
  std::uint64_t consumed() const { return consumed_ - avail_; }

 private:
  File file_;
  std::unique_ptr<unsigned char[]> buf_;
  const unsigned char* next_ = nullptr;
  std::size_t avail_ = 0;
  std::uint64_t consumed_ = 0;
};

// Decompressors hand out at most this much per call: their counters are
// 32-bit.
std::size_t clamp_request(std::size_t n) { return std::min<std::size_t>(n, UINT_MAX); }

// gzip, several members one after the other included (as `gzip -c a b`,
// bgzip and pigz write them).
class GzipSource final : public ByteSource {
 public:
  explicit GzipSource(File file) : in_(std::move(file)) {}
  ~GzipSource() override {
    if (started_) inflateEnd(&z_);
  }

  IoResult<std::size_t> read(void* dst, std::size_t n) override {
    if (n == 0 || done_) return std::size_t{0};
    if (!started_) {
      // 16 + window bits: a gzip wrapper, its CRC and length checked.
      if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) return damaged(Compression::Gzip, "cannot start");
      started_ = true;
    }
    z_.next_out = static_cast<Bytef*>(dst);
    z_.avail_out = static_cast<uInt>(clamp_request(n));
    const uInt wanted = z_.avail_out;
    while (z_.avail_out == wanted) {
      MAVE_ASSIGN_OR_RETURN(bool more, in_.refill());
      z_.next_in = const_cast<Bytef*>(in_.next());
      z_.avail_in = static_cast<uInt>(in_.avail());
      const int rc = inflate(&z_, Z_NO_FLUSH);
      in_.left(z_.next_in, z_.avail_in);
      if (rc == Z_STREAM_END) {
        // Another member may follow; anything else may not.
        MAVE_ASSIGN_OR_RETURN(bool after, in_.refill());
        if (!after) {
          done_ = true;
          break;
        }
        if (in_.next()[0] != 0x1f) return damaged(Compression::Gzip, "data after the end of the stream");
        inflateReset(&z_);
        continue;
      }
      if (rc == Z_BUF_ERROR || rc == Z_OK) {
        if (!more && z_.avail_out == wanted) return cut_short(Compression::Gzip);
        continue;
      }
      if (rc != Z_OK) return damaged(Compression::Gzip, z_.msg ? z_.msg : "inflate failed");
    }
    return static_cast<std::size_t>(wanted - z_.avail_out);
  }

  std::uint64_t consumed() const override { return in_.consumed(); }

 private:
  CompressedInput in_;
  z_stream z_{};
  bool started_ = false;
  bool done_ = false;
};

// bzip2, concatenated streams included (pbzip2 writes them).
class Bzip2Source final : public ByteSource {
 public:
  explicit Bzip2Source(File file) : in_(std::move(file)) {}
  ~Bzip2Source() override {
    if (started_) BZ2_bzDecompressEnd(&b_);
  }

  IoResult<std::size_t> read(void* dst, std::size_t n) override {
    if (n == 0 || done_) return std::size_t{0};
    if (!started_) {
      if (BZ2_bzDecompressInit(&b_, 0, 0) != BZ_OK) return damaged(Compression::Bzip2, "cannot start");
      started_ = true;
    }
    b_.next_out = static_cast<char*>(dst);
    b_.avail_out = static_cast<unsigned>(clamp_request(n));
    const unsigned wanted = b_.avail_out;
    while (b_.avail_out == wanted) {
      MAVE_ASSIGN_OR_RETURN(bool more, in_.refill());
      b_.next_in = reinterpret_cast<char*>(const_cast<unsigned char*>(in_.next()));
      b_.avail_in = static_cast<unsigned>(in_.avail());
      const int rc = BZ2_bzDecompress(&b_);
      in_.left(reinterpret_cast<const unsigned char*>(b_.next_in), b_.avail_in);
      if (rc == BZ_STREAM_END) {
        MAVE_ASSIGN_OR_RETURN(bool after, in_.refill());
        if (!after) {
          done_ = true;
          break;
        }
        if (in_.next()[0] != 'B') return damaged(Compression::Bzip2, "data after the end of the stream");
        BZ2_bzDecompressEnd(&b_);
        started_ = false;
        if (BZ2_bzDecompressInit(&b_, 0, 0) != BZ_OK) return damaged(Compression::Bzip2, "cannot start");
        started_ = true;
        continue;
      }
      if (rc != BZ_OK) {
        return damaged(Compression::Bzip2, rc == BZ_DATA_ERROR_MAGIC ? "not bzip2 data" : "bad block data");
      }
      if (!more && b_.avail_out == wanted) return cut_short(Compression::Bzip2);
    }
    return static_cast<std::size_t>(wanted - b_.avail_out);
  }

  std::uint64_t consumed() const override { return in_.consumed(); }

 private:
  CompressedInput in_;
  bz_stream b_{};
  bool started_ = false;
  bool done_ = false;
};

class XzSource final : public ByteSource {
 public:
  explicit XzSource(File file) : in_(std::move(file)) {}
  ~XzSource() override { lzma_end(&x_); }

  IoResult<std::size_t> read(void* dst, std::size_t n) override {
    if (n == 0 || done_) return std::size_t{0};
    if (!started_) {
      // Concatenated streams (xz a b > c) read as one.
      if (lzma_stream_decoder(&x_, kXzMemoryLimit, LZMA_CONCATENATED) != LZMA_OK) {
        return damaged(Compression::Xz, "cannot start");
      }
      started_ = true;
    }
    x_.next_out = static_cast<std::uint8_t*>(dst);
    x_.avail_out = n;
    while (x_.avail_out == n) {
      MAVE_ASSIGN_OR_RETURN(bool more, in_.refill());
      x_.next_in = in_.next();
      x_.avail_in = in_.avail();
      const lzma_ret rc = lzma_code(&x_, more ? LZMA_RUN : LZMA_FINISH);
      in_.left(x_.next_in, x_.avail_in);
      if (rc == LZMA_STREAM_END) {
        done_ = true;
        break;
      }
      if (rc == LZMA_BUF_ERROR) return cut_short(Compression::Xz);
      if (rc == LZMA_MEMLIMIT_ERROR) return damaged(Compression::Xz, "its dictionary needs more than 1 GiB");
      if (rc == LZMA_FORMAT_ERROR) return damaged(Compression::Xz, "not xz data");
      if (rc == LZMA_DATA_ERROR) return damaged(Compression::Xz, "bad block data");
      if (rc != LZMA_OK) return damaged(Compression::Xz, "decoding failed (" + std::to_string(rc) + ")");
    }
    return n - x_.avail_out;
  }

  std::uint64_t consumed() const override { return in_.consumed(); }

 private:
  CompressedInput in_;
  lzma_stream x_ = LZMA_STREAM_INIT;
  bool started_ = false;
  bool done_ = false;
};

// A zip archive's member, found through the central directory at the end of
// the file (zip64 records included) and read from its local data: stored or
// deflated, its CRC-32 and size checked at its end.
struct ZipEntry {
  std::string name;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressed = 0;
  std::uint64_t size = 0;
  std::uint64_t header_offset = 0;
};

IoError zip_damaged(std::string_view what) { return damaged(Compression::Zip, what); }

IoStatus read_at(const File& file, std::uint64_t offset, void* dst, std::size_t n) {
  auto* out = static_cast<unsigned char*>(dst);
  while (n > 0) {
    ssize_t got = ::pread(file.fd(), out, n, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return IoError::os(errno);
    }
    if (got == 0) return zip_damaged("a record reaches past the end of the file");
    out += got;
    offset += static_cast<std::uint64_t>(got);
    n -= static_cast<std::size_t>(got);
  }
  return {};
}

std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t le32(const unsigned char* p) { return le16(p) | static_cast<std::uint32_t>(le16(p + 2)) << 16; }
std::uint64_t le64(const unsigned char* p) { return le32(p) | static_cast<std::uint64_t>(le32(p + 4)) << 32; }

constexpr std::uint32_t kEndRecord = 0x06054b50;
constexpr std::uint32_t kZip64EndRecord = 0x06064b50;
constexpr std::uint32_t kZip64Locator = 0x07064b50;
constexpr std::uint32_t kCentralHeader = 0x02014b50;
constexpr std::uint32_t kLocalHeader = 0x04034b50;

struct Directory {
  std::uint64_t entries = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// The end-of-central-directory record: the last one in the final 64 KiB
// whose comment ends at the end of the file.
IoResult<Directory> find_directory(const File& file, std::uint64_t file_size) {
  const std::size_t tail = static_cast<std::size_t>(std::min<std::uint64_t>(file_size, 22 + 65535));
  std::vector<unsigned char> buf(tail);
  MAVE_TRY(read_at(file, file_size - tail, buf.data(), tail));
  for (std::size_t at = tail >= 22 ? tail - 22 + 1 : 0; at-- > 0;) {
    const unsigned char* p = buf.data() + at;
    if (le32(p) != kEndRecord || at + 22 + le16(p + 20) != tail) continue;
    Directory d{le16(p + 10), le32(p + 16), le32(p + 12)};
    const std::uint64_t record = file_size - tail + at;
    if (d.entries == 0xffff || d.offset == 0xffffffff || d.size == 0xffffffff) {
      if (record < 20) return zip_damaged("no zip64 end record");
      unsigned char loc[20];
      MAVE_TRY(read_at(file, record - 20, loc, sizeof loc));
      if (le32(loc) != kZip64Locator) return zip_damaged("no zip64 end record");
      const std::uint64_t at64 = le64(loc + 8);
      unsigned char end64[56];
      if (at64 > record || record - at64 < sizeof end64)
        return zip_damaged("the zip64 end record is misplaced");
      MAVE_TRY(read_at(file, at64, end64, sizeof end64));
      if (le32(end64) != kZip64EndRecord) return zip_damaged("the zip64 end record is misplaced");
      d = Directory{le64(end64 + 32), le64(end64 + 48), le64(end64 + 40)};
    }
    if (d.offset > record || d.size > record - d.offset) {
      return zip_damaged("the central directory lies outside the file");
    }
    return d;
  }
  return zip_damaged("no end of central directory record");
}

// Walks the directory; keeps the entry named `member` (the only file when
// none is named) and the names of the first files for a message.
struct Listing {
  std::vector<std::string> names;  // all files when `all`, else the first 10
  std::uint64_t files = 0;
  std::optional<ZipEntry> chosen;
};

IoResult<Listing> list_directory(const File& file, const Directory& d, std::string_view member, bool all) {
  Listing out;
  std::uint64_t at = d.offset;
  const std::uint64_t end = d.offset + d.size;
  std::vector<unsigned char> record;
  for (std::uint64_t i = 0; i < d.entries; ++i) {
    unsigned char h[46];
    if (end - at < sizeof h) return zip_damaged("the central directory is cut short");
    MAVE_TRY(read_at(file, at, h, sizeof h));
    if (le32(h) != kCentralHeader) return zip_damaged("a central directory entry is damaged");
    const std::uint64_t rest = std::uint64_t{le16(h + 28)} + le16(h + 30) + le16(h + 32);
    if (end - at - sizeof h < rest) return zip_damaged("the central directory is cut short");
    record.resize(static_cast<std::size_t>(rest));
    MAVE_TRY(read_at(file, at + sizeof h, record.data(), record.size()));
    at += sizeof h + rest;
    ZipEntry e;
    e.name.assign(reinterpret_cast<const char*>(record.data()), le16(h + 28));
    if (e.name.empty() || e.name.back() == '/') continue;  // directories hold no data
    ++out.files;
    if (all || out.names.size() < 10) out.names.push_back(e.name);
    if (out.chosen || (!member.empty() ? e.name != member : out.files != 1)) continue;
    e.flags = le16(h + 8);
    e.method = le16(h + 10);
    e.crc = le32(h + 16);
    e.compressed = le32(h + 20);
    e.size = le32(h + 24);
    e.header_offset = le32(h + 42);
    // Sizes and offset too large for 32 bits are in the zip64 extra field,
    // in this order, each only when its 32-bit field is all ones.
    const unsigned char* x = record.data() + le16(h + 28);
    const unsigned char* x_end = x + le16(h + 30);
    while (x_end - x >= 4) {
      const std::uint16_t id = le16(x), len = le16(x + 2);
      if (x_end - x - 4 < len) break;
      if (id == 1) {
        const unsigned char* v = x + 4;
        const unsigned char* v_end = v + len;
        for (std::uint64_t* field : {&e.size, &e.compressed, &e.header_offset}) {
          if (*field != 0xffffffff) continue;
          if (v_end - v < 8) return zip_damaged("a zip64 extra field is cut short");
          *field = le64(v);
          v += 8;
        }
      }
      x += 4 + len;
    }
    out.chosen = std::move(e);
  }
  return out;
}

// The member's compressed bytes, read a block at a time.
class ZipSource final : public ByteSource {
 public:
  ZipSource(File file, const ZipEntry& entry, std::uint64_t data_start)
      : file_(std::move(file)),
        entry_(entry),
        at_(data_start),
        end_(data_start + entry.compressed),
        buf_(new unsigned char[kInputBytes]) {}
  ~ZipSource() override {
    if (started_) inflateEnd(&z_);
  }

  IoResult<std::size_t> read(void* dst, std::size_t n) override {
    if (n == 0 || done_) return std::size_t{0};
    n = clamp_request(n);
    std::size_t produced = 0;
    if (entry_.method == 0) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, end_ - at_));
      MAVE_TRY(read_at(file_, at_, dst, take));
      at_ += take;
      produced = take;
      if (at_ == end_) done_ = true;
    } else {
      if (!started_) {
        // Negative window bits: raw deflate data, no wrapper.
        if (inflateInit2(&z_, -MAX_WBITS) != Z_OK) return zip_damaged("cannot start");
        started_ = true;
      }
      z_.next_out = static_cast<Bytef*>(dst);
      z_.avail_out = static_cast<uInt>(n);
      while (z_.avail_out == n) {
        if (z_.avail_in == 0 && at_ < end_) {
          const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(kInputBytes, end_ - at_));
          MAVE_TRY(read_at(file_, at_, buf_.get(), take));
          at_ += take;
          z_.next_in = buf_.get();
          z_.avail_in = static_cast<uInt>(take);
        }
        const int rc = inflate(&z_, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
          done_ = true;
          break;
        }
        if (rc == Z_OK || rc == Z_BUF_ERROR) {
          if (z_.avail_in == 0 && at_ == end_ && z_.avail_out == n) return cut_short(Compression::Zip);
          continue;
        }
        return zip_damaged(z_.msg ? z_.msg : "inflate failed");
      }
      produced = n - z_.avail_out;
    }
    crc_ = crc32_z(crc_, static_cast<const Bytef*>(dst), produced);
    total_ += produced;
    if (total_ > entry_.size) return zip_damaged("the member holds more than its stated size");
    if (done_) {
      if (total_ != entry_.size) return zip_damaged("the member holds less than its stated size");
      if (crc_ != entry_.crc) return zip_damaged("the member's CRC-32 does not match");
    }
    return produced;
  }

  std::uint64_t consumed() const override { return at_; }

 private:
  File file_;
  ZipEntry entry_;
  std::uint64_t at_, end_;
  std::unique_ptr<unsigned char[]> buf_;
  z_stream z_{};
  bool started_ = false;
  bool done_ = false;
  uLong crc_ = crc32_z(0, nullptr, 0);
  std::uint64_t total_ = 0;
};

IoResult<std::unique_ptr<ByteSource>> open_zip_member(File file, std::uint64_t file_size,
                                                      std::string_view member) {
  MAVE_ASSIGN_OR_RETURN(Directory d, find_directory(file, file_size));
  MAVE_ASSIGN_OR_RETURN(Listing listing, list_directory(file, d, member, false));
  if (!listing.chosen || (member.empty() && listing.files != 1)) {
    // The facts: the name asked for, how many files there are, and the
    // first of their names.
    std::string text = member.empty() ? "" : std::string(member) + "; ";
    text += std::to_string(listing.files) + " files";
    for (std::size_t i = 0; i < listing.names.size(); ++i) text += (i ? ", " : ": ") + listing.names[i];
    if (listing.files > listing.names.size()) text += ", ...";
    return IoError::message(ErrorKind::InvalidInput,
                            member.empty() ? IoMessage::ZipMemberUnnamed : IoMessage::ZipMemberMissing, text);
  }
  const ZipEntry& e = *listing.chosen;
  if (e.flags & 1) return zip_damaged("the member " + e.name + " is encrypted");
  if (e.method != 0 && e.method != 8) {
    return IoError::message(ErrorKind::Unsupported, IoMessage::ZipMethodUnsupported,
                            e.name + ", method " + std::to_string(e.method));
  }
  unsigned char local[30];
  if (e.header_offset > file_size || file_size - e.header_offset < sizeof local) {
    return zip_damaged("a member's local header lies outside the file");
  }
  MAVE_TRY(read_at(file, e.header_offset, local, sizeof local));
  if (le32(local) != kLocalHeader) return zip_damaged("a member's local header is damaged");
  const std::uint64_t data = e.header_offset + sizeof local + le16(local + 26) + le16(local + 28);
  if (data > file_size || e.compressed > file_size - data) {
    return zip_damaged("a member's data reaches past the end of the file");
  }
  if (e.method == 0 && e.compressed != e.size) return zip_damaged("a stored member's sizes differ");
  return std::unique_ptr<ByteSource>(new ZipSource(std::move(file), e, data));
}

}  // namespace

std::string_view compression_name(Compression c) {
  switch (c) {
    case Compression::None:
      return "";
    case Compression::Gzip:
      return "gzip";
    case Compression::Bzip2:
      return "bzip2";
    case Compression::Xz:
      return "xz";
    case Compression::Zip:
      return "zip";
  }
  return "";
}

Compression detect_compression(std::span<const unsigned char> head) {
  auto starts = [&](std::initializer_list<unsigned char> sig) {
    return head.size() >= sig.size() && std::equal(sig.begin(), sig.end(), head.begin());
  };
  if (starts({0x1f, 0x8b})) return Compression::Gzip;
  // "BZh" and the block size, '1' to '9'.
  if (starts({'B', 'Z', 'h'}) && head.size() >= 4 && head[3] >= '1' && head[3] <= '9') {
    return Compression::Bzip2;
  }
  if (starts({0xfd, '7', 'z', 'X', 'Z', 0x00})) return Compression::Xz;
  // A local file header, or the end record of an empty archive.
  if (starts({'P', 'K', 3, 4}) || starts({'P', 'K', 5, 6})) return Compression::Zip;
  return Compression::None;
}

IoResult<BufferedReader> open_decompressed(File file, std::string_view member, std::size_t capacity) {
  const std::optional<std::uint64_t> size = file.regular_size();
  // Only a regular file is looked at: a pipe cannot give its bytes back.
  Compression c = Compression::None;
  if (size) {
    unsigned char head[6] = {};
    ssize_t got;
    do got = ::pread(file.fd(), head, sizeof head, 0);
    while (got < 0 && errno == EINTR);
    if (got < 0) return IoError::os(errno);
    c = detect_compression({head, static_cast<std::size_t>(got)});
  }
  std::unique_ptr<ByteSource> source;
  switch (c) {
    case Compression::None:
      if (!member.empty()) {
        return IoError::message(ErrorKind::InvalidInput, IoMessage::MemberOfNonZip);
      }
      return BufferedReader(std::move(file), capacity);
    case Compression::Gzip:
      source = std::make_unique<GzipSource>(std::move(file));
      break;
    case Compression::Bzip2:
      source = std::make_unique<Bzip2Source>(std::move(file));
      break;
    case Compression::Xz:
      source = std::make_unique<XzSource>(std::move(file));
      break;
    case Compression::Zip: {
      MAVE_ASSIGN_OR_RETURN(source, open_zip_member(std::move(file), *size, member));
      break;
    }
  }
  if (!member.empty() && c != Compression::Zip) {
    return IoError::message(ErrorKind::InvalidInput, IoMessage::MemberOfNonZip);
  }
  return BufferedReader(std::move(source), size, capacity);
}

IoResult<std::vector<std::string>> zip_members(const File& file) {
  const std::optional<std::uint64_t> size = file.regular_size();
  if (!size) return IoError::message(ErrorKind::Unsupported, IoMessage::ZipNotRegularFile);
  MAVE_ASSIGN_OR_RETURN(Directory d, find_directory(file, *size));
  MAVE_ASSIGN_OR_RETURN(Listing listing, list_directory(file, d, {}, true));
  return std::move(listing.names);
}

}  // namespace mave
