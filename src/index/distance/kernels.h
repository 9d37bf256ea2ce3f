#pragma once

#include <cstddef>
#include <cstdint>

#include "index/distance/metric.h"

namespace zelt {

// The summation order of every kernel is fixed: eight single-precision lanes
// accumulated with one fused multiply-add per value over whole blocks of eight,
// reduced as (s0+s4 + s1+s5) + (s2+s6 + s3+s7), then the remaining values
// added one at a time in index order with the product rounded first.
// n is the number of components; negative n counts as 0.
//
// Two implementations keep that order: one with AVX2 and FMA instructions,
// and a portable one for every other processor. They give the same bits.

// A stored record is `dimension` floats followed by the stored squared norm;
// a record that does not hold a norm (negative or NaN) has it computed afresh.
// Records lie `stride` floats apart from `base`.
struct RecordArena {
  const float* base;
  std::size_t stride;
  std::int32_t dimension;
  const float* record(std::int32_t id) const { return base + std::size_t(id) * stride; }
};

// One metric's distance from a query q (with squared norm q_norm_sq) to
// stored records.
struct MetricKernels {
  // To the records ids[0 … count-1], written to out in that order.
  void (*to_nodes)(const float* q, float q_norm_sq, const RecordArena& arena,
                   const std::int32_t* ids, std::size_t count, float* out);
  // To count consecutive records starting at `first`; interleaved measures
  // several records at once, which pays when they come from the caches.
  void (*to_run)(const float* q, float q_norm_sq, const RecordArena& arena, std::int32_t first,
                 std::size_t count, bool interleaved, float* out);
  // Poincaré only (null for the others): the same two loops writing each
  // record's key, the argument of arcosh, and the distance of a key. The
  // distance is from_key(key) bit for bit, and from_key never decreases as
  // its key grows, so a record whose key lies beyond the largest key of a
  // distance cannot be nearer than that distance.
  void (*keys_to_nodes)(const float* q, float q_norm_sq, const RecordArena& arena,
                        const std::int32_t* ids, std::size_t count, float* out);
  void (*keys_to_run)(const float* q, float q_norm_sq, const RecordArena& arena, std::int32_t first,
                      std::size_t count, bool interleaved, float* out);
  float (*from_key)(float key);
  // To count consecutive records starting at `first`, for `queries` queries
  // at once (1 … kMaxQueries; query b with squared norm q_norm_sq[b]): query
  // b's distances (keys for the second) go to out[b * count …]. Each record is
  // read once for all the queries, and every distance has to_run's bits.
  void (*queries_to_run)(const float* const* q, const float* q_norm_sq, int queries,
                         const RecordArena& arena, std::int32_t first, std::size_t count,
                         float* out);
  void (*keys_queries_to_run)(const float* const* q, const float* q_norm_sq, int queries,
                              const RecordArena& arena, std::int32_t first, std::size_t count,
                              float* out);
};

// The most queries one call of queries_to_run measures together.
inline constexpr int kMaxQueries = 8;

struct KernelSet {
  const char* name;
  float (*squared_norm)(const float* v, std::int32_t n);
  float (*squared_difference_sum)(const float* q, const float* v, std::int32_t n);
  float (*dot_product)(const float* q, const float* v, std::int32_t n);
  MetricKernels poincare, euclidean, cosine;

  // Every value other than Euclidean and Cosine is Poincaré.
  const MetricKernels& of(MetricKind metric) const {
    if (metric == MetricKind::Euclidean) return euclidean;
    if (metric == MetricKind::Cosine) return cosine;
    return poincare;
  }
};

const KernelSet& portable_kernels();
// The AVX2 and FMA set, or nullptr where it is not built (other processors
// than x86-64) or the processor cannot run it.
const KernelSet* avx2_kernels();

enum class KernelChoice { Auto, Portable };

// ZELT_CORE_KERNELS: unset, empty or "auto" is Auto, "portable" is Portable;
// any other value throws std::invalid_argument naming the accepted ones.
KernelChoice kernel_choice_from_environment();

// The set indexes made from now on use: AVX2 where the processor has it
// (Auto), else the portable one. The first call of active_kernels() without
// an earlier choice makes the choice from the environment.
const KernelSet& choose_kernels(KernelChoice choice);
const KernelSet& active_kernels();

}  // namespace zelt
