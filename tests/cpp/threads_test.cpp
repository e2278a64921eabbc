// The thread runner: every index once, in contiguous parts in order,
// failures rethrown after every part ended, and the same work done when the
// system refuses to start threads (then on the calling thread alone).
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "base/threads.hpp"
#include "importers/word2vec.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

using namespace test;

TEST(ParallelFor, CoversEveryIndexOnceInContiguousPartsInOrder) {
  for (std::size_t n : {0u, 1u, 2u, 7u, 8u, 9u, 100u, 1001u}) {
    for (unsigned threads = 1; threads <= 12; ++threads) {
      SCOPED_TRACE(std::to_string(n) + " items, " + std::to_string(threads) + " threads");
      std::vector<std::atomic<int>> hits(n);
      std::vector<std::pair<std::size_t, std::size_t>> parts(threads, {~0u, ~0u});
      std::vector<std::thread::id> ids(threads);
      std::atomic<unsigned> calls{0};
      parallel_for(n, threads, [&](unsigned part, std::size_t begin, std::size_t end) {
        ++calls;
        ASSERT_LT(part, threads);
        parts[part] = {begin, end};
        ids[part] = std::this_thread::get_id();
        for (std::size_t i = begin; i < end; ++i) ++hits[i];
      });
      for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(hits[i].load(), 1) << "index " << i;
      // As many parts as asked, but never more than there are items (one
      // part for none); each starts where the one before ended.
      const unsigned used = calls.load();
      EXPECT_EQ(used, std::min<std::size_t>(threads, std::max<std::size_t>(n, 1)));
      std::size_t next = 0;
      for (unsigned p = 0; p < used; ++p) {
        EXPECT_EQ(parts[p].first, next) << "part " << p;
        EXPECT_LE(parts[p].first, parts[p].second);
        next = parts[p].second;
      }
      EXPECT_EQ(next, n);
      EXPECT_EQ(ids[0], std::this_thread::get_id());  // part 0 runs on the caller
    }
  }
}

TEST(ParallelFor, AFailingPartIsRethrownAfterEveryPartHasEnded) {
  for (unsigned threads : {1u, 2u, 4u, 8u}) {
    for (unsigned failing = 0; failing < threads; ++failing) {
      SCOPED_TRACE(std::to_string(failing) + " of " + std::to_string(threads));
      std::atomic<unsigned> ended{0};
      bool caught = false;
      try {
        parallel_for(800, threads, [&](unsigned part, std::size_t, std::size_t) {
          if (part == failing) throw std::runtime_error("part " + std::to_string(part));
          // The others outlast the failure.
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          ++ended;
        });
      } catch (const std::runtime_error& error) {
        caught = true;
        EXPECT_EQ(std::string(error.what()), "part " + std::to_string(failing));
        EXPECT_EQ(ended.load(), threads - 1);
      }
      EXPECT_TRUE(caught);
    }
  }
}

TEST(ChooseThreads, AGivenCountIsKeptAndAnOpenOneFollowsTheWork) {
  EXPECT_EQ(choose_threads(3, 10, 1000), 3u);
  EXPECT_EQ(choose_threads(64, 1, 1), 64u);
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  EXPECT_EQ(choose_threads(0, 0, 4096), 1u);
  EXPECT_EQ(choose_threads(0, 4095, 4096), 1u);
  EXPECT_EQ(choose_threads(0, 2 * 4096, 4096), std::min(2u, cores));
  EXPECT_EQ(choose_threads(0, std::size_t{1} << 40, 4096), cores);
  EXPECT_EQ(choose_threads(0, 10, 0), std::min(10u, cores));
}

