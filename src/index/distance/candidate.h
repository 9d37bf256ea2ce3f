#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelt {

// One 8-byte heap record. Heaps compare the distance alone, never the id, so
// records at equal distance come out in whatever order the heap leaves them.
struct Candidate {
  float distance;
  std::int32_t id;
};
static_assert(sizeof(Candidate) == 8, "a heap record must move as one 64-bit word");

struct NearerOnTop {
  bool operator()(const Candidate& a, const Candidate& b) const { return b.distance < a.distance; }
};
struct FartherOnTop {
  bool operator()(const Candidate& a, const Candidate& b) const { return a.distance < b.distance; }
};

// The standard library's binary-heap push and pop (libstdc++'s
// std::push_heap and std::pop_heap), step for step: the same moves and so the
// same arrangement, on which the order among equal distances depends, but
// with the larger child chosen without a branch, since which one it is cannot
// be predicted. before(a, b): a belongs below b.
namespace heap_steps {

template <class Before>
inline void sift_up(Candidate* a, std::ptrdiff_t hole, Candidate value, Before before) {
  std::ptrdiff_t parent = (hole - 1) / 2;
  while (hole > 0 && before(a[parent], value)) {
    a[hole] = a[parent];
    hole = parent;
    parent = (hole - 1) / 2;
  }
  a[hole] = value;
}

// Moves the top to a[len - 1] and restores the heap over a[0 … len-2].
template <class Before>
inline void pop_to_back(Candidate* a, std::ptrdiff_t len, Before before) {
  if (len <= 1) return;
  const Candidate value = a[len - 1];
  a[len - 1] = a[0];
  const std::ptrdiff_t n = len - 1;
  std::ptrdiff_t hole = 0;
  std::ptrdiff_t child = 0;
  while (child < (n - 1) / 2) {
    child = 2 * (child + 1);
    child -= std::ptrdiff_t(before(a[child], a[child - 1]));
    a[hole] = a[child];
    hole = child;
  }
  if ((n & 1) == 0 && child == (n - 2) / 2) {
    child = 2 * (child + 1);
    a[hole] = a[child - 1];
    hole = child - 1;
  }
  sift_up(a, hole, value, before);
}

}  // namespace heap_steps

// A binary heap over a growable array with the standard push and pop, the
// behaviour of std::priority_queue, but with its storage open for reuse.
template <class Order>
class CandidateQueue {
 public:
  bool empty() const { return items_.empty(); }
  std::size_t size() const { return items_.size(); }
  const Candidate& top() const { return items_.front(); }
  void push(Candidate c) {
    items_.push_back(c);
    heap_steps::sift_up(items_.data(), std::ptrdiff_t(items_.size()) - 1, c, Order{});
  }
  void pop() {
    heap_steps::pop_to_back(items_.data(), std::ptrdiff_t(items_.size()), Order{});
    items_.pop_back();
  }
  void clear() { items_.clear(); }
  void reserve(std::size_t n) { items_.reserve(n); }
  // The records in heap order (top first), not sorted.
  const std::vector<Candidate>& items() const { return items_; }

  // Hands over the records in heap order and leaves the heap empty.
  std::vector<Candidate> release() {
    std::vector<Candidate> out;
    out.swap(items_);
    return out;
  }

  // Pops every record and returns them nearest first for a FartherOnTop heap
  // (farthest first for a NearerOnTop one, reversed).
  std::vector<Candidate> drain_reversed() {
    std::vector<Candidate> out;
    out.reserve(items_.size());
    while (!items_.empty()) {
      out.push_back(top());
      pop();
    }
    std::reverse(out.begin(), out.end());
    return out;
  }

 private:
  std::vector<Candidate> items_;
};

// Top = the farthest record kept.
using ResultHeap = CandidateQueue<FartherOnTop>;
// Top = the nearest record still to be expanded.
using FrontierHeap = CandidateQueue<NearerOnTop>;

}  // namespace zelt
