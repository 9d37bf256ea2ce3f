#include "index/neighbour_selection.h"

#include <algorithm>
#include <cmath>

#include "index/growth.h"
#include "index/node_distance.h"

namespace zelt {

namespace {

// Whether some chosen node is nearer to c than the base point is. The chosen
// nodes are measured a few at a time (their distances do not depend on each
// other) and judged in order, so the first one that crowds c out decides.
bool crowded_out(const IndexState& s, const Candidate& c, const std::vector<std::int32_t>& chosen) {
  constexpr std::size_t kGroup = 4;
  const float* v = s.vectors.vector(c.id);
  const float v_norm = s.stored_norm(c.id);
  float d[kGroup];
  for (std::size_t first = 0; first < chosen.size(); first += kGroup) {
    const std::size_t count = std::min(kGroup, chosen.size() - first);
    distances_to_nodes(s, v, v_norm, chosen.data() + first, count, d);
    for (std::size_t j = 0; j < count; ++j) {
      if (d[j] < c.distance || std::isunordered(d[j], c.distance)) return true;
    }
  }
  return false;
}

}  // namespace

std::vector<std::int32_t> select_neighbours(const IndexState& s, ResultHeap& candidates,
                                            std::int32_t max_count) {
  // Sorting the heap's records directly gives the same ascending order as
  // popping them first; only records of equal distance may come out in another
  // order, and their order is not fixed either way.
  std::vector<Candidate> sorted = candidates.release();
  std::sort(sorted.begin(), sorted.end(),
            [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });

  std::vector<std::int32_t> chosen;
  // Room for max_count ids but no more than there are candidates, so a huge M
  // does not reserve gigabytes per selection; a negative max_count fails here.
  reserve_at_most(chosen, max_count, sorted.size());
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
