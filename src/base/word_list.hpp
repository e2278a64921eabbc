// An ordered list of distinct-or-not strings with an exact-match index: the
// words of every vocabulary and the n-gram texts of an explicit table.
//
// All bytes live in one buffer and the index is an open-addressing table of
// 16-byte slots, so a million-word vocabulary costs its bytes plus about 45
// bytes per word, with one allocation per array instead of one per word. A
// slot holds a word of up to 8 bytes itself, and where a longer word's bytes
// are: a lookup waits on one memory fetch (the slot) or two (the slot, then
// the bytes) instead of four (slot, word offsets, bytes, row), and the caller
// can fetch the row as soon as the slot names a candidate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mave {

class WordList {
 public:
  void reserve(std::size_t n) { ends_.reserve(n); }
  // Room for n words of `bytes` bytes in all.
  void reserve(std::size_t n, std::size_t bytes) {
    ends_.reserve(n);
    bytes_.reserve(bytes);
  }
  void push_back(std::string_view word);

  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::string_view operator[](std::size_t i) const {
    std::uint64_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_.data() + begin, static_cast<std::size_t>(ends_[i] - begin));
  }
  std::size_t total_bytes() const { return bytes_.size(); }
  // Every word's bytes, one after another, and where each word ends in them:
  // the layout of an Arrow string column, handed out without copying.
  std::string_view all_bytes() const { return bytes_; }
  std::span<const std::uint64_t> ends() const { return ends_; }

  // Builds the index over all words and returns the number of distinct ones.
  // A repeated word is found at its last position.
  std::size_t build_index();
  // Leaves the index to the first lookup, which builds it (once, whichever
  // thread asks first; later words must not be added): for lists mostly
  // read by position, which then never pay for it.
  void defer_index();

  std::optional<std::size_t> find(std::string_view word) const {
    return find(word, hash(word), [](std::size_t) {});
  }

  // The stages of find, for callers that overlap the memory fetches of many
  // lookups or start fetching what a found word leads to early.
  static std::uint64_t hash(std::string_view word);
  // Asks for the slot that the first probe of `h` reads.
  void prefetch_slot(std::uint64_t h) const {
    ensure_index();
    if (!slots_.empty()) __builtin_prefetch(&slots_[static_cast<std::size_t>(h & mask_)]);
  }
  // The first word on the probe sequence of `h` whose tag matches, its bytes
  // asked for: a candidate, not yet compared.
  struct Candidate {
    std::size_t index;
    std::string_view word;
  };
  std::optional<Candidate> candidate(std::uint64_t h) const;
  // find with the word's hash; `on_candidate(index)` is called for each
  // candidate before its bytes are compared.
  template <class OnCandidate>
  std::optional<std::size_t> find(std::string_view word, std::uint64_t h, OnCandidate&& on_candidate) const;

 private:
  // key: (index + 1) << kIndexShift | tag | form, 0 for an empty slot. The
  // form is the length of a word held in `span` itself (0 to kInlineBytes),
  // or kElsewhere: `span` is begin << kLengthBits | length in bytes_, or
  // kFarSpan for a word too long or too far in for that (found through ends_).
  struct Slot {
    std::uint64_t key;
    std::uint64_t span;
  };
  static constexpr unsigned kIndexShift = 24;
  static constexpr unsigned kFormBits = 4;
  static constexpr std::uint64_t kFormMask = (std::uint64_t{1} << kFormBits) - 1;
  static constexpr std::uint64_t kTagMask = ((std::uint64_t{1} << kIndexShift) - 1) & ~kFormMask;
  static constexpr std::uint64_t kInlineBytes = sizeof(std::uint64_t);
  static constexpr std::uint64_t kElsewhere = kFormMask;
  static constexpr unsigned kLengthBits = 24;
  static constexpr std::uint64_t kLengthMask = (std::uint64_t{1} << kLengthBits) - 1;
  static constexpr std::uint64_t kFarSpan = ~std::uint64_t{0};

  static std::uint64_t tag_of(std::uint64_t h) {
    return (h >> (64 - (kIndexShift - kFormBits))) << kFormBits;
  }
  static std::size_t index_of(const Slot& slot) {
    return static_cast<std::size_t>((slot.key >> kIndexShift) - 1);
  }
  std::string_view bytes_of(const Slot& slot) const {
    const std::uint64_t form = slot.key & kFormMask;
    if (form <= kInlineBytes) {
      return std::string_view(reinterpret_cast<const char*>(&slot.span), static_cast<std::size_t>(form));
    }
    if (slot.span == kFarSpan) return (*this)[index_of(slot)];
    return std::string_view(bytes_.data() + (slot.span >> kLengthBits),
                            static_cast<std::size_t>(slot.span & kLengthMask));
  }
  void ensure_index() const {
    if (deferred_) [[unlikely]]
      build_deferred_index();
  }
  void build_deferred_index() const;
  // Fills the slots from the words; the number of distinct words.
  std::size_t fill_slots() const;
  // A word's slot (at index i, with hash h).
  Slot make_slot(std::size_t i, std::uint64_t h, std::string_view word) const;
  // Returns the slot holding `word` or the empty slot where it belongs.
  std::size_t probe(std::string_view word, std::uint64_t h) const;
  // Walks the probe sequence of `h` (linear probing) and returns the position
  // of the first empty slot, or of the first slot whose tag matches and for
  // which `accept(slot)` holds. The table must not be empty.
  template <class Accept>
  std::size_t walk(std::uint64_t h, Accept&& accept) const {
    const std::uint64_t tag = tag_of(h);
    for (std::size_t i = static_cast<std::size_t>(h & mask_);;
         i = static_cast<std::size_t>((i + 1) & mask_)) {
      const Slot& slot = slots_[i];
      if (slot.key == 0 || ((slot.key & kTagMask) == tag && accept(slot))) return i;
    }
  }

  std::string bytes_;
  std::vector<std::uint64_t> ends_;
  // Filled by build_index, or by the first lookup of a deferred index (under
  // index_once_, which orders the filling before every read).
  mutable std::vector<Slot> slots_;
  mutable std::uint64_t mask_ = 0;
  bool deferred_ = false;
  std::unique_ptr<std::once_flag> index_once_;
};

inline std::optional<WordList::Candidate> WordList::candidate(std::uint64_t h) const {
  ensure_index();
  if (slots_.empty()) return std::nullopt;
  // A word often sits a slot or two past its home (linear probing): the
  // neighbours share the home slot's cache line, or the next one.
  const Slot& slot = slots_[walk(h, [](const Slot&) { return true; })];
  if (slot.key == 0) return std::nullopt;
  const std::string_view word = bytes_of(slot);
  if ((slot.key & kFormMask) > kInlineBytes) __builtin_prefetch(word.data());
  return Candidate{index_of(slot), word};
}

template <class OnCandidate>
std::optional<std::size_t> WordList::find(std::string_view word, std::uint64_t h,
                                          OnCandidate&& on_candidate) const {
  ensure_index();
  if (slots_.empty()) return std::nullopt;
  const Slot& slot = slots_[walk(h, [&](const Slot& s) {
    on_candidate(index_of(s));
    return bytes_of(s) == word;
  })];
  if (slot.key == 0) return std::nullopt;
  return index_of(slot);
}

}  // namespace mave
