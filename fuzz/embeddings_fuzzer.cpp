// Fuzz target: the whole finalfusion reader, then lookups of a few words,
// one at a time and in a batch, and nearest-neighbour searches.
//
// Every read failure must come back as an error value and every broken
// invariant as a mave::Panic; anything else (another exception, a crash, a
// sanitizer report, a hang, a huge allocation) is a finding. After a
// successful read the first words of the vocabulary and some fixed strings
// are looked up in every way the module does, so that composed lookups, the
// quantized reconstruction and the vector text of eval all run.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "format/batch.hpp"
#include "format/embeddings.hpp"
#include "fuzz_support.hpp"
#include "search/nearest.hpp"
#include "text/vector_text.hpp"

namespace {

using mave::Embeddings;
using mave::Panic;
using mave::TargetView;
using mave::fuzz::require;

// Known-ish and unknown strings: empty, short, the markers themselves,
// non-ASCII (two-, three- and four-byte characters), and a long one.
constexpr std::string_view kFixedWords[] = {
    "",
    "a",
    "Haus",
    "gr\xC3\xBCn",
    "<",
    ">",
    "<>",
    "\xE2\x82\xAC",
    "\xF0\x9F\x98\x80x",
    "two words",
    "abcdefghijklmnopqrstuvwxyz0123456789",
};
constexpr std::size_t kVocabWords = 3;
// Targets larger than this are not allocated by the harness; find_embedding
// still runs for them.
constexpr std::size_t kMaxTarget = std::size_t{1} << 20;
// Written into targets first: a lookup that reports "not found" or fails must
// leave it in place, and a strided write must not touch the gaps.
constexpr std::uint32_t kSentinelBits = 0x7FA5A5A5;  // a quiet NaN no lookup produces

float sentinel() {
  float f;
  std::memcpy(&f, &kSentinelBits, sizeof f);
  return f;
}

bool is_sentinel(float f) { return std::memcmp(&f, &kSentinelBits, sizeof f) == 0; }

std::vector<std::string> vocabulary_words(const Embeddings& e) {
  std::vector<std::string> out;
  std::visit(
      [&](const auto& vocab) {
        for (std::size_t i = 0; i < vocab.words.size() && i < kVocabWords; ++i) {
          out.emplace_back(vocab.words[i]);
        }
      },
      e.vocab().variant());
  return out;
}

// The outcome of one lookup: panicked, not found, or the values.
struct Outcome {
  bool panicked = false;
  std::optional<std::vector<float>> values;
};

Outcome find(const Embeddings& e, std::string_view word) {
  Outcome out;
  try {
    auto row = e.find_embedding(word);
    if (row) {
      auto values = row->values();
      require(values.size() == e.dims(), "find_embedding returned a vector of the wrong length");
      out.values.emplace(values.begin(), values.end());
      std::string text;
      mave::append_vector_text(text, values);
      require(text.starts_with('[') && text.ends_with(", const ndim=1"), "malformed vector text");
    }
  } catch (const Panic&) {
    out.panicked = true;
  }
  return out;
}

// fill_embedding into a target of `len` elements every `step` elements of a
// buffer (a negative step runs backwards from the buffer's last element).
Outcome fill(const Embeddings& e, std::string_view word, std::size_t len, std::ptrdiff_t step) {
  const std::size_t span = len == 0 ? 1 : (len - 1) * static_cast<std::size_t>(step < 0 ? -step : step) + 1;
  std::vector<float> buffer(span, sentinel());
  std::byte* base = reinterpret_cast<std::byte*>(step < 0 ? buffer.data() + span - 1 : buffer.data());
  TargetView target{base, len, step * static_cast<std::ptrdiff_t>(sizeof(float))};

  Outcome out;
  bool found = false;
  try {
    found = e.fill_embedding(word, target);
  } catch (const Panic&) {
    out.panicked = true;
  }
  // Only element positions may change, and only when a vector was written
  // (a composed lookup zeroes the target before it can fail on a row).
  for (std::size_t k = 0; k < span; ++k) {
    bool element = step == 0 ? k == 0 : k % static_cast<std::size_t>(step < 0 ? -step : step) == 0;
    if (!element || (!found && !out.panicked)) {
      require(is_sentinel(buffer[k]), "fill_embedding wrote outside the target's elements");
    }
  }
  if (found) {
    out.values.emplace(len);
    for (std::size_t j = 0; j < len; ++j) (*out.values)[j] = target.get(j);
  }
  return out;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  // memcmp must not see the null data of empty vectors.
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// The number of n-grams a lookup of `word` enumerates. A file may set long
// floret markers and no limit on the n-gram length; a lookup then has
// quadratically many n-grams, and takes time accordingly, by the definition
// of a composed vector. Such lookups are skipped: their cost is known, and
// they would only slow the search for faults down.
std::uint64_t ngram_count(const Embeddings& e, std::string_view word) {
  return std::visit(
      [&](const auto& vocab) -> std::uint64_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(vocab)>, mave::SimpleVocab>) {
          return 0;
        } else {
          const std::uint64_t chars = mave::count_chars(vocab.begin_marker) + mave::count_chars(word) +
                                      mave::count_chars(vocab.end_marker);
          const std::uint64_t lo = vocab.min_ngram_len, hi = vocab.max_ngram_len;
          std::uint64_t n = 1;  // floret also hashes the whole bracketed word
          for (std::uint64_t left = chars; left >= lo && lo > 0 && hi >= lo; --left) {
            n += std::min(hi, left) - lo + 1;
          }
          return n;
        }
      },
      e.vocab().variant());
}
constexpr std::uint64_t kMaxNGrams = std::uint64_t{1} << 16;

