#pragma once
// The metric dispatch of node_distance, inlined into the search loops. Only
// translation units built with AVX2 and FMA may include this header.

#include "index/index_state.h"
#include "index/kernels_inline.h"

namespace zelt {

inline float distance_to_node(const IndexState& s, const float* q, float q_norm_sq,
                              std::int32_t node) {
  const float* v = s.vectors.vector(node);
  const std::int32_t n = s.dimension;
  if (s.metric == MetricKind::Euclidean) return avx2::squared_difference_sum(q, v, n);
  float vn = v[n];
  // An absent stored norm (negative or NaN, possible after a load) is computed
  // afresh and not written back.
  if (!(vn >= 0.0f)) vn = avx2::squared_norm(v, n);
  if (s.metric == MetricKind::Cosine) {
    return avx2::cosine_distance(avx2::dot_product(q, v, n), q_norm_sq, vn);
  }
  return avx2::poincare_distance(avx2::squared_difference_sum(q, v, n), q_norm_sq, vn);
}

inline void prefetch_vector(const IndexState& s, std::int32_t node) {
  _mm_prefetch(reinterpret_cast<const char*>(s.vectors.vector(node)), _MM_HINT_T1);
}

}  // namespace zelt
