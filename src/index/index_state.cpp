#include "index/index_state.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "index/node_distance.h"

namespace zelt {

std::int32_t layer0_cap_for(std::int32_t m) { return std::int32_t(std::uint32_t(m) * 2u); }

float level_mult_for(std::int32_t m) { return float(1.0 / std::log(double(m))); }

IndexState make_state(std::int32_t dimension, float curvature, std::int32_t m, MetricKind metric,
                      std::uint32_t seed) {
  IndexState s;
  s.dimension = dimension;
  s.curvature = curvature;
  s.max_m = m;
  s.max_m_0 = layer0_cap_for(m);
  s.level_mult = level_mult_for(m);
  s.metric = metric;
  s.vectors = VectorStore(dimension);
  s.level_rng.seed(seed);
  return s;
}

float IndexState::node_distance(const float* q, float q_norm_sq, std::int32_t node) const {
  return distance_to_node(*this, q, q_norm_sq, node);
}

void IndexState::append_node(const float* values, float norm, std::uint64_t mask,
                             std::int32_t level) {
  if (size() >= std::size_t(std::numeric_limits<std::int32_t>::max())) {
    throw std::length_error("the index holds as many nodes as 32-bit ids can name");
  }
  vectors.reserve_one_more();
  reserve_for_append(masks, 1);
  links.reserve_node(level, max_m_0, max_m);
  vectors.append(values, norm);
  masks.push_back(mask);
  links.add_node(level, max_m_0, max_m);
}

}  // namespace zelt
