#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/distance/candidate.h"
#include "index/store/index_state.h"
#include "query/query_terms.h"

namespace zelt {

// How a planned query is answered.
enum class Plan { Nothing, Scan, Walk };

// How many matches the walk keeps: as many as the plain walk of width ef
// holds among its nearest nodes when `matches` of n nodes match, ef · matches
// / n rounded up, but at least k (and at most the matches). The plain walk
// needs ef / selectivity to hold that many matches; this one steps through
// the others without keeping them.
std::size_t walk_width(const QueryTerms& terms, std::size_t matches, std::size_t n);

// The choice for a query whose mask `matches` of the index's nodes pass,
// walked with the given width: a scan of the matching nodes where it
// measures fewer records than the walk is expected to.
Plan choose_plan(const IndexState& s, std::size_t matches, std::size_t width);

// k-nearest among the nodes whose mask passes the filter, with the norm and
// radius bounds of the graph walk. The exact count of those nodes chooses the
// plan: none, an exact scan of just them, or a layer-0 walk through every
// node that keeps only them. A walk that ends with fewer than min(k, matches)
// answers is followed by the scan, so the answer is short only where the
// norm or radius bounds leave fewer nodes.
std::vector<Candidate> planned_search(const IndexState& s, const float* query,
                                      const QueryTerms& terms);

}  // namespace zelt
