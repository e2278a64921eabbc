#include "base/utf8.hpp"

#include <cstdio>
#include <cstring>

namespace mave {

namespace {

// Examines the sequence at i. Returns its length when well formed; otherwise
// sets `incomplete` or the maximal-subpart length in `bad`.
std::size_t check_sequence(const unsigned char* s, std::size_t n, std::size_t i, bool& incomplete,
                           std::size_t& bad) {
  unsigned char b0 = s[i];
  incomplete = false;
  bad = 0;
  if (b0 < 0x80) return 1;
  unsigned char lo = 0x80, hi = 0xBF;
  std::size_t need;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    bad = 1;
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= n) {
      incomplete = true;
      return 0;
    }
    unsigned char b = s[i + k];
    unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) {
      bad = k;
      return 0;
    }
  }
  return need + 1;
}

}  // namespace

std::optional<Utf8Error> validate_utf8(std::string_view bytes) {
  auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size(), i = 0;
  while (i < n) {
    // ASCII fast path, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, s + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    bool incomplete;
    std::size_t bad;
    std::size_t len = check_sequence(s, n, i, incomplete, bad);
    if (len == 0) {
      if (incomplete) return Utf8Error{i, std::nullopt};
      return Utf8Error{i, bad};
    }
    i += len;
  }
  return std::nullopt;
}

std::pair<char32_t, std::size_t> decode_utf8_lossy(std::string_view text, std::size_t i) {
  auto* s = reinterpret_cast<const unsigned char*>(text.data());
  bool incomplete;
  std::size_t bad;
  std::size_t len = check_sequence(s, text.size(), i, incomplete, bad);
  if (len == 0) return {U'\uFFFD', incomplete ? text.size() - i : bad};
  char32_t c;
  switch (len) {
    case 1:
      c = s[i];
      break;
    case 2:
      c = (char32_t(s[i] & 0x1F) << 6) | (s[i + 1] & 0x3F);
      break;
    case 3:
      c = (char32_t(s[i] & 0x0F) << 12) | (char32_t(s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
      break;
    default:
      c = (char32_t(s[i] & 0x07) << 18) | (char32_t(s[i + 1] & 0x3F) << 12) |
          (char32_t(s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
  }
  return {c, len};
}

std::string from_utf8_lossy(std::string_view bytes) {
  std::string out;
  for_each_char_lossy(bytes, [&](char32_t c) { append_utf8(out, c); });
  return out;
}

std::string_view common_escape(char32_t c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\t':
      return "\\t";
    case '\r':
      return "\\r";
    case '\n':
      return "\\n";
    default:
      return {};
  }
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string quoted(std::string_view bytes) {
  std::string out = "\"";
  for (char c : from_utf8_lossy(bytes)) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::string_view escape = common_escape(byte); !escape.empty()) {
      out += escape;
    } else if (byte < 0x20 || byte == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", byte);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string_view utf8_errors_name(Utf8Errors errors) {
  switch (errors) {
    case Utf8Errors::Strict:
      return "strict";
    case Utf8Errors::Replace:
      return "replace";
    case Utf8Errors::Ignore:
      return "ignore";
  }
  return {};
}

std::optional<std::string_view> decode_word(std::string_view word, Utf8Errors errors, std::string& scratch) {
  if (!validate_utf8(word)) return word;
  if (errors == Utf8Errors::Strict) return std::nullopt;
  scratch.clear();
  std::size_t i = 0;
  while (i < word.size()) {
    // Valid runs are copied whole; each maximal ill-formed sequence becomes
    // one U+FFFD or nothing.
    std::optional<Utf8Error> bad = validate_utf8(word.substr(i));
    if (!bad) {
      scratch.append(word.substr(i));
      break;
    }
    scratch.append(word.substr(i, bad->valid_up_to));
    i += bad->valid_up_to;
    const std::size_t len = bad->error_len.value_or(word.size() - i);
    if (errors == Utf8Errors::Replace) scratch.append("\xEF\xBF\xBD");
    i += len;
  }
  return std::string_view(scratch);
}

}  // namespace mave
