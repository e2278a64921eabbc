#include "subword/indexers.hpp"

#include <unordered_map>

#include "base/error.hpp"
#include "base/murmur3.hpp"
#include "base/utf8.hpp"

namespace mave {

FnvBucketIndexer::FnvBucketIndexer(std::uint32_t buckets_exponent) : exponent_(buckets_exponent) {
  if (buckets_exponent > 64) panic(PanicKind::BucketsExponent);
  mask_ = buckets_exponent == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << buckets_exponent) - 1;
}

std::optional<std::uint64_t> FnvBucketIndexer::upper_bound() const {
  if (exponent_ == 64) return std::nullopt;
  return std::uint64_t{1} << exponent_;
}

NGramIndices FnvBucketIndexer::indices_of(const NGram& ngram) const {
  constexpr std::uint64_t kPrime = 0x100000001B3ULL;
  std::uint64_t h = 0xCBF29CE484222325ULL;
  auto feed = [&h](std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      h ^= (value >> (8 * i)) & 0xFF;
      h *= kPrime;
    }
  };
  feed(ngram.char_count, 8);
  // The text is valid UTF-8 (it comes from a str or a validated file).
  const std::string_view text = ngram.text;
  for_each_char_lossy(text, [&](char32_t c) { feed(c, 4); });
  NGramIndices out;
  out.values[0] = h & mask_;
  out.count = 1;
  return out;
}

FastTextHashIndexer::FastTextHashIndexer(std::uint32_t bucket_count) : bucket_count_(bucket_count) {
  if (bucket_count > kMaxBuckets) {
    panic(PanicKind::TooManyBuckets, PanicFacts::values(0, kMaxBuckets));
  }
}

std::uint32_t FastTextHashIndexer::hash(std::string_view text) {
  std::uint32_t h = 2166136261u;
  for (char c : text) {
    // fastText hashes signed chars: bytes >= 0x80 are sign-extended.
    h ^= static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(c)));
    h *= 16777619u;
  }
  return h;
}

NGramIndices FastTextHashIndexer::indices_of(const NGram& ngram) const {
  if (bucket_count_ == 0) panic(PanicKind::RemainderByZero);
  NGramIndices out;
  out.values[0] = hash(ngram.text) % bucket_count_;
  out.count = 1;
  return out;
}

FloretHashIndexer::FloretHashIndexer(std::uint64_t bucket_count, std::uint32_t hash_count, std::uint32_t seed)
    : bucket_count_(bucket_count), hash_count_(hash_count), seed_(seed) {
  if (hash_count < 1 || hash_count > 4) {
    panic(PanicKind::FloretHashCount, PanicFacts::values(hash_count, 0));
  }
  // Pinned: docs/compatibility.md
  if (bucket_count == 0) {
    panic(PanicKind::FloretNoBuckets);
  }
}

NGramIndices FloretHashIndexer::indices_of(const NGram& ngram) const {
  Hash128 h = murmur3_x64_128(ngram.text.data(), ngram.text.size(), seed_);
  const std::uint32_t words[4] = {static_cast<std::uint32_t>(h.h1), static_cast<std::uint32_t>(h.h1 >> 32),
                                  static_cast<std::uint32_t>(h.h2), static_cast<std::uint32_t>(h.h2 >> 32)};
  NGramIndices out;
  for (std::uint32_t i = 0; i < hash_count_; ++i) out.values[i] = words[i] % bucket_count_;
  out.count = hash_count_;
  return out;
}

NGramTableIndexer::NGramTableIndexer(const std::vector<Entry>& entries) {
  std::unordered_map<std::uint64_t, std::uint64_t> dense_of_stored;
  ngrams_.reserve(entries.size());
  dense_.reserve(entries.size());
  for (const Entry& e : entries) {
    auto [it, inserted] = dense_of_stored.try_emplace(e.stored_index, dense_of_stored.size());
    ngrams_.push_back(e.text);
    dense_.push_back(it->second);
  }
  if (ngrams_.build_index() != ngrams_.size()) panic(PanicKind::DuplicateNGrams);
  upper_bound_ = dense_of_stored.size();
}

NGramIndices NGramTableIndexer::indices_of(const NGram& ngram) const {
  NGramIndices out;
  if (auto at = ngrams_.find(ngram.text)) {
    out.values[0] = dense_[*at];
    out.count = 1;
  }
  return out;
}

}  // namespace mave
