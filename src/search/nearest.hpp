// Nearest rows by cosine similarity: a scan of the vocabulary rows of a
// dense matrix, or of the codes of a quantized one through per-query
// distance tables (asymmetric distance), without rebuilding rows.
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

// Rows whose cosine cannot be told (a zero row, a NaN) are never neighbours.
// Best first; equal cosines in row order.
class NearestSearch {
 public:
  explicit NearestSearch(const Embeddings& embeddings);

  // The k rows among the first n_rows (vocabulary words) nearest to `query`,
  // `exclude` left out. `threads` 0 chooses by the size of the scan.
  std::vector<Neighbour> nearest(std::span<const float> query, std::size_t n_rows, std::size_t k,
                                 std::span<const std::size_t> exclude, unsigned threads) const;

 private:
  // `query_length` is the query's length, positive and finite.
  std::vector<Neighbour> nearest_dense(const float* matrix, std::span<const float> query,
                                       float query_length, std::size_t n_rows, std::size_t k,
                                       std::span<const std::size_t> exclude,
                                       unsigned threads) const;
  std::vector<Neighbour> nearest_quantized(const MappedQuantizedArray& storage,
                                           std::span<const float> query, float query_length,
                                           std::size_t n_rows,
                                           std::size_t k, std::span<const std::size_t> exclude,
                                           unsigned threads) const;
  // Length of every rebuilt row (before its stored norm), computed once.
  const std::vector<float>& quantized_lengths(const MappedQuantizedArray& storage,
                                              unsigned threads) const;

  const Embeddings& embeddings_;
  mutable std::once_flag lengths_once_;
  mutable std::vector<float> lengths_;
};

}  // namespace mave
