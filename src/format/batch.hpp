// Lookups of many strings at once, spread over threads.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string_view>

#include "format/embeddings.hpp"
#include "format/target.hpp"

namespace mave {

// The number of threads a batch of `n_items` gets when the caller leaves it
// open (0): one per ~`items_per_thread` items, at most one per core.
unsigned choose_threads(unsigned requested, std::size_t n_items, std::size_t items_per_thread);

// Runs work(part, begin, end) over [0, n) split into `threads` contiguous
// parts numbered in order, the calling thread taking part 0. The first
// exception thrown by any part is rethrown after all parts have ended.
void parallel_for(std::size_t n, unsigned threads,
                  const std::function<void(unsigned, std::size_t, std::size_t)>& work);

// Row i of `out` gets the vector of words[i], exactly as fill_embedding
// writes it into a contiguous target (NormOrder::Contiguous, whatever the
// layout of `out`), and found[i] whether there was one; rows without a vector
// are zeroed. `threads` 0 chooses by the size of the batch.
void fill_embeddings(const Embeddings& embeddings, std::span<const std::string_view> words,
                     const TargetMatrix& out, bool* found, unsigned threads);

}  // namespace mave
