#include <gtest/gtest.h>

#include "format/chunk.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

using test::Bytes;
using test::TempFile;

TEST(Header, WritesTheTwentyByteHeaderOfAVocabularyAndMatrix) {
  TempFile out;
  {
    auto file = File::create(out.path());
    ASSERT_TRUE(file.ok());
    BufferedWriter w(std::move(file).value());
    ASSERT_TRUE(write_header(w, {ChunkIdentifier::SimpleVocab, ChunkIdentifier::NdArray}).ok());
    ASSERT_TRUE(w.close().ok());
  }
  EXPECT_EQ(out.read(), Bytes().str("FiFu").u32(0).u32(2).u32(1).u32(2).str());
}

}  // namespace
}  // namespace mave
