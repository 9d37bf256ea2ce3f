#include "query/flat_search.h"

#include "index/candidate.h"
#include "index/node_distance.h"
#include "query/query_filters.h"

namespace zelt {

std::vector<std::int32_t> flat_search(const IndexState& s, const float* query, std::int32_t k,
                                      std::uint64_t filter_mask, float max_radius,
                                      float min_norm_sq) {
  const std::size_t n = s.size();
  if (n == 0) return {};
  const float q_norm = avx2::squared_norm(query, s.dimension);
  const bool radius_bound = max_radius >= 0.0f;
  const bool norm_bound = min_norm_sq >= 0.0f;
  const float norm_floor = min_norm_sq - 0.15f;

  ResultHeap heap;
  const bool have_room = k > 0;
  const std::size_t limit = have_room ? std::size_t(k) : 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto id = std::int32_t(i);
    if (!mask_passes(filter_mask, s.masks[i])) continue;
    if (norm_bound && norm_floor > s.stored_norm(id)) continue;
    const float d = distance_to_node(s, query, q_norm, id);
    if (radius_bound && d > max_radius) continue;
    // Pushing and then trimming the farthest leaves the heap as it was when
    // the new record is strictly the farthest, so such records are skipped.
    if (heap.size() >= limit) {
      if (!have_room || d > heap.top().distance) continue;
    }
    heap.push({d, id});
    if (heap.size() > limit) heap.pop();
  }

  std::vector<std::int32_t> answer;
  answer.reserve(std::size_t(k));  // negative k: std::length_error
  for (const Candidate& c : heap.drain_reversed()) answer.push_back(c.id);
  return answer;
}

}  // namespace zelt
