// The floor under loading a dense file: read the vocabulary chunk's bytes in
// one read and build a hash set of the words, with nothing else. Beside it,
// the core's own read_embeddings_mapped over the same file, without Python.
//
// Usage: mave_bench_load FILE [ROUNDS]
// Prints one "name median_ns min_ns" line per measure, then "words N".
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "base/io.hpp"
#include "format/embeddings.hpp"
#include "python/native/messages.hpp"

namespace {

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::exit(1);
}

void pread_all(int fd, void* dst, std::size_t n, off_t at) {
  auto* p = static_cast<char*>(dst);
  while (n > 0) {
    ssize_t got = ::pread(fd, p, n, at);
    if (got <= 0) die("pread");
    p += got;
    at += got;
    n -= static_cast<std::size_t>(got);
  }
}

std::uint32_t u32_at(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

std::uint64_t u64_at(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Reads the vocabulary chunk of a file whose header lists SimpleVocab first
// and builds an open-addressing set of views into the chunk's bytes. Returns
// the number of distinct words.
std::size_t floor_load(const char* path) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("open");
  char head[12];
  pread_all(fd, head, sizeof head, 0);
  const off_t chunk = 12 + 4 * static_cast<off_t>(u32_at(head + 8));
  char frame[12];
  pread_all(fd, frame, sizeof frame, chunk);
  if (u32_at(frame) != 1) {
    std::fprintf(stderr, "the first chunk is not a simple vocabulary\n");
    std::exit(1);
  }
  const std::uint64_t length = u64_at(frame + 4);
  std::unique_ptr<char[]> bytes(new char[length]);  // no zero-filling
  pread_all(fd, bytes.get(), length, chunk + 12);
  ::close(fd);

  const std::uint64_t n = u64_at(bytes.get());
  std::vector<std::string_view> words;
  words.reserve(n);
  const char* p = bytes.get() + 8;
  for (std::uint64_t i = 0; i < n; ++i) {
    std::uint32_t len = u32_at(p);
    words.emplace_back(p + 4, len);
    p += 4 + len;
  }
  // Hashes are computed eight words ahead and their slots prefetched, so that
  // the random accesses to the table overlap.
  const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(8, 2 * n));
  std::vector<std::uint32_t> slots(capacity, 0);  // word index + 1; 0 is empty
  const std::hash<std::string_view> hash;
  constexpr std::size_t kAhead = 8;
  std::size_t ahead[kAhead];
  auto start = [&](std::size_t i) {
    ahead[i % kAhead] = hash(words[i]) & (capacity - 1);
    __builtin_prefetch(&slots[ahead[i % kAhead]]);
  };
  for (std::size_t i = 0; i < std::min<std::size_t>(kAhead, n); ++i) start(i);
  std::size_t distinct = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    std::size_t at = ahead[i % kAhead];
    if (i + kAhead < n) start(i + kAhead);
    while (slots[at] != 0 && words[slots[at] - 1] != words[i]) at = (at + 1) & (capacity - 1);
    if (slots[at] == 0) {
      slots[at] = i + 1;
      ++distinct;
    }
  }
  return distinct;
}

std::size_t core_load(const char* path) {
  auto file = mave::File::open_read(path);
  if (!file.ok()) die("open");
  mave::BufferedReader reader(std::move(file).value());
  auto embeddings = mave::read_embeddings_mapped(reader);
  if (!embeddings.ok()) {
    std::fprintf(stderr, "%s\n", mave::messages::reason(embeddings.error()).text.c_str());
    std::exit(1);
  }
  return embeddings.value().vocab().n_words();
}

template <class F>
void measure(const char* name, int rounds, F&& f, std::size_t& words) {
  std::vector<std::int64_t> ns;
  f();  // warm the page cache and the allocator
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    words = f();
    auto t1 = std::chrono::steady_clock::now();
    ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
  }
  std::sort(ns.begin(), ns.end());
  std::printf("%s %lld %lld\n", name, static_cast<long long>(ns[ns.size() / 2]),
              static_cast<long long>(ns.front()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [ROUNDS]\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
  std::size_t floor_words = 0, core_words = 0;
  measure("floor", rounds, [&] { return floor_load(path); }, floor_words);
  measure("core", rounds, [&] { return core_load(path); }, core_words);
  if (floor_words != core_words) {
    std::fprintf(stderr, "word counts differ: %zu and %zu\n", floor_words, core_words);
    return 1;
  }
  std::printf("words %zu\n", core_words);
  return 0;
}
