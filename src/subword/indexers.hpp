// The four n-gram indexers: each maps an n-gram to 0 to 4 indices below its
// upper bound. The hashes are fixed bit for bit: a deviation silently maps
// n-grams to other rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/word_list.hpp"

namespace mave {

// One n-gram: a view into the bracketed word and its length in characters.
struct NGram {
  std::string_view text;
  std::size_t char_count;
};

// Up to four indices, held inline so that no lookup allocates per n-gram.
struct NGramIndices {
  std::uint64_t values[4];
  std::uint32_t count = 0;
  const std::uint64_t* begin() const { return values; }
  const std::uint64_t* end() const { return values + count; }
};

// 64-bit FNV-1a over the character count and the code points, masked to
// 2^buckets_exponent buckets.
class FnvBucketIndexer {
 public:
  explicit FnvBucketIndexer(std::uint32_t buckets_exponent);
  NGramIndices indices_of(const NGram& ngram) const;
  // None when the bound is 2^64, which no 64-bit count holds.
  std::optional<std::uint64_t> upper_bound() const;
  std::uint32_t buckets_exponent() const { return exponent_; }

 private:
  std::uint32_t exponent_;
  std::uint64_t mask_;
};

// 32-bit FNV-1a over the UTF-8 bytes, each sign-extended, modulo bucket_count.
class FastTextHashIndexer {
 public:
  static constexpr std::uint32_t kMaxBuckets = 2147483647;
  explicit FastTextHashIndexer(std::uint32_t bucket_count);
  NGramIndices indices_of(const NGram& ngram) const;
  std::optional<std::uint64_t> upper_bound() const { return bucket_count_; }
  std::uint32_t bucket_count() const { return bucket_count_; }

  static std::uint32_t hash(std::string_view text);

 private:
  std::uint32_t bucket_count_;
};

// One MurmurHash3 x64 128 of the n-gram, cut into 1 to 4 indices.
class FloretHashIndexer {
 public:
  FloretHashIndexer(std::uint64_t bucket_count, std::uint32_t hash_count, std::uint32_t seed);
  NGramIndices indices_of(const NGram& ngram) const;
  std::optional<std::uint64_t> upper_bound() const { return bucket_count_; }
  std::uint64_t bucket_count() const { return bucket_count_; }
  std::uint32_t hash_count() const { return hash_count_; }
  std::uint32_t seed() const { return seed_; }

 private:
  std::uint64_t bucket_count_;
  std::uint32_t hash_count_;
  std::uint32_t seed_;
};

// An explicit table from n-gram text to a dense index, numbered by first
// appearance of each stored index.
class NGramTableIndexer {
 public:
  struct Entry {
    std::string text;
    std::uint64_t stored_index;
  };
  explicit NGramTableIndexer(const std::vector<Entry>& entries);
  NGramIndices indices_of(const NGram& ngram) const;
  std::optional<std::uint64_t> upper_bound() const { return upper_bound_; }
  const WordList& ngrams() const { return ngrams_; }
  // The dense index of ngrams()[i].
  std::uint64_t dense_index(std::size_t i) const { return dense_[i]; }

 private:
  WordList ngrams_;
  std::vector<std::uint64_t> dense_;  // dense index of ngrams_[i]
  std::uint64_t upper_bound_ = 0;
};

}  // namespace mave
