// The buffered reader and writer: exact reads across buffer refills, logical
// positions and seeks, reads up to a delimiter, and writer positions.
#include <gtest/gtest.h>

#include <unistd.h>

#include "format/chunk.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

using namespace test;

std::string counting_bytes(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 3);
  return s;
}

TEST(BufferedReaderTest, ExactReadsAcrossRefillsSeeksAndPositions) {
  const std::string data = counting_bytes(1000);
  TempFile file(data);
  // A tiny buffer makes every path run: inside the buffer, across it, past it.
  BufferedReader r(File::open_read(file.path()).value(), 7);
  std::size_t pos = 0;
  std::string got;
  for (std::size_t n : {1, 6, 7, 8, 3, 50, 0, 13}) {
    std::string chunk(n, '\0');
    ASSERT_TRUE(r.read_exact(chunk.data(), n).ok());
    EXPECT_EQ(chunk, data.substr(pos, n));
    pos += n;
    EXPECT_EQ(r.position().value(), pos);
  }
  for (std::int64_t delta : {-1, -5, 2, 40, -80, 0, 300}) {
    ASSERT_TRUE(r.seek_relative(delta).ok());
    pos = static_cast<std::size_t>(static_cast<std::int64_t>(pos) + delta);
    EXPECT_EQ(r.position().value(), pos);
    char c;
    ASSERT_TRUE(r.read_exact(&c, 1).ok());
    EXPECT_EQ(c, data[pos]);
    ++pos;
  }
  ASSERT_TRUE(r.seek_to(995).ok());
  EXPECT_EQ(r.remaining(), 5u);
  char tail[6];
  auto st = r.read_exact(tail, 6);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(debug(st.error()), "Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" }");
  // Seeking before the start fails; past the end succeeds and reads nothing.
  ASSERT_TRUE(r.seek_to(10).ok());
  EXPECT_FALSE(r.seek_relative(-11).ok());
  ASSERT_TRUE(r.seek_to(5000).ok());
  EXPECT_EQ(r.remaining(), 0u);
  char c;
  EXPECT_FALSE(r.read_exact(&c, 1).ok());
}

TEST(BufferedReaderTest, ReadUntilStopsAfterTheDelimiterOrAtTheEnd) {
  TempFile file(std::string("abc\0defgh\0xyz", 13));
  BufferedReader r(File::open_read(file.path()).value(), 4);
  std::string s;
  EXPECT_EQ(r.read_until(0, s).value(), 4u);
  EXPECT_EQ(s, std::string("abc\0", 4));
  s.clear();
  EXPECT_EQ(r.read_until(0, s).value(), 6u);
  EXPECT_EQ(s, std::string("defgh\0", 6));
  s.clear();
  EXPECT_EQ(r.read_until(0, s).value(), 3u);
  EXPECT_EQ(s, "xyz");
  s.clear();
  EXPECT_EQ(r.read_until(0, s).value(), 0u);
}

TEST(BufferedReaderTest, BulkReadsAreBoundedByTheFileBeforeAllocating) {
  TempFile file(Bytes().f32(1).f32(2).str());
  BufferedReader r = file.reader();
  EXPECT_EQ(debug_of(read_f32_array(r, ~0ULL, Step::ReadNorms)), eof_read("Cannot read norms"));
  EXPECT_EQ(debug_of(read_f32_array(r, 1ULL << 40, Step::ReadNorms)), eof_read("Cannot read norms"));
  EXPECT_EQ(r.position().value(), 0u);
  auto two = read_f32_array(r, 2, Step::ReadNorms);
  ASSERT_TRUE(two.ok());
  EXPECT_EQ(two.value(), (std::vector<float>{1, 2}));
  EXPECT_EQ(reservation_for(r, ~0ULL, 4), 0u);
}

TEST(BufferedReaderTest, PipesHaveNoKnownSizeButStillRead) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string data = Bytes().u64(3).f32(1).f32(2).f32(3).str();
  ASSERT_EQ(::write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
  ::close(fds[1]);
  BufferedReader r{File(fds[0])};
  EXPECT_EQ(r.remaining(), std::nullopt);
  auto n = read_u64(r, Step::ReadNormsVectorLength);
  ASSERT_TRUE(n.ok());
  auto values = read_f32_array(r, n.value(), Step::ReadNorms);
  ASSERT_TRUE(values.ok());
  EXPECT_EQ(values.value(), (std::vector<float>{1, 2, 3}));
  EXPECT_EQ(debug_of(read_f32_array(r, 1ULL << 40, Step::ReadNorms)), eof_read("Cannot read norms"));
}

TEST(BufferedWriterTest, PositionFlushesAndLargeWritesBypassTheBuffer) {
  TempFile out;
  {
    BufferedWriter w(File::create(out.path()).value(), 8);
    ASSERT_TRUE(w.write_all("abc", 3).ok());
    EXPECT_EQ(w.position().value(), 3u);
    std::string big = counting_bytes(100);
    ASSERT_TRUE(w.write_all(big.data(), big.size()).ok());
    ASSERT_TRUE(w.write_all("z", 1).ok());
    EXPECT_EQ(w.position().value(), 104u);
    ASSERT_TRUE(w.close().ok());
  }
  EXPECT_EQ(out.read(), "abc" + counting_bytes(100) + "z");
  // Creating truncates an existing file.
  {
    BufferedWriter w(File::create(out.path()).value());
    ASSERT_TRUE(w.write_all("q", 1).ok());
    ASSERT_TRUE(w.close().ok());
  }
  EXPECT_EQ(out.read(), "q");
}

TEST(BufferedWriterTest, AFullDeviceFailsOnFlush) {
  BufferedWriter w(File::create("/dev/full").value());
  ASSERT_TRUE(w.write_all("abc", 3).ok());  // buffered
  auto st = w.close();
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(display(st.error()), "No space left on device (os error 28)");
}

}  // namespace
}  // namespace mave
