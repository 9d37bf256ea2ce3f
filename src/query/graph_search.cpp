#include "query/graph_search.h"

#include "index/growth.h"
#include "index/layer_search.h"

namespace zelt {

std::vector<Candidate> graph_search(const IndexState& s, const float* query,
                                    const QueryTerms& terms) {
  GraphSearchBuffers buffers;
  std::vector<Candidate> answer;
  graph_search(s, query, terms, buffers, answer);
  return answer;
}

void graph_search(const IndexState& s, const float* query, const QueryTerms& terms,
                  GraphSearchBuffers& buffers, std::vector<Candidate>& answer) {
  answer.clear();
  if (s.size() == 0 || s.ep_id < 0) return;
  const float q_norm = s.norm_of(query);
  const std::int32_t entry = descend_to_layer0(s, query, q_norm, buffers.step);
  search_layer(s, query, q_norm, entry, terms.width(), 0, buffers.found);
  buffers.found.drain_reversed_into(buffers.nearest_first);

  reserve_at_most(answer, terms.k, buffers.nearest_first.size());
  for (const Candidate& c : buffers.nearest_first) {
    if (!terms.radius_passes(c.distance)) continue;
    if (!terms.node_passes(s.masks[std::size_t(c.id)], s.stored_norm(c.id))) continue;
    answer.push_back(c);
    if (std::int32_t(answer.size()) >= terms.k) break;
  }
}

}  // namespace zelt
