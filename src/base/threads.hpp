// The one way the core spreads work over threads: a loop over [0, n) cut
// into contiguous parts. A thread the system refuses to start costs speed,
// never the work: its part runs on the calling thread.
#pragma once

#include <cstddef>
#include <functional>

namespace mave {

// The number of threads a batch of `n_items` gets when the caller leaves it
// open (0): one per ~`items_per_thread` items, at most one per core.
unsigned choose_threads(unsigned requested, std::size_t n_items, std::size_t items_per_thread);

// Runs work(part, begin, end) over [0, n) split into `threads` contiguous
// parts numbered in order (never more parts than items, one for none), the
// calling thread taking part 0 and every part no other thread could be
// started for. The first exception thrown by any part is rethrown after all
// parts have ended.
void parallel_for(std::size_t n, unsigned threads,
                  const std::function<void(unsigned, std::size_t, std::size_t)>& work);

}  // namespace mave
