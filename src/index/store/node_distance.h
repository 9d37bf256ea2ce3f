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

// The lines of a node's record after the one prefetch_vector asked for: for a
// vector about to be measured, whose record spans several lines that a random
// access gives the hardware no pattern to fetch ahead.
inline void prefetch_rest_of_vector(const IndexState& s, std::int32_t node) {
  constexpr std::uintptr_t kLine = 64;
  const auto first = reinterpret_cast<std::uintptr_t>(s.vectors.vector(node));
  const std::uintptr_t last = first + s.vectors.stride() * sizeof(float) - 1;
  for (std::uintptr_t line = (first & ~(kLine - 1)) + kLine; line <= last; line += kLine) {
    __builtin_prefetch(reinterpret_cast<const void*>(line), 0, 2);
  }
}

}  // namespace zelt
