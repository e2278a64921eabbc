#include "search/nearest.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "format/batch.hpp"

namespace mave {
namespace {

// Cosines are not part of any stored result, so the scans may use the
// widest vector unit the CPU has: each hot function is compiled for AVX2
// and for the baseline, and the loader picks one.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define MAVE_MULTIVERSION __attribute__((target_clones("avx2", "default")))
#else
#define MAVE_MULTIVERSION
#endif

using F8 = float __attribute__((vector_size(32)));

inline F8 load8(const float* p) {
  F8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline float sum8(F8 v) {
  return ((v[0] + v[4]) + (v[1] + v[5])) + ((v[2] + v[6]) + (v[3] + v[7]));
}

bool better(const Neighbour& a, const Neighbour& b) {
  return a.cosine > b.cosine || (a.cosine == b.cosine && a.row < b.row);
}

// The best k seen so far; the worst of them at the front of the heap.
class TopK {
 public:
  TopK(std::size_t k, std::span<const std::size_t> exclude) : k_(k), exclude_(exclude) {
    heap_.reserve(k);
  }

  // The cosine a row must beat to enter (minus infinity while not full).
  float threshold() const {
    return heap_.size() < k_ ? -std::numeric_limits<float>::infinity() : heap_.front().cosine;
  }

  void offer(std::size_t row, float cosine) {
    if (k_ == 0 || !(cosine >= threshold())) return;  // also drops NaN
    const Neighbour n{row, cosine};
    if (heap_.size() == k_ && !better(n, heap_.front())) return;
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
  std::vector<Neighbour> heap_;
};

// Runs scan(begin, end, top) over [0, n_rows) on `threads` threads, each
// with its own TopK, and merges them.
template <class Scan>
std::vector<Neighbour> scan_rows(std::size_t n_rows, std::size_t k,
                                 std::span<const std::size_t> exclude, unsigned threads,
                                 Scan&& scan) {
  threads = choose_threads(threads, n_rows, 65536);
  std::vector<TopK> tops(threads, TopK(k, exclude));
  parallel_for(n_rows, threads, [&](unsigned part, std::size_t begin, std::size_t end) {
    scan(begin, end, tops[part]);
  });
  for (std::size_t t = 1; t < tops.size(); ++t) tops[0].merge(tops[t]);
  return std::move(tops[0]).best_first();
}

float squared_length(std::span<const float> v) {
  double s = 0;
  for (float x : v) s += static_cast<double>(x) * x;
  return static_cast<float>(s);
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

// Dot products with the query and squared lengths of rows [begin, end) of a
// row-major matrix, one pass over each row.
MAVE_MULTIVERSION
void dense_scores(const float* matrix, std::size_t dims, std::size_t begin, std::size_t end,
                  const float* query, float query_length, TopK& top) {
  const std::size_t blocks = dims / 8;
  for (std::size_t r = begin; r < end; ++r) {
    const float* row = matrix + r * dims;
    F8 dot = {0, 0, 0, 0, 0, 0, 0, 0}, len = dot;
    for (std::size_t b = 0; b < blocks; ++b) {
      const F8 x = load8(row + 8 * b);
      dot += x * load8(query + 8 * b);
      len += x * x;
    }
    float d = sum8(dot), l = sum8(len);
    for (std::size_t j = blocks * 8; j < dims; ++j) {
      d += row[j] * query[j];
      l += row[j] * row[j];
    }
    if (l > 0.0f) top.offer(r, d / (std::sqrt(l) * query_length));
  }
}

// Every code byte indexes a row of 256 table entries, whatever the number of
// centroids: a code the file should not hold reads a NaN, never outside.
constexpr std::size_t kCodeValues = 256;

// Sum over subquantizers of table[q][code_q] for rows [begin, end).
MAVE_MULTIVERSION
void quantized_scores(const std::uint8_t* codes, std::size_t n_sub, const float* table, const float* lengths, const float* norms,
                      std::size_t begin, std::size_t end, float query_length, TopK& top) {
  for (std::size_t r = begin; r < end; ++r) {
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
    if (!(length > 0.0f)) continue;
    // A stored norm scales the row; only its sign can change the cosine.
    if (norms != nullptr) {
      if (norms[r] == 0.0f) continue;
      if (norms[r] < 0.0f) dot = -dot;
    }
    top.offer(r, dot / (length * query_length));
  }
}

}  // namespace

NearestSearch::NearestSearch(const Embeddings& embeddings) : embeddings_(embeddings) {}

std::vector<Neighbour> NearestSearch::nearest(std::span<const float> query, std::size_t n_rows,
                                              std::size_t k, std::span<const std::size_t> exclude,
                                              unsigned threads) const {
  const Storage& storage = embeddings_.storage();
  n_rows = std::min(n_rows, storage.rows());
  const float query_length = std::sqrt(squared_length(query));
  if (!(query_length > 0.0f) || !std::isfinite(query_length)) return {};
  if (const auto* q = std::get_if<MappedQuantizedArray>(&storage.variant())) {
    return nearest_quantized(*q, query, query_length, n_rows, k, exclude, threads);
  }
  const float* matrix = nullptr;
  if (const auto* m = std::get_if<MappedNdArray>(&storage.variant())) matrix = m->data();
  if (const auto* m = std::get_if<NdArray>(&storage.variant())) matrix = m->data().data();
  if (matrix == nullptr) return {};
  return nearest_dense(matrix, query, query_length, n_rows, k, exclude, threads);
}

std::vector<Neighbour> NearestSearch::nearest_dense(const float* matrix,
                                                    std::span<const float> query,
                                                    float query_length, std::size_t n_rows,
                                                    std::size_t k,
                                                    std::span<const std::size_t> exclude,
                                                    unsigned threads) const {
  return scan_rows(n_rows, k, exclude, threads, [&](std::size_t begin, std::size_t end, TopK& top) {
    dense_scores(matrix, query.size(), begin, end, query.data(), query_length, top);
  });
}

const std::vector<float>& NearestSearch::quantized_lengths(const MappedQuantizedArray& storage,
                                                           unsigned threads) const {
  std::call_once(lengths_once_, [&] {
    const ProductQuantizer& pq = storage.quantizer();
    const std::size_t n_sub = pq.quantized_len(), n_centroids = pq.n_centroids(),
                      sub_len = pq.sub_len(), dims = pq.reconstructed_len();
    const std::size_t n_rows = storage.rows();
    lengths_.assign(n_rows, 0.0f);
    // Without a projection, or with an orthogonal one (a rotation, as
    // optimized product quantization learns), a row is as long as the
    // concatenation of its centroids: a sum over per-centroid tables.
    if (keeps_lengths(pq.projection(), dims)) {
      std::vector<float> table(n_sub * n_centroids);
      for (std::size_t t = 0; t < table.size(); ++t) {
        table[t] = squared_length(pq.subquantizers().subspan(t * sub_len, sub_len));
      }
      parallel_for(n_rows, choose_threads(threads, n_rows, 65536), [&](unsigned, std::size_t b, std::size_t e) {
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
        lengths_[r] = std::sqrt(squared_length(row));
      }
    });
  });
  return lengths_;
}

std::vector<Neighbour> NearestSearch::nearest_quantized(const MappedQuantizedArray& storage,
                                                        std::span<const float> query,
                                                        float query_length,
                                                        std::size_t n_rows, std::size_t k,
                                                        std::span<const std::size_t> exclude,
                                                        unsigned threads) const {
  const ProductQuantizer& pq = storage.quantizer();
  const std::size_t n_sub = pq.quantized_len(), n_centroids = pq.n_centroids(),
                    sub_len = pq.sub_len(), dims = pq.reconstructed_len();
  // The dot product of a rebuilt row P·x with the query is x·(Pᵀq): project
  // the query once, then each subquantizer's part is a table lookup.
  std::vector<double> projected(query.begin(), query.end());
  if (std::span<const float> p = pq.projection(); !p.empty()) {
    std::fill(projected.begin(), projected.end(), 0.0);
    for (std::size_t i = 0; i < dims; ++i) {
      for (std::size_t j = 0; j < dims; ++j) projected[j] += double(p[i * dims + j]) * query[i];
    }
  }
  std::vector<float> table(n_sub * kCodeValues, std::numeric_limits<float>::quiet_NaN());
  for (std::size_t q = 0; q < n_sub; ++q) {
    for (std::size_t c = 0; c < std::min(n_centroids, kCodeValues); ++c) {
      const float* centroid = pq.subquantizers().data() + (q * n_centroids + c) * sub_len;
      double s = 0;
      for (std::size_t j = 0; j < sub_len; ++j) s += double(centroid[j]) * projected[q * sub_len + j];
      table[q * kCodeValues + c] = static_cast<float>(s);
    }
  }
  const std::vector<float>& lengths = quantized_lengths(storage, threads);
  const float* norms = storage.norms() ? storage.norms()->data() : nullptr;
  return scan_rows(n_rows, k, exclude, threads, [&](std::size_t begin, std::size_t end, TopK& top) {
    quantized_scores(storage.codes(), n_sub, table.data(), lengths.data(), norms,
                     begin, end, query_length, top);
  });
}

}  // namespace mave
