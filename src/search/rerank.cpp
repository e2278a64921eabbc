#include "search/rerank.hpp"

#include <algorithm>
#include <cmath>

namespace mave {
namespace {

// The dot product of a row with the query and the row's squared length, in
// one pass: eight float lanes each (the compiler keeps them in vector
// registers), added up in double at the end.
struct DotAndSquare {
  double dot;
  double square;
};

DotAndSquare dot_and_square(const float* row, const float* query, std::size_t dims) {
  constexpr std::size_t kLanes = 8;
  float dot[kLanes] = {};
  float square[kLanes] = {};
  std::size_t j = 0;
  for (; j + kLanes <= dims; j += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      dot[l] += row[j + l] * query[j + l];
      square[l] += row[j + l] * row[j + l];
    }
  }
  double d = 0, s = 0;
  for (; j < dims; ++j) {
    d += static_cast<double>(row[j]) * query[j];
    s += static_cast<double>(row[j]) * row[j];
  }
  for (std::size_t l = 0; l < kLanes; ++l) {
    d += dot[l];
    s += square[l];
  }
  return {d, s};
}

}  // namespace

std::vector<Neighbour> rerank(const Storage& storage, std::size_t n_rows, std::span<const float> query,
                              std::span<const std::int64_t> candidates, std::span<const std::size_t> exclude,
                              std::size_t k) {
  std::vector<Neighbour> found;
  const std::size_t dims = storage.cols();
  n_rows = std::min(n_rows, storage.rows());
  double query_square = 0;
  for (float x : query) query_square += static_cast<double>(x) * x;
  const double query_length = std::sqrt(query_square);
  if (!(query_length > 0) || !std::isfinite(query_length) || k == 0) return found;
  // The candidates lie anywhere in the matrix and are rarely in the cache:
  // every row is asked for first, so that their fetches overlap instead of
  // each waiting for the one before.
  for (const std::int64_t candidate : candidates) {
    if (candidate >= 0) storage.prefetch_row(static_cast<std::size_t>(candidate), true);
  }
  std::vector<float> rebuilt;
  found.reserve(candidates.size());
  for (const std::int64_t candidate : candidates) {
    if (candidate < 0 || static_cast<std::uint64_t>(candidate) >= n_rows) continue;
    const auto row = static_cast<std::size_t>(candidate);
    if (std::find(exclude.begin(), exclude.end(), row) != exclude.end()) continue;
    const float* values = storage.dense_row(row);
    if (values == nullptr) {
      rebuilt.resize(dims);
      storage.row_into(row, rebuilt.data());
      values = rebuilt.data();
    }
    const DotAndSquare s = dot_and_square(values, query.data(), dims);
    const auto cosine = static_cast<float>(s.dot / (std::sqrt(s.square) * query_length));
    if (!(s.square > 0) || !std::isfinite(cosine)) continue;
    found.push_back({row, cosine});
  }
  const auto better = [](const Neighbour& a, const Neighbour& b) {
    return a.cosine > b.cosine || (a.cosine == b.cosine && a.row < b.row);
  };
  const std::size_t kept = std::min(k, found.size());
  std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(kept), found.end(), better);
  found.resize(kept);
  return found;
}

}  // namespace mave
