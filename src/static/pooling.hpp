// A static model's vector of a text: the mean of its tokens' rows.
//
// The order of the arithmetic is fixed, so that a text gets the same bits
// whatever the number of threads and however the texts are split into
// batches: the sum starts at zero and adds the tokens' rows in the order of
// the text, each element in float32 (a row as the storage presents it: the
// stored element converted to float32, times the token's weight rounded to
// float32); then each element is divided by the number of tokens added
// (float32); then, when normalising, divided by the L2 norm whose sum of
// squares takes the eight partial sums of dot8 (scale_to_unit_norm).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "format/storage.hpp"
#include "format/target.hpp"

namespace mave {

struct PoolingOptions {
  // Ids left out of the mean (after the cut to max_tokens, as Model2Vec
  // drops them).
  std::optional<std::uint32_t> unknown_id;
  // At most this many of a text's first ids are looked at.
  std::size_t max_tokens = SIZE_MAX;
  bool normalize = false;
};

// Row i of `out` gets the vector of the text whose ids are
// ids[offsets[i], offsets[i + 1]); a text without a token gets zeros.
// `offsets` holds out.rows + 1 non-decreasing values up to ids.size(), and
// every id is below the storage's rows (aborting failures otherwise).
// `threads` 0 chooses by the work.
void pool_token_ids(const Storage& storage, std::span<const std::uint32_t> ids,
                    std::span<const std::uint64_t> offsets, const PoolingOptions& options,
                    const TargetMatrix& out, unsigned threads);

// The same for one text, into out[0 .. cols): the loop of the batch, for
// callers that tokenize text by text.
void pool_text(const Storage& storage, std::span<const std::uint32_t> ids, const PoolingOptions& options,
               const TargetView& out);

}  // namespace mave