void look_up(const Embeddings& e, std::string_view word) {
  const std::size_t dims = e.dims();
  if (ngram_count(e, word) > kMaxNGrams) return;
  Outcome found = find(e, word);
  if (dims > kMaxTarget) return;

  // A contiguous target receives exactly what find_embedding returns, and
  // both fail or succeed together.
  Outcome filled = fill(e, word, dims, 1);
  require(filled.panicked == found.panicked, "fill_embedding and find_embedding disagree on failure");
  require(filled.values.has_value() == found.values.has_value(),
          "fill_embedding and find_embedding disagree on whether the word has a vector");
  if (filled.values) {
    require(same_bits(*filled.values, *found.values),
            "fill_embedding and find_embedding give different values");
  }

  // Strided and reversed targets: a different summation order, the same
  // outcome.
  for (std::ptrdiff_t step : {2, -1, -3}) {
    Outcome strided = fill(e, word, dims, step);
    require(strided.panicked == found.panicked, "a strided target changed the outcome");
    require(strided.values.has_value() == found.values.has_value(),
            "a strided target changed whether the word has a vector");
  }

  // The length check comes before the lookup, for every word.
  Outcome wrong_length = fill(e, word, dims + 1, 1);
  require(wrong_length.panicked, "a target of the wrong length was accepted");
}

// A batch lookup of the same words gives each row exactly what a single
// lookup gives, on one thread and on two; a failure of any word fails it.
void look_up_batch(const Embeddings& e, const std::vector<std::string_view>& words) {
  const std::size_t dims = e.dims();
  if (dims > kMaxTarget || words.empty()) return;
  std::vector<float> singles(words.size() * dims, sentinel());
  std::vector<char> single_found(words.size());
  bool single_panicked = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    Outcome one = fill(e, words[i], dims, 1);
    single_panicked |= one.panicked;
    single_found[i] = one.values.has_value();
    if (one.values) std::copy(one.values->begin(), one.values->end(), singles.begin() + i * dims);
  }
  for (unsigned threads : {1u, 2u}) {
    std::vector<float> out(words.size() * dims, sentinel());
    std::unique_ptr<bool[]> found(new bool[words.size()]);
    const mave::TargetMatrix target{reinterpret_cast<std::byte*>(out.data()), words.size(), dims,
                                    static_cast<std::ptrdiff_t>(dims * sizeof(float)), sizeof(float)};
    bool panicked = false;
    try {
      mave::fill_embeddings(e, words, target, found.get(), threads);
    } catch (const Panic&) {
      panicked = true;
    }
    require(panicked == single_panicked, "a batch and single lookups disagree on failure");
    if (panicked) continue;
    for (std::size_t i = 0; i < words.size(); ++i) {
      require(found[i] == static_cast<bool>(single_found[i]),
              "a batch and a single lookup disagree on whether a word has a vector");
      for (std::size_t j = 0; j < dims; ++j) {
        const float got = out[i * dims + j];
        const float want = found[i] ? singles[i * dims + j] : 0.0f;
        require(std::memcmp(&got, &want, sizeof got) == 0, "a batch row differs from the single lookup");
      }
    }
  }
}

