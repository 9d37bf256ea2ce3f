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
// two), and one for the entry point.
//
// A node's lock is a version, odd while a writer rewrites its lists. Writers
// take it in turn; readers take nothing: they note the version, copy the list
// word by word, and copy again if the version has moved meanwhile. Every walk
// of a build reads a list per step, so a reader that had to own the lock's
// cache line would pull it back and forth between the cores on every read of
// a node that both are walking through (the upper layers, the hubs).
class GraphLocks {
 public:
  GraphLocks() : stripes_(new std::atomic<std::uint32_t>[kStripes]) {
    for (std::size_t i = 0; i < kStripes; ++i) stripes_[i].store(0);
  }

  void lock(std::int32_t node) {
    std::atomic<std::uint32_t>& s = stripe(node);
    for (;;) {
      std::uint32_t version = s.load(std::memory_order_relaxed);
      if (version % 2 == 1) {
        std::this_thread::yield();
      } else if (s.compare_exchange_weak(version, version + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
        return;
      }
    }
  }
  void unlock(std::int32_t node) {
    std::atomic<std::uint32_t>& s = stripe(node);
    s.store(s.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }

  // The version a read starts from, once no writer holds the node.
  std::uint32_t read_begin(std::int32_t node) {
    std::atomic<std::uint32_t>& s = stripe(node);
    for (;;) {
      const std::uint32_t version = s.load(std::memory_order_acquire);
      if (version % 2 == 0) return version;
      std::this_thread::yield();
    }
  }
  // Whether no writer took the node since read_begin gave `version`. The
  // words read in between are acquiring loads, so this load cannot be done
  // before them.
  bool read_unchanged(std::int32_t node, std::uint32_t version) {
    return stripe(node).load(std::memory_order_relaxed) == version;
  }

  std::mutex entry;

 private:
  static constexpr std::size_t kStripes = std::size_t(1) << 14;
  std::atomic<std::uint32_t>& stripe(std::int32_t node) {
    return stripes_[std::size_t(std::uint32_t(node)) & (kStripes - 1)];
  }
  std::unique_ptr<std::atomic<std::uint32_t>[]> stripes_;
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
