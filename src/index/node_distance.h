#pragma once
// The metric dispatch of node_distance, inlined into the search loops. Only
// translation units built with AVX2 and FMA may include this header.

#include "index/index_state.h"
#include "index/kernels_inline.h"

namespace zelt {

// The stored norm of the record at v, or, where it is absent (negative or NaN,
// possible after a load), the norm computed afresh; it is not written back.
inline float norm_of_record(const float* v, std::int32_t n) {
  const float vn = v[n];
  return vn >= 0.0f ? vn : avx2::squared_norm(v, n);
}

inline float distance_to_node(const IndexState& s, const float* q, float q_norm_sq,
                              std::int32_t node) {
  const float* v = s.vectors.vector(node);
  const std::int32_t n = s.dimension;
  if (s.metric == MetricKind::Euclidean) return avx2::squared_difference_sum(q, v, n);
  const float vn = norm_of_record(v, n);
  if (s.metric == MetricKind::Cosine) {
    return avx2::cosine_distance(avx2::dot_product(q, v, n), q_norm_sq, vn);
  }
  return avx2::poincare_distance(avx2::squared_difference_sum(q, v, n), q_norm_sq, vn);
}

// distance_to_node for count nodes, four at a time: the same bits, with four
// independent chains of arithmetic in flight.
inline void distances_to_nodes(const IndexState& s, const float* q, float q_norm_sq,
                               const std::int32_t* ids, std::size_t count, float* out) {
  constexpr int kGroup = 4;
  const std::int32_t n = s.dimension;
  std::size_t j = 0;
  for (; j + kGroup <= count; j += kGroup) {
    const float* v[kGroup];
    for (int b = 0; b < kGroup; ++b) v[b] = s.vectors.vector(ids[j + std::size_t(b)]);
    float* group = out + j;
    if (s.metric == MetricKind::Euclidean) {
      avx2::squared_difference_sums<kGroup>(q, v, n, group);
    } else if (s.metric == MetricKind::Cosine) {
      avx2::dot_products<kGroup>(q, v, n, group);
      for (int b = 0; b < kGroup; ++b) {
        group[b] = avx2::cosine_distance(group[b], q_norm_sq, norm_of_record(v[b], n));
      }
    } else {
      avx2::squared_difference_sums<kGroup>(q, v, n, group);
      for (int b = 0; b < kGroup; ++b) {
        group[b] = avx2::poincare_distance(group[b], q_norm_sq, norm_of_record(v[b], n));
      }
    }
  }
  for (; j < count; ++j) out[j] = distance_to_node(s, q, q_norm_sq, ids[j]);
}

inline void prefetch_vector(const IndexState& s, std::int32_t node) {
  _mm_prefetch(reinterpret_cast<const char*>(s.vectors.vector(node)), _MM_HINT_T1);
}

}  // namespace zelt
