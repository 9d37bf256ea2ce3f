#include "query/flat_search.h"

#include <algorithm>

#include "index/candidate.h"
#include "index/node_distance.h"
#include "query/query_filters.h"

namespace zelt {

namespace {

struct ScanBounds {
  std::uint64_t filter_mask;
  bool radius_bound;
  float max_radius;
  bool norm_bound;
  float norm_floor;
};

// The scan runs in blocks: first the ids of a block that pass the mask and
// norm tests, then their distances, several vectors at a time and without
// data-dependent branches, then the radius test and the heap.
void scan(const IndexState& s, const ScanBounds& b, const float* query, float q_norm,
          std::int32_t k, ResultHeap& heap) {
  constexpr std::size_t kBlock = 64;
  const std::size_t n = s.size();
  const std::uint64_t* masks = s.masks.data();
  const bool have_room = k > 0;
  const std::size_t limit = have_room ? std::size_t(k) : 0;
  std::int32_t ids[kBlock];
  float dists[kBlock];
  for (std::size_t first = 0; first < n; first += kBlock) {
    const std::size_t last = std::min(n, first + kBlock);
    std::size_t count = 0;
    for (std::size_t i = first; i < last; ++i) {
      if (!mask_passes(b.filter_mask, masks[i])) continue;
      if (b.norm_bound && b.norm_floor > s.stored_norm(std::int32_t(i))) continue;
      ids[count++] = std::int32_t(i);
    }
    distances_to_nodes(s, query, q_norm, ids, count, dists);
    for (std::size_t j = 0; j < count; ++j) {
      const float d = dists[j];
      if (b.radius_bound && d > b.max_radius) continue;
      // Pushing and then trimming the farthest leaves the heap as it was
      // when the new record is strictly the farthest, so such records are
      // skipped.
      if (heap.size() >= limit && (!have_room || d > heap.top().distance)) continue;
      heap.push({d, ids[j]});
      if (heap.size() > limit) heap.pop();
    }
  }
}

}  // namespace

std::vector<std::int32_t> flat_search(const IndexState& s, const float* query, std::int32_t k,
                                      std::uint64_t filter_mask, float max_radius,
                                      float min_norm_sq) {
  if (s.size() == 0) return {};
  const float q_norm = avx2::squared_norm(query, s.dimension);
  const ScanBounds bounds{filter_mask, max_radius >= 0.0f, max_radius, min_norm_sq >= 0.0f,
                          min_norm_sq - 0.15f};

  ResultHeap heap;
  scan(s, bounds, query, q_norm, k, heap);

  std::vector<std::int32_t> answer;
  answer.reserve(std::size_t(k));  // negative k: std::length_error
  for (const Candidate& c : heap.drain_reversed()) answer.push_back(c.id);
  return answer;
}

}  // namespace zelt
