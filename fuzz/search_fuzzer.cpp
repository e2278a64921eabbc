// Fuzz target: the nearest-rows search (NearestSearch::search) with hostile
// arguments, on a small dense matrix of any float values or on a finalfusion
// file (dense or quantized).
//
// The input is [flags][n][n bytes of arguments][rest]. The rest is the
// matrix's values (flag kFile clear) or a finalfusion file (kFile set). The
// arguments give the term vectors (zero, NaN, infinite, tiny and huge values
// among them), how terms group into questions, the excluded rows and their
// offsets, k, the candidate count, an allow-list of any length, the
// objective and the threads; flags break one of them on purpose.
//
// Arguments that contradict each other must fail with BadSearchArguments
// (and consistent ones never). A consistent search must answer best first,
// only candidate rows that are allowed and not excluded, the same on one
// thread as on two and the chosen count; on a dense matrix of ordinary
// values every score must be within rounding of a brute-force scan in double
// precision, and no candidate left out may score better than the last one in.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "format/embeddings.hpp"
#include "format/simple_vocab.hpp"
#include "fuzz_support.hpp"
#include "search/nearest.hpp"

namespace {

using mave::Embeddings;
using mave::Panic;
using mave::PanicKind;
using mave::fuzz::require;

enum Flags : std::uint8_t {
  kFile = 1,           // the rest is a finalfusion file
  kCosMul = 2,         // Objective::CosMul
  kGrouped = 4,        // questions of several positive and negative terms
  kAllowList = 8,      // an allow-list (of a length from the arguments)
  kOffsets = 16,       // per-question exclusions
  kBrokenTerms = 32,   // one value more than whole vectors
  kBrokenCounts = 64,  // the term counts do not add up, or positive and negative differ in length
  kRawOffsets = 128,   // offsets as given, not made consistent
};

constexpr std::size_t kMaxRows = std::size_t{1} << 12;
constexpr std::size_t kMaxDims = 512;
constexpr std::size_t kMaxK = 300;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The bytes of the arguments, read front to back; zeros once exhausted.
class Arguments {
 public:
  explicit Arguments(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::uint8_t u8() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | u8();
    return v;
  }
  // Mostly ordinary values; the special ones a query or row can hold
  // otherwise.
  float value() {
    const std::uint8_t kind = u8();
    switch (kind % 16) {
      case 0:
        return 0.0f;
      case 1:
        return kNaN;
      case 2:
        return std::numeric_limits<float>::infinity();
      case 3:
        return -std::numeric_limits<float>::infinity();
      case 4:
        return 1e-42f;  // subnormal
      case 5:
        return 3e38f;
      case 6: {
        const std::uint32_t bits = u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
      }
      default:
        return static_cast<float>(static_cast<std::int8_t>(u8())) / 16.0f;
    }
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

// Values whose float32 products and scaling stay far from overflow and
// underflow, so that the scan in double is a fair reference.
bool ordinary(std::span<const float> v) {
  for (float x : v) {
    const float a = std::fabs(x);
    if (std::isfinite(x) && a != 0.0f && (a < 1e-15f || a > 1e15f)) return false;
  }
  return true;
}

double length_of(std::span<const float> v) {
  double s = 0;
  for (float x : v) s += double(x) * x;
  return std::sqrt(s);
}

struct Call {
  std::vector<float> terms;
  std::vector<std::uint32_t> positive, negative, term_of;
  std::vector<std::size_t> exclude, offsets;
  std::vector<std::uint8_t> allowed;
  mave::SearchOptions options;
  std::size_t n_questions = 0;
};

// Whether the arguments are consistent, as the search's contract states it.
bool consistent(const Call& c, std::size_t dims, std::size_t storage_rows) {
  if (dims == 0 ? !c.terms.empty() : c.terms.size() % dims != 0) return false;
  if (c.positive.size() != c.negative.size()) return false;
  if (!c.term_of.empty() && c.positive.empty()) return false;
  if (dims == 0) return true;  // nothing to answer, whatever the counts name
  const std::size_t n_terms = c.terms.size() / dims;
  for (std::uint32_t t : c.term_of) {
    if (t >= n_terms) return false;
  }
  if (!c.positive.empty()) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < c.positive.size(); ++i) total += c.positive[i] + c.negative[i];
    if (total != (c.term_of.empty() ? n_terms : c.term_of.size())) return false;
  }
  const std::size_t n_rows = std::min(c.options.n_rows, storage_rows);
  if (!c.allowed.empty() && c.allowed.size() < n_rows) return false;
  if (!c.offsets.empty()) {
    if (c.offsets.size() != c.n_questions + 1) return false;
    for (std::size_t i = 0; i + 1 < c.offsets.size(); ++i) {
      if (c.offsets[i] > c.offsets[i + 1] || c.offsets[i + 1] > c.exclude.size()) return false;
    }
  }
  return true;
}

struct Answer {
  std::vector<std::int64_t> rows;
  std::vector<float> scores;
};

std::optional<Answer> run(const mave::NearestSearch& search, const Call& c, unsigned threads,
                          bool quantized) {
  Answer a{std::vector<std::int64_t>(c.n_questions * c.options.k, -7),
           std::vector<float>(c.n_questions * c.options.k, 7.0f)};
  mave::SearchOptions options = c.options;
  options.threads = threads;
  options.allowed = c.allowed;
  try {
    search.search(mave::Questions{c.terms, c.positive, c.negative, c.exclude, c.offsets, c.term_of}, options,
                  a.rows.data(), a.scores.data());
  } catch (const Panic& failure) {
    if (failure.kind() == PanicKind::BadSearchArguments) throw;
    // A code beyond the centroids of a damaged quantized file.
    require(quantized && failure.kind() == PanicKind::IndexOutOfBounds,
            "a search failed in another way than a damaged quantized file");
    return std::nullopt;
  }
  return a;
}

// The brute-force score of `row` for question q, in double precision, or
// nullopt when the row cannot be scored (no length float32 can scale).
struct Reference {
  std::vector<double> unit_terms;  // the question's terms as unit vectors, signed for Cosine
  std::size_t positive = 0, negative = 0;
  bool answerable = false;
  // Shared terms enter a Cosine question as float32 unit vectors: when their
  // signed sum nearly cancels out, its direction is rounding.
  bool sensitive = false;
};

Reference reference_question(const Call& c, std::size_t dims, std::size_t q, std::size_t first) {
  Reference r;
  const bool grouped = !c.positive.empty();
  r.positive = grouped ? c.positive[q] : 1;
  r.negative = grouped ? c.negative[q] : 0;
  r.answerable = r.positive > 0;
  for (std::size_t t = 0; t < r.positive + r.negative; ++t) {
    const std::size_t named = c.term_of.empty() ? first + t : c.term_of[first + t];
    std::span<const float> v{c.terms.data() + named * dims, dims};
    const double length = length_of(v);
    if (!(length > 0) || !std::isfinite(length)) r.answerable = false;
    // As the search scales a term, so that a sum that nearly cancels out
    // keeps the same direction.
    const double inverse = 1.0 / length;
    for (float x : v) r.unit_terms.push_back(double(x) * inverse);
  }
  if (!c.term_of.empty() && r.answerable) {
    double s = 0;
    for (std::size_t j = 0; j < dims; ++j) {
      double x = 0;
      for (std::size_t t = 0; t < r.positive + r.negative; ++t) {
        x += (t < r.positive ? 1.0 : -1.0) * r.unit_terms[t * dims + j];
      }
      s += x * x;
    }
    r.sensitive = std::sqrt(s) < 1e-2;
  }
  return r;
}

// A score of the scan, and whether float32 rounding keeps the search's own
// score near it: 3CosMul scores over a vanishing denominator (a row opposite
// a negative term) magnify the rounding of the cosines a millionfold.
struct Scored {
  double score;
  bool reliable;
};

std::optional<Scored> brute_score(const Reference& q, std::span<const float> row, bool cosmul) {
  const double length = length_of(row);
  if (!(length > 0) || !std::isfinite(length)) return std::nullopt;
  const std::size_t dims = row.size();
  auto cosine = [&](std::size_t t) {
    double dot = 0;
    for (std::size_t j = 0; j < dims; ++j) dot += q.unit_terms[t * dims + j] * row[j];
    return dot / length;
  };
  if (cosmul) {
    double numerator = 1, denominator = 1;
    for (std::size_t t = 0; t < q.positive; ++t) numerator *= (1 + cosine(t)) / 2;
    for (std::size_t t = 0; t < q.negative; ++t) denominator *= (1 + cosine(q.positive + t)) / 2;
    return Scored{numerator / (denominator + 1e-6), denominator >= 1e-2};
  }
  std::vector<double> sum(dims, 0.0);
  for (std::size_t t = 0; t < q.positive + q.negative; ++t) {
    const double sign = t < q.positive ? 1.0 : -1.0;
    for (std::size_t j = 0; j < dims; ++j) sum[j] += sign * q.unit_terms[t * dims + j];
  }
  double s = 0, dot = 0;
  for (std::size_t j = 0; j < dims; ++j) {
    s += sum[j] * sum[j];
    dot += sum[j] * row[j];
  }
  if (!(s > 0)) return std::nullopt;
  return Scored{dot / std::sqrt(s) / length, true};
}

void check(const Embeddings& e, const Call& c, const Answer& a, bool compare) {
  const std::size_t dims = e.dims(), k = c.options.k;
  const std::size_t n_rows = std::min(c.options.n_rows, e.storage().rows());
  const bool cosmul = c.options.objective == mave::Objective::CosMul;
  const float* matrix = nullptr;
  if (const auto* m = std::get_if<mave::NdArray>(&e.storage().variant())) matrix = m->data().data();
  if (const auto* m = std::get_if<mave::MappedNdArray>(&e.storage().variant())) matrix = m->data();
  compare = compare && matrix != nullptr;
  std::size_t first = 0;
  for (std::size_t q = 0; q < c.n_questions; ++q) {
    std::span<const std::size_t> excluded;
    if (!c.offsets.empty()) {
      excluded =
          std::span<const std::size_t>(c.exclude).subspan(c.offsets[q], c.offsets[q + 1] - c.offsets[q]);
    }
    auto candidate = [&](std::int64_t row) {
      return row >= 0 && static_cast<std::size_t>(row) < n_rows &&
             (c.allowed.empty() || c.allowed[row] != 0) &&
             std::find(excluded.begin(), excluded.end(), static_cast<std::size_t>(row)) == excluded.end();
    };
    const Reference ref = reference_question(c, dims, q, first);
    first += ref.positive + ref.negative;
    const std::int64_t* rows = a.rows.data() + q * k;
    const float* scores = a.scores.data() + q * k;
    std::size_t found = 0;
    while (found < k && rows[found] >= 0) ++found;
    for (std::size_t j = 0; j < k; ++j) {
      if (j >= found) {
        require(rows[j] == -1 && std::isnan(scores[j]), "a gap in the answer is not row -1 and NaN");
        continue;
      }
      require(candidate(rows[j]), "an answer that is no candidate");
      require(std::isfinite(scores[j]), "an answer with a score that is not finite");
      require(cosmul ? scores[j] >= -1e-3f : std::fabs(scores[j]) <= 1.001f, "a score outside its range");
      require(j == 0 || scores[j - 1] >= scores[j], "answers not best first");
      for (std::size_t i = 0; i < j; ++i) require(rows[i] != rows[j], "a row answered twice");
    }
    if (!ref.answerable) require(found == 0, "an unanswerable question was answered");
    if (!compare || !ref.answerable || ref.sensitive) continue;
    // Against the scan in double: the same scores, and nothing better left
    // out. 3CosMul scores near a vanishing denominator are too sensitive
    // to compare.
    auto tolerance = [&](double score) { return 1e-3 * (1 + std::fabs(score)); };
    std::size_t scorable = 0;
    std::optional<double> worst;
    for (std::size_t j = 0; j < found; ++j) {
      auto b = brute_score(ref, {matrix + rows[j] * dims, dims}, cosmul);
      require(b.has_value(), "an answer the scan cannot score");
      if (b->reliable) {
        require(std::fabs(b->score - scores[j]) <= tolerance(b->score), "a score differs from the scan");
      }
      if (j + 1 == found && b->reliable) worst = b->score;
    }
    for (std::size_t r = 0; r < n_rows; ++r) {
      if (!candidate(static_cast<std::int64_t>(r))) continue;
      auto b = brute_score(ref, {matrix + r * dims, dims}, cosmul);
      if (!b) continue;
      ++scorable;
      if (worst && found == k && b->reliable &&
          std::find(rows, rows + found, static_cast<std::int64_t>(r)) == rows + found) {
        require(b->score <= *worst + tolerance(b->score), "a better candidate left out");
      }
    }
    require(found == std::min(k, scorable), "fewer answers than scorable candidates");
  }
}

void search(const Embeddings& e, Arguments& args, std::uint8_t flags) {
  const std::size_t dims = e.dims();
  const std::size_t storage_rows = e.storage().rows();
  if (dims > kMaxDims || storage_rows > kMaxRows) return;
  const auto* quantized = std::get_if<mave::MappedQuantizedArray>(&e.storage().variant());
  // A general projection is applied to every row once: rows x dims^2.
  if (quantized && quantized->quantizer().has_projection() &&
      storage_rows * dims * dims > (std::size_t{1} << 26)) {
    return;
  }

  Call c;
  const std::size_t asked = args.u8() % 6;
  std::size_t n_terms = 0;
  if (flags & kGrouped) {
    for (std::size_t q = 0; q < asked; ++q) {
      c.positive.push_back(args.u8() % 4);
      c.negative.push_back(args.u8() % 3);
      n_terms += c.positive.back() + c.negative.back();
    }
    if (flags & kBrokenCounts) {
      if (args.u8() % 2 == 0 || c.positive.empty()) {
        c.negative.push_back(1);  // one count more on one side
      } else {
        ++c.positive[0];
      }
    }
  } else {
    n_terms = asked;
  }
  // Shared terms (grouped questions naming a few distinct vectors by
  // number, a number one beyond them when the counts are to be broken).
  const std::uint8_t shared = args.u8();
  if ((flags & kGrouped) && shared % 2 == 1) {
    const std::size_t distinct = 1 + shared / 2 % 4;
    for (std::size_t i = 0; i < n_terms; ++i) {
      c.term_of.push_back(args.u8() % (distinct + ((flags & kBrokenCounts) ? 1 : 0)));
    }
    n_terms = distinct;
  }
  for (std::size_t i = 0; i < n_terms * dims; ++i) c.terms.push_back(args.value());
  if (flags & kBrokenTerms) c.terms.push_back(1.0f);
  // As many questions as the search makes of the arguments (its answer's
  // rows), whether or not they are consistent.
  c.n_questions = c.positive.empty() ? (dims == 0 ? 0 : c.terms.size() / dims) : c.positive.size();
  const std::size_t n_exclude = args.u8() % 8;
  for (std::size_t i = 0; i < n_exclude; ++i) c.exclude.push_back(args.u8() % (storage_rows + 3));
  if (flags & kOffsets) {
    std::size_t at = 0;
    c.offsets.push_back(0);
    for (std::size_t q = 0; q < c.n_questions; ++q) {
      const std::uint8_t step = args.u8();
      at = flags & kRawOffsets ? step : std::min(c.exclude.size(), at + step % 4);
      c.offsets.push_back(at);
    }
    if ((flags & kRawOffsets) && args.u8() % 4 == 0) c.offsets.push_back(0);
  }
  const std::uint8_t k = args.u8();
  c.options.k = k % 8 == 0 ? args.u32() % (kMaxK + 1) : k % 12;
  const std::uint8_t rows_kind = args.u8() % 4;
  c.options.n_rows = rows_kind == 0 ? storage_rows : rows_kind == 1 ? args.u32() : args.u8();
  if (flags & kAllowList) {
    const std::size_t n = args.u8() % 4 == 0 ? args.u8() : std::min(c.options.n_rows, storage_rows);
    for (std::size_t i = 0; i < n; ++i) c.allowed.push_back(args.u8() % 3 != 0);
  }
  c.options.objective = flags & kCosMul ? mave::Objective::CosMul : mave::Objective::Cosine;
  const unsigned threads = args.u8() % 4;

  const bool expected = consistent(c, dims, storage_rows);
  mave::NearestSearch searcher(e);
  std::optional<Answer> answers[3];
  const unsigned thread_counts[3] = {1, 2, threads};
  for (int i = 0; i < 3; ++i) {
    bool refused = false;
    try {
      answers[i] = run(searcher, c, thread_counts[i], quantized != nullptr);
    } catch (const Panic&) {
      refused = true;
    }
    require(refused == !expected,
            expected ? "consistent arguments were refused" : "contradicting arguments were not refused");
    if (refused) return;
  }
  if (!answers[0] || !answers[1] || !answers[2]) {
    require(!answers[0] && !answers[1] && !answers[2], "threads changed whether a search fails");
    return;
  }
  const bool compare = ordinary(c.terms) && [&] {
    if (quantized || storage_rows * dims > (std::size_t{1} << 16)) return false;
    for (std::size_t r = 0; r < storage_rows; ++r) {
      std::vector<float> row(dims);
      e.storage().row_into(r, row.data());
      if (!ordinary(row)) return false;
    }
    return true;
  }();
  check(e, c, *answers[0], compare);
  // Other threads take other blocks of the same grid: the same answer, to
  // the last bit.
  for (int i = 1; i < 3; ++i) {
    check(e, c, *answers[i], compare);
    require(answers[i]->rows == answers[0]->rows, "threads changed the answer");
    // No answers: no scores, and memcmp must not get their null pointers.
    require(answers[0]->scores.empty() || std::memcmp(answers[i]->scores.data(), answers[0]->scores.data(),
                                                      answers[0]->scores.size() * sizeof(float)) == 0,
            "threads changed the scores");
  }
}

Embeddings dense(Arguments& args, std::span<const std::uint8_t> rest) {
  const std::size_t dims = 1 + args.u8() % 8;
  const std::size_t rows = args.u8() % 40;
  Arguments values(rest);
  std::vector<float> matrix(rows * dims);
  for (float& x : matrix) x = values.value();
  // The search reads the storage only; the words are never asked for.
  return Embeddings::unchecked(std::nullopt, mave::Vocab(mave::SimpleVocab{}),
                               mave::Storage(mave::NdArray(rows, dims, std::move(matrix))), std::nullopt);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t flags = data[0];
  const std::size_t n = std::min<std::size_t>(data[1], size - 2);
  Arguments args({data + 2, n});
  const std::span<const std::uint8_t> rest{data + 2 + n, size - 2 - n};
  if (!(flags & kFile)) {
    Embeddings e = dense(args, rest);
    search(e, args, flags);
    return 0;
  }
  mave::BufferedReader reader(mave::fuzz::memory_file(rest.data(), rest.size()));
  try {
    auto embeddings = mave::read_embeddings_mapped(reader);
    if (!embeddings.ok()) return 0;
    (void)reader.into_file().close();
    search(embeddings.value(), args, flags);
  } catch (const Panic& failure) {
    // Reading may fail by a broken invariant of the file; the search itself
    // fails only as `run` allows.
    require(failure.kind() != PanicKind::BadSearchArguments, "a search argument failure escaped");
  }
  return 0;
}
