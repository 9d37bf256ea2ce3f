#pragma once

#include <cstdint>
#include <vector>

#include "index/distance/candidate.h"
#include "index/store/index_state.h"

namespace zelt {

// The calling thread's visited marks: a 16-bit mark per node id, shared by
// every index the thread searches, and the epoch of the running search. A node
// is visited when its mark equals the epoch, so starting a search costs one
// increment; the whole table is cleared only when the epoch wraps.
struct VisitedMarks {
  std::vector<std::uint16_t> marks;
  std::uint16_t epoch = 0;

  // Grows the table to n entries and moves to the next epoch.
  std::uint16_t begin_search(std::size_t n);
};

// This thread's marks and frontier heap; released when the thread ends.
VisitedMarks& thread_visited_marks();
FrontierHeap& thread_frontier();
// The buffer a walk copies lists into while other threads may rewrite them.
std::vector<std::int32_t>& thread_link_copy();

class GraphLocks;

// Best-first beam search of one layer from entry_id, keeping the (at most)
// max(ef, 1) nearest nodes met. Fills `result` (cleared first) in heap order,
// top = farthest. The entry must have a list at `layer`, or none at all.
// With locks, lists are read under them (other threads are linking).
void search_layer(const IndexState& s, const float* query, float query_norm_sq,
                  std::int32_t entry_id, std::int32_t ef, std::int32_t layer, ResultHeap& result,
                  GraphLocks* locks = nullptr);

// The same, returning a new heap.
ResultHeap search_layer(const IndexState& s, const float* query, float query_norm_sq,
                        std::int32_t entry_id, std::int32_t ef, std::int32_t layer);

// The Poincaré boundary rule shared by every graph walk: a neighbour whose
// stored squared norm is not below 0.995 (NaN included) is never evaluated.
inline bool beyond_boundary(const IndexState& s, std::int32_t node) {
  return s.params.metric == MetricKind::Poincare && !(s.stored_norm(node) < 0.995f);
}

// Greedy descent with width 1 from the entry point down to layer 1; returns
// the node at which layer 0 is entered.
std::int32_t descend_to_layer0(const IndexState& s, const float* query, float query_norm_sq);

}  // namespace zelt
