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

// flat_search of `count` queries (1 … kMaxQueries) at once, results[b] the
// answer to queries[b]: without a mask or norm bound every record is read
// once for all of them.
void flat_search_together(const IndexState& s, const float* const* queries, int count,
                          const QueryTerms& terms, std::vector<Candidate>* results);

// The same over the nodes listed in `members`, a bitmap of one bit per node
// id (node i: bit i % 64 of word i / 64), whose masks are taken to pass:
// only their norm and distance are tested.
std::vector<Candidate> flat_search_members(const IndexState& s, const float* query,
                                           const QueryTerms& terms, const std::uint64_t* members);

}  // namespace zelt
