#pragma once

#include <cstdint>
#include <vector>

#include "index/distance/candidate.h"
#include "index/store/index_state.h"
#include "query/query_terms.h"

namespace zelt {

// k-nearest for strict filters: a layer-0 walk that tests every node it
// measures and keeps the k nearest matches apart from the beam, going on while
// fewer than k matches exist; the matches are cut at the first large gap.
std::vector<Candidate> filtered_search(const IndexState& s, const float* query,
                                       const QueryTerms& terms);

// Cuts matches (nearest first) at the first large jump in distance: the first
// match always stays; match i ends the answer when the step to it exceeds 0.6
// from a distance above 0.01, or when it lies beyond 2.0.
std::vector<Candidate> gap_cutoff(std::vector<Candidate> matches);

}  // namespace zelt
