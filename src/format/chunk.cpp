#include "format/chunk.hpp"

#include <algorithm>
#include <iterator>
#include <limits>

#include "base/endian.hpp"
#include "base/utf8.hpp"

namespace mave {

namespace {

// Pinned: docs/compatibility.md (names used in messages)
// Indexed by code.
constexpr std::string_view kChunkIdentifierNames[] = {
    "Header",         "SimpleVocab", "NdArray", "BucketSubwordVocab",   "QuantizedArray",
    "Metadata",       "NdNorms",     "FastTextSubwordVocab", "ExplicitSubwordVocab",
    "FloretSubwordVocab",
};
static_assert(std::size(kChunkIdentifierNames) ==
              static_cast<std::size_t>(kLastChunkIdentifier) + 1);

bool is_known_chunk_code(std::uint32_t code) {
  return code >= 1 && code <= static_cast<std::uint32_t>(kLastChunkIdentifier);
}

template <class T>
Result<T> read_le(BufferedReader& r, std::string_view desc) {
  unsigned char buf[sizeof(T)];
  auto st = r.read_exact(buf, sizeof buf);
  if (!st.ok()) return EmbeddingsError::read(std::string(desc), std::move(st).error());
  return load_le<T>(buf);
}

template <class T>
Status write_le(BufferedWriter& w, T v, std::string_view desc) {
  unsigned char buf[sizeof(T)];
  store_le(buf, v);
  return write_bytes(w, buf, sizeof buf, desc);
}

// Reads n more values into `out` without a known file size: in bounded steps,
// so that a hostile count cannot make us allocate before the data is there.
template <class Container>
IoStatus read_in_steps(BufferedReader& r, Container& out, std::uint64_t n, std::uint64_t step) {
  using Value = typename Container::value_type;
  while (n > 0) {
    const std::size_t take = static_cast<std::size_t>(std::min(n, step));
    const std::size_t old = out.size();
    out.resize(old + take);
    MAVE_TRY(r.read_exact(out.data() + old, take * sizeof(Value)));
    n -= take;
  }
  return {};
}

}  // namespace

std::string_view chunk_identifier_name(ChunkIdentifier id) {
  const auto code = static_cast<std::uint32_t>(id);
  return is_known_chunk_code(code) ? kChunkIdentifierNames[code] : kChunkIdentifierNames[0];
}

Result<std::uint8_t> read_u8(BufferedReader& r, std::string_view desc) {
  return read_le<std::uint8_t>(r, desc);
}
Result<std::uint32_t> read_u32(BufferedReader& r, std::string_view desc) {
  return read_le<std::uint32_t>(r, desc);
}
Result<std::uint64_t> read_u64(BufferedReader& r, std::string_view desc) {
  return read_le<std::uint64_t>(r, desc);
}
Result<std::int64_t> read_i64(BufferedReader& r, std::string_view desc) {
  return read_le<std::int64_t>(r, desc);
}
Result<double> read_f64(BufferedReader& r, std::string_view desc) {
  return read_le<double>(r, desc);
}

Result<std::size_t> read_size(BufferedReader& r, std::string_view desc) {
  MAVE_ASSIGN_OR_RETURN(std::uint64_t v, read_u64(r, desc));
  if (v > std::numeric_limits<std::size_t>::max()) return EmbeddingsError::overflow();
  return static_cast<std::size_t>(v);
}

Result<std::uint64_t> stream_position(BufferedReader& r, std::string_view desc) {
  auto pos = r.position();
  if (!pos.ok()) return EmbeddingsError::read(std::string(desc), std::move(pos).error());
  return pos.value();
}

Status seek_to(BufferedReader& r, std::uint64_t offset, std::string_view desc) {
  auto pos = r.seek_to(offset);
  if (!pos.ok()) return EmbeddingsError::read(std::string(desc), std::move(pos).error());
  return {};
}

Status seek_forward(BufferedReader& r, std::uint64_t n, std::string_view desc) {
  if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    // Pinned: docs/compatibility.md
    return EmbeddingsError::read(
        std::string(desc),
        IoError::message(ErrorKind::InvalidInput,
                         "invalid seek to a negative or overflowing position"));
  }
  auto pos = r.seek_relative(static_cast<std::int64_t>(n));
  if (!pos.ok()) return EmbeddingsError::read(std::string(desc), std::move(pos).error());
  return {};
}

Status skip_padding(BufferedReader& r) {
  MAVE_ASSIGN_OR_RETURN(std::uint64_t p, stream_position(r, kPaddingPositionDesc));
  // Pinned: docs/compatibility.md
  return seek_forward(r, padding_for(p), "Cannot skip padding");
}

std::size_t reservation_for(const BufferedReader& r, std::uint64_t count,
                            std::size_t min_item_bytes) {
  // Without a known size (a pipe), grow as the data arrives from a modest start.
  std::uint64_t limit = 1024;
  if (auto left = r.remaining()) limit = *left / std::max<std::size_t>(min_item_bytes, 1);
  return static_cast<std::size_t>(std::min(count, limit));
}

