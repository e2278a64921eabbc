// Writing every vocabulary kind: a file read and written again is the same
// file, byte for byte, and a written file answers lookups as the original.
#include <gtest/gtest.h>

#include <functional>

#include "format/embeddings.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

using namespace test;

std::vector<float> counting(std::size_t n) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = 0.25f * static_cast<float>(i) - 3.0f;
  return v;
}

// A whole file: metadata (optional), the vocabulary that `vocab` appends,
// a rows x 3 dense matrix and norms (optional).
std::string file_with(std::uint32_t vocab_code, const std::function<void(Bytes&)>& vocab, std::size_t rows,
                      std::size_t n_norms, bool with_metadata) {
  Bytes f;
  std::vector<std::uint32_t> codes;
  if (with_metadata) codes.push_back(5);
  codes.push_back(vocab_code);
  codes.push_back(2);
  if (n_norms) codes.push_back(6);
  header(f, codes);
  // Metadata is written as the TOML library renders the table it read: this
  // text is already in that form.
  if (with_metadata) metadata(f, "dims = 3\nmodel = 'SkipGram'");
  vocab(f);
  nd_array(f, rows, 3, counting(rows * 3));
  if (n_norms) norms(f, counting(n_norms));
  return f.str();
}

std::vector<float> vector_of(const Embeddings& e, std::string_view word) {
  auto row = e.find_embedding(word);
  if (!row) return {};
  return {row->values().begin(), row->values().end()};
}

TEST(Writers, EveryVocabularyKindRoundTripsByteForByte) {
  const std::vector<std::string> words = {"Haus", "Baum", "gr\xC3\xBCn"};
  struct Case {
    const char* name;
    std::uint32_t code;
    std::function<void(Bytes&)> vocab;
    std::size_t rows, n_norms;
  };
  const std::vector<Case> cases = {
      {"simple", 1, [&](Bytes& f) { simple_vocab(f, words); }, 3, 3},
      {"bucket", 3, [&](Bytes& f) { bucket_vocab(f, words, 3, 6, 2); }, 3 + 4, 3},
      {"fasttext", 7, [&](Bytes& f) { fasttext_vocab(f, words, 3, 6, 5); }, 3 + 5, 3},
      {"explicit", 8, [&](Bytes& f) { explicit_vocab(f, words, {{"<Ha", 0}, {"aus", 1}, {"us>", 0}}, 3, 3); },
       3 + 2, 3},
      {"floret", 9, [&](Bytes& f) { floret_vocab(f, 3, 6, 7, 2, 11, "[", "]"); }, 7, 0},
      {"empty simple", 1, [&](Bytes& f) { simple_vocab(f, {}); }, 0, 0},
  };
  for (const Case& c : cases) {
    for (bool with_metadata : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (with_metadata ? " with metadata" : ""));
      const std::string original = file_with(c.code, c.vocab, c.rows, c.n_norms, with_metadata);
      EXPECT_EQ(rewrite(original), original);
    }
  }
}

TEST(Writers, ExplicitIndicesAreWrittenDenseAndAddressTheSameRows) {
  // Stored indices 7 and 3 are numbered 0 and 1 by first appearance; the
  // writer stores those numbers, which read back as the same rows.
  Bytes f;
  header(f, {8, 2});
  explicit_vocab(f, {"ab"}, {{"<ab", 7}, {"ab>", 3}, {"<ab>", 7}}, 3, 4);
  nd_array(f, 3, 3, counting(9));
  const std::string original = f.str();
  const std::string written = rewrite(original);
  EXPECT_NE(written, original);

  TempFile a(original), b(written);
  BufferedReader ra = a.reader(), rb = b.reader();
  auto ea = read_embeddings_mapped(ra);
  auto eb = read_embeddings_mapped(rb);
  ASSERT_TRUE(ea.ok() && eb.ok());
  for (std::string_view word : {"ab", "b", "xab", "abab"}) {
    SCOPED_TRACE(word);
    EXPECT_EQ(vector_of(ea.value(), word), vector_of(eb.value(), word));
  }
  EXPECT_EQ(rewrite(written), written);
}

}  // namespace
}  // namespace mave
