#pragma once

#include <cstddef>
#include <cstdint>

#include "index/store/index_state.h"

namespace zelt {

// Replaces every node's mask from count values in node order; a count other
// than the node count raises std::runtime_error before any mask changes.
void replace_masks(IndexState& s, const std::uint64_t* values, std::size_t count);

// Sets the masks of the count nodes in ids: to values[i] each, or to `single`
// for all where values is null. A later id wins over an earlier equal one. An
// id that is no node raises std::out_of_range before any mask changes.
void set_masks(IndexState& s, const std::int64_t* ids, std::size_t count,
               const std::uint64_t* values, std::uint64_t single);

}  // namespace zelt
