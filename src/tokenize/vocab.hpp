// The token strings of a tokenizer by id, and the lookups of the models:
// a string (or a string built of parts, such as "##" and a piece of a word)
// to its id, without building the string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mave::tokenize {

// FNV-1a over bytes: fed in parts, so that a prefix and a piece hash as
// their concatenation.
struct Hasher {
  std::uint64_t h = 0xcbf29ce484222325ull;
  void feed(std::string_view s) {
    for (unsigned char b : s) h = (h ^ b) * 0x100000001b3ull;
  }
  void feed(unsigned char b) { h = (h ^ b) * 0x100000001b3ull; }
};

inline std::uint64_t hash_of(std::string_view s) {
  Hasher h;
  h.feed(s);
  return h.h;
}

// Strings numbered 0..n-1, each found by its bytes in one probe sequence of
// an open-addressing table.
class StringTable {
 public:
  std::size_t size() const { return offsets_.empty() ? 0 : offsets_.size() - 1; }
  std::string_view at(std::uint32_t id) const {
    return std::string_view(pool_).substr(offsets_[id], offsets_[id + 1] - offsets_[id]);
  }

  // Appends the next id's string (no index yet).
  void push(std::string_view s) {
    if (offsets_.empty()) offsets_.push_back(0);
    pool_.append(s);
    offsets_.push_back(pool_.size());
  }
  // Indexes every string. A string pushed twice is found as its last id;
  // the first id whose string an earlier id had is returned.
  std::optional<std::uint32_t> index();

  // Brings the slot a hash starts at into the cache (lookups in bulk).
  void prefetch(std::uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & mask_]);
  }

  std::optional<std::uint32_t> find(std::string_view s) const { return find(hash_of(s), {s}); }

  // The id of the concatenation of up to three parts, given its hash.
  std::optional<std::uint32_t> find(std::uint64_t hash, std::initializer_list<std::string_view> parts) const {
    if (slots_.empty()) return std::nullopt;
    std::size_t length = 0;
    for (auto p : parts) length += p.size();
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0) return std::nullopt;
      if (static_cast<std::uint32_t>(slot >> 32) != tag) continue;
      const auto id = static_cast<std::uint32_t>(slot) - 1;
      const std::size_t begin = offsets_[id];
      if (offsets_[id + 1] - begin != length) continue;
      const char* at = pool_.data() + begin;
      bool same = true;
      for (auto p : parts) {
        if (!p.empty() && std::memcmp(at, p.data(), p.size()) != 0) {
          same = false;
          break;
        }
        at += p.size();
      }
      if (same) return id;
    }
  }

  std::size_t memory() const { return pool_.size() + offsets_.size() * 8 + slots_.size() * 8; }

 private:
  std::string pool_;
  std::vector<std::size_t> offsets_;
  std::vector<std::uint64_t> slots_;  // hash tag << 32 | id + 1; 0 is empty
  std::size_t mask_ = 0;
};

// (u32, u32) pairs to a u64 value, for BPE's merges.
class PairTable {
 public:
  void reserve(std::size_t n);
  // Later insertions of a key replace earlier ones.
  void insert(std::uint32_t a, std::uint32_t b, std::uint64_t value);
  void prefetch(std::uint32_t a, std::uint32_t b) const {
    if (!keys_.empty()) __builtin_prefetch(&keys_[mix((std::uint64_t{a} << 32) | b) & mask_]);
  }
  const std::uint64_t* find(std::uint32_t a, std::uint32_t b) const {
    if (keys_.empty()) return nullptr;
    const std::uint64_t key = (std::uint64_t{a} << 32) | b;
    for (std::size_t i = mix(key) & mask_;; i = (i + 1) & mask_) {
      if (keys_[i] == kEmpty) return nullptr;
      if (keys_[i] == key) return &values_[i];
    }
  }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  // splitmix64's finalizer: both halves of the key reach the low bits.
  static std::uint64_t mix(std::uint64_t k) {
    k ^= k >> 30;
    k *= 0xbf58476d1ce4e5b9ull;
    k ^= k >> 27;
    k *= 0x94d049bb133111ebull;
    k ^= k >> 31;
    return k;
  }
  std::vector<std::uint64_t> keys_, values_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
};

}  // namespace mave::tokenize
