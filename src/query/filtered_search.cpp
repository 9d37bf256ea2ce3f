#include "query/filtered_search.h"

#include "index/candidate.h"
#include "index/kernels.h"
#include "index/layer_search.h"
#include "index/neighbour_walk.h"
#include "index/node_distance.h"
#include "query/query_filters.h"

namespace zelt {

std::vector<std::int32_t> gap_cutoff(const std::vector<Candidate>& matches) {
  std::vector<std::int32_t> answer;
  if (matches.empty()) return answer;
  answer.reserve(matches.size());
  answer.push_back(matches[0].id);
  for (std::size_t i = 1; i < matches.size(); ++i) {
    const float prev = matches[i - 1].distance;
    const float cur = matches[i].distance;
    if (prev > 0.01f && cur - prev > 0.6f) break;
    if (cur > 2.0f) break;
    answer.push_back(matches[i].id);
  }
  return answer;
}

std::vector<std::int32_t> filtered_search(const IndexState& s, const float* query, std::int32_t k,
                                          std::uint64_t filter_mask, std::int32_t ef_search,
                                          float max_radius, float min_norm) {
  if (s.size() == 0 || s.ep_id < 0) return {};
  const float q_norm = squared_norm(query, s.dimension);
  const auto passes = [&](std::int32_t id, float d) {
    return mask_passes(filter_mask, s.masks[std::size_t(id)]) &&
           (!(min_norm >= 0.0f) || !(min_norm > s.stored_norm(id))) &&
           (!(max_radius >= 0.0f) || !(d > max_radius));
  };

  const std::int32_t entry = descend_to_layer0(s, query, q_norm);

  // One byte per node, fresh for every call, so concurrent queries share nothing.
  std::vector<std::uint8_t> visited(s.size(), 0);
  FrontierHeap frontier;
  ResultHeap beam;
  ResultHeap hits;

  const float d0 = distance_to_node(s, query, q_norm, entry);
  frontier.push({d0, entry});
  beam.push({d0, entry});
  visited[std::size_t(entry)] = 1;
  if (passes(entry, d0)) hits.push({d0, entry});

  const std::int32_t width = ef_search > k ? ef_search : k;
  while (!frontier.empty()) {
    const Candidate c = frontier.top();
    frontier.pop();
    if (c.distance > beam.top().distance && std::int32_t(hits.size()) >= k) break;

    const auto first_visit = [&](std::int32_t n) {
      if (visited[std::size_t(n)]) return false;
      visited[std::size_t(n)] = 1;
      return true;
    };
    measure_new_neighbours(s, query, q_norm, s.links.links(c.id, 0), first_visit,
                           [&](std::int32_t n, float d) {
                             if (std::int32_t(beam.size()) < width || !(d >= beam.top().distance)) {
                               frontier.push({d, n});
                               beam.push({d, n});
                               if (std::int32_t(beam.size()) > width) beam.pop();
                             }
                             if (passes(n, d)) {
                               hits.push({d, n});
                               if (std::int32_t(hits.size()) > k) hits.pop();
                             }
                           });
  }
  return gap_cutoff(hits.drain_reversed());
}

}  // namespace zelt
