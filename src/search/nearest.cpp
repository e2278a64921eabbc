#include "search/nearest.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/threads.hpp"
#include "search/blas.hpp"

namespace mave {
namespace {

// Scores are not part of any stored result, so the scans may use the widest
// vector unit the CPU has: each hot function is compiled for AVX2 and for the
// baseline, and the loader picks one.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define MAVE_MULTIVERSION __attribute__((target_clones("avx2", "default")))
#else
#define MAVE_MULTIVERSION
#endif

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kFloatMax = std::numeric_limits<float>::max();

// A score float32 cannot hold (a product that overflowed) tells nothing:
// NaN, which no answer takes.
inline float finite_or_nan(float score) { return std::fabs(score) <= kFloatMax ? score : kNaN; }
// Rows scored at once per thread: a block of the matrix and its scores stay
// in the cache while every question of a chunk is answered from them.
constexpr std::size_t kBlockRows = 512;
// Questions' terms per chunk: dense 1024 x 512 scores (2 MiB per thread);
// quantized, 32 distance tables of up to 256 x dims floats.
constexpr std::size_t kDenseChunkTerms = 1024;
constexpr std::size_t kQuantizedChunkTerms = 32;
// The scores of a block of shared terms: 512 KiB, within a core's L2 cache.
constexpr std::size_t kSharedBlockFloats = std::size_t{1} << 17;
// Questions per chunk at most (shared terms let many name few queries).
constexpr std::size_t kMaxChunkQuestions = std::size_t{1} << 16;
// gensim's epsilon in 3CosMul, so that scores match its most_similar_cosmul.
constexpr float kCosMulEpsilon = 1e-6f;

bool better(const Neighbour& a, const Neighbour& b) {
  return a.cosine > b.cosine || (a.cosine == b.cosine && a.row < b.row);
}

// The best k seen so far; the worst of them at the front of the heap.
class TopK {
 public:
  TopK(std::size_t k, std::span<const std::size_t> exclude, const std::uint8_t* allowed)
      : k_(k), exclude_(exclude), allowed_(allowed) {
    // Grown as rows come: many questions with a large k must not hold room
    // for k rows each before any row qualifies.
    heap_.reserve(std::min<std::size_t>(k, 16));
  }

  // The score a row must reach to enter (minus infinity while not full).
  float threshold() const {
    return heap_.size() < k_ ? -std::numeric_limits<float>::infinity() : heap_.front().cosine;
  }

  void offer(std::size_t row, float score) {
    if (k_ == 0 || !(score >= threshold())) return;  // also drops NaN
    const Neighbour n{row, score};
    if (heap_.size() == k_ && !better(n, heap_.front())) return;
    if (allowed_ != nullptr && allowed_[row] == 0) return;
    if (std::find(exclude_.begin(), exclude_.end(), row) != exclude_.end()) return;
    if (heap_.size() == k_) {
      std::pop_heap(heap_.begin(), heap_.end(), better);
      heap_.back() = n;
    } else {
      heap_.push_back(n);
    }
    std::push_heap(heap_.begin(), heap_.end(), better);
  }

  void merge(const TopK& other) {
    for (const Neighbour& n : other.heap_) offer(n.row, n.cosine);
  }

  std::vector<Neighbour> best_first() && {
    std::sort(heap_.begin(), heap_.end(), better);
    return std::move(heap_);
  }

