#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

#include "index/link_store.h"
#include "index/metric.h"
#include "index/vector_store.h"

namespace zelt {

// The bounds of the uniform distribution the level draw maps generator output
// through: [lo, hi).
struct LevelDistribution {
  double lo = 0.0;
  double hi = 1.0;
};

// Everything an index holds. The five per-node sequences of the model are
// vectors (with the stored norms inline), links (with the levels) and masks;
// they always hold the same number of nodes.
struct IndexState {
  std::int32_t dimension = 0;
  float curvature = 1.0f;
  std::int32_t max_m = 0;
  std::int32_t max_m_0 = 0;
  std::int32_t ep_id = -1;
  std::int32_t ep_layer = -1;
  float level_mult = 0.0f;
  MetricKind metric = MetricKind::Poincare;
  VectorStore vectors;
  LinkStore links;
  std::vector<std::uint64_t> masks;
  std::mt19937 level_rng;
  LevelDistribution level_dist;

  std::size_t size() const { return masks.size(); }
  std::int32_t cap(std::int32_t layer) const { return layer == 0 ? max_m_0 : max_m; }
  float stored_norm(std::int32_t node) const { return vectors.stored_norm(node); }

  // The metric's distance from query q (with squared norm q_norm_sq) to a node.
  float node_distance(const float* q, float q_norm_sq, std::int32_t node) const;

  // Appends one node to every per-node sequence, all or nothing.
  void append_node(const float* values, float norm, std::uint64_t mask, std::int32_t level);
};

// The values of M an index accepts: 0 (no links at all) or 2 up to the largest
// M whose layer-0 cap 2*M is still a positive 32-bit number. M = 1 and a
// negative M give a level multiplier that is not finite.
constexpr std::int32_t kLargestM = 1073741823;
constexpr bool usable_m(std::int32_t m) { return m == 0 || (m >= 2 && m <= kLargestM); }

// 2*m in 32-bit two's-complement arithmetic, and 1/ln(m) in double precision
// rounded to float: the two values derived from M at construction and load.
std::int32_t layer0_cap_for(std::int32_t m);
float level_mult_for(std::int32_t m);

// A fresh state: fields from the arguments, no nodes, generator seeded with `seed`.
IndexState make_state(std::int32_t dimension, float curvature, std::int32_t m, MetricKind metric,
                      std::uint32_t seed);

}  // namespace zelt