IoResult<std::string> read_bytes(BufferedReader& r, std::uint64_t n) {
  auto left = r.remaining();
  if (left && n > *left) return IoError::unexpected_eof();
  std::string out;
  if (left) {
    out.resize(static_cast<std::size_t>(n));
    MAVE_TRY(r.read_exact(out.data(), out.size()));
    return out;
  }
  MAVE_TRY(read_in_steps(r, out, n, 1 << 20));
  return out;
}

Result<std::vector<float>> read_f32_array(BufferedReader& r, std::uint64_t n,
                                          std::string_view desc) {
  auto left = r.remaining();
  if (n > std::numeric_limits<std::size_t>::max() / 4 || (left && n * 4 > *left)) {
    return EmbeddingsError::read(std::string(desc), IoError::unexpected_eof());
  }
  std::vector<float> out;
  if (left) {
    // A fastText input matrix is hundreds of MB: ask for huge pages before
    // the first touch.
    out.reserve(static_cast<std::size_t>(n));
    advise_huge_pages(out.data(), out.capacity() * sizeof(float));
    out.resize(static_cast<std::size_t>(n));
    auto st = r.read_exact(out.data(), out.size() * 4);
    if (!st.ok()) return EmbeddingsError::read(std::string(desc), std::move(st).error());
  } else if (auto st = read_in_steps(r, out, n, 1 << 18); !st.ok()) {
    return EmbeddingsError::read(std::string(desc), std::move(st).error());
  }
  if constexpr (std::endian::native == std::endian::big) {
    for (float& f : out) f = byteswap_if_big_endian(f);
  }
  return out;
}

// Pinned: docs/compatibility.md
Status expect_chunk_identifier(BufferedReader& r, ChunkIdentifier expected) {
  MAVE_ASSIGN_OR_RETURN(std::uint32_t code, read_u32(r, "Cannot read chunk identifier"));
  if (!is_known_chunk_code(code)) return EmbeddingsError::unknown_chunk_identifier(code);
  if (code != static_cast<std::uint32_t>(expected)) {
    return EmbeddingsError::format(
        "Invalid chunk identifier, expected: " + std::string(chunk_identifier_name(expected)) +
        ", got: " + std::string(chunk_identifier_name(static_cast<ChunkIdentifier>(code))));
  }
  return {};
}

// Pinned: docs/compatibility.md
Result<ChunkIdentifier> peek_chunk_identifier(BufferedReader& r, std::string_view what) {
  const std::string name(what);
  MAVE_ASSIGN_OR_RETURN(std::uint64_t start,
                        stream_position(r, "Cannot get " + name + " chunk start position"));
  MAVE_ASSIGN_OR_RETURN(std::uint32_t code, read_u32(r, "Cannot read " + name + " chunk identifier"));
  if (!is_known_chunk_code(code)) return EmbeddingsError::unknown_chunk_identifier(code);
  MAVE_TRY(seek_to(r, start, "Cannot seek to " + name + " chunk start position"));
  return static_cast<ChunkIdentifier>(code);
}

// Pinned: docs/compatibility.md
Status expect_element_type(BufferedReader& r, std::uint32_t expected) {
  MAVE_ASSIGN_OR_RETURN(std::uint32_t type, read_u32(r, "Cannot read type identifier"));
  if (type != expected) {
    return EmbeddingsError::format("Invalid type, expected: " + std::to_string(expected) +
                                   ", got: " + std::to_string(type));
  }
  return {};
}

EmbeddingsError invalid_item(const Utf8Error& bad) {
  // Pinned: docs/compatibility.md
  return EmbeddingsError::format("Item contains invalid UTF-8: " + utf8_error_description(bad));
}

namespace {

// Reads one string item into `buf`, reusing its storage.
Status read_string_item_into(BufferedReader& r, std::string& buf) {
  // Pinned: docs/compatibility.md
  MAVE_ASSIGN_OR_RETURN(std::uint32_t len, read_u32(r, "Cannot read string length"));
  auto left = r.remaining();
  if (left && len > *left) return EmbeddingsError::read(std::string(kItemDesc), IoError::unexpected_eof());
  if (left) {
    buf.resize(len);
    if (auto st = r.read_exact(buf.data(), len); !st.ok()) {
      return EmbeddingsError::read(std::string(kItemDesc), std::move(st).error());
    }
  } else {
    auto bytes = read_bytes(r, len);
    if (!bytes.ok()) return EmbeddingsError::read(std::string(kItemDesc), std::move(bytes).error());
    buf = std::move(bytes).value();
  }
  if (auto bad = validate_utf8(buf)) return invalid_item(*bad);
  return {};
}

}  // namespace

