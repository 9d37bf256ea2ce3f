#include "query/graph_search.h"

#include "index/graph/layer_search.h"
#include "index/store/growth.h"

namespace zelt {

std::vector<Candidate> graph_search(const IndexState& s, const float* query,
                                    const QueryTerms& terms) {
  if (s.size() == 0 || s.ep_id < 0) return {};
  const float q_norm = s.norm_of(query);
  const std::int32_t entry = descend_to_layer0(s, query, q_norm);
  ResultHeap found;
  search_layer(s, query, q_norm, entry, terms.width(), 0, found, nullptr, s.query_reverse());
  const std::vector<Candidate> nearest_first = found.drain_reversed();

  std::vector<Candidate> answer;
  reserve_at_most(answer, terms.k, nearest_first.size());
  for (const Candidate& c : nearest_first) {
    if (!terms.radius_passes(c.distance)) continue;
    if (!terms.node_passes(s.masks[std::size_t(c.id)], s.stored_norm(c.id))) continue;
    answer.push_back(c);
    if (std::int32_t(answer.size()) >= terms.k) break;
  }
  return answer;
}

}  // namespace zelt
