// Files as users download them: words cut inside multibyte characters read
// as gensim reads them under each unicode_errors setting; limit; fastText
// binaries from before the magic number and floret models, against the
// vectors gensim and floret give.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iostream>

#include "fasttext/fasttext.hpp"
#include "importers/word2vec.hpp"
#include "python/native/messages.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

// mave's words for a failure, which name what the tests look for.
[[maybe_unused]] std::string said(const EmbeddingsError& e) { return messages::reason(e).text; }
[[maybe_unused]] std::string said(const IoError& e) { return messages::io_text(e); }

using namespace test;

ImportedEmbeddings read(const std::string& name, bool binary, ReadOptions options) {
  BufferedReader r(File::open_read(data_path(name)).value());
  auto e = binary ? read_word2vec_binary(r, {}, options)
                  : read_text_embeddings(r, TextLayout::WithHeader, {}, options);
  EXPECT_TRUE(e.ok()) << name << ": " << said(e.error());
  return std::move(e).value();
}

// A reference written as GloVe text: a word and its values per line.
ImportedEmbeddings reference(const std::string& name) {
  BufferedReader r(File::open_read(data_path(name)).value());
  auto e = read_text_embeddings(r, TextLayout::GloVe);
  EXPECT_TRUE(e.ok()) << name << ": " << said(e.error());
  return std::move(e).value();
}

std::vector<float> row_of(const ImportedEmbeddings& e, std::size_t i) {
  return {e.matrix.row(i), e.matrix.row(i) + e.matrix.cols()};
}

TEST(UserFilesTest, CutWordsReadAsGensimReadsThem) {
  for (bool binary : {false, true}) {
    const std::string ext = binary ? "bin" : "vec";
    for (auto [errors, name] : {std::pair{Utf8Errors::Replace, "replace"}, {Utf8Errors::Ignore, "ignore"}}) {
      SCOPED_TRACE(ext + " " + name);
      const ImportedEmbeddings got = read("utf8/cut-words." + ext, binary, {errors, {}});
      const ImportedEmbeddings want = reference("utf8/cut-words." + ext + "." + name + ".gensim.txt");
      ASSERT_EQ(got.words.size(), want.words.size());
      EXPECT_EQ(got.dropped_words, 0u);
      for (std::size_t i = 0; i < want.words.size(); ++i) {
        ASSERT_EQ(got.words[i], want.words[i]) << i;
        ASSERT_EQ(row_of(got, i), row_of(want, i)) << want.words[i];
      }
    }
    // Strict: today's error, naming the word.
    BufferedReader r(File::open_read(data_path("utf8/cut-words." + ext)).value());
    auto strict = binary ? read_word2vec_binary(r) : read_text_embeddings(r, TextLayout::WithHeader);
    ASSERT_FALSE(strict.ok());
    EXPECT_NE(said(strict.error()).find("is not valid UTF-8"), std::string::npos);
  }
}

TEST(UserFilesTest, WordsThatBecomeEqualOrEmptyKeepTheFirstRow) {
  // The words of cut-collide: "abc", "stra\xC3", "abc\xC3", "abc\xE2\x82",
  // "\xFF\xFE", "ok€x", "\xE2\x82z", "straß", "\xC3", "z", "last"; row i
  // holds (4i .. 4i+3) / 8.
  struct Case {
    Utf8Errors errors;
    std::vector<std::string> words;
    std::vector<std::size_t> rows;
  };
  const std::string fffd = "\xEF\xBF\xBD";
  const Case cases[] = {
      {Utf8Errors::Replace,
       {"abc", "stra" + fffd, "abc" + fffd, fffd + fffd, "ok\xE2\x82\xACx", fffd + "z", "stra\xC3\x9F", fffd,
        "z", "last"},
       {0, 1, 2, 4, 5, 6, 7, 8, 9, 10}},
      {Utf8Errors::Ignore,
       {"abc", "stra", "ok\xE2\x82\xACx", "z", "stra\xC3\x9F", "last"},
       {0, 1, 5, 6, 7, 10}},
  };
  for (bool binary : {false, true}) {
    for (const Case& c : cases) {
      const ImportedEmbeddings got =
          read(binary ? "utf8/cut-collide.bin" : "utf8/cut-collide.vec", binary, {c.errors, {}});
      ASSERT_EQ(got.words.size(), c.words.size());
      EXPECT_EQ(got.dropped_words, 11 - c.words.size());
      for (std::size_t i = 0; i < c.words.size(); ++i) {
        EXPECT_EQ(got.words[i], c.words[i]);
        EXPECT_EQ(got.words.find(c.words[i]), i);
        const std::size_t k = c.rows[i];
        EXPECT_EQ(row_of(got, i), (std::vector<float>{k * 4 / 8.0f, (k * 4 + 1) / 8.0f, (k * 4 + 2) / 8.0f,
                                                      (k * 4 + 3) / 8.0f}));
      }
    }
  }
}