Result<std::string> read_string_item(BufferedReader& r) {
  std::string item;
  MAVE_TRY(read_string_item_into(r, item));
  return item;
}

Status read_string_items(BufferedReader& r, std::uint64_t count, WordList& out) {
  out.reserve(reservation_for(r, count, 4));
  std::string item;
  for (std::uint64_t i = 0; i < count; ++i) {
    // An item that lies whole in the reader's buffer (most of a vocabulary)
    // is taken from there, without a read call or a copy in between; an
    // item that straddles the buffer's end goes the general way.
    std::span<const unsigned char> buffered = r.buffered_bytes();
    if (buffered.size() >= 4) {
      const std::uint32_t len = load_le<std::uint32_t>(buffered.data());
      if (len <= buffered.size() - 4) {
        std::string_view word(reinterpret_cast<const char*>(buffered.data() + 4), len);
        if (auto bad = validate_utf8(word)) return invalid_item(*bad);
        out.push_back(word);
        r.consume(4 + std::size_t{len});
        continue;
      }
    }
    MAVE_TRY(read_string_item_into(r, item));
    out.push_back(item);
  }
  return {};
}

// Pinned: docs/compatibility.md (every message text of the header)
Result<std::vector<ChunkIdentifier>> read_header(BufferedReader& r) {
  unsigned char magic[4];
  if (auto st = r.read_exact(magic, 4); !st.ok()) {
    return EmbeddingsError::read("Cannot read magic", std::move(st).error());
  }
  if (std::string_view(reinterpret_cast<char*>(magic), 4) != "FiFu") {
    return EmbeddingsError::format(
        "Expected 'FiFu' as magic, got: " +
        from_utf8_lossy(std::string_view(reinterpret_cast<char*>(magic), 4)));
  }
  MAVE_ASSIGN_OR_RETURN(std::uint32_t version, read_u32(r, "Cannot read model version"));
  if (version != 0) {
    return EmbeddingsError::format("Unknown finalfusion version: " + std::to_string(version));
  }
  MAVE_ASSIGN_OR_RETURN(std::uint32_t n, read_u32(r, "Cannot read chunk identifiers length"));
  std::vector<ChunkIdentifier> ids;
  ids.reserve(reservation_for(r, n, 4));
  for (std::uint32_t i = 0; i < n; ++i) {
    MAVE_ASSIGN_OR_RETURN(std::uint32_t code, read_u32(r, "Cannot read chunk identifier"));
    if (!is_known_chunk_code(code)) return EmbeddingsError::unknown_chunk_identifier(code);
    ids.push_back(static_cast<ChunkIdentifier>(code));
  }
  return ids;
}

// Pinned: docs/compatibility.md
Status write_header(BufferedWriter& w, const std::vector<ChunkIdentifier>& ids) {
  MAVE_TRY(write_bytes(w, "FiFu", 4, "Cannot write magic"));
  MAVE_TRY(write_u32(w, 0, "Cannot write model version"));
  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(ids.size()),
                     "Cannot write chunk identifiers length"));
  for (ChunkIdentifier id : ids) {
    MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(id), "Cannot write chunk identifier"));
  }
  return {};
}

Status write_bytes(BufferedWriter& w, const void* data, std::size_t n, std::string_view desc) {
  auto st = w.write_all(data, n);
  if (!st.ok()) return EmbeddingsError::write(std::string(desc), std::move(st).error());
  return {};
}

Status write_u32(BufferedWriter& w, std::uint32_t v, std::string_view desc) {
  return write_le(w, v, desc);
}
Status write_u64(BufferedWriter& w, std::uint64_t v, std::string_view desc) {
  return write_le(w, v, desc);
}
Status write_f32(BufferedWriter& w, float v, std::string_view desc) {
  return write_le(w, v, desc);
}

Result<std::uint64_t> writer_position(BufferedWriter& w, std::string_view desc) {
  auto pos = w.position();
  if (!pos.ok()) return EmbeddingsError::write(std::string(desc), std::move(pos).error());
  return pos.value();
}

Result<std::uint32_t> padding_after(BufferedWriter& w, std::uint64_t field_bytes) {
  MAVE_ASSIGN_OR_RETURN(std::uint64_t pos, writer_position(w, kPaddingPositionDesc));
  return padding_for(pos + field_bytes);
}

Status write_padding(BufferedWriter& w, std::uint32_t n) {
  static constexpr unsigned char zeros[4] = {0, 0, 0, 0};
  // Pinned: docs/compatibility.md
  return write_bytes(w, zeros, n, "Cannot write padding");
}

Status write_string_items(BufferedWriter& w, const WordList& items) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    std::string_view item = items[i];
    // Pinned: docs/compatibility.md
    MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(item.size()), "Cannot write string length"));
    MAVE_TRY(write_bytes(w, item.data(), item.size(), "Cannot write string"));
  }
  return {};
}

}  // namespace mave
