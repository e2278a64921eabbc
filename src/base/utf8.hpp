// UTF-8 validation with the error descriptions shown in messages, and the
// small decoding helpers shared by the readers and the n-gram code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace mave {

struct Utf8Error {
  std::size_t valid_up_to;
  // Length (1 to 3) of the maximal ill-formed subsequence at valid_up_to, or
  // none when the input ends inside a sequence that could still be completed.
  std::optional<std::size_t> error_len;
};

std::optional<Utf8Error> validate_utf8(std::string_view bytes);

// Decodes the character at byte offset i; ill-formed input gives U+FFFD and the
// length of the maximal ill-formed subsequence.
std::pair<char32_t, std::size_t> decode_utf8_lossy(std::string_view text, std::size_t i);

// Calls f with each character of `text` in order, each maximal ill-formed
// subsequence as one U+FFFD.
template <class F>
void for_each_char_lossy(std::string_view text, F&& f) {
  for (std::size_t i = 0; i < text.size();) {
    const auto [c, len] = decode_utf8_lossy(text, i);
    f(c);
    i += len;
  }
}

// The backslash escape both message styles give a quote, a backslash, a tab,
// a carriage return or a line feed (pinned in _mave's debug text); empty for
// any other character.
std::string_view common_escape(char32_t c);

// Replaces each maximal ill-formed subsequence by one U+FFFD.
std::string from_utf8_lossy(std::string_view bytes);

void append_utf8(std::string& out, char32_t c);

// What becomes of words that are not valid UTF-8, as Python's decoder does
// with the same names: Strict refuses the file; Replace puts U+FFFD for each
// maximal ill-formed sequence; Ignore leaves those bytes out. With Replace
// and Ignore a word that becomes empty, or equal to an earlier word, is
// dropped with its row (counted in `dropped_words`), and so is a repeated
// word; with Strict a repeat is an error.
enum class Utf8Errors { Strict, Replace, Ignore };

// "strict", "replace", "ignore".
std::string_view utf8_errors_name(Utf8Errors errors);

// A word as `errors` makes it: itself when valid UTF-8, else decoded into
// `scratch` (Strict gives none).
std::optional<std::string_view> decode_word(std::string_view word, Utf8Errors errors, std::string& scratch);

// Bytes as shown in plain messages: in double quotes, ill-formed UTF-8 as
// U+FFFD, quotes, backslashes and control characters escaped.
std::string quoted(std::string_view bytes);

}  // namespace mave
