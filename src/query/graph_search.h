#pragma once

#include <cstdint>
#include <vector>

#include "index/distance/candidate.h"
#include "index/graph/seed_tree.h"
#include "index/store/index_state.h"
#include "query/query_terms.h"

namespace zelt {

// Approximate k-nearest through the graph, filters applied to the sorted
// layer-0 result afterwards. query points to dimension floats. The answer
// holds each node with its distance, nearest first. With seeds, the layer-0
// walk also starts from the query's Euclidean nearest nodes instead of
// following in-links.
std::vector<Candidate> graph_search(const IndexState& s, const float* query,
                                    const QueryTerms& terms, const SeedTree* seeds = nullptr);

}  // namespace zelt