// While alive, every thread started asks for a stack of 64 TiB, which no
// system gives: pthread_create fails with EAGAIN, as it does when a process
// reaches its thread limit or runs out of memory for stacks.
class RefusedThreads {
 public:
  RefusedThreads() {
    EXPECT_EQ(pthread_getattr_default_np(&saved_), 0);
    pthread_attr_t huge;
    pthread_attr_init(&huge);
    EXPECT_EQ(pthread_attr_setstacksize(&huge, std::size_t{1} << 46), 0);
    EXPECT_EQ(pthread_setattr_default_np(&huge), 0);
    pthread_attr_destroy(&huge);
  }
  ~RefusedThreads() {
    pthread_setattr_default_np(&saved_);
    pthread_attr_destroy(&saved_);
  }
  RefusedThreads(const RefusedThreads&) = delete;
  RefusedThreads& operator=(const RefusedThreads&) = delete;

 private:
  pthread_attr_t saved_;
};

TEST(ParallelFor, RefusedThreadsLeaveTheirPartsToTheCallingThread) {
  RefusedThreads refused;
  ASSERT_THROW(std::thread([] {}).join(), std::system_error) << "the system started a thread";
  const std::thread::id caller = std::this_thread::get_id();
  for (unsigned threads : {2u, 5u}) {
    std::vector<int> hits(1000);
    std::vector<unsigned> order;
    parallel_for(hits.size(), threads, [&](unsigned part, std::size_t begin, std::size_t end) {
      EXPECT_EQ(std::this_thread::get_id(), caller);
      order.push_back(part);  // one thread: no race
      for (std::size_t i = begin; i < end; ++i) ++hits[i];
    });
    EXPECT_EQ(std::count(hits.begin(), hits.end(), 1), 1000);
    std::vector<unsigned> expected(threads);
    std::iota(expected.begin(), expected.end(), 0u);
    EXPECT_EQ(order, expected);
  }
  EXPECT_THROW(parallel_for(10, 4,
                            [](unsigned part, std::size_t, std::size_t) {
                              if (part == 2) throw std::runtime_error("part 2");
                            }),
               std::runtime_error);
}

// A text file of `rows` rows of 64 values, several MiB: a block of it is
// worth more than one thread.
std::string large_text(std::size_t rows, std::size_t bad_row = SIZE_MAX) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::string s = std::to_string(rows) + " 64\n";
  for (std::size_t i = 0; i < rows; ++i) {
    s += 'w';
    s += std::to_string(i);
    for (int j = 0; j < 64; ++j) {
      char buffer[32];
      buffer[0] = ' ';
      s.append(buffer, std::to_chars(buffer + 1, buffer + sizeof buffer, uniform(rng)).ptr);
    }
    if (i == bad_row) s += " x";
    s += '\n';
  }
  return s;
}

Result<ImportedEmbeddings> read_text(const TempFile& file) {
  BufferedReader r(File::open_read(file.path()).value());
  return read_text_embeddings(r, TextLayout::WithHeader);
}

TEST(TextReader, RefusedThreadsReadTheSameRowsAndFailOnTheSameLine) {
  TempFile good(large_text(30000)), bad(large_text(30000, 20000));
  ASSERT_GT(std::filesystem::file_size(good.path()), std::size_t{8} << 20);
  auto spread = read_text(good);
  auto spread_bad = read_text(bad);
  RefusedThreads refused;
  auto alone = read_text(good);
  auto alone_bad = read_text(bad);
  ASSERT_TRUE(spread.ok() && alone.ok());
  const ImportedEmbeddings &a = spread.value(), &b = alone.value();
  ASSERT_EQ(a.words.size(), 30000u);
  ASSERT_EQ(b.words.size(), a.words.size());
  for (std::size_t i = 0; i < a.words.size(); ++i) {
    ASSERT_EQ(a.words[i], b.words[i]);
    ASSERT_EQ(std::memcmp(a.matrix.row(i), b.matrix.row(i), 64 * sizeof(float)), 0) << i;
  }
  ASSERT_FALSE(spread_bad.ok() || alone_bad.ok());
  EXPECT_EQ(spread_bad.error().line, 20002u);
  EXPECT_EQ(alone_bad.error().line, 20002u);
  EXPECT_EQ(alone_bad.error().detail, spread_bad.error().detail);
}

}  // namespace
}  // namespace mave
