#pragma once

#include <cstdint>
#include <vector>

#include "index/index_state.h"

namespace zelt {

// Approximate k-nearest through the graph, filters applied to the sorted
// layer-0 result afterwards. query points to dimension floats. min_norm is a
// norm (squared before it is compared); a negative or NaN bound is off.
std::vector<std::int32_t> graph_search(const IndexState& s, const float* query, std::int32_t k,
                                       std::uint64_t filter_mask, std::int32_t ef_search,
                                       float max_radius, float min_norm);

}  // namespace zelt