 private:
  std::size_t k_;
  std::span<const std::size_t> exclude_;
  const std::uint8_t* allowed_;
  std::vector<Neighbour> heap_;
};

double squared_length(std::span<const float> v) {
  double s = 0;
  for (float x : v) s += static_cast<double>(x) * x;
  return s;
}

// Whether the projection keeps the length of every vector (an orthogonal
// matrix; none at all counts). Tested on a few fixed pseudo-random vectors,
// which tell any matrix that is not orthogonal apart in dims^2 steps each
// rather than the dims^3 of forming PᵀP.
bool keeps_lengths(std::span<const float> p, std::size_t dims) {
  if (p.empty()) return true;
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  std::vector<double> v(dims);
  for (int probe = 0; probe < 4; ++probe) {
    double length = 0;
    for (double& x : v) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      x = static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
      length += x * x;
    }
    double projected = 0;
    for (std::size_t i = 0; i < dims; ++i) {
      double s = 0;
      for (std::size_t j = 0; j < dims; ++j) s += double(p[i * dims + j]) * v[j];
      projected += s * s;
    }
    if (!(std::abs(projected - length) <= 1e-4 * length)) return false;
  }
  return true;
}

// Every code byte indexes a row of 256 table entries, whatever the number of
// centroids: a code the file should not hold reads a NaN, never outside.
constexpr std::size_t kCodeValues = 256;

// scores[t * kBlockRows + j] = cosine of unit query t with row begin + j, for
// a block of quantized rows: the sum over subquantizers of table[code].
MAVE_MULTIVERSION
void quantized_block(const std::uint8_t* codes, std::size_t n_sub, const float* tables, std::size_t n_tables,
                     const float* lengths, const float* norms, std::size_t begin, std::size_t n,
                     float* scores) {
  for (std::size_t t = 0; t < n_tables; ++t) {
    const float* table = tables + t * n_sub * kCodeValues;
    float* out = scores + t * kBlockRows;
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t r = begin + j;
      const std::uint8_t* c = codes + r * n_sub;
      float d0 = 0, d1 = 0, d2 = 0, d3 = 0;
      std::size_t q = 0;
      for (; q + 4 <= n_sub; q += 4) {
        d0 += table[q * kCodeValues + c[q]];
        d1 += table[(q + 1) * kCodeValues + c[q + 1]];
        d2 += table[(q + 2) * kCodeValues + c[q + 2]];
        d3 += table[(q + 3) * kCodeValues + c[q + 3]];
      }
      for (; q < n_sub; ++q) d0 += table[q * kCodeValues + c[q]];
      float dot = (d0 + d1) + (d2 + d3);
      const float length = lengths[r];
      // A stored norm scales the row; only its sign can change the cosine.
      if (!(length > 0.0f) || (norms != nullptr && norms[r] == 0.0f)) {
        out[j] = kNaN;
        continue;
      }
      if (norms != nullptr && norms[r] < 0.0f) dot = -dot;
      out[j] = finite_or_nan(dot / length);
    }
  }
}

// Dense scores of a block: the product, then each column divided by its
// row's length (NaN for rows without one).
MAVE_MULTIVERSION
void scale_columns(float* scores, std::size_t n_terms, std::size_t n, const float* inverse_lengths) {
  for (std::size_t t = 0; t < n_terms; ++t) {
    float* s = scores + t * kBlockRows;
    for (std::size_t j = 0; j < n; ++j) s[j] = finite_or_nan(s[j] * inverse_lengths[j]);
  }
}

// Offers a block's scores. `threshold` is top.threshold(), kept by the
// caller beside those of the other questions: most blocks add nothing to
// most questions, and then their TopK is never touched.
MAVE_MULTIVERSION
void offer_cosines(const float* s, std::size_t begin, std::size_t n, TopK& top, float& threshold) {
  constexpr std::size_t kGroup = 64;
  for (std::size_t g = 0; g < n; g += kGroup) {
    const std::size_t end = std::min(n, g + kGroup);
    // Once the best k are found few scores enter: a group is first counted
    // in one vectorised pass, and looked at one by one only if any does.
    unsigned entering = 0;
    for (std::size_t j = g; j < end; ++j) entering += s[j] >= threshold;
    if (entering == 0) continue;
    for (std::size_t j = g; j < end; ++j) {
      if (s[j] >= threshold) {
        top.offer(begin + j, s[j]);
        threshold = top.threshold();
      }
    }
  }
}

// 3CosMul scores of a block; the question's terms are the score rows
// slots[0, n_positive + n_negative). Term by term over the whole block, so
// that the loops vectorise; each score's products keep the term order.
MAVE_MULTIVERSION
void cosmul_scores(const float* scores, const std::uint32_t* slots, std::size_t n_positive,
                   std::size_t n_negative, std::size_t n, float* out, float* denominator) {
  std::fill_n(out, n, 1.0f);
  std::fill_n(denominator, n, 1.0f);
  for (std::size_t t = 0; t < n_positive + n_negative; ++t) {
    const float* s = scores + std::size_t{slots[t]} * kBlockRows;
    float* product = t < n_positive ? out : denominator;
    for (std::size_t j = 0; j < n; ++j) product[j] *= (1.0f + s[j]) / 2.0f;
  }
  for (std::size_t j = 0; j < n; ++j) out[j] /= denominator[j] + kCosMulEpsilon;
}

