// Running a tokenizer: the added tokens, the normalizer, the pre-tokenizer
// and the model, each as the `tokenizers` package runs it (its source's
// rules; the differential test holds us to its ids).
#include <algorithm>
#include <cstring>

#include "tokenize/pipeline.hpp"
#include "tokenize/unicode.hpp"

namespace mave::tokenize {

// --- Tables -------------------------------------------------------------------

namespace {

std::size_t table_capacity(std::size_t n) {
  std::size_t capacity = 16;
  while (capacity < n * 2) capacity *= 2;
  return capacity;
}

}  // namespace

std::optional<std::uint32_t> StringTable::index() {
  const std::size_t n = size();
  const std::size_t capacity = table_capacity(n);
  slots_.assign(capacity, 0);
  mask_ = capacity - 1;
  std::vector<std::uint64_t> hashes(n);
  for (std::uint32_t id = 0; id < n; ++id) hashes[id] = hash_of(at(id));
  std::optional<std::uint32_t> repeated;
  // The slots are visited at random: each is fetched some ids ahead.
  constexpr std::size_t kAhead = 16;
  for (std::uint32_t id = 0; id < n; ++id) {
    if (id + kAhead < n) prefetch(hashes[id + kAhead]);
    const std::uint64_t h = hashes[id];
    const auto tag = static_cast<std::uint32_t>(h >> 32);
    const std::uint64_t entry = (std::uint64_t{tag} << 32) | (id + 1);
    for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
      std::uint64_t& slot = slots_[i];
      if (slot == 0) {
        slot = entry;
        break;
      }
      // A string given twice is found as its last id (as a map filled in order).
      if (static_cast<std::uint32_t>(slot >> 32) == tag &&
          at(static_cast<std::uint32_t>(slot) - 1) == at(id)) {
        slot = entry;
        if (!repeated) repeated = id;
        break;
      }
    }
  }
  return repeated;
}

void PairTable::reserve(std::size_t n) {
  const std::size_t capacity = table_capacity(n);
  if (capacity <= keys_.size()) return;
  std::vector<std::uint64_t> keys(capacity, kEmpty), values(capacity, 0);
  const std::size_t mask = capacity - 1;
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    if (keys_[i] == kEmpty) continue;
    std::size_t j = mix(keys_[i]) & mask;
    while (keys[j] != kEmpty) j = (j + 1) & mask;
    keys[j] = keys_[i];
    values[j] = values_[i];
  }
  keys_ = std::move(keys);
  values_ = std::move(values);
  mask_ = mask;
}

void PairTable::insert(std::uint32_t a, std::uint32_t b, std::uint64_t value) {
  if (keys_.empty() || (count_ + 1) * 2 > keys_.size()) reserve(count_ + 1 > 8 ? (count_ + 1) * 2 : 16);
  const std::uint64_t key = (std::uint64_t{a} << 32) | b;
  for (std::size_t i = mix(key) & mask_;; i = (i + 1) & mask_) {
    if (keys_[i] == key) {
      values_[i] = value;
      return;
    }
    if (keys_[i] == kEmpty) {
      keys_[i] = key;
      values_[i] = value;
      ++count_;
      return;
    }
  }
}

void TokenMatcher::build(const std::vector<std::string>& patterns) {
  nodes_.assign(1, Node{});
  std::fill(std::begin(first_), std::end(first_), false);
  for (std::uint32_t p = 0; p < patterns.size(); ++p) {
    const std::string& s = patterns[p];
    if (s.empty()) continue;
    first_[static_cast<unsigned char>(s[0])] = true;
    std::uint32_t node = 0;
    for (unsigned char b : s) {
      if (const std::uint64_t* child = children_.find(node, b)) {
        node = static_cast<std::uint32_t>(*child);
      } else {
        nodes_.push_back(Node{});
        const auto next = static_cast<std::uint32_t>(nodes_.size() - 1);
        children_.insert(node, b, next);
        node = next;
      }
    }
    // The first of identical patterns is the one reported.
    if (nodes_[node].pattern == UINT32_MAX) nodes_[node].pattern = p;
  }
}

bool TokenMatcher::longest_at(std::string_view text, std::size_t at, std::uint32_t& pattern,
                              std::size_t& length) const {
  std::uint32_t node = 0;
  bool found = false;
  for (std::size_t i = at; i < text.size(); ++i) {
    const std::uint64_t* child = children_.find(node, static_cast<unsigned char>(text[i]));
    if (child == nullptr) break;
    node = static_cast<std::uint32_t>(*child);
    if (nodes_[node].pattern != UINT32_MAX) {
      pattern = nodes_[node].pattern;
      length = i + 1 - at;
      found = true;
    }
  }
  return found;
}

// --- Normalizers ----------------------------------------------------------------