TEST(UserFilesTest, LimitReadsTheFirstRowsOnly) {
  for (bool binary : {false, true}) {
    const std::string name = binary ? "utf8/cut-collide.bin" : "utf8/cut-collide.vec";
    // Rows after the limit are never read: broken ones included.
    const ImportedEmbeddings first = read(name, binary, {Utf8Errors::Strict, 1});
    ASSERT_EQ(first.words.size(), 1u);
    EXPECT_EQ(first.words[0], "abc");
    const ImportedEmbeddings three = read(name, binary, {Utf8Errors::Ignore, 4});
    EXPECT_EQ(three.words.size(), 2u);  // "abc", "stra", and two rows that repeat "abc"
    EXPECT_EQ(three.dropped_words, 2u);
    EXPECT_EQ(read(name, binary, {Utf8Errors::Replace, 1000}).words.size(), 10u);
  }
}

// The largest difference between a lookup and the reference vector.
float largest_difference(const Embeddings& e, const ImportedEmbeddings& want) {
  float largest = 0;
  for (std::size_t i = 0; i < want.words.size(); ++i) {
    auto got = e.find_embedding(want.words[i]);
    EXPECT_TRUE(got) << want.words[i];
    if (!got) continue;
    // Known words are stored at unit length with their norm; a composed
    // vector is compared at unit length.
    const float* w = want.matrix.row(i);
    float norm = 1, want_scale = 1;
    {
      if (auto idx = e.vocab().words().find(want.words[i])) {
        norm = e.norms()->values[*idx];
      } else {
        float sum = 0;
        for (std::size_t j = 0; j < want.matrix.cols(); ++j) sum += w[j] * w[j];
        want_scale = 1 / std::sqrt(sum);
      }
    }
    for (std::size_t j = 0; j < want.matrix.cols(); ++j) {
      largest = std::max(largest, std::fabs(got->values()[j] * norm - w[j] * want_scale));
    }
  }
  return largest;
}

TEST(UserFilesTest, FloretModelsGiveFloretsVectors) {
  for (const char* name : {"floret-cbow", "floret-skipgram"}) {
    SCOPED_TRACE(name);
    BufferedReader r(File::open_read(data_path(std::string("floret/") + name + ".bin")).value());
    auto got = import_fasttext_model(r);
    ASSERT_TRUE(got.ok()) << said(got.error());
    EXPECT_EQ(got.value().layout, FastTextLayout::Floret);
    const Embeddings& e = got.value().embeddings;
    ASSERT_TRUE(std::holds_alternative<FloretSubwordVocab>(e.vocab().variant()));
    const auto& vocab = std::get<FloretSubwordVocab>(e.vocab().variant());
    EXPECT_TRUE(vocab.words.empty());
    EXPECT_EQ(vocab.begin_marker, "<");
    EXPECT_EQ(vocab.end_marker, ">");
    const ImportedEmbeddings want = reference(std::string("floret/") + name + ".floret-vectors.txt");
    // Vocabulary words and strings floret never saw, all from their n-grams;
    // lookups give unit vectors, floret the mean of the rows.
    const float largest = largest_difference(e, want);
    EXPECT_LT(largest, 1e-6f);
    std::cout << name << ": largest difference from floret's get_word_vector " << largest << "\n";
  }
}

TEST(UserFilesTest, FastTextWithoutMagicReadsAsGensimReadsIt) {
  BufferedReader r(File::open_read(data_path("fasttext/cbow-en-old.bin")).value());
  auto got = import_fasttext_model(r);
  ASSERT_TRUE(got.ok()) << said(got.error());
  EXPECT_EQ(got.value().layout, FastTextLayout::Old);
  const ImportedEmbeddings want = reference("fasttext/cbow-en-old.gensim.txt");
  const float largest = largest_difference(got.value().embeddings, want);
  EXPECT_LT(largest, 1e-5f);
  std::cout << "cbow-en-old: largest difference from gensim " << largest << "\n";

  // The same model with its header converts to the same vectors.
  BufferedReader current(File::open_read(data_path("fasttext/cbow-en.bin")).value());
  auto now = import_fasttext_model(current);
  ASSERT_TRUE(now.ok());
  EXPECT_EQ(now.value().layout, FastTextLayout::Current);
  EXPECT_EQ(std::get<NdArray>(now.value().embeddings.storage().variant()).rows(),
            std::get<NdArray>(got.value().embeddings.storage().variant()).rows());

  // limit: the first words; every bucket row stays.
  BufferedReader limited(File::open_read(data_path("fasttext/cbow-en-old.bin")).value());
  auto few = import_fasttext_model(limited, {true, 10});
  ASSERT_TRUE(few.ok());
  const auto& vocab = std::get<FastTextSubwordVocab>(few.value().embeddings.vocab().variant());
  EXPECT_EQ(vocab.words.size(), 10u);
  EXPECT_EQ(few.value().embeddings.storage().rows(), 10u + vocab.indexer.bucket_count());
}

}  // namespace
}  // namespace mave
