// Nearest rows: many questions at once against the vocabulary rows. A dense
// matrix is searched by blocked matrix products (a BLAS sgemm of a chunk of
// questions against a block of rows, the best k kept per question and block,
// never a questions x rows matrix in memory); a quantized one through
// per-question distance tables over its codes (asymmetric distance), without
// rebuilding rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "format/embeddings.hpp"

namespace mave {

struct Neighbour {
  std::size_t row;
  float cosine;
};

// How the terms of a question score a row.
enum class Objective {
  // The cosine with the mean of the unit-length terms, positive ones weighted
  // +1 and negative ones -1 (3CosAdd for an analogy).
  Cosine,
  // The product over positive terms of (1 + cosine) / 2, divided by the same
  // product over negative terms plus 1e-6 (3CosMul, Levy and Goldberg 2014).
  CosMul,
};

// The questions of one search. Term vectors of any length (a zero or
// non-finite one makes its question unanswerable).
struct Questions {
  std::span<const float> terms;  // n_terms x dims, row-major
  // Question i takes the next positive[i] terms (weighted +1), then the next
  // negative[i] (weighted -1). Both empty: every term is a question of its own.
  std::span<const std::uint32_t> positive;
  std::span<const std::uint32_t> negative;
  // Rows never in question i's answer: exclude[exclude_offsets[i],
  // exclude_offsets[i + 1]). Empty offsets: none.
  std::span<const std::size_t> exclude;
  std::span<const std::size_t> exclude_offsets;
  // Empty, or shared terms (with counts): question i's terms are then
  // terms[term_of[j]] for its next positive[i] + negative[i] entries j, and
  // each term is scored once for all questions naming it (as an evaluation's
  // questions share few words). A Cosine question then sums its terms'
  // cosines, scaled by the inverse length of the signed sum of their unit
  // vectors: the same score, rounded otherwise.
  std::span<const std::uint32_t> term_of;

  // The number of questions among `n_terms` term vectors.
  std::size_t count(std::size_t n_terms) const { return positive.empty() ? n_terms : positive.size(); }
};

// What contradicts itself in questions among `n_terms` term vectors (counts
// that differ in number or do not add up to the terms, a shared term beyond
// them, exclusions that do not fit the questions), or null when they fit
// together: the one check of a search's questions, made by the bindings
// where the questions enter and by the search.
const char* contradiction(const Questions& questions, std::size_t n_terms);

struct SearchOptions {
  std::size_t k = 10;
  std::size_t n_rows = 0;  // candidates: rows [0, n_rows) (clamped to the matrix)
  // Empty, or one flag per candidate row: only rows flagged non-zero answer.
  std::span<const std::uint8_t> allowed;
  Objective objective = Objective::Cosine;
  unsigned threads = 0;  // 0 chooses by the size of the work
};

// Rows whose score cannot be told (a zero row, a NaN or infinity, a dense
// row whose length float32 cannot invert: below about 1e-38 or above about
// 1e38) are never answers, nor are scores that overflow float32.
// Best first; equal scores in row order. The object caches row lengths on
// first use and is safe to share between threads.
class NearestSearch {
 public:
  explicit NearestSearch(const Embeddings& embeddings);

  // Answers every question: rows[i * k + j] and scores[i * k + j] are the
  // j-th best row of question i and its score, row -1 and NaN where fewer
  // than k rows qualify. Inconsistent arguments are an aborting failure.
  void search(const Questions& questions, const SearchOptions& options, std::int64_t* rows,
              float* scores) const;

  // One query's k nearest rows among the first n_rows, `exclude` left out.
  std::vector<Neighbour> nearest(std::span<const float> query, std::size_t n_rows, std::size_t k,
                                 std::span<const std::size_t> exclude, unsigned threads) const;

 private:
  // 1 / length of every dense row (NaN for a zero or non-finite length).
  const std::vector<float>& dense_inverse_lengths(const float* matrix, std::size_t rows, std::size_t dims,
                                                  unsigned threads) const;
  // Length of every rebuilt quantized row (before its stored norm).
  const std::vector<float>& quantized_lengths(const MappedQuantizedArray& storage, unsigned threads) const;

  const Embeddings& embeddings_;
  mutable std::once_flag lengths_once_;
  mutable std::vector<float> lengths_;
};

}  // namespace mave
