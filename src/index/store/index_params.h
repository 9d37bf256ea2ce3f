#pragma once

#include <cstdint>

#include "index/distance/kernels.h"
#include "index/distance/metric.h"

namespace zelt {

// The values of M an index accepts: 0 (no links at all) or 2 up to the largest
// M whose layer-0 cap 2*M is still a positive 32-bit number. M = 1 and a
// negative M give a level multiplier that is not finite.
constexpr std::int32_t kLargestM = 1073741823;
constexpr bool usable_m(std::int32_t m) { return m == 0 || (m >= 2 && m <= kLargestM); }

// The fixed parameters of an index: what the constructor is given and what it
// derives from M. A load replaces them all but the metric.
struct IndexParams {
  std::int32_t dimension = 0;
  float curvature = 1.0f;
  std::int32_t max_m = 0;
  std::int32_t max_m_0 = 0;  // 2*M in 32-bit two's-complement arithmetic
  float level_mult = 0.0f;   // 1/ln(M) in double precision, rounded to float
  MetricKind metric = MetricKind::Poincare;
  // The kernel set the distances are computed with (the active one when the
  // parameters were derived); every set gives the same bits.
  const KernelSet* kernels = nullptr;
  // Whether the graph keeps every node in reach (reach_graph.h), relaxes
  // the diversity test and walks through every node, the Poincaré boundary
  // included. Off unless asked for; not held in the index file, so a load
  // keeps the loading index's choice.
  bool reach_all = false;

  // Parameters from the constructor's values, with the active kernel set.
  static IndexParams derive(std::int32_t dimension, float curvature, std::int32_t m,
                            MetricKind metric);

  std::int32_t cap(std::int32_t layer) const { return layer == 0 ? max_m_0 : max_m; }
  // Whether graph walks skip nodes at the Poincaré boundary.
  bool boundary_rule() const { return metric == MetricKind::Poincare && !reach_all; }
};

}  // namespace zelt
