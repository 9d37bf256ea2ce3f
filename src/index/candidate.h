#pragma once

#include <algorithm>
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
    std::push_heap(items_.begin(), items_.end(), Order{});
  }
  void pop() {
    std::pop_heap(items_.begin(), items_.end(), Order{});
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
