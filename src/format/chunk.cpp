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
    "Header",
    "SimpleVocab",
    "NdArray",
    "BucketSubwordVocab",
    "QuantizedArray",
    "Metadata",
    "NdNorms",
    "FastTextSubwordVocab",
    "ExplicitSubwordVocab",
    "FloretSubwordVocab",
};
static_assert(std::size(kChunkIdentifierNames) == static_cast<std::size_t>(kLastChunkIdentifier) + 1);

template <class T>
Result<T> read_le(BufferedReader& r, Step step) {
  const std::uint64_t at = r.offset();
  unsigned char buf[sizeof(T)];
  auto st = r.read_exact(buf, sizeof buf);
  if (!st.ok()) return EmbeddingsError::read(step, std::move(st).error()).at(at);
  return load_le<T>(buf);
}

template <class T>
Status write_le(BufferedWriter& w, T v, Step step) {
  unsigned char buf[sizeof(T)];
  store_le(buf, v);
  return write_bytes(w, buf, sizeof buf, step);
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

Result<std::uint8_t> read_u8(BufferedReader& r, Step step) { return read_le<std::uint8_t>(r, step); }
Result<std::uint32_t> read_u32(BufferedReader& r, Step step) { return read_le<std::uint32_t>(r, step); }
Result<std::uint64_t> read_u64(BufferedReader& r, Step step) { return read_le<std::uint64_t>(r, step); }
Result<std::int64_t> read_i64(BufferedReader& r, Step step) { return read_le<std::int64_t>(r, step); }
Result<double> read_f64(BufferedReader& r, Step step) { return read_le<double>(r, step); }

Result<std::size_t> read_size(BufferedReader& r, Step step) {
  const std::uint64_t at = r.offset();
  MAVE_ASSIGN_OR_RETURN(std::uint64_t v, read_u64(r, step));
  if (v > std::numeric_limits<std::size_t>::max()) return EmbeddingsError::overflow(step).at(at);
  return static_cast<std::size_t>(v);
}

Result<std::uint64_t> stream_position(BufferedReader& r, Step step) {
  auto pos = r.position();
  if (!pos.ok()) return EmbeddingsError::read(step, std::move(pos).error());
  return pos.value();
}

Status seek_to(BufferedReader& r, std::uint64_t offset, Step step) {
  auto pos = r.seek_to(offset);
  if (!pos.ok()) return EmbeddingsError::read(step, std::move(pos).error()).at(offset);
  return {};
}

Status seek_forward(BufferedReader& r, std::uint64_t n, Step step) {
  const std::uint64_t at = r.offset();
  if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return EmbeddingsError::read(step, IoError::message(ErrorKind::InvalidInput, IoMessage::InvalidSeek))
        .at(at);
  }
  auto pos = r.seek_relative(static_cast<std::int64_t>(n));
  if (!pos.ok()) return EmbeddingsError::read(step, std::move(pos).error()).at(at);
  return {};
}

Status skip_padding(BufferedReader& r) {
  MAVE_ASSIGN_OR_RETURN(std::uint64_t p, stream_position(r, Step::GetFilePositionForComputingPadding));
  return seek_forward(r, padding_for(p), Step::SkipPadding);
}

