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

}  // namespace zelt
