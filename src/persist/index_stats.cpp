#include "persist/index_stats.h"

namespace zelt {

IndexStats compute_stats(const IndexState& s) {
  IndexStats st;
  const std::size_t n = s.size();
  st.num_nodes = std::int32_t(n);
  st.ep_id = s.ep_id;
  st.ep_layer = s.ep_layer;
  st.params = s.params;

  double links = 0.0;
  for (std::size_t i = 0; i < n; ++i) links += double(s.links.links(std::int32_t(i), 0).size);
  st.avg_degree_layer0 = n > 0 ? links / double(n) : 0.0;

  // ep_layer + 2 is at least 1: an index without an entry point has ep_layer -1.
  const std::int64_t entries = std::int64_t(s.ep_layer) + 2;
  st.layer_distribution.assign(std::size_t(entries > 0 ? entries : 0), 0);
  for (const std::int32_t level : s.links.levels()) {
    const std::int64_t at = std::int64_t(level) + 1;
    if (at >= 0 && at < entries) ++st.layer_distribution[std::size_t(at)];
  }
  return st;
}

}  // namespace zelt
