// File header, chunk identifiers, padding, and the field readers and writers
// every chunk kind uses. Counts and lengths read here are checked against the
// bytes left in the file before anything is allocated for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/io.hpp"
#include "base/utf8.hpp"
#include "base/word_list.hpp"

namespace mave {

enum class ChunkIdentifier : std::uint32_t {
  Header = 0,
  SimpleVocab = 1,
  NdArray = 2,
  BucketSubwordVocab = 3,
  QuantizedArray = 4,
  Metadata = 5,
  NdNorms = 6,
  FastTextSubwordVocab = 7,
  ExplicitSubwordVocab = 8,
  FloretSubwordVocab = 9,
};
// Codes 1 to this are chunk kinds; 0 and everything above are unknown.
inline constexpr ChunkIdentifier kLastChunkIdentifier = ChunkIdentifier::FloretSubwordVocab;
inline constexpr bool is_known_chunk_code(std::uint32_t code) {
  return code >= 1 && code <= static_cast<std::uint32_t>(kLastChunkIdentifier);
}

inline constexpr std::uint32_t kElementTypeU8 = 1;
inline constexpr std::uint32_t kElementTypeF32 = 10;

// The enumerator's name; "Header" for a code beyond the last kind.
std::string_view chunk_identifier_name(ChunkIdentifier id);

// Zero padding before 4-byte element data: 1 to 4 bytes, never 0.
inline std::uint32_t padding_for(std::uint64_t position) {
  return static_cast<std::uint32_t>(4 - position % 4);
}

// --- Field readers: an I/O failure becomes ReadFailed with the step and the
// field's offset. -----------------------------------------------------------

Result<std::uint8_t> read_u8(BufferedReader& r, Step step);
Result<std::uint32_t> read_u32(BufferedReader& r, Step step);
Result<std::uint64_t> read_u64(BufferedReader& r, Step step);
Result<std::int64_t> read_i64(BufferedReader& r, Step step);
Result<double> read_f64(BufferedReader& r, Step step);
// A u64 count that must fit the platform's size type (Overflow otherwise).
Result<std::size_t> read_size(BufferedReader& r, Step step);

Result<std::uint64_t> stream_position(BufferedReader& r, Step step);
Status seek_to(BufferedReader& r, std::uint64_t offset, Step step);
Status seek_forward(BufferedReader& r, std::uint64_t n, Step step);
// Position query plus skip of padding_for(position) bytes.
Status skip_padding(BufferedReader& r);

// How many items to reserve room for: never more than the rest of the file
// could hold at `min_item_bytes` each. The reads that follow find the truth.
std::size_t reservation_for(const BufferedReader& r, std::uint64_t count, std::size_t min_item_bytes);

// Reads n little-endian float32 values in one exact read; a count that the
// rest of the file cannot hold fails as the short read would, before any
// allocation.
Result<std::vector<float>> read_f32_array(BufferedReader& r, std::uint64_t n, Step step);
// Reads exactly n bytes, with the same up-front bound.
IoResult<std::string> read_bytes(BufferedReader& r, std::uint64_t n);

Status expect_chunk_identifier(BufferedReader& r, ChunkIdentifier expected);
// Reads the identifier of the chunk at the current position, which must be a
// known code, and seeks back to the chunk's start. `what` says which chunk
// is looked for in failures.
enum class PeekedChunk : std::uint8_t { Vocabulary, Storage };
Result<ChunkIdentifier> peek_chunk_identifier(BufferedReader& r, PeekedChunk what);
Status expect_element_type(BufferedReader& r, std::uint32_t expected);

// The error of a text that is not valid UTF-8; `step` names the text.
EmbeddingsError invalid_utf8(Step step, const Utf8Error& bad, std::uint64_t offset);
// The mask of chunk codes that UnexpectedChunk carries as `expected`.
constexpr std::uint64_t chunk_mask(ChunkIdentifier id) {
  return std::uint64_t{1} << static_cast<std::uint32_t>(id);
}

// String item: u32 byte length, then UTF-8 bytes.
Result<std::string> read_string_item(BufferedReader& r);
// `count` string items appended to `out`; the first failure ends the read.
Status read_string_items(BufferedReader& r, std::uint64_t count, WordList& out);

// --- Header -----------------------------------------------------------------

Result<std::vector<ChunkIdentifier>> read_header(BufferedReader& r);
Status write_header(BufferedWriter& w, const std::vector<ChunkIdentifier>& ids);

// --- Field writers: an I/O failure becomes WriteFailed with the step. -------

Status write_bytes(BufferedWriter& w, const void* data, std::size_t n, Step step);
Status write_u32(BufferedWriter& w, std::uint32_t v, Step step);
Status write_u64(BufferedWriter& w, std::uint64_t v, Step step);
Status write_f32(BufferedWriter& w, float v, Step step);
Result<std::uint64_t> writer_position(BufferedWriter& w, Step step);
// The padding before float data that starts `field_bytes` after the writer's
// position.
Result<std::uint32_t> padding_after(BufferedWriter& w, std::uint64_t field_bytes);
Status write_padding(BufferedWriter& w, std::uint32_t n);
Status write_string_items(BufferedWriter& w, const WordList& items);
// The bytes write_string_items writes: a u32 length and the bytes per item.
inline std::uint64_t string_items_bytes(const WordList& items) {
  return sizeof(std::uint32_t) * static_cast<std::uint64_t>(items.size()) + items.total_bytes();
}

}  // namespace mave
