#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace zelt {

// A reader-writer lock that lets a waiting writer go next: once a writer
// waits, readers that arrive wait behind it, and it enters as soon as the
// readers already inside have left. Queries take it shared; insertions, loads
// and mask updates exclusively, so a stream of queries can no longer starve
// them. Uncontended, a shared lock and unlock cost one compare-and-swap and
// one subtraction; the mutex and condition variable are used only to wait.
// Meets the SharedMutex requirements that std::shared_lock and
// std::unique_lock need.
class WriterFirstLock {
 public:
  void lock_shared();
  bool try_lock_shared();
  void unlock_shared();
  void lock();
  void unlock();

 private:
  static constexpr std::uint32_t kWriter = 1u << 31;  // a writer holds the lock or waits for it

  std::atomic<std::uint32_t> state_{0};  // kWriter | number of readers inside
  std::mutex writers_;                   // one writer at a time
  std::mutex wait_;
  std::condition_variable changed_;
};

}  // namespace zelt
