// The Unicode questions a tokenizer asks, answered as the `tokenizers`
// package answers them: each from utf8proc 2.8.0 (Unicode 15.0) by a base
// rule, corrected where that package's own data (of other Unicode versions)
// says otherwise by the tables scripts/tokenizer-unicode-tables generates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mave::tokenize {

// One bit per question; a code point's answers are looked up once.
enum CharFlag : std::uint16_t {
  kWhite = 1 << 0,            // White_Space (Rust's char::is_whitespace, \s of the patterns)
  kNumeric = 1 << 1,          // Rust's char::is_numeric
  kWord = 1 << 2,             // \w of the `regex` patterns
  kLetter = 1 << 3,           // \p{L} of the byte-level pattern
  kNumber = 1 << 4,           // \p{N} of the byte-level pattern
  kControl = 1 << 5,          // Cc, Cf, Co, Cs of the BERT normalizer
  kNonspacingMark = 1 << 6,   // Mn of the BERT normalizer's accent stripping
  kPunctuation = 1 << 7,      // P* of the BERT and Punctuation pre-tokenizers
  kMark = 1 << 8,             // M* of the StripAccents normalizer
  kNormExempt = 1 << 9,       // not decomposed, ordered or composed by the normalization forms
  kLowerException = 1 << 10,  // lowercased by the exception table
};

std::uint16_t char_flags(char32_t c);

inline bool has(char32_t c, std::uint16_t flag) { return (char_flags(c) & flag) != 0; }

// Rust's char::to_lowercase: up to three characters.
std::size_t lowercase(char32_t c, char32_t out[3]);

enum class NormalForm : std::uint8_t { Nfc, Nfd, Nfkc, Nfkd };

// Appends the normal form of `text` (code points) to `out`; with `origin`
// (one value per character of `text`) also each output character's origin,
// that of the character it came from (a composite: its starter's), to
// `out_origin`. `work` is reused scratch space.
void normal_form(const std::u32string& text, const std::uint32_t* origin, NormalForm form,
                 std::u32string& out, std::vector<std::uint32_t>* out_origin,
                 std::vector<std::uint64_t>& work);

// The version string of the utf8proc the build uses (tests check it).
std::string_view utf8proc_version_string();

// Decoding valid UTF-8 (the tokenizer's input and its own strings).
inline char32_t decode_utf8(const char* s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  if (b0 < 0xE0) {
    const char32_t c = ((b0 & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
    i += 2;
    return c;
  }
  if (b0 < 0xF0) {
    const char32_t c = ((b0 & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                       (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
    i += 3;
    return c;
  }
  const char32_t c = ((b0 & 0x07u) << 18) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12) |
                     ((static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6) |
                     (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
  i += 4;
  return c;
}

inline std::size_t utf8_length(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

inline void put_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// The length of the UTF-8 sequence that starts with byte b (valid input).
inline std::size_t utf8_sequence_length(unsigned char b) {
  return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
}

}  // namespace mave::tokenize
