#pragma once

#include <cstdint>

#include "index/index_state.h"

namespace zelt {

// Stores a node (dimension values at v) at a randomly drawn level and links it
// into every layer it shares with the graph, both ways, trimming neighbour
// lists that the new link makes longer than their cap.
void insert_linked(IndexState& s, const float* v, std::uint64_t mask, std::int32_t ef_construction);

}  // namespace zelt
