// Test-side file building: little-endian byte builders for crafted files and
// temporary files that the readers open like real ones.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/endian.hpp"
#include "base/error.hpp"
#include "base/io.hpp"
#include "format/embeddings.hpp"
#include "python/_mave/pinned_texts.hpp"

namespace mave {
// Tests that match a message test _mave's renderer of the core's facts.
using pinned::debug;
using pinned::debug_quote;
using pinned::display;
}  // namespace mave

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
  Bytes& zeros(std::size_t n) {
    data_.append(n, '\0');
    return *this;
  }
  // Zero padding that brings the size to a multiple of 4 (1 to 4 bytes).
  Bytes& padding() { return zeros(4 - data_.size() % 4); }
  Bytes& raw(const void* p, std::size_t n) {
    data_.append(static_cast<const char*>(p), n);
    return *this;
  }
  Bytes& append(const Bytes& other) {
    data_ += other.data_;
    return *this;
  }

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
// The embeddings in a file of these bytes, mapped as the bindings load them.
Result<Embeddings> read_mapped(const std::string& bytes);
// The same for a file that must load: a failure fails the test.
Embeddings load(const std::string& bytes);
// The file that the embeddings write; a failure fails the test.
std::string written_file(const Embeddings& e);
// The file that the embeddings of a file of these bytes write.
std::string rewrite(const std::string& bytes);
float partial_sums_of_squares(const std::vector<float>& v);
std::string data_path(std::string_view name);

}  // namespace mave::test

namespace mave::test {

// The message of the aborting failure that `f` raises, or "" when none.
template <class F>
std::string panic_message(F&& f) {
  try {
    f();
  } catch (const Panic& p) {
    return pinned::panic_message(p);
  }
  return "";
}

// Debug text of a failed result, or "ok".
template <class R>
std::string debug_of(const R& result) {
  return result.ok() ? std::string("ok") : debug(result.error());
}

inline std::string eof_read(std::string_view desc) {
  return "Read { desc: \"" + std::string(desc) +
         "\", error: Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" } }";
}

}  // namespace mave::test

namespace mave::test {

// Chunk builders that append to a whole file, so that padding follows the
// absolute offsets.
inline Bytes& header(Bytes& f, const std::vector<std::uint32_t>& codes) {
  f.str("FiFu").u32(0).u32(static_cast<std::uint32_t>(codes.size()));
  for (std::uint32_t c : codes) f.u32(c);
  return f;
}

inline std::uint64_t items_size(const std::vector<std::string>& words) {
  std::uint64_t n = 0;
  for (const auto& w : words) n += 4 + w.size();
  return n;
}

inline Bytes& simple_vocab(Bytes& f, const std::vector<std::string>& words) {
  f.u32(1).u64(8 + items_size(words)).u64(words.size());
  for (const auto& w : words) f.item(w);
  return f;
}

inline Bytes& nd_array(Bytes& f, std::uint64_t rows, std::uint32_t cols, const std::vector<float>& values) {
  f.u32(2);
  std::size_t len_at = f.size();
  f.u64(0).u64(rows).u32(cols).u32(10);
  std::uint32_t pad = 4 - f.size() % 4;
  f.zeros(pad);
  for (float v : values) f.f32(v);
  std::uint64_t len = 16 + pad + 4 * static_cast<std::uint64_t>(values.size());
  std::string patched = f.str();
  std::memcpy(patched.data() + len_at, &len, 8);
  f = Bytes().str(patched);
  return f;
}

inline Bytes& norms(Bytes& f, const std::vector<float>& values) {
  f.u32(6);
  std::uint32_t pad = 4 - (f.size() + 8 + 8 + 4) % 4;
  f.u64(12 + pad + 4 * values.size()).u64(values.size()).u32(10).zeros(pad);
  for (float v : values) f.f32(v);
  return f;
}

// A quantized matrix chunk of codes.size() / n_sub rows: `n_sub`
// subquantizers of `n_centroids` centroids of dims / n_sub values, one code
// byte per subquantizer and row; a projection (dims x dims) and norms only
// when given.
inline Bytes& quantized_array(Bytes& f, std::uint32_t n_sub, std::uint32_t dims, std::uint32_t n_centroids,
                              const std::vector<float>& subquantizers, const std::vector<std::uint8_t>& codes,
                              const std::vector<float>& projection = {},
                              const std::vector<float>& row_norms = {}) {
  f.u32(4);
  const std::size_t len_at = f.size();
  f.u64(0).u32(!projection.empty()).u32(!row_norms.empty()).u32(n_sub).u32(dims);
  f.u32(n_centroids).u64(codes.size() / n_sub).u32(1).u32(10).padding();
  for (const auto* floats : {&projection, &subquantizers, &row_norms}) {
    for (float v : *floats) f.f32(v);
  }
  f.raw(codes.data(), codes.size());
  const std::uint64_t len = f.size() - len_at - 8;
  std::string patched = f.str();
  std::memcpy(patched.data() + len_at, &len, 8);
  f = Bytes().str(patched);
  return f;
}

inline Bytes& metadata(Bytes& f, std::string_view toml) { return f.u32(5).u64(toml.size()).str(toml); }

inline Bytes& fasttext_vocab(Bytes& f, const std::vector<std::string>& words, std::uint32_t min_n,
                             std::uint32_t max_n, std::uint32_t buckets) {
  f.u32(7).u64(20 + items_size(words)).u64(words.size()).u32(min_n).u32(max_n).u32(buckets);
  for (const auto& w : words) f.item(w);
  return f;
}

inline Bytes& bucket_vocab(Bytes& f, const std::vector<std::string>& words, std::uint32_t min_n,
                           std::uint32_t max_n, std::uint32_t exponent) {
  f.u32(3).u64(20 + items_size(words)).u64(words.size()).u32(min_n).u32(max_n).u32(exponent);
  for (const auto& w : words) f.item(w);
  return f;
}

inline Bytes& explicit_vocab(Bytes& f, const std::vector<std::string>& words,
                             const std::vector<std::pair<std::string, std::uint64_t>>& ngrams,
                             std::uint32_t min_n, std::uint32_t max_n) {
  std::uint64_t ngram_bytes = 0;
  for (const auto& [t, i] : ngrams) ngram_bytes += 4 + t.size() + 8;
  f.u32(8).u64(24 + items_size(words) + ngram_bytes).u64(words.size()).u64(ngrams.size());
  f.u32(min_n).u32(max_n);
  for (const auto& w : words) f.item(w);
  for (const auto& [t, i] : ngrams) f.item(t).u64(i);
  return f;
}

inline Bytes& floret_vocab(Bytes& f, std::uint32_t min_n, std::uint32_t max_n, std::uint64_t buckets,
                           std::uint32_t hashes, std::uint32_t seed, std::string_view bow = "<",
                           std::string_view eow = ">") {
  f.u32(9).u64(8 + 8 + 4 + 4 + 4 + bow.size() + 4 + eow.size());
  f.u32(min_n).u32(max_n).u64(buckets).u32(hashes).u32(seed).item(bow).item(eow);
  return f;
}

}  // namespace mave::test
