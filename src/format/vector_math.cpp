#include "format/vector_math.hpp"

#include <cmath>

namespace mave {

float dot8(const float* a, const float* b, std::size_t n) {
  float p[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::size_t blocks = n / 8;
  for (std::size_t i = 0; i < blocks; ++i) {
    for (std::size_t k = 0; k < 8; ++k) {
      float prod = a[8 * i + k] * b[8 * i + k];
      p[k] = p[k] + prod;
    }
  }
  float s = (((p[0] + p[4]) + (p[1] + p[5])) + (p[2] + p[6])) + (p[3] + p[7]);
  for (std::size_t i = blocks * 8; i < n; ++i) {
    float prod = a[i] * b[i];
    s = s + prod;
  }
  return s;
}

float sequential_sum_of_squares(const float* v, std::size_t n) {
  float s = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    float sq = v[i] * v[i];
    s = s + sq;
  }
  return s;
}

float scale_to_unit_norm(float* v, std::size_t n, bool contiguous) {
  float sum = contiguous || n < 2 ? dot8(v, v, n) : sequential_sum_of_squares(v, n);
  float norm = std::sqrt(sum);
  if (norm != 0.0f) {
    for (std::size_t i = 0; i < n; ++i) v[i] = v[i] / norm;
  }
  return norm;
}

}  // namespace mave
