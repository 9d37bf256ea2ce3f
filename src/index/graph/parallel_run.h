#pragma once

#include <cstddef>
#include <exception>
#include <functional>

namespace zelt {

// "Keep going?", asked on the calling thread about every 0.1 s with the items
// done so far and the total; false stops the run. It is how a caller checks
// for an interruption or reports progress without the run knowing about it.
using KeepGoing = std::function<bool(std::size_t done, std::size_t total)>;

// How far a run of items got.
struct BatchOutcome {
  std::size_t done = 0;      // items 0 … done-1 were taken up, and each has finished
  std::exception_ptr error;  // that of the first item (in item order) that threw, if any
  bool stopped = false;      // keep_going said no
};

// Runs work(item, worker) for the items 0 … n-1, which `threads` threads (the
// calling thread among them, as worker 0) take up in order. Once keep_going
// says no or an item throws, no further item is taken up; the run returns when
// every thread has finished the item it was on.
BatchOutcome run_parallel(std::size_t n, int threads,
                          const std::function<void(std::size_t item, int worker)>& work,
                          const KeepGoing& keep_going);

// The number of threads that "all cores" means here.
int all_cores();

}  // namespace zelt