// The cosines of a block with the mean of a question's shared terms: the
// signed sum of their cosines (score rows slots[...]), scaled.
MAVE_MULTIVERSION
void combine_cosines(const float* scores, const std::uint32_t* slots, std::size_t n_positive,
                     std::size_t n_negative, float scale, std::size_t n, float* out) {
  auto row = [&](std::size_t t) { return scores + std::size_t{slots[t]} * kBlockRows; };
  if (n_positive == 2 && n_negative == 1) {  // an analogy, in one pass
    const float *b = row(0), *c = row(1), *a = row(2);
    for (std::size_t j = 0; j < n; ++j) out[j] = (b[j] + c[j] - a[j]) * scale;
    return;
  }
  // n_positive >= 1: a question without a positive term is never scored.
  std::copy_n(row(0), n, out);
  for (std::size_t t = 1; t < n_positive + n_negative; ++t) {
    const float* s = row(t);
    if (t < n_positive) {
      for (std::size_t j = 0; j < n; ++j) out[j] += s[j];
    } else {
      for (std::size_t j = 0; j < n; ++j) out[j] -= s[j];
    }
  }
  for (std::size_t j = 0; j < n; ++j) out[j] *= scale;
}

// A question after its terms were made unit vectors: it is scored against
// the queries refs[first, first + positive + negative).
struct Asked {
  std::size_t first;
  std::size_t positive;
  std::size_t negative;
  float scale = 1.0f;    // combine: the inverse length of the signed sum of the terms
  bool combine = false;  // a Cosine question over shared terms
  bool answerable;
};

// Arguments that contradict each other (a caller's fault): an aborting
// failure of their own kind, `what` saying which.
void require(bool ok, const char* what) {
  if (!ok) panic(PanicKind::BadSearchArguments, PanicFacts::text(what));
}

// The shape of a search's questions.
struct QuestionShape {
  std::size_t n_terms;  // term vectors given
  std::size_t n_questions;
  bool grouped;  // counts say which terms each question takes
  bool shared;   // the questions name shared terms (term_of)
};

// The terms counted in vectors of `dims` values.
QuestionShape question_shape(const Questions& questions, std::size_t dims) {
  require(dims > 0 || questions.terms.empty(), "terms for a matrix without columns");
  const std::size_t n_terms = dims == 0 ? 0 : questions.terms.size() / dims;
  require(n_terms * dims == questions.terms.size(), "terms are not whole vectors");
  return {n_terms, questions.count(n_terms), !questions.positive.empty(), !questions.term_of.empty()};
}

// Every answer empty (row -1, score NaN) until rows qualify.
void clear_answers(std::size_t n, std::int64_t* rows_out, float* scores_out) {
  for (std::size_t i = 0; i < n; ++i) {
    rows_out[i] = -1;
    scores_out[i] = kNaN;
  }
}

// The queries the rows are scored against, as unit vectors of dims values
// each, and for each question the queries it combines (refs). Consecutive
// terms: a Cosine question's terms become one query, the unit vector of
// their signed sum (the direction of their mean); 3CosMul keeps one query
// per term. Shared terms: one query per term, scored once for every
// question naming it; a Cosine question sums its terms' cosines, scaled by
// the inverse length of the signed sum of their unit vectors.
struct PreparedQuestions {
  std::vector<Asked> asked;
  std::vector<float> queries;
  std::vector<std::uint32_t> refs;
};

// Shared terms as unit vectors (zeros for one without a direction), and
// which of them have one.
void unit_shared_terms(const Questions& questions, std::size_t n_terms, std::size_t dims,
                       std::vector<float>& queries, std::vector<char>& term_ok) {
  queries.reserve(n_terms * dims);
  term_ok.assign(n_terms, 0);
  for (std::size_t t = 0; t < n_terms; ++t) {
    std::span<const float> v = questions.terms.subspan(t * dims, dims);
    const double length = std::sqrt(squared_length(v));
    term_ok[t] = length > 0.0 && std::isfinite(length);
    for (float x : v) queries.push_back(term_ok[t] ? static_cast<float>(x / length) : 0.0f);
  }
}