namespace {

bool is_chinese_char(char32_t c) {
  // The CJK blocks of BERT's original code, as the BERT normalizer lists them.
  return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x20000 && c <= 0x2A6DF) ||
         (c >= 0x2A700 && c <= 0x2B73F) || (c >= 0x2B740 && c <= 0x2B81F) || (c >= 0x2B920 && c <= 0x2CEAF) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

bool is_white(char32_t c) { return c < 0x80 ? (c == ' ' || (c >= 9 && c <= 13)) : has(c, kWhite); }

bool is_ascii_punctuation(char32_t c) {
  return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
         (c >= 0x7B && c <= 0x7E);
}

bool is_punctuation(char32_t c) { return c < 0x80 ? is_ascii_punctuation(c) : has(c, kPunctuation); }

// GPT-2's characters for bytes: the printable ones as themselves, the others
// from U+0100 on in byte order (the ByteLevel table).
struct ByteChars {
  char32_t of[256];
  ByteChars() {
    bool direct[256] = {};
    for (int b = '!'; b <= '~'; ++b) direct[b] = true;
    for (int b = 0xA1; b <= 0xAC; ++b) direct[b] = true;
    for (int b = 0xAE; b <= 0xFF; ++b) direct[b] = true;
    char32_t next = 256;
    for (int b = 0; b < 256; ++b) of[b] = direct[b] ? static_cast<char32_t>(b) : next++;
  }
};
const ByteChars kByteChars;

// A step's output, with where each character came from when that is tracked.
struct Sink {
  std::u32string& chars;
  std::vector<std::uint32_t>& origin;
  bool track;
  void put(char32_t c, std::uint32_t from) {
    chars.push_back(c);
    if (track) origin.push_back(from);
  }
};

void decompose_into(const std::u32string& in, const std::vector<std::uint32_t>& in_origin, NormalForm form,
                    Sink out, TokenizerScratch& s) {
  normal_form(in, out.track ? in_origin.data() : nullptr, form, out.chars, out.track ? &out.origin : nullptr,
              s.work);
}

}  // namespace

