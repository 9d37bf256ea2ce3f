#pragma once

#include <cstdint>
#include <vector>

#include "index/store/index_state.h"

namespace zelt {

// The shape of an index: its size, its entry point and its parameters (of
// which the report shows max_m, max_m_0 and dimension), the mean layer-0
// degree, and how many nodes reach how many layers.
struct IndexStats {
  std::int32_t num_nodes = 0;
  std::int32_t ep_id = -1;
  std::int32_t ep_layer = -1;
  IndexParams params;
  double avg_degree_layer0 = 0.0;
  // ep_layer + 2 counts; entry k counts the nodes on exactly k layers.
  std::vector<std::int64_t> layer_distribution;
};

IndexStats compute_stats(const IndexState& s);

}  // namespace zelt