PreparedQuestions prepare_questions(const Questions& questions, const QuestionShape& shape, std::size_t dims,
                                    bool cosmul) {
  const bool shared = shape.shared;
  PreparedQuestions out;
  out.asked.resize(shape.n_questions);
  std::vector<float>& queries = out.queries;
  std::vector<std::uint32_t>& refs = out.refs;
  std::vector<char> term_ok;
  if (shared) {
    unit_shared_terms(questions, shape.n_terms, dims, queries, term_ok);
  } else {
    queries.reserve(cosmul ? shape.n_terms * dims : shape.n_questions * dims);
  }
  std::vector<double> sum(dims);
  std::size_t term = 0;
  for (std::size_t i = 0; i < shape.n_questions; ++i) {
    const std::size_t positive = shape.grouped ? questions.positive[i] : 1;
    const std::size_t negative = shape.grouped ? questions.negative[i] : 0;
    Asked& a = out.asked[i];
    a.first = refs.size();
    a.answerable = positive > 0;
    a.combine = shared && !cosmul;
    std::fill(sum.begin(), sum.end(), 0.0);
    for (std::size_t t = 0; t < positive + negative; ++t, ++term) {
      if (shared) {
        const std::uint32_t named = questions.term_of[term];
        refs.push_back(named);
        if (!term_ok[named]) {
          a.answerable = false;
        } else if (!cosmul) {
          const float* u = queries.data() + std::size_t{named} * dims;
          const double sign = t < positive ? 1.0 : -1.0;
          for (std::size_t j = 0; j < dims; ++j) sum[j] += sign * u[j];
        }
        continue;
      }
      std::span<const float> v = questions.terms.subspan(term * dims, dims);
      const double length = std::sqrt(squared_length(v));
      if (!(length > 0.0) || !std::isfinite(length)) {
        a.answerable = false;
        continue;
      }
      const double weight = (t < positive ? 1.0 : -1.0) / length;
      if (cosmul) {
        refs.push_back(static_cast<std::uint32_t>(queries.size() / dims));
        for (float x : v) queries.push_back(static_cast<float>(x / length));
      } else {
        for (std::size_t j = 0; j < dims; ++j) sum[j] += weight * v[j];
      }
    }
    a.positive = positive;
    a.negative = negative;
    if (!cosmul) {
      const double length = std::sqrt([&] {
        double s = 0;
        for (double x : sum) s += x * x;
        return s;
      }());
      a.answerable = a.answerable && length > 0.0 && std::isfinite(length);
      if (shared) {
        // A sum that all but cancels out has no direction float32 can scale.
        const double inverse = 1.0 / length;
        a.answerable = a.answerable && inverse <= kFloatMax;
        if (a.answerable) a.scale = static_cast<float>(inverse);
      } else if (a.answerable) {
        a.positive = 1;
        a.negative = 0;
        refs.push_back(static_cast<std::uint32_t>(queries.size() / dims));
        for (double x : sum) queries.push_back(static_cast<float>(x / length));
      }
    }
    if (!a.answerable) {
      refs.resize(a.first);
      a.positive = a.negative = 0;
    }
  }
  return out;
}

// The rows of a dense matrix, row-major; null for a quantized one.
const float* dense_rows(const Storage& storage) {
  if (const auto* m = std::get_if<MappedNdArray>(&storage.variant())) return m->data();
  if (const auto* m = std::get_if<NdArray>(&storage.variant())) return m->data().data();
  return nullptr;
}

// What the rows are scored from: a dense matrix and the inverse lengths of
// its rows, or a quantized one and the lengths of its rebuilt rows.
struct ScoredMatrix {
  const float* dense = nullptr;
  const float* inverse_lengths = nullptr;
  const MappedQuantizedArray* quantized = nullptr;
  const float* lengths = nullptr;
  // A table in another element type, scored as dense rows: each block is
  // converted into the thread's scratch before the same product.
  const MappedTable* converting = nullptr;
};

// One chunk of whole questions, [begin, end), and the queries they name.
struct Chunk {
  std::size_t begin = 0, end = 0;
  std::vector<std::uint32_t> queries;  // each named query once
  // Per term of each question in order: its query's place in `queries`.
  std::vector<std::uint32_t> slots;
  std::vector<float> vectors;  // the queries' unit vectors, dims each
};