// Searches with a query taken from the file (the first vector found) and a
// fixed one: sorted best first, only vocabulary rows, none excluded, the
// same answer on one thread and on two.
void search(const Embeddings& e, const std::vector<std::string_view>& words) {
  const std::size_t dims = e.dims();
  const std::size_t rows = std::min<std::size_t>(e.vocab().n_words(), e.storage().rows());
  if (dims == 0 || dims > kMaxTarget || rows > (std::size_t{1} << 16)) return;
  if (const auto* q = std::get_if<mave::MappedQuantizedArray>(&e.storage().variant())) {
    // A general projection is applied to every row once: rows x dims^2.
    if (q->quantizer().has_projection() && rows * dims * dims > (std::size_t{1} << 26)) return;
  }
  std::vector<std::vector<float>> queries = {std::vector<float>(dims, 0.0f)};
  queries[0][0] = 1.0f;
  for (std::string_view w : words) {
    Outcome found = find(e, w);
    if (found.values) {
      queries.push_back(*found.values);
      break;
    }
  }
  mave::NearestSearch searcher(e);
  const std::size_t exclude[] = {0};
  for (const auto& query : queries) {
    std::vector<mave::Neighbour> first;
    for (unsigned threads : {1u, 2u}) {
      std::vector<mave::Neighbour> got;
      try {
        got = searcher.nearest(query, rows, 3, exclude, threads);
      } catch (const Panic&) {
        continue;  // a code beyond the centroids
      }
      require(got.size() <= 3, "more neighbours than asked for");
      for (std::size_t i = 0; i < got.size(); ++i) {
        require(got[i].row < rows && got[i].row != 0, "a neighbour outside the vocabulary rows");
        require(i == 0 || got[i - 1].cosine >= got[i].cosine, "neighbours out of order");
      }
      if (threads == 1) {
        first = got;
      } else {
        require(got.size() == first.size(), "threads changed the answer");
        for (std::size_t i = 0; i < got.size(); ++i) {
          require(got[i].row == first[i].row, "threads changed the answer");
        }
      }
    }
  }
}

void exercise(const Embeddings& e) {
  (void)e.vocab().n_words();
  (void)e.vocab().addressed_rows();
  if (const auto& metadata = e.metadata()) {
    (void)metadata->items();
    try {
      (void)metadata->to_toml();
    } catch (const Panic&) {
    }
  }
  const std::vector<std::string> vocabulary = vocabulary_words(e);
  std::vector<std::string_view> batch;
  for (const std::string& word : vocabulary) {
    look_up(e, word);
    if (ngram_count(e, word) <= kMaxNGrams) batch.push_back(word);
  }
  for (std::string_view word : kFixedWords) {
    look_up(e, word);
    if (ngram_count(e, word) <= kMaxNGrams) batch.push_back(word);
  }
  look_up_batch(e, batch);
  search(e, batch);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mave::BufferedReader reader(mave::fuzz::memory_file(data, size));
  try {
    auto embeddings = mave::read_embeddings_mapped(reader);
    if (!embeddings.ok()) {
      require(mave::fuzz::renders(embeddings.error()), "an error without text");
      return 0;
    }
    // The file handle goes away as in FfModel: the mappings must not need it.
    (void)reader.into_file().close();
    exercise(embeddings.value());
  } catch (const Panic&) {
    // A legitimate outcome (duplicate words, bucket limits, ...).
  }
  return 0;
}
