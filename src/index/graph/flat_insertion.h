#pragma once

#include <cstdint>

#include "index/store/index_state.h"

namespace zelt {

// Stores a node (dimension values at v) that takes no part in the graph:
// level 0, one empty list, the entry point untouched.
void insert_flat(IndexState& s, const float* v, std::uint64_t mask);

}  // namespace zelt