// The chunk of questions from `begin`: as many whole questions as name at
// most `chunk_terms` queries (unless one question alone names more), each
// query once. `slot_of` (one entry per query, -1) is left as it was found.
void gather_chunk(const PreparedQuestions& prepared, std::size_t begin, std::size_t chunk_terms,
                  std::size_t dims, std::vector<std::int32_t>& slot_of, Chunk& chunk) {
  const std::size_t n_questions = prepared.asked.size();
  const std::vector<std::uint32_t>& refs = prepared.refs;
  chunk.begin = begin;
  chunk.queries.clear();
  chunk.slots.clear();
  std::size_t end = begin;
  while (end < n_questions && end - begin < kMaxChunkQuestions) {
    const Asked& a = prepared.asked[end];
    std::size_t added = 0;
    for (std::size_t r = 0; r < a.positive + a.negative; ++r) {
      added += slot_of[refs[a.first + r]] < 0;
    }
    if (end > begin && chunk.queries.size() + added > chunk_terms) break;
    for (std::size_t r = 0; r < a.positive + a.negative; ++r) {
      std::int32_t& slot = slot_of[refs[a.first + r]];
      if (slot < 0) {
        slot = static_cast<std::int32_t>(chunk.queries.size());
        chunk.queries.push_back(refs[a.first + r]);
      }
      chunk.slots.push_back(static_cast<std::uint32_t>(slot));
    }
    ++end;
  }
  chunk.end = end;
  for (std::uint32_t q : chunk.queries) slot_of[q] = -1;
  chunk.vectors.resize(chunk.queries.size() * dims);
  for (std::size_t t = 0; t < chunk.queries.size(); ++t) {
    std::copy_n(prepared.queries.data() + std::size_t{chunk.queries[t]} * dims, dims,
                chunk.vectors.data() + t * dims);
  }
}

// The distance tables of a quantized matrix for the chunk's queries: for
// each query, per subquantizer and centroid, the dot product of the
// centroid with the (projected) query.
std::vector<float> distance_tables(const ProductQuantizer& pq, const Chunk& chunk, std::size_t dims) {
  const std::size_t n_queries = chunk.queries.size();
  const std::size_t n_sub = pq.quantized_len(), n_centroids = pq.n_centroids(), sub_len = pq.sub_len();
  std::span<const float> p = pq.projection();
  std::vector<float> tables(n_queries * n_sub * kCodeValues, kNaN);
  std::vector<double> projected(dims);
  for (std::size_t t = 0; t < n_queries; ++t) {
    const float* query = chunk.vectors.data() + t * dims;
    // The dot product of a rebuilt row P·x with the query is x·(Pᵀq).
    if (p.empty()) {
      std::copy(query, query + dims, projected.begin());
    } else {
      std::fill(projected.begin(), projected.end(), 0.0);
      for (std::size_t i = 0; i < dims; ++i) {
        for (std::size_t j = 0; j < dims; ++j) projected[j] += double(p[i * dims + j]) * query[i];
      }
    }
    float* table = tables.data() + t * n_sub * kCodeValues;
    for (std::size_t q = 0; q < n_sub; ++q) {
      for (std::size_t c = 0; c < std::min(n_centroids, kCodeValues); ++c) {
        const float* centroid = pq.subquantizers().data() + (q * n_centroids + c) * sub_len;
        double s = 0;
        for (std::size_t j = 0; j < sub_len; ++j) s += double(centroid[j]) * projected[q * sub_len + j];
        table[q * kCodeValues + c] = static_cast<float>(s);
      }
    }
  }
  return tables;
}

// What stays the same over the chunks of one search.
struct Scan {
  const Questions& questions;
  const PreparedQuestions& prepared;
  ScoredMatrix matrix;
  std::size_t dims;
  std::size_t n_rows;  // candidates
  std::size_t keep;    // rows per answer
  const std::uint8_t* allowed;
  bool cosmul;
  bool shared;
  unsigned threads;

  // An empty best-k for question i, with its exclusions.
  TopK empty_best(std::size_t i) const {
    const auto& offsets = questions.exclude_offsets;
    std::span<const std::size_t> exclude;
    if (!offsets.empty()) exclude = questions.exclude.subspan(offsets[i], offsets[i + 1] - offsets[i]);
    return TopK(keep, exclude, allowed);
  }

