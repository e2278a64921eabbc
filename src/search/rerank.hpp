// The exact re-ranking behind approximate search: the candidates an index
// proposes, scored by their cosine with the query from the rows as the file
// stores them, the best few kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "format/storage.hpp"
#include "search/nearest.hpp"

namespace mave {

// The best k of `candidates` by cosine with `query` (storage.cols() values),
// best first, equal cosines in row order. Candidates that are negative (an
// index's filler), at or past `n_rows` or listed in `exclude` are skipped,
// and so is a row without a direction (zero or not finite), as exact search
// skips it; a query without a direction gets nothing. Rows of a quantized
// matrix are rebuilt. Allocates only the answer and, for a quantized matrix,
// one row.
std::vector<Neighbour> rerank(const Storage& storage, std::size_t n_rows, std::span<const float> query,
                              std::span<const std::int64_t> candidates, std::span<const std::size_t> exclude,
                              std::size_t k);

}  // namespace mave
