#include "index/graph/parallel_run.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace zelt {

int all_cores() { return std::max(1, int(std::thread::hardware_concurrency())); }

BatchOutcome run_parallel(std::size_t n, int threads,
                          const std::function<void(std::size_t, int)>& work,
                          const KeepGoing& keep_going) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kAskEvery = std::chrono::milliseconds(100);
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  std::atomic<bool> stop{false};
  BatchOutcome outcome;
  std::size_t error_item = n;
  std::mutex outcome_lock;

  const auto take_items = [&](int worker) {
    auto asked = Clock::now();
    while (!stop.load(std::memory_order_relaxed)) {
      const std::size_t item = next.fetch_add(1);
      if (item >= n) break;
      try {
        work(item, worker);
      } catch (...) {
        // Items are taken up in order, so every item before this one has been
        // too, and the error kept is that of the first failing item whichever
        // thread gets there first.
        std::lock_guard<std::mutex> guard(outcome_lock);
        if (item < error_item) {
          error_item = item;
          outcome.error = std::current_exception();
        }
        stop = true;
      }
      done.fetch_add(1, std::memory_order_relaxed);
      if (worker == 0 && keep_going && Clock::now() - asked >= kAskEvery) {
        asked = Clock::now();
        if (!keep_going(done.load(), n)) {
          std::lock_guard<std::mutex> guard(outcome_lock);
          outcome.stopped = true;
          stop = true;
        }
      }
    }
  };

  const int helpers = int(std::min<std::size_t>(std::size_t(std::max(threads, 1)), n)) - 1;
  std::vector<std::thread> pool;
  try {
    for (int w = 1; w <= helpers; ++w) pool.emplace_back(take_items, w);
  } catch (...) {
    // Fewer threads than asked for: the ones that started, and this one, do
    // the work.
  }
  take_items(0);
  for (std::thread& t : pool) t.join();
  outcome.done = std::min(next.load(), n);
  return outcome;
}

}  // namespace zelt
