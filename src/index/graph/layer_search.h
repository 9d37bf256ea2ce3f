#pragma once

#include <cstdint>

#include "index/distance/candidate.h"
#include "index/store/index_state.h"

namespace zelt {

class GraphLocks;

// Best-first beam search of one layer from entry_id, keeping the (at most)
// max(ef, 1) nearest nodes met. Fills `result` (cleared first) in heap order,
// top = farthest. The entry must have a list at `layer`, or none at all.
// With locks, lists are read under them (other threads are linking); with
// reverse, in-links are walked too; seeds (nodes with a list at `layer`) are
// entries besides entry_id.
void search_layer(const IndexState& s, const float* query, float query_norm_sq,
                  std::int32_t entry_id, std::int32_t ef, std::int32_t layer, ResultHeap& result,
                  GraphLocks* locks = nullptr, const ReverseLinks* reverse = nullptr,
                  LinkSpan seeds = {});

// The same, returning a new heap.
ResultHeap search_layer(const IndexState& s, const float* query, float query_norm_sq,
                        std::int32_t entry_id, std::int32_t ef, std::int32_t layer);

// Greedy descent with width 1 from the entry point down to layer 1; returns
// the node at which layer 0 is entered.
std::int32_t descend_to_layer0(const IndexState& s, const float* query, float query_norm_sq);

}  // namespace zelt
