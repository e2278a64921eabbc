// The floors under batch lookups of known words, without Python: copying the
// same rows by precomputed row number (the rows fetched a few words ahead),
// beside the core's own lookups one word at a time and in a batch.
//
// Usage: mave_bench_lookup FILE QUERIES [ROUNDS]
//   QUERIES: one vocabulary word per line.
// Prints one "name median_ns least_ns least_cpu_ns" line per measure (per
// word).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/io.hpp"
#include "format/batch.hpp"
#include "format/embeddings.hpp"
#include "python/native/messages.hpp"

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "mave_bench_lookup: %s\n", what.c_str());
  std::exit(1);
}

// Median and least nanoseconds per item over `rounds` rounds after a warm-up.
const char* g_only = nullptr;  // run only the measure of this name

void report(const char* name, std::size_t items, int rounds, const std::function<void()>& run) {
  if (g_only != nullptr && std::strcmp(g_only, name) != 0) return;
  run();
  std::vector<double> per_item, cpu_per_item;
  for (int r = 0; r < rounds; ++r) {
    timespec c0, c1;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
    auto t0 = std::chrono::steady_clock::now();
    run();
    auto t1 = std::chrono::steady_clock::now();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
    per_item.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() /
                       static_cast<double>(items));
    cpu_per_item.push_back(((c1.tv_sec - c0.tv_sec) * 1e9 + (c1.tv_nsec - c0.tv_nsec)) /
                           static_cast<double>(items));
  }
  std::sort(per_item.begin(), per_item.end());
  std::sort(cpu_per_item.begin(), cpu_per_item.end());
  // Wall-clock median and least, then the least CPU time of this thread,
  // which other processes on a busy machine disturb less.
  std::printf("%s %.1f %.1f %.1f\n", name, per_item[per_item.size() / 2], per_item.front(),
              cpu_per_item.front());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) die("usage: mave_bench_lookup FILE QUERIES [ROUNDS]");
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  if (argc > 4) g_only = argv[4];
  auto file = mave::File::open_read(argv[1]);
  if (!file.ok()) die(mave::messages::io_text(file.error()));
  mave::BufferedReader reader(std::move(file).value());
  auto loaded = mave::read_embeddings_mapped(reader);
  if (!loaded.ok()) die(mave::messages::reason(loaded.error()).text);
  const mave::Embeddings& e = loaded.value();
  const auto* matrix = std::get_if<mave::MappedNdArray>(&e.storage().variant());
  if (matrix == nullptr) die("the file's matrix is not dense");

  std::vector<std::string> queries;
  std::ifstream in(argv[2]);
  for (std::string line; std::getline(in, line);) queries.push_back(line);
  std::vector<std::string_view> views(queries.begin(), queries.end());
  std::vector<std::size_t> rows;
  for (std::string_view q : views) {
    auto row = e.vocab().words().find(q);
    if (!row) die("not a vocabulary word: " + std::string(q));
    rows.push_back(*row);
  }
  const std::size_t n = views.size(), dims = e.dims();
  std::vector<float> out(n * dims);
  std::vector<unsigned char> found(n);

  // The floor: rows by number, each asked for a few rows ahead so that the
  // misses of different rows overlap; its first cache line only (the copy's
  // stream fetches the rest) or all of it, whichever is faster here.
  for (bool whole : {false, true}) {
    report(whole ? "copy_rows_whole" : "copy_rows", n, rounds, [&] {
      constexpr std::size_t kAhead = 8;
      for (std::size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) e.storage().prefetch_row(rows[i + kAhead], whole);
        std::memcpy(out.data() + i * dims, matrix->row_data(rows[i]), dims * sizeof(float));
      }
    });
  }
  report("fill_embedding", n, rounds, [&] {
    for (std::size_t i = 0; i < n; ++i) {
      mave::TargetView row{reinterpret_cast<std::byte*>(out.data() + i * dims), dims, 4};
      found[i] = e.fill_embedding(views[i], row);
    }
  });
  const mave::TargetMatrix target{reinterpret_cast<std::byte*>(out.data()), n, dims,
                                  static_cast<std::ptrdiff_t>(dims * sizeof(float)), 4};
  report("fill_embeddings", n, rounds,
         [&] { mave::fill_embeddings(e, views, target, reinterpret_cast<bool*>(found.data()), 1); });
  return 0;
}