std::size_t reservation_for(const BufferedReader& r, std::uint64_t count, std::size_t min_item_bytes) {
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

Result<std::vector<float>> read_f32_array(BufferedReader& r, std::uint64_t n, Step step) {
  const std::uint64_t at = r.offset();
  auto left = r.remaining();
  if (n > std::numeric_limits<std::size_t>::max() / 4 || (left && n * 4 > *left)) {
    return EmbeddingsError::read(step, IoError::unexpected_eof()).at(at);
  }
  std::vector<float> out;
  if (left) {
    // A fastText input matrix is hundreds of MB: ask for huge pages before
    // the first touch.
    out.reserve(static_cast<std::size_t>(n));
    advise_huge_pages(out.data(), out.capacity() * sizeof(float));
    out.resize(static_cast<std::size_t>(n));
    auto st = r.read_exact(out.data(), out.size() * 4);
    if (!st.ok()) return EmbeddingsError::read(step, std::move(st).error()).at(at);
  } else if (auto st = read_in_steps(r, out, n, 1 << 18); !st.ok()) {
    return EmbeddingsError::read(step, std::move(st).error()).at(at);
  }
  if constexpr (std::endian::native == std::endian::big) {
    for (float& f : out) f = byteswap_if_big_endian(f);
  }
  return out;
}

static EmbeddingsError unknown_chunk(std::uint32_t code, std::uint64_t at) {
  EmbeddingsError e(ErrorCode::UnknownChunk, Step::ReadChunkIdentifier);
  e.found = code;
  return std::move(e).at(at);
}

Status expect_chunk_identifier(BufferedReader& r, ChunkIdentifier expected) {
  const std::uint64_t at = r.offset();
  MAVE_ASSIGN_OR_RETURN(std::uint32_t code, read_u32(r, Step::ReadChunkIdentifier));
  if (!is_known_chunk_code(code)) return unknown_chunk(code, at);
  if (code != static_cast<std::uint32_t>(expected)) {
    return EmbeddingsError::with_values(ErrorCode::UnexpectedChunk, Step::ReadChunkIdentifier,
                                        chunk_mask(expected), code)
        .at(at);
  }
  return {};
}

Result<ChunkIdentifier> peek_chunk_identifier(BufferedReader& r, PeekedChunk what) {
  const bool vocab = what == PeekedChunk::Vocabulary;
  MAVE_ASSIGN_OR_RETURN(std::uint64_t start, stream_position(r, vocab ? Step::GetVocabularyChunkStartPosition
                                                                      : Step::GetStorageChunkStartPosition));
  MAVE_ASSIGN_OR_RETURN(std::uint32_t code, read_u32(r, vocab ? Step::ReadVocabularyChunkIdentifier
                                                              : Step::ReadStorageChunkIdentifier));
  if (!is_known_chunk_code(code)) return unknown_chunk(code, start);
  MAVE_TRY(seek_to(r, start,
                   vocab ? Step::SeekToVocabularyChunkStartPosition : Step::SeekToStorageChunkStartPosition));
  return static_cast<ChunkIdentifier>(code);
}

Status expect_element_type(BufferedReader& r, std::uint32_t expected) {
  const std::uint64_t at = r.offset();
  MAVE_ASSIGN_OR_RETURN(std::uint32_t type, read_u32(r, Step::ReadTypeIdentifier));
  if (type != expected) {
    return EmbeddingsError::with_values(ErrorCode::BadElementType, Step::ReadTypeIdentifier, expected, type)
        .at(at);
  }
  return {};
}

EmbeddingsError invalid_utf8(Step step, const Utf8Error& bad, std::uint64_t offset) {
  return EmbeddingsError::with_values(ErrorCode::InvalidUtf8, step, bad.error_len.value_or(0),
                                      bad.valid_up_to)
      .at(offset);
}

namespace {

// Reads one string item into `buf`, reusing its storage.
Status read_string_item_into(BufferedReader& r, std::string& buf) {
  MAVE_ASSIGN_OR_RETURN(std::uint32_t len, read_u32(r, Step::ReadStringLength));
  const std::uint64_t at = r.offset();
  auto left = r.remaining();
  if (left && len > *left) return EmbeddingsError::read(Step::ReadItem, IoError::unexpected_eof()).at(at);
  if (left) {
    buf.resize(len);
    if (auto st = r.read_exact(buf.data(), len); !st.ok()) {
      return EmbeddingsError::read(Step::ReadItem, std::move(st).error()).at(at);
    }
  } else {
    auto bytes = read_bytes(r, len);
    if (!bytes.ok()) return EmbeddingsError::read(Step::ReadItem, std::move(bytes).error()).at(at);
    buf = std::move(bytes).value();
  }
  if (auto bad = validate_utf8(buf)) return invalid_utf8(Step::ReadItem, *bad, at);
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
        if (auto bad = validate_utf8(word)) return invalid_utf8(Step::ReadItem, *bad, r.offset() + 4);
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

Result<std::vector<ChunkIdentifier>> read_header(BufferedReader& r) {
  const std::uint64_t start = r.offset();
  unsigned char magic[4];
  if (auto st = r.read_exact(magic, 4); !st.ok()) {
    return EmbeddingsError::read(Step::ReadMagic, std::move(st).error()).at(start);
  }
  if (std::string_view(reinterpret_cast<char*>(magic), 4) != "FiFu") {
    return EmbeddingsError(ErrorCode::BadMagic, Step::ReadMagic)
        .at(start)
        .with_detail(std::string(reinterpret_cast<char*>(magic), 4));
  }
  const std::uint64_t version_at = r.offset();
  MAVE_ASSIGN_OR_RETURN(std::uint32_t version, read_u32(r, Step::ReadModelVersion));
  if (version != 0) {
    return EmbeddingsError::with_values(ErrorCode::UnsupportedVersion, Step::ReadModelVersion, 0, version)
        .at(version_at);
  }
  MAVE_ASSIGN_OR_RETURN(std::uint32_t n, read_u32(r, Step::ReadChunkIdentifiersLength));
  std::vector<ChunkIdentifier> ids;
  ids.reserve(reservation_for(r, n, 4));
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint64_t at = r.offset();
    MAVE_ASSIGN_OR_RETURN(std::uint32_t code, read_u32(r, Step::ReadChunkIdentifier));
    if (!is_known_chunk_code(code)) return unknown_chunk(code, at);
    ids.push_back(static_cast<ChunkIdentifier>(code));
  }
  return ids;
}

Status write_header(BufferedWriter& w, const std::vector<ChunkIdentifier>& ids) {
  MAVE_TRY(write_bytes(w, "FiFu", 4, Step::WriteMagic));
  MAVE_TRY(write_u32(w, 0, Step::WriteModelVersion));
  MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(ids.size()), Step::WriteChunkIdentifiersLength));
  for (ChunkIdentifier id : ids) {
    MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(id), Step::WriteChunkIdentifier));
  }
  return {};
}

