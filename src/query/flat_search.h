#pragma once

#include <cstdint>
#include <vector>

#include "index/distance/candidate.h"
#include "index/store/index_state.h"
#include "query/query_terms.h"

namespace zelt {

// Exact k-nearest by scanning every node, linked or not: mask test, norm test
// (min_norm_sq - 0.15 against the stored squared norm), distance, radius test.
std::vector<Candidate> flat_search(const IndexState& s, const float* query,
                                   const QueryTerms& terms);

// The same over the nodes listed in `members`, a bitmap of one bit per node
// id (node i: bit i % 64 of word i / 64), whose masks are taken to pass:
// only their norm and distance are tested.
std::vector<Candidate> flat_search_members(const IndexState& s, const float* query,
                                           const QueryTerms& terms, const std::uint64_t* members);

}  // namespace zelt
