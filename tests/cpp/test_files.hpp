// Test-side file building: little-endian byte builders for crafted files and
// temporary files that the readers open like real ones.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "format/error.hpp"
#include "format/io.hpp"

namespace mave::test {

class Bytes {
 public:
  Bytes& u8(std::uint8_t v) { return raw(&v, 1); }
  Bytes& u32(std::uint32_t v) { return raw(&v, 4); }
  Bytes& u64(std::uint64_t v) { return raw(&v, 8); }
  Bytes& i64(std::int64_t v) { return raw(&v, 8); }
  Bytes& f32(float v) { return raw(&v, 4); }
  Bytes& f64(double v) { return raw(&v, 8); }
  Bytes& str(std::string_view s) { return raw(s.data(), s.size()); }
  // A string item: u32 length, then the bytes.
  Bytes& item(std::string_view s) { return u32(static_cast<std::uint32_t>(s.size())).str(s); }
  Bytes& zeros(std::size_t n) { data_.append(n, '\0'); return *this; }
  // Zero padding that brings the size to a multiple of 4 (1 to 4 bytes).
  Bytes& padding() { return zeros(4 - data_.size() % 4); }
  Bytes& raw(const void* p, std::size_t n) {
    data_.append(static_cast<const char*>(p), n);
    return *this;
  }
  Bytes& append(const Bytes& other) { data_ += other.data_; return *this; }

  std::size_t size() const { return data_.size(); }
  const std::string& str() const { return data_; }

 private:
  std::string data_;
};

// A file in a fresh temporary directory, removed with the object.
class TempFile {
 public:
  explicit TempFile(std::string_view contents = {});
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }
  void write(std::string_view contents) const;
  std::string read() const;
  BufferedReader reader() const;

 private:
  std::string dir_, path_;
};

std::string read_file(const std::string& path);
std::string data_path(std::string_view name);

}  // namespace mave::test
