// The vector text for views that eval never prints (eval's vectors are always
// contiguous): strided and reversed views, and the element buffer bound.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "text/vector_text.hpp"

namespace {

std::string render(const float* data, std::size_t len, std::ptrdiff_t stride) {
  std::string out;
  mave::append_vector_text(out, data, len, stride);
  return out;
}

TEST(VectorText, StridedViewsHaveCustomLayout) {
  const float v[] = {1.0f, 2.0f, 3.0f, 4.0f};
  EXPECT_EQ(render(v, 2, 2), "[1.0, 3.0], shape=[2], strides=[2], layout=Custom (0x0), const ndim=1");
  EXPECT_EQ(render(v + 3, 4, -1),
            "[4.0, 3.0, 2.0, 1.0], shape=[4], strides=[-1], layout=Custom (0x0), const ndim=1");
  EXPECT_EQ(render(v, 3, 0), "[1.0, 1.0, 1.0], shape=[3], strides=[0], layout=Custom (0x0), const ndim=1");
}

TEST(VectorText, ShortViewsAreContiguousWhateverTheirStride) {
  const float v[] = {0.5f};
  EXPECT_EQ(render(v, 1, 7), "[0.5], shape=[1], strides=[7], layout=CFcf (0xf), const ndim=1");
  EXPECT_EQ(render(v, 0, -3), "[], shape=[0], strides=[-3], layout=CFcf (0xf), const ndim=1");
}

TEST(VectorText, AppendsToWhatIsThere) {
  std::string out = "x";
  std::vector<float> v{1.0f};
  mave::append_vector_text(out, v);
  EXPECT_EQ(out, "x[1.0], shape=[1], strides=[1], layout=CFcf (0xf), const ndim=1");
}

// The longest texts of each form fit the fixed element buffer.
TEST(VectorText, ElementTextFitsItsBuffer) {
  const float longest[] = {
      -std::bit_cast<float>(std::uint32_t{0x5A0E1BC9}),  // -9999999000000000.0
      -1.17549421e-38f,                                  // -1.1754942e-38
      -0.000123456789f,                                  // -0.00012345679
      -std::numeric_limits<float>::max(),
  };
  for (float x : longest) {
    char buf[mave::kMaxElementText];
    std::size_t n = mave::format_element(x, buf);
    EXPECT_LT(n, sizeof buf);
    EXPECT_EQ(buf[0], '-');
  }
  char buf[mave::kMaxElementText];
  EXPECT_EQ(std::string(buf, mave::format_element(-std::bit_cast<float>(std::uint32_t{0x5A0E1BC9}), buf)),
            "-9999999000000000.0");
}

}  // namespace
