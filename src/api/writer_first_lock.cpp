#include "api/writer_first_lock.h"

namespace zelt {

bool WriterFirstLock::try_lock_shared() {
  std::uint32_t s = state_.load(std::memory_order_relaxed);
  while ((s & kWriter) == 0) {
    if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      return true;
    }
  }
  return false;
}

void WriterFirstLock::lock_shared() {
  if (try_lock_shared()) return;
  std::unique_lock<std::mutex> guard(wait_);
  for (;;) {
    changed_.wait(guard, [&] { return (state_.load(std::memory_order_relaxed) & kWriter) == 0; });
    if (try_lock_shared()) return;
  }
}

void WriterFirstLock::unlock_shared() {
  const std::uint32_t before = state_.fetch_sub(1, std::memory_order_release);
  if (before == (kWriter | 1u)) {
    // The last reader out, with a writer waiting for exactly that.
    std::lock_guard<std::mutex> guard(wait_);
    changed_.notify_all();
  }
}

void WriterFirstLock::lock() {
  writers_.lock();
  state_.fetch_or(kWriter, std::memory_order_acquire);
  std::unique_lock<std::mutex> guard(wait_);
  changed_.wait(guard, [&] { return state_.load(std::memory_order_acquire) == kWriter; });
}

void WriterFirstLock::unlock() {
  state_.fetch_and(~kWriter, std::memory_order_release);
  {
    std::lock_guard<std::mutex> guard(wait_);
    changed_.notify_all();
  }
  writers_.unlock();
}

}  // namespace zelt
