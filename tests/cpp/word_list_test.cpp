// The word index: words held in their slot (up to 8 bytes), beside it in the
// byte buffer, and too long for a slot's span; the staged lookup.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/word_list.hpp"

namespace mave {
namespace {

std::vector<std::string> words_of_every_length() {
  std::vector<std::string> words;
  for (std::size_t n = 0; n <= 40; ++n) words.push_back(std::string(n, 'a' + n % 26));
  // Prefixes and extensions of one another, and non-ASCII at the 8-byte edge.
  const std::vector<std::string> edges = {"abcdefgh",
                                          "abcdefg",
                                          "abcdefghi",
                                          "\xC3\xA9t\xC3\xA9s",
                                          "\xC3\xA9t\xC3\xA9s\xC3\xA9",
                                          "gr\xC3\xBCn",
                                          std::string("a\0b", 3),
                                          std::string("a\0c", 3)};
  words.insert(words.end(), edges.begin(), edges.end());
  return words;
}

TEST(WordList, EveryWordIsFoundAtItsIndexWhateverItsLength) {
  WordList list;
  const std::vector<std::string> words = words_of_every_length();
  for (const std::string& w : words) list.push_back(w);
  ASSERT_EQ(list.build_index(), words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(list.find(words[i]), i);
    EXPECT_EQ(list[i], words[i]);
    const std::uint64_t h = WordList::hash(words[i]);
    auto candidate = list.candidate(h);
    ASSERT_TRUE(candidate.has_value());
    EXPECT_EQ(candidate->index, i);
    EXPECT_EQ(candidate->word, words[i]);
    std::vector<std::size_t> seen;
    EXPECT_EQ(list.find(words[i], h, [&](std::size_t c) { seen.push_back(c); }), i);
    EXPECT_EQ(seen.back(), i);
  }
  // Near misses: one byte more, one less, another last byte.
  const std::vector<std::string> misses = {
      "abcdefghij", "abcdef", "abcdefgi", "\xC3\xA9t\xC3", std::string("a\0d", 3), std::string(41, 'p')};
  for (const std::string& miss : misses) EXPECT_FALSE(list.find(miss).has_value()) << miss;
}

TEST(WordList, RepeatedWordsAreFoundAtTheirLastPosition) {
  WordList list;
  for (std::string_view w : {"ab", "a-long-word-here", "ab", "x", "a-long-word-here"}) list.push_back(w);
  EXPECT_EQ(list.build_index(), 3u);
  EXPECT_EQ(list.find("ab"), 2u);
  EXPECT_EQ(list.find("a-long-word-here"), 4u);
  EXPECT_EQ(list.find("x"), 3u);
}

TEST(WordList, AWordLongerThanASpanCanSayIsFoundThroughItsOffsets) {
  WordList list;
  const std::string huge(std::size_t{1} << 24, 'z');
  list.push_back("before");
  list.push_back(huge);
  list.push_back("after-the-huge-one");
  ASSERT_EQ(list.build_index(), 3u);
  EXPECT_EQ(list.find(huge), 1u);
  EXPECT_EQ(list.find("after-the-huge-one"), 2u);
  EXPECT_FALSE(list.find(huge.substr(1)).has_value());
  auto candidate = list.candidate(WordList::hash(huge));
  ASSERT_TRUE(candidate.has_value());
  EXPECT_EQ(candidate->word.size(), huge.size());
}

TEST(WordList, AnEmptyListFindsNothing) {
  WordList list;
  EXPECT_FALSE(list.find("a").has_value());
  EXPECT_FALSE(list.candidate(WordList::hash("a")).has_value());
  EXPECT_EQ(list.build_index(), 0u);
  EXPECT_FALSE(list.find("").has_value());
}

TEST(WordList, ADeferredIndexIsBuiltOnceByTheFirstLookupOfAnyThread) {
  const std::vector<std::string> words = words_of_every_length();
  for (int round = 0; round < 20; ++round) {
    WordList list;
    for (const std::string& w : words) list.push_back(w);
    list.push_back(words[3]);  // a repeat, found at its last position
    list.defer_index();
    WordList moved = std::move(list);  // as a vocabulary carries it into its model
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (std::size_t i = 0; i < words.size(); ++i) {
          const std::size_t want = i == 3 ? words.size() : i;
          if (moved.find(words[i]) != want || moved.candidate(WordList::hash(words[i]))->index != want) {
            ++wrong[t];
          }
        }
        if (moved.find("not a word").has_value()) ++wrong[t];
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
  }
}

}  // namespace
}  // namespace mave