  // The scores of rows [r, r + n) against every query of the chunk:
  // scores[t * kBlockRows + j] for query t and row r + j.
  void score_block(const Chunk& chunk, const std::vector<float>& tables, std::size_t r, std::size_t n,
                   float* scores, float* converted) const {
    const std::size_t n_queries = chunk.queries.size();
    if (matrix.quantized != nullptr) {
      const float* norms = matrix.quantized->norms() ? matrix.quantized->norms()->data() : nullptr;
      quantized_block(matrix.quantized->codes(), matrix.quantized->quantizer().quantized_len(), tables.data(),
                      n_queries, matrix.lengths, norms, r, n, scores);
    } else {
      const float* rows = matrix.dense + r * dims;
      if (matrix.converting != nullptr) {
        matrix.converting->rows_into(r, n, converted);
        rows = converted;
      }
      blas::multiply_transposed(chunk.vectors.data(), dims, rows, dims, scores, kBlockRows, n_queries, n,
                                dims);
      scale_columns(scores, n_queries, n, matrix.inverse_lengths + r);
    }
  }

  // The best rows of every question of the chunk, one list of best-k per
  // part of the rows (parts taken by different threads), to be merged.
  std::vector<std::vector<TopK>> best_per_part(const Chunk& chunk, const std::vector<float>& tables) const {
    const std::size_t n_queries = chunk.queries.size();
    const std::size_t n_chunk = chunk.end - chunk.begin;
    const unsigned wanted = choose_threads(threads, n_rows * n_queries, 65536);
    // Shared terms: many questions read a few score rows of each block, so
    // the block is kept short enough for its scores to stay in the cache.
    const std::size_t block =
        shared ? std::clamp<std::size_t>(kSharedBlockFloats / n_queries / 16 * 16, 16, kBlockRows)
               : kBlockRows;
    // Threads take whole blocks of one grid: every row is scored in the same
    // block, by the same product, whatever the number of threads, so that
    // the scores are the same to the last bit.
    const std::size_t n_blocks = (n_rows + block - 1) / block;
    const unsigned parts = static_cast<unsigned>(std::clamp<std::size_t>(wanted, 1, n_blocks));
    std::vector<std::vector<TopK>> tops(parts);
    for (auto& part : tops) {
      part.reserve(n_chunk);
      for (std::size_t i = chunk.begin; i < chunk.end; ++i) part.push_back(empty_best(i));
    }
    parallel_for(n_blocks, parts, [&](unsigned part, std::size_t first_block, std::size_t end_block) {
      const std::size_t from = first_block * block, to = std::min(n_rows, end_block * block);
      std::vector<float> scores(n_queries * kBlockRows), combined(kBlockRows), denominators(kBlockRows),
          converted(matrix.converting != nullptr ? kBlockRows * dims : 0);
      std::vector<TopK>& top = tops[part];
      std::vector<float> thresholds(n_chunk, -std::numeric_limits<float>::infinity());
      for (std::size_t r = from; r < to; r += block) {
        const std::size_t n = std::min(block, to - r);
        score_block(chunk, tables, r, n, scores.data(), converted.data());
        const std::uint32_t* slots = chunk.slots.data();
        for (std::size_t i = chunk.begin; i < chunk.end; ++i) {
          const Asked& a = prepared.asked[i];
          const std::uint32_t* mine = slots;
          slots += a.positive + a.negative;
          if (!a.answerable) continue;
          TopK& t = top[i - chunk.begin];
          float& threshold = thresholds[i - chunk.begin];
          if (cosmul) {
            cosmul_scores(scores.data(), mine, a.positive, a.negative, n, combined.data(),
                          denominators.data());
            offer_cosines(combined.data(), r, n, t, threshold);
          } else if (a.combine) {
            combine_cosines(scores.data(), mine, a.positive, a.negative, a.scale, n, combined.data());
            offer_cosines(combined.data(), r, n, t, threshold);
          } else {
            offer_cosines(scores.data() + std::size_t{mine[0]} * kBlockRows, r, n, t, threshold);
          }
        }
      }
    });
    return tops;
  }
};

// The parts' best rows of each question of the chunk merged, best first,
// into its k answers.
void write_answers(std::vector<std::vector<TopK>>& tops, const Chunk& chunk, std::size_t k,
                   std::int64_t* rows_out, float* scores_out) {
  for (std::size_t i = 0; i < chunk.end - chunk.begin; ++i) {
    for (std::size_t part = 1; part < tops.size(); ++part) tops[0][i].merge(tops[part][i]);
    std::vector<Neighbour> best = std::move(tops[0][i]).best_first();
    for (std::size_t j = 0; j < best.size(); ++j) {
      rows_out[(chunk.begin + i) * k + j] = static_cast<std::int64_t>(best[j].row);
      scores_out[(chunk.begin + i) * k + j] = best[j].cosine;
    }
  }
}

}  // namespace

