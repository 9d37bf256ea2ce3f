#pragma once

#include <cstdint>
#include <vector>

#include "index/distance/candidate.h"
#include "index/store/index_state.h"
#include "index/store/link_store.h"

namespace zelt {

struct Selection {
  std::vector<std::int32_t> ids;  // the ones that passed, nearest first, then the fill-up
  std::int32_t passed = 0;
};

// Chooses at most max_count ids from `candidates` (each record holding its
// distance from the base point), preferring ones that spread in several
// directions: a candidate fails when a node already chosen is strictly nearer
// to it than the base point is, or that comparison is unordered. Failed
// candidates fill what room is left, nearest first. Drains `candidates`.
// A negative max_count throws std::length_error (after the drain).
Selection select_with_outcome(const IndexState& s, ResultHeap& candidates, std::int32_t max_count);
std::vector<std::int32_t> select_neighbours(const IndexState& s, ResultHeap& candidates,
                                            std::int32_t max_count);

// The same selection over a list's ids (with their distances from the list's
// owner, in list order) when the list is trimmed: gives exactly what
// select_neighbours gives over a heap of those records pushed in list order.
// The list's origin tells which ids an earlier selection from the same owner
// chose and which it failed; a candidate's outcome depends only on the chosen
// nodes nearer than it, so where those are what they were the earlier outcome
// stands and is not measured again.
Selection reselect(const IndexState& s, const std::int32_t* ids, const float* distances,
                   std::size_t count, ListOrigin origin, std::int32_t max_count);

}  // namespace zelt
