// The norms chunk: one float32 per word, the L2 norm its vector had before it
// was scaled to unit length.
#pragma once

#include <span>
#include <vector>

#include "format/chunk.hpp"

namespace mave {

struct NdNorms {
  std::vector<float> values;
};

Result<NdNorms> read_norms(BufferedReader& r);
Status write_norms(BufferedWriter& w, std::span<const float> norms);

}  // namespace mave
