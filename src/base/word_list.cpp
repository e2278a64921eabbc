#include "base/word_list.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <random>

#include "base/io.hpp"
#include "base/murmur3.hpp"

namespace mave {

namespace {

// A per-process seed, so that a crafted vocabulary cannot be built to collide.
std::uint32_t process_seed() {
  static const std::uint32_t seed = std::random_device{}();
  return seed;
}

}  // namespace

void WordList::push_back(std::string_view word) {
  bytes_.append(word);
  ends_.push_back(bytes_.size());
}

std::uint64_t WordList::hash(std::string_view word) {
  return murmur3_x64_128(word.data(), word.size(), process_seed()).h1;
}

std::size_t WordList::probe(std::string_view word, std::uint64_t h) const {
  return walk(h, [&](const Slot& slot) { return bytes_of(slot) == word; });
}

std::size_t WordList::build_index() {
  // Lookups touch the slots and the words' bytes at random: huge pages spare
  // them most of the TLB misses that tables of tens of MB have otherwise
  // (asked for before the first touch, so that the kernel can back them
  // right away). The bytes were appended as they were read; they move once.
  if (bytes_.size() >= (std::size_t{4} << 20)) {
    std::string moved;
    moved.reserve(bytes_.size());
    advise_huge_pages(moved.data(), moved.capacity());
    moved.assign(bytes_);
    bytes_.swap(moved);
  }
  return fill_slots();
}

void WordList::defer_index() {
  deferred_ = true;
  index_once_ = std::make_unique<std::once_flag>();
}

void WordList::build_deferred_index() const {
  // The words' bytes stay where they are: other threads may be reading them.
  std::call_once(*index_once_, [this] { fill_slots(); });
}

std::size_t WordList::fill_slots() const {
  // Load factor at most 2/3 keeps probe sequences short.
  const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(8, size() + size() / 2 + 1));
  slots_.clear();
  slots_.shrink_to_fit();
  slots_.reserve(capacity);
  advise_huge_pages(slots_.data(), capacity * sizeof(Slot));
  slots_.assign(capacity, Slot{0, 0});
  mask_ = capacity - 1;
  // The slots are touched at random: each word's hash is computed a few words
  // ahead and its slot prefetched, so that the misses overlap.
  constexpr std::size_t kAhead = 8;
  std::uint64_t ahead[kAhead];
  auto start = [&](std::size_t i) {
    std::uint64_t h = hash((*this)[i]);
    ahead[i % kAhead] = h;
    __builtin_prefetch(&slots_[static_cast<std::size_t>(h & mask_)]);
  };
  for (std::size_t i = 0; i < std::min(kAhead, size()); ++i) start(i);
  std::size_t distinct = 0;
  for (std::size_t i = 0; i < size(); ++i) {
    const std::uint64_t h = ahead[i % kAhead];
    if (i + kAhead < size()) start(i + kAhead);
    std::string_view word = (*this)[i];
    std::size_t at = probe(word, h);
    if (slots_[at].key == 0) ++distinct;
    slots_[at] = make_slot(i, h, word);
  }
  return distinct;
}

WordList::Slot WordList::make_slot(std::size_t i, std::uint64_t h, std::string_view word) const {
  const std::uint64_t key = (static_cast<std::uint64_t>(i + 1) << kIndexShift) | tag_of(h);
  if (word.size() <= kInlineBytes) {
    std::uint64_t span = 0;
    std::memcpy(&span, word.data(), word.size());
    return Slot{key | word.size(), span};
  }
  const std::uint64_t begin = static_cast<std::uint64_t>(word.data() - bytes_.data());
  const bool near = word.size() < kLengthMask && begin < (std::uint64_t{1} << (64 - kLengthBits));
  return Slot{key | kElsewhere, near ? begin << kLengthBits | word.size() : kFarSpan};
}

}  // namespace mave
