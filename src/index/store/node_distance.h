#pragma once
// The distances the graph walks and the selection ask for, through the
// index's kernel set.

#include <cstddef>
#include <cstdint>

#include "index/store/index_state.h"

namespace zelt {

inline float distance_to_node(const IndexState& s, const float* q, float q_norm_sq,
                              std::int32_t node) {
  return s.node_distance(q, q_norm_sq, node);
}

inline void distances_to_nodes(const IndexState& s, const float* q, float q_norm_sq,
                               const std::int32_t* ids, std::size_t count, float* out) {
  if (count > 0) s.metric_kernels().to_nodes(q, q_norm_sq, s.arena(), ids, count, out);
}

// A hint to bring a node's vector towards the caches (the T1 level); it
// changes no result.
inline void prefetch_vector(const IndexState& s, std::int32_t node) {
  __builtin_prefetch(s.vectors.vector(node), 0, 2);
}

}  // namespace zelt
