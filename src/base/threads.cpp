#include "base/threads.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace mave {

unsigned choose_threads(unsigned requested, std::size_t n_items, std::size_t items_per_thread) {
  if (requested != 0) return requested;
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t wanted = std::max<std::size_t>(1, n_items / std::max<std::size_t>(1, items_per_thread));
  return static_cast<unsigned>(std::min(cores, wanted));
}

void parallel_for(std::size_t n, unsigned threads,
                  const std::function<void(unsigned, std::size_t, std::size_t)>& work) {
  threads = static_cast<unsigned>(std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(n, 1)));
  if (threads == 1) {
    work(0, 0, n);
    return;
  }
  std::vector<std::exception_ptr> errors(threads);
  auto part = [&](unsigned t) {
    try {
      work(t, n * t / threads, n * (t + 1) / threads);
    } catch (...) {
      errors[t] = std::current_exception();
    }
  };
  std::vector<std::thread> helpers;
  helpers.reserve(threads - 1);
  unsigned started = 1;
  // A thread the system refuses (no memory for its stack, a process limit)
  // leaves its part, and those after it, to this one: a started std::thread
  // must be joined, whatever fails after it.
  try {
    for (; started < threads; ++started) helpers.emplace_back(part, started);
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
  part(0);
  for (unsigned t = started; t < threads; ++t) part(t);
  for (std::thread& helper : helpers) helper.join();
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

}  // namespace mave
