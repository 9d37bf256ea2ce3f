#pragma once
// The inner step of every graph walk. Only translation units built with AVX2
// and FMA may include this header.

#include <algorithm>
#include <cstdint>

#include "index/layer_search.h"
#include "index/node_distance.h"

namespace zelt {

// Walks one neighbour list in list order: each id that first_visit(id) claims
// (the walk's visited test, which also marks it) and that lies inside the
// Poincaré boundary is measured, and take(id, distance) is called for it, in
// list order. The distances do not depend on what take does, so they are
// measured a chunk at a time, several vectors at once, after prefetching the
// whole chunk.
template <class FirstVisit, class Take>
inline void measure_new_neighbours(const IndexState& s, const float* query, float query_norm_sq,
                                   LinkSpan list, FirstVisit&& first_visit, Take&& take) {
  constexpr std::int32_t kChunk = 64;
  std::int32_t ids[kChunk];
  float dists[kChunk];
  for (std::int32_t begin = 0; begin < list.size; begin += kChunk) {
    const std::int32_t end = std::min(list.size, begin + kChunk);
    std::size_t count = 0;
    for (std::int32_t i = begin; i < end; ++i) {
      const std::int32_t m = list.ids[i];
      if (!first_visit(m)) continue;
      if (beyond_boundary(s, m)) continue;
      prefetch_vector(s, m);
      ids[count++] = m;
    }
    distances_to_nodes(s, query, query_norm_sq, ids, count, dists);
    for (std::size_t j = 0; j < count; ++j) take(ids[j], dists[j]);
  }
}

}  // namespace zelt
