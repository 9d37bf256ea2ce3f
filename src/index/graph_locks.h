#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace zelt {

// The locks of a graph that several threads link at once: one per neighbour
// list owner (striped: a node shares its lock with the nodes its id is
// congruent to, which costs nothing in correctness since a thread never holds
// two), and one for the entry point. Readers copy a list under its lock;
// writers rewrite it under the same lock.
class GraphLocks {
 public:
  GraphLocks() : stripes_(new std::atomic<bool>[kStripes]) {
    for (std::size_t i = 0; i < kStripes; ++i) stripes_[i].store(false);
  }

  void lock(std::int32_t node) {
    std::atomic<bool>& s = stripe(node);
    while (s.exchange(true, std::memory_order_acquire)) {
      while (s.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
  }
  void unlock(std::int32_t node) { stripe(node).store(false, std::memory_order_release); }

  std::mutex entry;

 private:
  static constexpr std::size_t kStripes = std::size_t(1) << 14;
  std::atomic<bool>& stripe(std::int32_t node) {
    return stripes_[std::size_t(std::uint32_t(node)) & (kStripes - 1)];
  }
  std::unique_ptr<std::atomic<bool>[]> stripes_;
};

// Holds one node's lock for a scope; does nothing without locks.
class NodeGuard {
 public:
  NodeGuard(GraphLocks* locks, std::int32_t node) : locks_(locks), node_(node) {
    if (locks_ != nullptr) locks_->lock(node_);
  }
  ~NodeGuard() {
    if (locks_ != nullptr) locks_->unlock(node_);
  }
  NodeGuard(const NodeGuard&) = delete;
  NodeGuard& operator=(const NodeGuard&) = delete;

 private:
  GraphLocks* locks_;
  std::int32_t node_;
};

}  // namespace zelt
