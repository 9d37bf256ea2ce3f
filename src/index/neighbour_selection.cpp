#include "index/neighbour_selection.h"

#include <algorithm>
#include <cmath>

#include "index/node_distance.h"

namespace zelt {

namespace {

// Whether some chosen node is nearer to c than the base point is.
bool crowded_out(const IndexState& s, const Candidate& c, const std::vector<std::int32_t>& chosen) {
  const float* v = s.vectors.vector(c.id);
  const float v_norm = s.stored_norm(c.id);
  for (const std::int32_t other : chosen) {
    const float d = distance_to_node(s, v, v_norm, other);
    if (d < c.distance || std::isunordered(d, c.distance)) return true;
  }
  return false;
}

}  // namespace

std::vector<std::int32_t> select_neighbours(const IndexState& s, ResultHeap& candidates,
                                            std::int32_t max_count) {
  std::vector<Candidate> sorted;
  sorted.reserve(candidates.size());
  while (!candidates.empty()) {
    sorted.push_back(candidates.top());
    candidates.pop();
  }
  std::sort(sorted.begin(), sorted.end(),
            [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });

  std::vector<std::int32_t> chosen;
  chosen.reserve(std::size_t(max_count));  // negative: std::length_error
  std::vector<Candidate> discarded;
  for (const Candidate& c : sorted) {
    if (std::int32_t(chosen.size()) >= max_count) break;
    if (!chosen.empty() && crowded_out(s, c, chosen)) {
      discarded.push_back(c);
      continue;
    }
    chosen.push_back(c.id);
  }
  for (const Candidate& c : discarded) {
    if (std::int32_t(chosen.size()) >= max_count) break;
    chosen.push_back(c.id);
  }
  return chosen;
}

}  // namespace zelt
