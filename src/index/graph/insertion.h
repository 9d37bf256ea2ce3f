#pragma once

#include <cstdint>

#include "index/store/index_state.h"

namespace zelt {

class GraphLocks;

// Stores a node (dimension values at v) that takes no part in the graph:
// level 0, one empty list, the entry point untouched.
void insert_flat(IndexState& s, const float* v, std::uint64_t mask);

// Stores a node (dimension values at v) at a randomly drawn level and links it
// into every layer it shares with the graph, both ways, trimming neighbour
// lists that the new link makes longer than their cap.
void insert_linked(IndexState& s, const float* v, std::uint64_t mask, std::int32_t ef_construction);

// Links a node that is already stored (at its level, with empty lists). With
// locks, other threads may be linking other nodes of the same graph at the
// same time: every list is read and written under its node's lock, and the
// entry point under its own.
void link_node(IndexState& s, std::int32_t new_id, std::int32_t ef_construction, GraphLocks* locks);

}  // namespace zelt