const char* contradiction(const Questions& questions, std::size_t n_terms) {
  const bool grouped = !questions.positive.empty(), shared = !questions.term_of.empty();
  if (questions.positive.size() != questions.negative.size())
    return "the positive and negative counts differ";
  if (shared && !grouped) return "shared terms without counts";
  for (std::uint32_t t : questions.term_of) {
    if (t >= n_terms) return "a shared term beyond the terms";
  }
  if (grouped) {
    // In 64 bits: two counts of 32 bits each, summed over at most 2^32 questions.
    std::uint64_t named = 0;
    for (std::size_t i = 0; i < questions.positive.size(); ++i) {
      named += std::uint64_t{questions.positive[i]} + questions.negative[i];
    }
    if (named != (shared ? questions.term_of.size() : n_terms))
      return "the term counts do not add up to the terms";
  }
  const auto& offsets = questions.exclude_offsets;
  if (!offsets.empty()) {
    bool fit = offsets.size() == questions.count(n_terms) + 1;
    for (std::size_t i = 0; fit && i + 1 < offsets.size(); ++i) {
      fit = offsets[i] <= offsets[i + 1] && offsets[i + 1] <= questions.exclude.size();
    }
    if (!fit) return "the exclusion offsets do not fit the questions";
  }
  return nullptr;
}

NearestSearch::NearestSearch(const Embeddings& embeddings) : embeddings_(embeddings) {}

const std::vector<float>& NearestSearch::dense_inverse_lengths(const float* matrix, std::size_t rows,
                                                               std::size_t dims, unsigned threads) const {
  std::call_once(lengths_once_, [&] {
    lengths_.assign(rows, kNaN);
    parallel_for(rows, choose_threads(threads, rows, 65536), [&](unsigned, std::size_t b, std::size_t e) {
      // A converted table (no matrix in memory) gives its rows one at a time.
      std::vector<float> converted(matrix == nullptr ? dims : 0);
      for (std::size_t r = b; r < e; ++r) {
        const float* row = converted.data();
        if (matrix != nullptr) {
          row = matrix + r * dims;
        } else {
          embeddings_.storage().row_into(r, converted.data());
        }
        // A row so short or long that float32 cannot hold the inverse of its
        // length as a normal number cannot be scaled, so is never scored.
        const double length = std::sqrt(squared_length({row, dims}));
        const double inverse = 1.0 / length;
        if (inverse >= std::numeric_limits<float>::min() && inverse <= kFloatMax) {
          lengths_[r] = static_cast<float>(inverse);
        }
      }
    });
  });
  return lengths_;
}

const std::vector<float>& NearestSearch::quantized_lengths(const MappedQuantizedArray& storage,
                                                           unsigned threads) const {
  std::call_once(lengths_once_, [&] {
    const ProductQuantizer& pq = storage.quantizer();
    const std::size_t n_sub = pq.quantized_len(), n_centroids = pq.n_centroids(), sub_len = pq.sub_len(),
                      dims = pq.reconstructed_len();
    const std::size_t n_rows = storage.rows();
    lengths_.assign(n_rows, 0.0f);
    // Without a projection, or with an orthogonal one (a rotation, as
    // optimized product quantization learns), a row is as long as the
    // concatenation of its centroids: a sum over per-centroid tables.
    if (keeps_lengths(pq.projection(), dims)) {
      std::vector<float> table(n_sub * n_centroids);
      for (std::size_t t = 0; t < table.size(); ++t) {
        table[t] = static_cast<float>(squared_length(pq.subquantizers().subspan(t * sub_len, sub_len)));
      }
      parallel_for(n_rows, choose_threads(threads, n_rows, 65536),
                   [&](unsigned, std::size_t b, std::size_t e) {
                     for (std::size_t r = b; r < e; ++r) {
                       const std::uint8_t* c = storage.codes() + r * n_sub;
                       float s = 0;
                       for (std::size_t q = 0; q < n_sub; ++q) {
                         check_index(c[q], n_centroids);
                         s += table[q * n_centroids + c[q]];
                       }
                       lengths_[r] = std::sqrt(s);
                     }
                   });
      return;
    }
    // Any other projection: rebuild each row once (before its norm).
    parallel_for(n_rows, choose_threads(threads, n_rows, 4096), [&](unsigned, std::size_t b, std::size_t e) {
      std::vector<float> row(dims), scratch;
      for (std::size_t r = b; r < e; ++r) {
        pq.reconstruct(storage.codes() + r * n_sub, row.data(), scratch);
        lengths_[r] = static_cast<float>(std::sqrt(squared_length(row)));
      }
    });
  });
  return lengths_;
}

