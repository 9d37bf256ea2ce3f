#pragma once

#include <cstdint>
#include <vector>

#include "index/candidate.h"
#include "index/index_state.h"

namespace zelt {

// Chooses at most max_count ids from `candidates` (each record holding its
// distance from the base point), preferring ones that spread in several
// directions: a candidate fails when a node already chosen is strictly nearer
// to it than the base point is, or that comparison is unordered. Failed
// candidates fill what room is left, nearest first. Drains `candidates`.
// A negative max_count throws std::length_error (after the drain).
std::vector<std::int32_t> select_neighbours(const IndexState& s, ResultHeap& candidates,
                                            std::int32_t max_count);

}  // namespace zelt
