#include "tokenize/unicode.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <memory>

#include <utf8proc.h>

namespace mave::tokenize {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

struct LowercaseException {
  char32_t code_point;
  std::uint8_t length;
  char32_t lower[3];
};

#include "tokenize/unicode_tables.inc"

bool in_ranges(const CodePointRange* begin, const CodePointRange* end, char32_t c) {
  const auto* it = std::upper_bound(begin, end, c,
                                    [](char32_t value, const CodePointRange& r) { return value < r.first; });
  return it != begin && c <= (it - 1)->last;
}

template <std::size_t N>
bool flipped(const CodePointRange (&table)[N], char32_t c) {
  return in_ranges(table, table + N, c);
}

// The base rules, from utf8proc's general categories. White_Space is the
// separators and six controls (utf8proc has no White_Space property; the
// set has not changed since Unicode 6.3). \w is UTS #18's Alphabetic, marks,
// decimal digits, connector punctuation and the two joiners, with
// Alphabetic approximated by letters and letter numbers: the symbols that
// are Other_Alphabetic (circled letters) come from the tables.
std::uint16_t compute_flags(char32_t c) {
  const auto category = utf8proc_category(static_cast<utf8proc_int32_t>(c));
  const bool letter = category >= UTF8PROC_CATEGORY_LU && category <= UTF8PROC_CATEGORY_LO;
  const bool mark = category >= UTF8PROC_CATEGORY_MN && category <= UTF8PROC_CATEGORY_ME;
  const bool number = category >= UTF8PROC_CATEGORY_ND && category <= UTF8PROC_CATEGORY_NO;
  const bool punctuation = category >= UTF8PROC_CATEGORY_PC && category <= UTF8PROC_CATEGORY_PO;
  const bool white = (c >= 0x09 && c <= 0x0D) || c == 0x85 ||
                     (category >= UTF8PROC_CATEGORY_ZS && category <= UTF8PROC_CATEGORY_ZP);
  const bool word = letter || mark || category == UTF8PROC_CATEGORY_ND || category == UTF8PROC_CATEGORY_NL ||
                    category == UTF8PROC_CATEGORY_PC || c == 0x200C || c == 0x200D;
  const bool control = category >= UTF8PROC_CATEGORY_CC && category <= UTF8PROC_CATEGORY_CO;
  std::uint16_t flags = 0;
  auto set = [&](bool base, const auto& table, std::uint16_t flag) {
    if (base != flipped(table, c)) flags |= flag;
  };
  set(white, kWhiteFlipped, kWhite);
  set(number, kNumericFlipped, kNumeric);
  set(word, kWordFlipped, kWord);
  set(letter, kLetterFlipped, kLetter);
  set(number, kNumberFlipped, kNumber);
  set(control, kControlFlipped, kControl);
  set(category == UTF8PROC_CATEGORY_MN, kNonspacingMarkFlipped, kNonspacingMark);
  set(punctuation, kPunctuationFlipped, kPunctuation);
  set(mark, kMarkFlipped, kMark);
  set(false, kNormalizationExempt, kNormExempt);
  const auto* exception =
      std::lower_bound(std::begin(kLowercaseExceptions), std::end(kLowercaseExceptions), c,
                       [](const LowercaseException& e, char32_t value) { return e.code_point < value; });
  if (exception != std::end(kLowercaseExceptions) && exception->code_point == c) flags |= kLowerException;
  return flags;
}

// The Basic Multilingual Plane's answers, computed once; the other planes'
// when asked.
const std::array<std::uint16_t, 0x10000>& bmp_flags() {
  static const std::unique_ptr<std::array<std::uint16_t, 0x10000>> table = [] {
    auto t = std::make_unique<std::array<std::uint16_t, 0x10000>>();
    for (char32_t c = 0; c < 0x10000; ++c) (*t)[c] = compute_flags(c);
    return t;
  }();
  return *table;
}

// Canonical combining class as the reference knows it.
int combining_class(char32_t c, std::uint16_t flags) {
  if (c < 0x300 || (flags & kNormExempt) != 0) return 0;
  return utf8proc_get_property(static_cast<utf8proc_int32_t>(c))->combining_class;
}

constexpr char32_t kHangulSBase = 0xAC00, kHangulLBase = 0x1100, kHangulVBase = 0x1161, kHangulTBase = 0x11A7;
constexpr char32_t kHangulLCount = 19, kHangulVCount = 21, kHangulTCount = 28, kHangulSCount = 11172;

// The primary composite of two characters, or 0.
char32_t compose_pair(char32_t starter, char32_t c) {
  if (starter >= kHangulLBase && starter < kHangulLBase + kHangulLCount) {
    if (c >= kHangulVBase && c < kHangulVBase + kHangulVCount) {
      return kHangulSBase + ((starter - kHangulLBase) * kHangulVCount + (c - kHangulVBase)) * kHangulTCount;
    }
    return 0;
  }
  if (starter >= kHangulSBase && starter < kHangulSBase + kHangulSCount) {
    // An LV syllable takes a trailing consonant (U+11A8 to U+11C2; U+11A7 is a vowel).
    if ((starter - kHangulSBase) % kHangulTCount == 0 && c > kHangulTBase &&
        c < kHangulTBase + kHangulTCount) {
      return starter + (c - kHangulTBase);
    }
    return 0;
  }
  const utf8proc_property_t* sp = utf8proc_get_property(static_cast<utf8proc_int32_t>(starter));
  const utf8proc_property_t* cp = utf8proc_get_property(static_cast<utf8proc_int32_t>(c));
  if (sp->comb_index >= 0x8000 || cp->comb_index == UINT16_MAX || cp->comb_index < 0x8000) return 0;
  // utf8proc's own composition of the pair, excluded composites left out.
  utf8proc_int32_t pair[2] = {static_cast<utf8proc_int32_t>(starter), static_cast<utf8proc_int32_t>(c)};
  if (utf8proc_normalize_utf32(pair, 2, static_cast<utf8proc_option_t>(UTF8PROC_COMPOSE | UTF8PROC_STABLE)) !=
      1) {
    return 0;
  }
  const auto composite = static_cast<char32_t>(pair[0]);
  return (char_flags(composite) & kNormExempt) != 0 ? 0 : composite;
}

// A run's origins while its characters are ordered (one buffer per thread).
std::vector<std::uint32_t>& scratch_origins() {
  thread_local std::vector<std::uint32_t> origins;
  return origins;
}

}  // namespace

