// Fuzz target: the fastText reader with its conversion, then writing the
// result as a finalfusion file and reading that back.
//
// A conversion fails with an error value or a mave::Panic; anything else is
// a finding. A successful conversion must write a file that reads back with
// the same shape, vocabulary and norms, and whose lookups give the same
// vectors bit for bit.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "fasttext/fasttext.hpp"
#include "format/embeddings.hpp"
#include "fuzz_support.hpp"

namespace {

using mave::Embeddings;
using mave::Panic;
using mave::fuzz::require;

constexpr std::string_view kFixedWords[] = {"", "a", "gr\xC3\xBCn", "\xF0\x9F\x98\x80", "<>", "unknown"};
constexpr std::size_t kVocabWords = 3;

// memcmp must not see the null data of empty vectors.
bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

struct Outcome {
  bool panicked = false;
  std::optional<std::vector<float>> values;

  bool operator==(const Outcome& other) const {
    if (panicked != other.panicked || values.has_value() != other.values.has_value()) return false;
    return !values || same_bits(*values, *other.values);
  }
};

Outcome find(const Embeddings& e, std::string_view word) {
  Outcome out;
  try {
    if (auto row = e.find_embedding(word)) out.values.emplace(row->values().begin(), row->values().end());
  } catch (const Panic&) {
    out.panicked = true;
  }
  return out;
}

const mave::FastTextSubwordVocab& subword_vocab(const Embeddings& e) {
  const auto* vocab = std::get_if<mave::FastTextSubwordVocab>(&e.vocab().variant());
  require(vocab != nullptr, "not a fastText subword vocabulary");
  return *vocab;
}

// Writes the converted embeddings into a memory file and reads them back.
void round_trip(const Embeddings& converted) {
  mave::File file = mave::fuzz::empty_memory_file();
  int copy = ::dup(file.fd());
  require(copy >= 0, "dup failed");
  {
    mave::BufferedWriter writer{mave::File(copy)};
    mave::Status written = converted.write_embeddings_to(writer);
    if (!written.ok()) {
      // Only a column count the file cannot hold may fail the write.
      require(converted.dims() > std::numeric_limits<std::uint32_t>::max(),
              "writing to a memory file failed");
      return;
    }
    require(writer.close().ok(), "closing the written memory file failed");
  }
  require(::lseek(file.fd(), 0, SEEK_SET) == 0, "rewinding the written file failed");
  mave::BufferedReader reader(std::move(file));
  auto read = mave::read_embeddings_mapped(reader);
  require(read.ok(), "a written file does not read back");
  const Embeddings& back = read.value();

  require(back.dims() == converted.dims(), "the dimensions changed in the round trip");
  require(back.storage().rows() == converted.storage().rows(), "the row count changed");
  const auto& before = subword_vocab(converted);
  const auto& after = subword_vocab(back);
  require(after.words.size() == before.words.size(), "the vocabulary size changed");
  for (std::size_t i = 0; i < before.words.size(); ++i) {
    require(after.words[i] == before.words[i], "a word changed in the round trip");
  }
  require(after.min_ngram_len == before.min_ngram_len && after.max_ngram_len == before.max_ngram_len &&
              after.indexer.bucket_count() == before.indexer.bucket_count(),
          "the subword settings changed");
  require(back.norms().has_value() && back.metadata().has_value(), "norms or metadata were lost");
  require(same_bits(back.norms()->values, converted.norms()->values), "the norms changed");
  require(back.metadata()->to_toml() == converted.metadata()->to_toml(), "the metadata changed");

  std::vector<std::string> words;
  for (std::size_t i = 0; i < before.words.size() && i < kVocabWords; ++i) {
    words.emplace_back(before.words[i]);
  }
  words.insert(words.end(), std::begin(kFixedWords), std::end(kFixedWords));
  for (const std::string& word : words) {
    require(find(back, word) == find(converted, word), "a lookup changed in the round trip");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mave::BufferedReader reader(mave::fuzz::memory_file(data, size));
  try {
    auto converted = mave::load_fasttext_model(reader);
    if (!converted.ok()) {
      require(mave::fuzz::renders(converted.error()), "an error without text");
      return 0;
    }
    round_trip(converted.value());
  } catch (const Panic&) {
    // A legitimate outcome (repeated words, n-gram lengths, bucket limits, ...).
  }
  return 0;
}
