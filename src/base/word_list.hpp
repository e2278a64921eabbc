// An ordered list of distinct-or-not strings with an exact-match index: the
// words of every vocabulary and the n-gram texts of an explicit table.
//
// All bytes live in one buffer and the index is an open-addressing table of
// 16-byte slots, so a million-word vocabulary costs its bytes plus about 45
// bytes per word, with one allocation per array instead of one per word. A
// slot holds where its word's bytes are, so that a lookup waits on two
// memory fetches one after the other (the slot, then the bytes) instead of
// four (slot, word offsets, bytes, row): the caller can fetch the row as soon
// as the slot names a candidate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mave {

class WordList {
 public:
  void reserve(std::size_t n) { ends_.reserve(n); }
  void push_back(std::string_view word);

  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::string_view operator[](std::size_t i) const {
    std::uint64_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_.data() + begin, static_cast<std::size_t>(ends_[i] - begin));
  }
  std::size_t total_bytes() const { return bytes_.size(); }

  // Builds the index over all words and returns the number of distinct ones.
  // A repeated word is found at its last position.
  std::size_t build_index();

  std::optional<std::size_t> find(std::string_view word) const {
    return find(word, hash(word), [](std::size_t) {});
  }

  // The stages of find, for callers that overlap the memory fetches of many
  // lookups or start fetching what a found word leads to early.
  static std::uint64_t hash(std::string_view word);
  // Asks for the slot that the first probe of `h` reads.
  void prefetch_slot(std::uint64_t h) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[static_cast<std::size_t>(h & mask_)]);
  }
  // The index that the first probe of `h` points at when its tag matches, the
  // word's bytes asked for: a candidate, not yet compared.
  std::optional<std::size_t> candidate(std::uint64_t h) const;
  // find with the word's hash; `on_candidate(index)` is called for each
  // candidate before its bytes are compared.
  template <class OnCandidate>
  std::optional<std::size_t> find(std::string_view word, std::uint64_t h,
                                  OnCandidate&& on_candidate) const;

 private:
  struct Slot {
    std::uint64_t key;   // (index + 1) << kTagBits | tag; 0 is empty
    std::uint64_t span;  // begin << kLengthBits | length, or kFarSpan
  };
  static constexpr unsigned kTagBits = 24;
  static constexpr std::uint64_t kTagMask = (std::uint64_t{1} << kTagBits) - 1;
  static constexpr unsigned kLengthBits = 24;
  static constexpr std::uint64_t kLengthMask = (std::uint64_t{1} << kLengthBits) - 1;
  // A word too long or too far into the buffer for `span`: its bytes are
  // found through ends_ instead.
  static constexpr std::uint64_t kFarSpan = ~std::uint64_t{0};

  static std::uint64_t tag_of(std::uint64_t h) { return h >> (64 - kTagBits); }
  static std::size_t index_of(const Slot& slot) {
    return static_cast<std::size_t>((slot.key >> kTagBits) - 1);
  }
  std::string_view bytes_of(const Slot& slot) const {
    if (slot.span == kFarSpan) return (*this)[index_of(slot)];
    return std::string_view(bytes_.data() + (slot.span >> kLengthBits),
                            static_cast<std::size_t>(slot.span & kLengthMask));
  }
  // Returns the slot holding `word` or the empty slot where it belongs.
  std::size_t probe(std::string_view word, std::uint64_t h) const;

  std::string bytes_;
  std::vector<std::uint64_t> ends_;
  std::vector<Slot> slots_;
  std::uint64_t mask_ = 0;
};

inline std::optional<std::size_t> WordList::candidate(std::uint64_t h) const {
  if (slots_.empty()) return std::nullopt;
  const Slot& slot = slots_[static_cast<std::size_t>(h & mask_)];
  if (slot.key == 0 || (slot.key & kTagMask) != tag_of(h)) return std::nullopt;
  if (slot.span != kFarSpan) __builtin_prefetch(bytes_.data() + (slot.span >> kLengthBits));
  return index_of(slot);
}

template <class OnCandidate>
std::optional<std::size_t> WordList::find(std::string_view word, std::uint64_t h,
                                          OnCandidate&& on_candidate) const {
  if (slots_.empty()) return std::nullopt;
  const std::uint64_t tag = tag_of(h);
  for (std::size_t i = static_cast<std::size_t>(h & mask_);;
       i = static_cast<std::size_t>((i + 1) & mask_)) {
    const Slot& slot = slots_[i];
    if (slot.key == 0) return std::nullopt;
    if ((slot.key & kTagMask) != tag) continue;
    const std::size_t index = index_of(slot);
    on_candidate(index);
    if (bytes_of(slot) == word) return index;
  }
}

}  // namespace mave