void NearestSearch::search(const Questions& questions, const SearchOptions& options, std::int64_t* rows_out,
                           float* scores_out) const {
  const Storage& storage = embeddings_.storage();
  const std::size_t dims = storage.cols();
  const QuestionShape shape = question_shape(questions, dims);
  clear_answers(shape.n_questions * options.k, rows_out, scores_out);
  // Vectors without columns have no direction: no question has an answer
  // (whatever terms of no length the counts name).
  if (dims == 0) return;
  if (const char* what = contradiction(questions, shape.n_terms)) require(false, what);
  const std::size_t n_rows = std::min(options.n_rows, storage.rows());
  require(options.allowed.empty() || options.allowed.size() >= n_rows, "allowed flags too few");
  const bool cosmul = options.objective == Objective::CosMul;
  const PreparedQuestions prepared = prepare_questions(questions, shape, dims, cosmul);
  const std::size_t keep = std::min(options.k, n_rows);
  if (keep == 0 || shape.n_questions == 0) return;

  ScoredMatrix matrix;
  matrix.quantized = std::get_if<MappedQuantizedArray>(&storage.variant());
  matrix.dense = dense_rows(storage);
  matrix.converting = std::get_if<MappedTable>(&storage.variant());
  if (matrix.quantized != nullptr) {
    matrix.lengths = quantized_lengths(*matrix.quantized, options.threads).data();
  } else if (matrix.dense != nullptr || matrix.converting != nullptr) {
    matrix.inverse_lengths =
        dense_inverse_lengths(matrix.dense, storage.rows(), dims, options.threads).data();
  } else {
    return;
  }
  const Scan scan{questions,
                  prepared,
                  matrix,
                  dims,
                  n_rows,
                  keep,
                  options.allowed.empty() ? nullptr : options.allowed.data(),
                  cosmul,
                  shape.shared,
                  options.threads};
  const std::size_t chunk_terms = matrix.quantized != nullptr ? kQuantizedChunkTerms : kDenseChunkTerms;
  // Where each query sits in the chunk being gathered (-1: not in it).
  std::vector<std::int32_t> slot_of(prepared.queries.size() / dims, -1);
  Chunk chunk;
  for (std::size_t begin = 0; begin < shape.n_questions; begin = chunk.end) {
    gather_chunk(prepared, begin, chunk_terms, dims, slot_of, chunk);
    if (chunk.queries.empty()) continue;
    const std::vector<float> tables = matrix.quantized != nullptr
                                          ? distance_tables(matrix.quantized->quantizer(), chunk, dims)
                                          : std::vector<float>();
    std::vector<std::vector<TopK>> tops = scan.best_per_part(chunk, tables);
    write_answers(tops, chunk, options.k, rows_out, scores_out);
  }
}

std::vector<Neighbour> NearestSearch::nearest(std::span<const float> query, std::size_t n_rows, std::size_t k,
                                              std::span<const std::size_t> exclude, unsigned threads) const {
  n_rows = std::min(n_rows, embeddings_.storage().rows());
  k = std::min(k, n_rows);
  if (query.size() != embeddings_.dims()) return {};
  const std::size_t offsets[] = {0, exclude.size()};
  std::vector<std::int64_t> rows(k);
  std::vector<float> scores(k);
  search(Questions{query, {}, {}, exclude, offsets, {}},
         SearchOptions{k, n_rows, {}, Objective::Cosine, threads}, rows.data(), scores.data());
  std::vector<Neighbour> found;
  for (std::size_t j = 0; j < k && rows[j] >= 0; ++j) {
    found.push_back({static_cast<std::size_t>(rows[j]), scores[j]});
  }
  return found;
}

}  // namespace mave