std::uint16_t char_flags(char32_t c) {
  if (c < 0x10000) return bmp_flags()[c];
  if (c > 0x10FFFF) return 0;
  return compute_flags(c);
}

std::size_t lowercase(char32_t c, char32_t out[3]) {
  if (c < 0x80) {
    out[0] = (c >= 'A' && c <= 'Z') ? c + 32 : c;
    return 1;
  }
  if ((char_flags(c) & kLowerException) != 0) {
    const auto* e =
        std::lower_bound(std::begin(kLowercaseExceptions), std::end(kLowercaseExceptions), c,
                         [](const LowercaseException& x, char32_t value) { return x.code_point < value; });
    std::copy(e->lower, e->lower + e->length, out);
    return e->length;
  }
  // The one unconditional multi-character lowercase mapping of SpecialCasing.txt
  // (utf8proc's mapping is the simple one).
  if (c == 0x130) {
    out[0] = 'i';
    out[1] = 0x307;
    return 2;
  }
  out[0] = static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c)));
  return 1;
}

void normal_form(const std::u32string& text, const std::uint32_t* origin, NormalForm form,
                 std::u32string& out, std::vector<std::uint32_t>* out_origin,
                 std::vector<std::uint64_t>& work) {
  const bool compat = form == NormalForm::Nfkc || form == NormalForm::Nfkd;
  const bool compose = form == NormalForm::Nfc || form == NormalForm::Nfkc;
  const auto options = static_cast<utf8proc_option_t>(UTF8PROC_DECOMPOSE | (compat ? UTF8PROC_COMPAT : 0));
  // Each character with where it came from (the character it was part of).
  auto packed = [](char32_t c, std::uint32_t from) { return (std::uint64_t{c} << 32) | from; };
  auto char_of = [](std::uint64_t w) { return static_cast<char32_t>(w >> 32); };
  // Decomposition, characters the reference does not know left alone.
  work.clear();
  for (std::size_t k = 0; k < text.size(); ++k) {
    const char32_t c = text[k];
    const std::uint32_t from = origin != nullptr ? origin[k] : 0;
    if ((c < 0xC0 && (c < 0xA0 || !compat)) || (char_flags(c) & kNormExempt) != 0) {
      work.push_back(packed(c, from));
      continue;
    }
    utf8proc_int32_t buffer[32];
    int boundclass = 0;
    const utf8proc_ssize_t n =
        utf8proc_decompose_char(static_cast<utf8proc_int32_t>(c), buffer, 32, options, &boundclass);
    if (n <= 0 || n > 32) {
      work.push_back(packed(c, from));
    } else {
      for (utf8proc_ssize_t m = 0; m < n; ++m) work.push_back(packed(static_cast<char32_t>(buffer[m]), from));
    }
  }
  auto class_of = [&](std::uint64_t w) {
    const char32_t c = char_of(w);
    return c < 0x300 ? 0 : combining_class(c, char_flags(c));
  };
  // Canonical ordering: each run of non-starters sorted stably by class.
  const std::size_t n = work.size();
  for (std::size_t i = 0; i < n;) {
    if (class_of(work[i]) == 0) {
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    while (end < n && class_of(work[end]) != 0) ++end;
    if (end - i > 1) {
      // The characters move; their origins stay in place, as the reference
      // aligns by position (the first output character keeps the first origin).
      std::stable_sort(work.begin() + static_cast<std::ptrdiff_t>(i),
                       work.begin() + static_cast<std::ptrdiff_t>(end),
                       [&](std::uint64_t a, std::uint64_t b) { return class_of(a) < class_of(b); });
      std::vector<std::uint32_t>& origins = scratch_origins();
      origins.clear();
      for (std::size_t k = i; k < end; ++k) origins.push_back(static_cast<std::uint32_t>(work[k]));
      std::sort(origins.begin(), origins.end());
      for (std::size_t k = i; k < end; ++k) work[k] = (work[k] & 0xFFFFFFFF00000000ull) | origins[k - i];
    }
    i = end;
  }
  auto put = [&](std::uint64_t w) {
    out.push_back(char_of(w));
    if (out_origin != nullptr) out_origin->push_back(static_cast<std::uint32_t>(w));
  };
  if (!compose) {
    for (std::uint64_t w : work) put(w);
    return;
  }
  // Canonical composition (UAX #15): a character joins the last starter
  // unless a character between them has class 0 or at least its own. The
  // composite keeps the starter's origin.
  std::size_t starter = SIZE_MAX;
  int last_class = -1;  // the highest class kept since the starter
  for (std::size_t i = 0; i < n; ++i) {
    const char32_t c = char_of(work[i]);
    const int cls = class_of(work[i]);
    if (starter != SIZE_MAX && last_class < cls) {
      if (const char32_t composite = compose_pair(out[starter], c); composite != 0) {
        out[starter] = composite;
        continue;
      }
    }
    put(work[i]);
    if (cls == 0) {
      starter = out.size() - 1;
      last_class = -1;
    } else {
      last_class = cls;
    }
  }
}

std::string_view utf8proc_version_string() { return utf8proc_version(); }

}  // namespace mave::tokenize
