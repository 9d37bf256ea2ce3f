#pragma once

#include <cstdint>
#include <vector>

#include "index/index_state.h"

namespace zelt {

// k-nearest for strict filters: its own layer-0 traversal tests every node it
// measures and keeps the k nearest matches apart from the beam, going on while
// fewer than k matches exist; the matches are cut at the first large gap.
// min_norm is compared with the stored squared norm as it is.
std::vector<std::int32_t> filtered_search(const IndexState& s, const float* query, std::int32_t k,
                                          std::uint64_t filter_mask, std::int32_t ef_search,
                                          float max_radius, float min_norm);

}  // namespace zelt