void TokenizerImpl::normalize(std::string_view text, TokenizerScratch& s, std::string& out,
                              std::vector<std::uint32_t>* origin) const {
  out.clear();
  if (origin != nullptr) origin->clear();
  if (normalizers.empty()) {
    out.assign(text);
    if (origin != nullptr) {
      for (std::uint32_t i = 0; i < text.size(); ++i) origin->push_back(i);
    }
    return;
  }
  const bool track = origin != nullptr;
  int cur = 0;
  std::u32string* chars = &s.chars[0];
  std::vector<std::uint32_t>* from = &s.origin[0];
  chars->clear();
  from->clear();
  for (std::size_t i = 0; i < text.size();) {
    const auto at = static_cast<std::uint32_t>(i);
    chars->push_back(decode_utf8(text.data(), i));
    if (track) from->push_back(at);
  }
  for (const NormalizerStep& step : normalizers) {
    std::u32string& in = *chars;
    std::vector<std::uint32_t>& in_from = *from;
    std::u32string& next = s.chars[1 - cur];
    std::vector<std::uint32_t>& next_from = s.origin[1 - cur];
    next.clear();
    next_from.clear();
    Sink sink{next, next_from, track};
    auto origin_of = [&](std::size_t k) { return track ? in_from[k] : 0u; };
    switch (step.kind) {
      case NormalizerKind::Bert: {
        for (std::size_t k = 0; k < in.size(); ++k) {
          char32_t c = in[k];
          if (step.clean_text) {
            if (c == 0 || c == 0xFFFD) continue;
            if (c >= 0x80 || c < 0x20 || c == 0x7F) {
              const bool keep_control = c == '\t' || c == '\n' || c == '\r';
              if (!keep_control && has(c, kControl)) continue;
              if (keep_control || has(c, kWhite)) c = ' ';
            }
          }
          if (step.handle_chinese_chars && c >= 0x3400 && is_chinese_char(c)) {
            sink.put(' ', origin_of(k));
            sink.put(c, origin_of(k));
            sink.put(' ', origin_of(k));
          } else {
            sink.put(c, origin_of(k));
          }
        }
        if (step.strip_accents) {
          in.swap(next);
          in_from.swap(next_from);
          next.clear();
          next_from.clear();
          decompose_into(in, in_from, NormalForm::Nfd, sink, s);
          in.swap(next);
          in_from.swap(next_from);
          next.clear();
          next_from.clear();
          for (std::size_t k = 0; k < in.size(); ++k) {
            const char32_t c = in[k];
            if (c >= 0x300 && has(c, kNonspacingMark)) continue;
            sink.put(c, origin_of(k));
          }
        }
        if (step.lowercase) {
          in.swap(next);
          in_from.swap(next_from);
          next.clear();
          next_from.clear();
          for (std::size_t k = 0; k < in.size(); ++k) {
            char32_t lower[3];
            const std::size_t n = lowercase(in[k], lower);
            for (std::size_t m = 0; m < n; ++m) sink.put(lower[m], origin_of(k));
          }
        }
        break;
      }
      case NormalizerKind::Nfc:
        decompose_into(in, in_from, NormalForm::Nfc, sink, s);
        break;
      case NormalizerKind::Nfd:
        decompose_into(in, in_from, NormalForm::Nfd, sink, s);
        break;
      case NormalizerKind::Nfkc:
        decompose_into(in, in_from, NormalForm::Nfkc, sink, s);
        break;
      case NormalizerKind::Nfkd:
        decompose_into(in, in_from, NormalForm::Nfkd, sink, s);
        break;
      case NormalizerKind::Lowercase:
        for (std::size_t k = 0; k < in.size(); ++k) {
          char32_t lower[3];
          const std::size_t n = lowercase(in[k], lower);
          for (std::size_t m = 0; m < n; ++m) sink.put(lower[m], origin_of(k));
        }
        break;
      case NormalizerKind::StripAccents:
        for (std::size_t k = 0; k < in.size(); ++k) {
          if (in[k] >= 0x300 && has(in[k], kMark)) continue;
          sink.put(in[k], origin_of(k));
        }
        break;
      case NormalizerKind::Strip: {
        std::size_t begin = 0, end = in.size();
        if (step.left) {
          while (begin < end && is_white(in[begin])) ++begin;
        }
        if (step.right) {
          while (end > begin && is_white(in[end - 1])) --end;
        }
        for (std::size_t k = begin; k < end; ++k) sink.put(in[k], origin_of(k));
        break;
      }
      case NormalizerKind::Replace: {
        const std::u32string& p = step.pattern;
        for (std::size_t k = 0; k < in.size();) {
          if (in.compare(k, p.size(), p) == 0) {
            // The replacement takes the place of the match's last character.
            const std::uint32_t at = origin_of(k + p.size() - 1);
            for (char32_t c : step.content) sink.put(c, at);
            k += p.size();
          } else {
            sink.put(in[k], origin_of(k));
            ++k;
          }
        }
        break;
      }
      case NormalizerKind::Prepend:
        if (!in.empty()) {
          for (char32_t c : step.content) sink.put(c, origin_of(0));
          for (std::size_t k = 0; k < in.size(); ++k) sink.put(in[k], origin_of(k));
        }
        break;
      case NormalizerKind::Nmt:
        for (std::size_t k = 0; k < in.size(); ++k) {
          char32_t c = in[k];
          if ((c >= 0x01 && c <= 0x08) || c == 0x0B || (c >= 0x0E && c <= 0x1F) || c == 0x7F || c == 0x8F ||
              c == 0x9F) {
            continue;
          }
          if (c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x1680 ||
              (c >= 0x200B && c <= 0x200F) || c == 0x2028 || c == 0x2029 || c == 0x2581 || c == 0xFEFF ||
              c == 0xFFFD) {
            c = ' ';
          }
          sink.put(c, origin_of(k));
        }
        break;
      case NormalizerKind::ByteLevel:
        for (std::size_t k = 0; k < in.size(); ++k) {
          const char32_t c = in[k];
          unsigned char bytes[4];
          std::size_t n = 0;
          if (c < 0x80) {
            bytes[n++] = static_cast<unsigned char>(c);
          } else if (c < 0x800) {
            bytes[n++] = static_cast<unsigned char>(0xC0 | (c >> 6));
            bytes[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
          } else if (c < 0x10000) {
            bytes[n++] = static_cast<unsigned char>(0xE0 | (c >> 12));
            bytes[n++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            bytes[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
          } else {
            bytes[n++] = static_cast<unsigned char>(0xF0 | (c >> 18));
            bytes[n++] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            bytes[n++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            bytes[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
          }
          for (std::size_t m = 0; m < n; ++m) sink.put(kByteChars.of[bytes[m]], origin_of(k));
        }
        break;
    }
    chars = &next;
    from = &next_from;
    cur = 1 - cur;
  }
  for (std::size_t k = 0; k < chars->size(); ++k) {
    const std::size_t before = out.size();
    put_utf8(out, (*chars)[k]);
    if (track) origin->insert(origin->end(), out.size() - before, (*from)[k]);
  }
}

// --- Pre-tokenizers -------------------------------------------------------------

namespace {

constexpr std::uint64_t span(std::size_t begin, std::size_t end) {
  return (std::uint64_t{begin} << 32) | end;
}
constexpr std::size_t span_begin(std::uint64_t s) { return static_cast<std::size_t>(s >> 32); }
constexpr std::size_t span_end(std::uint64_t s) { return static_cast<std::size_t>(s & 0xFFFFFFFFu); }

// The pieces a behavior makes of the segments (the `tokenizers` rules),
// empty ones left out.
template <class Emit>
void apply_behavior(const std::vector<std::uint64_t>& segs, const std::vector<std::uint8_t>& is_match,
                    Behavior behavior, std::vector<std::uint64_t>& acc, Emit&& emit) {
  acc.clear();
  switch (behavior) {
    case Behavior::Isolated:
      acc.assign(segs.begin(), segs.end());
      break;
    case Behavior::Removed:
      for (std::size_t i = 0; i < segs.size(); ++i) {
        if (!is_match[i]) acc.push_back(segs[i]);
      }
      break;
    case Behavior::Contiguous: {
      bool previous = false;
      for (std::size_t i = 0; i < segs.size(); ++i) {
        const bool m = is_match[i] != 0;
        if (m == previous && !acc.empty()) {
          acc.back() = span(span_begin(acc.back()), span_end(segs[i]));
        } else {
          acc.push_back(segs[i]);
        }
        previous = m;
      }
      break;
    }
    case Behavior::MergedWithPrevious: {
      bool previous = false;
      for (std::size_t i = 0; i < segs.size(); ++i) {
        const bool m = is_match[i] != 0;
        if (m && !previous && !acc.empty()) {
          acc.back() = span(span_begin(acc.back()), span_end(segs[i]));
        } else {
          acc.push_back(segs[i]);
        }
        previous = m;
      }
      break;
    }
    case Behavior::MergedWithNext: {
      bool previous = false;
      for (std::size_t i = segs.size(); i-- > 0;) {
        const bool m = is_match[i] != 0;
        if (m && !previous && !acc.empty()) {
          acc.back() = span(span_begin(segs[i]), span_end(acc.back()));
        } else {
          acc.push_back(segs[i]);
        }
        previous = m;
      }
      std::reverse(acc.begin(), acc.end());
      break;
    }
  }
  for (std::uint64_t a : acc) {
    if (span_end(a) > span_begin(a)) emit(span_begin(a), span_end(a));
  }
}

// Segments of a character pattern: each matching character one match.
template <class Pred>
void char_segments(std::string_view text, std::size_t begin, std::size_t end, Pred&& pred,
                   std::vector<std::uint64_t>& segs, std::vector<std::uint8_t>& is_match) {
  segs.clear();
  is_match.clear();
  std::size_t last = begin;
  for (std::size_t i = begin; i < end;) {
    const std::size_t at = i;
    const char32_t c = decode_utf8(text.data(), i);
    if (pred(c)) {
      if (last < at) {
        segs.push_back(span(last, at));
        is_match.push_back(0);
      }
      segs.push_back(span(at, i));
      is_match.push_back(1);
      last = i;
    }
  }
  if (last < end) {
    segs.push_back(span(last, end));
    is_match.push_back(0);
  }
}

enum class Gpt2Class : std::uint8_t { Letter, Number, White, Other };

Gpt2Class gpt2_class(char32_t c) {
  if (c < 0x80) {
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return Gpt2Class::Letter;
    if (c >= '0' && c <= '9') return Gpt2Class::Number;
    if (c == ' ' || (c >= 9 && c <= 13)) return Gpt2Class::White;
    return Gpt2Class::Other;
  }
  const std::uint16_t f = char_flags(c);
  if (f & kLetter) return Gpt2Class::Letter;
  if (f & kNumber) return Gpt2Class::Number;
  if (f & kWhite) return Gpt2Class::White;
  return Gpt2Class::Other;
}

// The matches of GPT-2's pattern
//   's|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+
// (leftmost-first with backtracking): every character is in one.
template <class Emit>
void gpt2_split(const std::u32string& t, const std::vector<std::size_t>& offsets, Emit&& emit) {
  const std::size_t n = t.size();
  auto cls = [&](std::size_t k) { return gpt2_class(t[k]); };
  std::size_t i = 0;
  while (i < n) {
    const char32_t c = t[i];
    if (c == '\'' && i + 1 < n) {
      const char32_t d = t[i + 1];
      std::size_t len = 0;
      if (d == 's' || d == 't' || d == 'm' || d == 'd') {
        len = 2;
      } else if (i + 2 < n && ((d == 'r' && t[i + 2] == 'e') || (d == 'v' && t[i + 2] == 'e') ||
                               (d == 'l' && t[i + 2] == 'l'))) {
        len = 3;
      }
      if (len != 0) {
        emit(offsets[i], offsets[i + len]);
        i += len;
        continue;
      }
    }
    const Gpt2Class here = cls(i);
    std::size_t from = i;
    Gpt2Class run = here;
    if (c == ' ' && i + 1 < n && cls(i + 1) != Gpt2Class::White) {
      from = i + 1;
      run = cls(i + 1);
    }
    if (run != Gpt2Class::White) {
      std::size_t j = from + 1;
      while (j < n && cls(j) == run) ++j;
      emit(offsets[i], offsets[j]);
      i = j;
      continue;
    }
    // Whitespace: all of it at the end; before anything else, all but the
    // last character (which a following word may take), or one character.
    std::size_t j = i + 1;
    while (j < n && cls(j) == Gpt2Class::White) ++j;
    std::size_t end = j;
    if (j < n && j - i >= 2) end = j - 1;
    if (j < n && j - i == 1) end = j;
    emit(offsets[i], offsets[end]);
    i = end;
  }
}

}  // namespace

int TokenizerImpl::pre_tokenize(const std::string& normalized, const std::uint32_t* origin, bool region_first,
                                TokenizerScratch& s) const {
  int cur = 0;
  s.pieces[0].clear();
  s.piece_first[0].clear();
  s.pieces_text[0].assign(normalized);
  if (normalized.empty()) return 0;
  s.pieces[0].push_back(span(0, normalized.size()));
  s.piece_first[0].push_back(region_first && (origin == nullptr || origin[0] == 0));
  // Until a step rewrites the text, a piece's bytes are the normalized text's,
  // and where each came from is known.
  bool same_bytes = true;
  for (const PreTokenizerStep& step : pre_tokenizers) {
    const std::string& text = s.pieces_text[cur];
    std::vector<std::uint64_t>& next = s.pieces[1 - cur];
    std::vector<std::uint8_t>& next_first = s.piece_first[1 - cur];
    std::string& next_text = s.pieces_text[1 - cur];
    next.clear();
    next_first.clear();
    next_text.clear();
    const bool transforms =
        step.kind == PreTokenizerKind::ByteLevel || step.kind == PreTokenizerKind::Metaspace;
    if (!transforms) next_text.assign(text);
    for (std::size_t p = 0; p < s.pieces[cur].size(); ++p) {
      const std::size_t begin = span_begin(s.pieces[cur][p]), end = span_end(s.pieces[cur][p]);
      const bool first = s.piece_first[cur][p] != 0;
      // Whether a sub-piece starts where the text does: every piece made of
      // the text's first character does (a character normalized into several).
      auto starts_first = [&](std::size_t at) {
        if (!first) return false;
        if (at == begin) return true;
        return same_bytes && origin != nullptr && origin[at] == 0;
      };
      auto keep = [&](std::size_t b, std::size_t e) {
        next.push_back(span(b, e));
        next_first.push_back(starts_first(b));
      };
      switch (step.kind) {
        case PreTokenizerKind::Bert: {
          // Whitespace removed, then each punctuation character isolated.
          std::size_t i = begin;
          while (i < end) {
            std::size_t at = i;
            char32_t c = decode_utf8(text.data(), i);
            if (is_white(c)) continue;
            if (is_punctuation(c)) {
              keep(at, i);
              continue;
            }
            std::size_t word_end = i;
            while (word_end < end) {
              std::size_t k = word_end;
              c = decode_utf8(text.data(), k);
              if (is_white(c) || is_punctuation(c)) break;
              word_end = k;
            }
            keep(at, word_end);
            i = word_end;
          }
          break;
        }
        case PreTokenizerKind::Whitespace: {
          // The matches of \w+|[^\w\s]+.
          std::size_t i = begin;
          while (i < end) {
            const std::size_t at = i;
            const char32_t c = decode_utf8(text.data(), i);
            auto word = [](char32_t x) {
              return x < 0x80 ? ((x | 0x20) >= 'a' && (x | 0x20) <= 'z') || (x >= '0' && x <= '9') || x == '_'
                              : has(x, kWord);
            };
            if (is_white(c)) continue;
            const bool w = word(c);
            std::size_t run_end = i;
            while (run_end < end) {
              std::size_t k = run_end;
              const char32_t d = decode_utf8(text.data(), k);
              if (w ? !word(d) : (word(d) || is_white(d))) break;
              run_end = k;
            }
            keep(at, run_end);
            i = run_end;
          }
          break;
        }
        case PreTokenizerKind::WhitespaceSplit: {
          std::size_t i = begin;
          while (i < end) {
            const std::size_t at = i;
            if (is_white(decode_utf8(text.data(), i))) continue;
            std::size_t run_end = i;
            while (run_end < end) {
              std::size_t k = run_end;
              if (is_white(decode_utf8(text.data(), k))) break;
              run_end = k;
            }
            keep(at, run_end);
            i = run_end;
          }
          break;
        }
        case PreTokenizerKind::Punctuation:
          char_segments(text, begin, end, is_punctuation, s.spans, s.matches);
          apply_behavior(s.spans, s.matches, step.behavior, s.merged, keep);
          break;
        case PreTokenizerKind::Digits:
          char_segments(
              text, begin, end,
              [](char32_t c) { return c < 0x80 ? (c >= '0' && c <= '9') : has(c, kNumeric); }, s.spans,
              s.matches);
          apply_behavior(s.spans, s.matches, step.flag ? Behavior::Isolated : Behavior::Contiguous, s.merged,
                         keep);
          break;
        case PreTokenizerKind::CharDelimiter:
          char_segments(
              text, begin, end, [&](char32_t c) { return c == step.character; }, s.spans, s.matches);
          apply_behavior(s.spans, s.matches, Behavior::Removed, s.merged, keep);
          break;
        case PreTokenizerKind::Split: {
          s.spans.clear();
          s.matches.clear();
          const std::string_view piece(text.data() + begin, end - begin);
          std::size_t last = 0;
          for (std::size_t at = piece.find(step.pattern); at != std::string_view::npos;
               at = piece.find(step.pattern, last)) {
            if (last < at) {
              s.spans.push_back(span(begin + last, begin + at));
              s.matches.push_back(step.flag ? 1 : 0);
            }
            s.spans.push_back(span(begin + at, begin + at + step.pattern.size()));
            s.matches.push_back(step.flag ? 0 : 1);
            last = at + step.pattern.size();
          }
          if (last < piece.size()) {
            s.spans.push_back(span(begin + last, end));
            s.matches.push_back(step.flag ? 1 : 0);
          }
          apply_behavior(s.spans, s.matches, step.behavior, s.merged, keep);
          break;
        }
        case PreTokenizerKind::ByteLevel: {
          std::u32string& t = s.chars[0];
          std::vector<std::size_t>& offsets = s.offsets;
          t.clear();
          offsets.clear();
          std::string& bytes = s.word;
          bytes.clear();
          if (step.flag && text[begin] != ' ') bytes.push_back(' ');
          bytes.append(text, begin, end - begin);
          for (std::size_t i = 0; i < bytes.size();) {
            offsets.push_back(i);
            t.push_back(decode_utf8(bytes.data(), i));
          }
          offsets.push_back(bytes.size());
          auto emit = [&](std::size_t b, std::size_t e) {
            const std::size_t out_begin = next_text.size();
            for (std::size_t k = b; k < e; ++k)
              put_utf8(next_text, kByteChars.of[static_cast<unsigned char>(bytes[k])]);
            next.push_back(span(out_begin, next_text.size()));
            next_first.push_back(first && b == 0);
          };
          if (step.use_regex) {
            gpt2_split(t, offsets, emit);
          } else {
            emit(0, bytes.size());
          }
          break;
        }
        case PreTokenizerKind::Metaspace: {
          const std::size_t out_begin = next_text.size();
          const std::string_view replacement = step.pattern;
          bool starts = true;
          for (std::size_t i = begin; i < end; ++i) {
            if (text[i] == ' ') {
              next_text.append(replacement);
            } else {
              next_text.push_back(text[i]);
            }
          }
          starts = next_text.compare(out_begin, replacement.size(), replacement) == 0;
          const bool prepend = !starts && (step.prepend == PrependScheme::Always ||
                                           (step.prepend == PrependScheme::First && first));
          if (prepend) next_text.insert(out_begin, replacement);
          const std::size_t out_end = next_text.size();
          if (!step.split) {
            next.push_back(span(out_begin, out_end));
            next_first.push_back(first);
            break;
          }
          // Each replacement character starts a piece (MergedWithNext).
          std::size_t piece_begin = out_begin;
          for (std::size_t i = out_begin; i < out_end;) {
            const std::size_t at = i;
            const char32_t c = decode_utf8(next_text.data(), i);
            if (c == step.character && at > piece_begin) {
              next.push_back(span(piece_begin, at));
              next_first.push_back(first && piece_begin == out_begin);
              piece_begin = at;
            }
          }
          if (out_end > piece_begin) {
            next.push_back(span(piece_begin, out_end));
            next_first.push_back(first && piece_begin == out_begin);
          }
          break;
        }
      }
    }
    if (transforms) same_bytes = false;
    cur = 1 - cur;
  }
  return cur;
}

// --- Models ---------------------------------------------------------------------

void TokenizerImpl::word_piece(std::string_view piece, std::vector<std::uint32_t>& ids,
                               TokenizerScratch& s) const {
  std::vector<std::uint64_t>& bounds = s.boundaries;
  bounds.clear();
  for (std::size_t i = 0; i < piece.size(); i += utf8_sequence_length(static_cast<unsigned char>(piece[i]))) {
    bounds.push_back(i);
  }
  bounds.push_back(piece.size());
  if (bounds.size() - 1 > max_input_chars_per_word) {
    ids.push_back(*unk);
    return;
  }
  const std::size_t mark = ids.size();
  const std::string_view prefix = continuing_subword_prefix;
  std::vector<std::uint64_t>& hashes = s.queue;
  std::size_t start = 0;  // index into bounds
  while (start + 1 < bounds.size()) {
    Hasher h;
    if (start > 0) h.feed(prefix);
    hashes.clear();
    // The candidates: no longer than the longest token, nor past what no
    // long token starts with.
    const std::size_t base = start > 0 ? prefix.size() : 0;
    for (std::size_t k = start + 1; k < bounds.size(); ++k) {
      const std::size_t length = base + bounds[k] - bounds[start];
      if (length > max_token_bytes) break;
      h.feed(piece.substr(bounds[k - 1], bounds[k] - bounds[k - 1]));
      if (length > kShortToken && !std::binary_search(long_prefixes.begin(), long_prefixes.end(), h.h)) break;
      hashes.push_back(h.h);
    }
    bool found = false;
    for (std::size_t k = start + hashes.size(); k > start; --k) {
      const std::string_view sub = piece.substr(bounds[start], bounds[k] - bounds[start]);
      const auto id = vocab.find(hashes[k - start - 1], {start > 0 ? prefix : std::string_view(), sub});
      if (id && *id < model_size) {
        ids.push_back(*id);
        start = k;
        found = true;
        break;
      }
    }
    if (!found) {
      ids.resize(mark);
      ids.push_back(*unk);
      return;
    }
  }
}

void TokenizerImpl::word_level(std::string_view piece, std::vector<std::uint32_t>& ids) const {
  const auto id = vocab.find(piece);
  ids.push_back(id && *id < model_size ? *id : *unk);
}

void TokenizerImpl::bpe(std::string_view piece, std::vector<std::uint32_t>& ids, TokenizerScratch& s) const {
  if (ignore_merges) {
    if (const auto id = vocab.find(piece); id && *id < model_size) {
      ids.push_back(*id);
      return;
    }
  }
  std::vector<std::uint32_t>& symbols = s.symbols;  // ids; UINT32_MAX once merged away
  std::vector<std::int32_t>& links = s.links;       // prev, next per symbol
  symbols.clear();
  links.clear();
  auto add = [&](std::uint32_t id) {
    const auto n = static_cast<std::int32_t>(symbols.size());
    if (n > 0) links[2 * static_cast<std::size_t>(n - 1) + 1] = n;
    symbols.push_back(id);
    links.push_back(n - 1);
    links.push_back(-1);
  };
  const std::string_view prefix =
      has_prefix ? std::string_view(continuing_subword_prefix) : std::string_view();
  const std::string_view suffix = has_suffix ? std::string_view(end_of_word_suffix) : std::string_view();
  bool pending_unk = false;
  for (std::size_t i = 0; i < piece.size();) {
    const std::size_t len = utf8_sequence_length(static_cast<unsigned char>(piece[i]));
    const std::string_view c = piece.substr(i, len);
    const std::string_view pre = i > 0 ? prefix : std::string_view();
    const std::string_view suf = i + len == piece.size() ? suffix : std::string_view();
    i += len;
    Hasher h;
    h.feed(pre);
    h.feed(c);
    h.feed(suf);
    const auto id = vocab.find(h.h, {pre, c, suf});
    if (id && *id < model_size) {
      if (pending_unk) {
        add(*unk);
        pending_unk = false;
      }
      add(*id);
      continue;
    }
    if (byte_fallback) {
      bool all = true;
      for (std::string_view part : {pre, c, suf}) {
        for (unsigned char b : part) all = all && byte_ids[b] != UINT32_MAX;
      }
      if (all) {
        // As the reference: bytes go in before an unknown run still pending.
        for (std::string_view part : {pre, c, suf}) {
          for (unsigned char b : part) add(byte_ids[b]);
        }
        continue;
      }
    }
    if (unk) {
      if (pending_unk && !fuse_unk) add(*unk);
      pending_unk = true;
    }
  }
  if (pending_unk) add(*unk);

  // Merges by rank, leftmost first among equal ranks; a queued merge whose
  // pair has since changed is skipped (a min-heap of rank << 32 | position).
  std::vector<std::uint64_t>& queue = s.queue;
  queue.clear();
  auto greater = std::greater<std::uint64_t>();
  auto push = [&](std::size_t pos) {
    const std::int32_t next = links[2 * pos + 1];
    if (next < 0) return;
    if (const std::uint64_t* m = merges.find(symbols[pos], symbols[static_cast<std::size_t>(next)])) {
      queue.push_back((*m & 0xFFFFFFFF00000000ull) | pos);
      std::push_heap(queue.begin(), queue.end(), greater);
    }
  };
  for (std::size_t pos = 0; pos + 1 < symbols.size(); ++pos) {
    if (const std::uint64_t* m = merges.find(symbols[pos], symbols[pos + 1])) {
      queue.push_back((*m & 0xFFFFFFFF00000000ull) | pos);
    }
  }
  std::make_heap(queue.begin(), queue.end(), greater);
  while (!queue.empty()) {
    std::pop_heap(queue.begin(), queue.end(), greater);
    const std::uint64_t top = queue.back();
    queue.pop_back();
    const auto pos = static_cast<std::size_t>(top & 0xFFFFFFFFu);
    const auto rank = static_cast<std::uint32_t>(top >> 32);
    if (symbols[pos] == UINT32_MAX) continue;
    const std::int32_t next = links[2 * pos + 1];
    if (next < 0) continue;
    const auto right = static_cast<std::size_t>(next);
    const std::uint64_t* m = merges.find(symbols[pos], symbols[right]);
    const std::uint32_t new_id = merge_result[rank];
    if (m == nullptr || static_cast<std::uint32_t>(*m) != new_id) continue;
    symbols[pos] = new_id;
    symbols[right] = UINT32_MAX;
    const std::int32_t after = links[2 * right + 1];
    links[2 * pos + 1] = after;
    if (after >= 0) links[2 * static_cast<std::size_t>(after)] = static_cast<std::int32_t>(pos);
    const std::int32_t prev = links[2 * pos];
    if (prev >= 0) push(static_cast<std::size_t>(prev));
    push(pos);
  }
  for (std::uint32_t id : symbols) {
    if (id != UINT32_MAX) ids.push_back(id);
  }
}

void TokenizerImpl::unigram(std::string_view piece, std::vector<std::uint32_t>& ids,
                            TokenizerScratch& s) const {
  const std::size_t n = piece.size();
  std::vector<double>& best = s.scores;
  std::vector<std::uint32_t>& link = s.best;  // per end: start << ... stored as two entries
  best.assign(n + 1, 0.0);
  link.assign(2 * (n + 1), UINT32_MAX);  // [2e]: start of the best node ending at e; [2e+1]: its id
  for (std::size_t start = 0; start < n;) {
    const double here = best[start];
    const std::size_t mblen = utf8_sequence_length(static_cast<unsigned char>(piece[start]));
    bool has_single = false;
    // Every token that starts here, shortest first.
    Hasher h;
    for (std::size_t i = start; i < n && i - start < max_token_bytes;) {
      const std::size_t len = utf8_sequence_length(static_cast<unsigned char>(piece[i]));
      h.feed(piece.substr(i, len));
      i += len;
      if (i - start > kShortToken && !std::binary_search(long_prefixes.begin(), long_prefixes.end(), h.h))
        break;
      const auto found = vocab.find(h.h, {piece.substr(start, i - start)});
      if (!found || *found >= model_size) continue;
      const std::uint32_t id = *found;
      const std::size_t end = i;
      const double candidate = scores[id] + here;
      if (link[2 * end] == UINT32_MAX || candidate > best[end]) {
        best[end] = candidate;
        link[2 * end] = static_cast<std::uint32_t>(start);
        link[2 * end + 1] = id;
      }
      if (end - start == mblen) has_single = true;
    }
    if (!has_single) {
      const std::size_t end = start + mblen;
      const double candidate = unk_score + here;
      if (link[2 * end] == UINT32_MAX || candidate > best[end]) {
        best[end] = candidate;
        link[2 * end] = static_cast<std::uint32_t>(start);
        link[2 * end + 1] = *unk;
      }
    }
    start += mblen;
  }
  // The best path, backwards; unknown characters in a row become one piece.
  std::vector<std::uint64_t>& path = s.spans;  // begin << 32 | end, with the id in symbols
  std::vector<std::uint32_t>& path_ids = s.symbols;
  path.clear();
  path_ids.clear();
  std::size_t end = n;
  std::size_t unk_end = SIZE_MAX;
  while (end > 0) {
    const std::size_t start = link[2 * end];
    const std::uint32_t id = link[2 * end + 1];
    if (id == *unk) {
      if (unk_end == SIZE_MAX) unk_end = end;
    } else {
      if (unk_end != SIZE_MAX) {
        path.push_back(span(end, unk_end));
        path_ids.push_back(UINT32_MAX);
        unk_end = SIZE_MAX;
      }
      path.push_back(span(start, end));
      path_ids.push_back(id);
    }
    end = start;
  }
  if (unk_end != SIZE_MAX) {
    path.push_back(span(0, unk_end));
    path_ids.push_back(UINT32_MAX);
  }
  for (std::size_t k = path.size(); k-- > 0;) {
    if (path_ids[k] != UINT32_MAX) {
      ids.push_back(path_ids[k]);
      continue;
    }
    const std::string_view unknown =
        piece.substr(span_begin(path[k]), span_end(path[k]) - span_begin(path[k]));
    if (const auto id = vocab.find(unknown); id && *id < model_size) {
      ids.push_back(*id);
      continue;
    }
    if (byte_fallback) {
      bool all = true;
      for (unsigned char b : unknown) all = all && byte_ids[b] != UINT32_MAX;
      if (all) {
        for (unsigned char b : unknown) ids.push_back(byte_ids[b]);
        continue;
      }
    }
    ids.push_back(*unk);
  }
}

void TokenizerImpl::tokenize_piece(std::string_view piece, std::vector<std::uint32_t>& ids,
                                   TokenizerScratch& s) const {
  switch (model) {
    case ModelKind::WordPiece:
      word_piece(piece, ids, s);
      break;
    case ModelKind::Bpe:
      bpe(piece, ids, s);
      break;
    case ModelKind::Unigram:
      unigram(piece, ids, s);
      break;
    case ModelKind::WordLevel:
      word_level(piece, ids);
      break;
  }
}

// --- The whole encoding ---------------------------------------------------------

namespace {

bool is_word_char(char32_t c) {
  return c < 0x80 ? ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || (c >= '0' && c <= '9') || c == '_'
                  : has(c, kWord);
}

// The character that ends text[..at], or none.
bool last_char_before(std::string_view text, std::size_t at, char32_t& c) {
  if (at == 0) return false;
  std::size_t i = at - 1;
  while (i > 0 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) --i;
  c = decode_utf8(text.data(), i);
  return true;
}

}  // namespace

// The added tokens found in `text` (leftmost-longest, then each token's
// single_word, lstrip and rstrip as the reference applies them), as spans;
// a token span has its id in `ids_out`, others UINT32_MAX.
static void find_added(const TokenizerImpl& t, const TokenMatcher& matcher,
                       const std::vector<std::uint32_t>& pattern_ids, std::string_view text,
                       std::vector<std::uint64_t>& spans, std::vector<std::uint32_t>& span_ids) {
  spans.clear();
  span_ids.clear();
  std::size_t start_offset = 0;
  if (!matcher.empty()) {
    for (std::size_t i = 0; i < text.size();) {
      std::uint32_t pattern = 0;
      std::size_t length = 0;
      if (!matcher.may_start(static_cast<unsigned char>(text[i])) ||
          !matcher.longest_at(text, i, pattern, length)) {
        ++i;
        continue;
      }
      std::size_t start = i, stop = i + length;
      i = stop;
      const std::uint32_t id = pattern_ids[pattern];
      const std::uint8_t flags = t.flags_by_id[id];
      if (flags & kSingleWord) {
        char32_t c = 0;
        const bool start_space = !last_char_before(text, start, c) || !is_word_char(c);
        bool stop_space = stop == text.size();
        if (!stop_space) {
          std::size_t k = stop;
          stop_space = !is_word_char(decode_utf8(text.data(), k));
        }
        if (!start_space || !stop_space) continue;
      }
      if (flags & kLstrip) {
        std::size_t new_start = start;
        char32_t c = 0;
        while (last_char_before(text, new_start, c) && is_white(c)) new_start -= utf8_length(c);
        start = std::max(new_start, start_offset);
      }
      if (flags & kRstrip) {
        while (stop < text.size()) {
          std::size_t k = stop;
          if (!is_white(decode_utf8(text.data(), k))) break;
          stop = k;
        }
      }
      if (start_offset < start) {
        spans.push_back(span(start_offset, start));
        span_ids.push_back(UINT32_MAX);
      }
      spans.push_back(span(start, stop));
      span_ids.push_back(id);
      start_offset = stop;
    }
  }
  if (start_offset < text.size()) {
    spans.push_back(span(start_offset, text.size()));
    span_ids.push_back(UINT32_MAX);
  }
}

void TokenizerImpl::encode(std::string_view text, std::vector<std::uint32_t>& ids, TokenizerScratch& s,
                           std::size_t max_ids) const {
  if (max_ids == 0) return;
  const std::size_t start = ids.size();
  auto full = [&] {
    if (ids.size() - start < max_ids) return false;
    ids.resize(start + max_ids);
    return true;
  };
  find_added(*this, raw_matcher, raw_ids, text, s.raw_spans, s.raw_span_ids);
  // The spans are copied: the normalized text's own search reuses the buffers.
  const std::size_t n_raw = s.raw_spans.size();
  for (std::size_t r = 0; r < n_raw; ++r) {
    const std::uint64_t raw = s.raw_spans[r];
    const std::uint32_t raw_id = s.raw_span_ids[r];
    if (raw_id != UINT32_MAX) {
      ids.push_back(raw_id);
      if (full()) return;
      continue;
    }
    const std::size_t begin = span_begin(raw), end = span_end(raw);
    const bool region_first = begin == 0;
    std::vector<std::uint32_t>* origin = track_origin ? &s.normalized_origin : nullptr;
    normalize(text.substr(begin, end - begin), s, s.normalized, origin);
    find_added(*this, normalized_matcher, normalized_ids, s.normalized, s.spans2, s.span2_ids);
    for (std::size_t k = 0; k < s.spans2.size(); ++k) {
      if (s.span2_ids[k] != UINT32_MAX) {
        ids.push_back(s.span2_ids[k]);
        if (full()) return;
        continue;
      }
      const std::size_t b = span_begin(s.spans2[k]), e = span_end(s.spans2[k]);
      s.region.assign(s.normalized, b, e - b);
      const std::uint32_t* from = origin != nullptr ? origin->data() + b : nullptr;
      const int which = pre_tokenize(s.region, from, region_first, s);
      const std::vector<std::uint64_t>& pieces = s.pieces[which];
      for (std::uint64_t p : pieces) {
        const std::string_view piece(s.pieces_text[which].data() + span_begin(p),
                                     span_end(p) - span_begin(p));
        tokenize_piece(piece, ids, s);
        if (full()) return;
      }
    }
  }
}

}  // namespace mave::tokenize
