// An ordered list of distinct-or-not strings with an exact-match index: the
// words of every vocabulary and the n-gram texts of an explicit table.
//
// All bytes live in one buffer and the index is an open-addressing table of
// 8-byte slots, so a million-word vocabulary costs its bytes plus about 30
// bytes per word, with one allocation per array instead of one per word.
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

  std::optional<std::size_t> find(std::string_view word) const;

 private:
  static std::uint64_t hash(std::string_view word);
  // Returns the slot holding `word` or the empty slot where it belongs.
  std::size_t probe(std::string_view word, std::uint64_t h) const;

  std::string bytes_;
  std::vector<std::uint64_t> ends_;
  std::vector<std::uint64_t> slots_;  // (index + 1) << kTagBits | tag; 0 is empty
  std::uint64_t mask_ = 0;
};

}  // namespace mave
