#pragma once

#include <cstdint>
#include <vector>

#include "index/candidate.h"

namespace zelt {

// A node passes when every bit of filter_mask is set in its mask; a filter of
// 0 passes every node.
inline bool mask_passes(std::uint64_t filter_mask, std::uint64_t mask) {
  return (filter_mask & ~mask) == 0;
}

// Cuts matches (nearest first) at the first large jump in distance: the first
// match always stays; match i ends the answer when the step to it exceeds 0.6
// from a distance above 0.01, or when it lies beyond 2.0.
std::vector<std::int32_t> gap_cutoff(const std::vector<Candidate>& matches);

}  // namespace zelt
