// Lookups of many strings at once, spread over threads.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "format/embeddings.hpp"
#include "format/target.hpp"

namespace mave {

// Row i of `out` gets the vector of words[i], exactly as fill_embedding
// writes it into a contiguous target (NormOrder::Contiguous, whatever the
// layout of `out`), and found[i] whether there was one; rows without a vector
// are zeroed. `threads` 0 chooses by the size of the batch.
void fill_embeddings(const Embeddings& embeddings, std::span<const std::string_view> words,
                     const TargetMatrix& out, bool* found, unsigned threads);

}  // namespace mave
