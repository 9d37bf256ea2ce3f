#pragma once

#include <cstddef>
#include <cstdint>

#include "index/index_state.h"

namespace zelt {

// Replaces every node's mask from count values in node order; a count other
// than the node count raises std::runtime_error before any mask changes.
void replace_masks(IndexState& s, const std::uint64_t* values, std::size_t count);

}  // namespace zelt
