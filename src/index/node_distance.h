#pragma once
// The metric dispatch of node_distance, inlined into the search loops. Only
// translation units built with AVX2 and FMA may include this header.

#include <type_traits>

#include "index/index_state.h"
#include "index/kernels_inline.h"

namespace zelt {

// The stored norm of the record at v, or, where it is absent (negative or NaN,
// possible after a load), the norm computed afresh; it is not written back.
inline float norm_of_record(const float* v, std::int32_t n) {
  const float vn = v[n];
  return vn >= 0.0f ? vn : avx2::squared_norm(v, n);
}

// The metric's distance from q to the record at v, with the metric fixed at
// compile time; one record, or B records at once (the same bits per record,
// with B independent chains of arithmetic in flight).
template <MetricKind M>
inline float record_distance(const float* q, float q_norm_sq, const float* v, std::int32_t n) {
  if (M == MetricKind::Euclidean) return avx2::squared_difference_sum(q, v, n);
  if (M == MetricKind::Cosine) {
    return avx2::cosine_distance(avx2::dot_product(q, v, n), q_norm_sq, norm_of_record(v, n));
  }
  return avx2::poincare_distance(avx2::squared_difference_sum(q, v, n), q_norm_sq,
                                 norm_of_record(v, n));
}

template <MetricKind M, int B>
inline void record_distances(const float* q, float q_norm_sq, const float* const* v, std::int32_t n,
                             float* out) {
  if (M == MetricKind::Euclidean) {
    avx2::squared_difference_sums<B>(q, v, n, out);
  } else if (M == MetricKind::Cosine) {
    avx2::dot_products<B>(q, v, n, out);
    for (int b = 0; b < B; ++b) {
      out[b] = avx2::cosine_distance(out[b], q_norm_sq, norm_of_record(v[b], n));
    }
  } else {
    avx2::squared_difference_sums<B>(q, v, n, out);
    for (int b = 0; b < B; ++b) {
      out[b] = avx2::poincare_distance(out[b], q_norm_sq, norm_of_record(v[b], n));
    }
  }
}

// Calls f with the index's metric as a compile-time constant; every value
// other than Euclidean and Cosine is Poincaré.
template <class F>
inline decltype(auto) with_metric(MetricKind metric, F&& f) {
  using Euclidean = std::integral_constant<MetricKind, MetricKind::Euclidean>;
  using Cosine = std::integral_constant<MetricKind, MetricKind::Cosine>;
  using Poincare = std::integral_constant<MetricKind, MetricKind::Poincare>;
  if (metric == MetricKind::Euclidean) return f(Euclidean{});
  if (metric == MetricKind::Cosine) return f(Cosine{});
  return f(Poincare{});
}

inline float distance_to_node(const IndexState& s, const float* q, float q_norm_sq,
                              std::int32_t node) {
  const float* v = s.vectors.vector(node);
  return with_metric(s.params.metric, [&](auto m) {
    return record_distance<decltype(m)::value>(q, q_norm_sq, v, s.dimension());
  });
}

// distance_to_node for count nodes, four at a time.
inline void distances_to_nodes(const IndexState& s, const float* q, float q_norm_sq,
                               const std::int32_t* ids, std::size_t count, float* out) {
  constexpr int kGroup = 4;
  const std::int32_t n = s.dimension();
  with_metric(s.params.metric, [&](auto m) {
    constexpr MetricKind M = decltype(m)::value;
    std::size_t j = 0;
    for (; j + kGroup <= count; j += kGroup) {
      const float* v[kGroup];
      for (int b = 0; b < kGroup; ++b) v[b] = s.vectors.vector(ids[j + std::size_t(b)]);
      record_distances<M, kGroup>(q, q_norm_sq, v, n, out + j);
    }
    for (; j < count; ++j) out[j] = record_distance<M>(q, q_norm_sq, s.vectors.vector(ids[j]), n);
  });
}

inline void prefetch_vector(const IndexState& s, std::int32_t node) {
  _mm_prefetch(reinterpret_cast<const char*>(s.vectors.vector(node)), _MM_HINT_T1);
}

}  // namespace zelt
