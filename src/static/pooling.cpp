#include "static/pooling.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/error.hpp"
#include "base/threads.hpp"
#include "base/vector_math.hpp"

namespace mave {
namespace {

// Per-thread buffers reused from text to text: a warm thread allocates only
// for a text with more tokens than any before it.
struct PoolScratch {
  std::vector<std::uint64_t> rows;
  std::vector<float> acc;
  std::vector<float> rebuilt;
};

PoolScratch& scratch() {
  thread_local PoolScratch s;
  return s;
}

void write_row(const float* values, const TargetView& out) {
  if (out.len == 0) return;
  if (out.byte_stride == sizeof(float)) {
    std::memcpy(out.data, values, out.len * sizeof(float));
    return;
  }
  for (std::size_t j = 0; j < out.len; ++j) out.set(j, values[j]);
}

}  // namespace

void pool_text(const Storage& storage, std::span<const std::uint32_t> ids, const PoolingOptions& options,
               const TargetView& out) {
  const std::size_t dims = storage.cols();
  if (out.len != dims) panic(PanicKind::TargetLength, PanicFacts::values(out.len, dims));
  PoolScratch& s = scratch();
  s.rows.clear();
  for (std::uint32_t id : ids.first(std::min(ids.size(), options.max_tokens))) {
    if (options.unknown_id && id == *options.unknown_id) continue;
    s.rows.push_back(id);
  }
  s.acc.assign(dims, 0.0f);
  if (!s.rows.empty()) {
    // add_rows checks every id before adding any.
    storage.add_rows(s.rows, s.acc.data(), s.rebuilt);
    const float count = static_cast<float>(s.rows.size());
    for (float& x : s.acc) x = x / count;
    if (options.normalize) scale_to_unit_norm(s.acc.data(), dims, /*contiguous=*/true);
  }
  write_row(s.acc.data(), out);
}

void pool_token_ids(const Storage& storage, std::span<const std::uint32_t> ids,
                    std::span<const std::uint64_t> offsets, const PoolingOptions& options,
                    const TargetMatrix& out, unsigned threads) {
  const std::size_t n = out.rows;
  if (offsets.size() != n + 1) panic(PanicKind::TargetLength, PanicFacts::values(offsets.size(), n + 1));
  for (std::size_t i = 0; i < n; ++i) {
    if (offsets[i] > offsets[i + 1]) panic_index_out_of_bounds(offsets[i], offsets[i + 1]);
  }
  if (offsets[n] > ids.size()) panic_index_out_of_bounds(offsets[n], ids.size());
  // About a thousand tokens' rows per thread at the least: fewer do not pay
  // for starting a thread.
  threads = choose_threads(threads, ids.size(), 1024);
  parallel_for(n, threads, [&](unsigned, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const auto first = static_cast<std::size_t>(offsets[i]);
      const auto last = static_cast<std::size_t>(offsets[i + 1]);
      pool_text(storage, ids.subspan(first, last - first), options, out.row(i));
    }
  });
}

}  // namespace mave