Status write_bytes(BufferedWriter& w, const void* data, std::size_t n, Step step) {
  auto st = w.write_all(data, n);
  if (!st.ok()) return EmbeddingsError::write(step, std::move(st).error());
  return {};
}

Status write_u32(BufferedWriter& w, std::uint32_t v, Step step) { return write_le(w, v, step); }
Status write_u64(BufferedWriter& w, std::uint64_t v, Step step) { return write_le(w, v, step); }
Status write_f32(BufferedWriter& w, float v, Step step) { return write_le(w, v, step); }

Result<std::uint64_t> writer_position(BufferedWriter& w, Step step) {
  auto pos = w.position();
  if (!pos.ok()) return EmbeddingsError::write(step, std::move(pos).error());
  return pos.value();
}

Result<std::uint32_t> padding_after(BufferedWriter& w, std::uint64_t field_bytes) {
  MAVE_ASSIGN_OR_RETURN(std::uint64_t pos, writer_position(w, Step::GetFilePositionForComputingPadding));
  return padding_for(pos + field_bytes);
}

Status write_padding(BufferedWriter& w, std::uint32_t n) {
  static constexpr unsigned char zeros[4] = {0, 0, 0, 0};
  return write_bytes(w, zeros, n, Step::WritePadding);
}

Status write_string_items(BufferedWriter& w, const WordList& items) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    std::string_view item = items[i];
    MAVE_TRY(write_u32(w, static_cast<std::uint32_t>(item.size()), Step::WriteStringLength));
    MAVE_TRY(write_bytes(w, item.data(), item.size(), Step::WriteString));
  }
  return {};
}

}  // namespace mave
