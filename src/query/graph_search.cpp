#include "query/graph_search.h"

#include "index/growth.h"
#include "index/kernels.h"
#include "index/layer_search.h"
#include "query/query_filters.h"

namespace zelt {

std::vector<std::int32_t> graph_search(const IndexState& s, const float* query, std::int32_t k,
                                       std::uint64_t filter_mask, std::int32_t ef_search,
                                       float max_radius, float min_norm) {
  if (s.size() == 0 || s.ep_id < 0) return {};
  const float q_norm = squared_norm(query, s.dimension);
  const bool norm_bound = min_norm >= 0.0f;
  const float norm_threshold = min_norm * min_norm;
  const bool radius_bound = max_radius >= 0.0f;

  const std::int32_t entry = descend_to_layer0(s, query, q_norm);
  const std::int32_t width = ef_search > k ? ef_search : k;
  ResultHeap found;
  search_layer(s, query, q_norm, entry, width, 0, found);
  const std::vector<Candidate> nearest_first = found.drain_reversed();

  std::vector<std::int32_t> answer;
  reserve_at_most(answer, k, nearest_first.size());
  for (const Candidate& c : nearest_first) {
    if (radius_bound && !(c.distance <= max_radius)) continue;
    if (!mask_passes(filter_mask, s.masks[std::size_t(c.id)])) continue;
    if (norm_bound && norm_threshold > s.stored_norm(c.id)) continue;
    answer.push_back(c.id);
    if (std::int32_t(answer.size()) >= k) break;
  }
  return answer;
}

}  // namespace zelt
