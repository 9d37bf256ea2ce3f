#include "index/layer_search.h"

#include <algorithm>

#include "index/neighbour_walk.h"
#include "index/node_distance.h"

namespace zelt {

std::uint16_t VisitedMarks::begin_search(std::size_t n) {
  if (marks.size() < n) marks.resize(n, 0);
  ++epoch;
  if (epoch == 0) {
    std::fill(marks.begin(), marks.end(), std::uint16_t{0});
    epoch = 1;
  }
  return epoch;
}

VisitedMarks& thread_visited_marks() {
  thread_local VisitedMarks marks;
  return marks;
}

namespace {
FrontierHeap& thread_frontier() {
  thread_local FrontierHeap frontier;
  return frontier;
}
}  // namespace

void search_layer(const IndexState& s, const float* query, float query_norm_sq,
                  std::int32_t entry_id, std::int32_t ef, std::int32_t layer, ResultHeap& result) {
  VisitedMarks& visited = thread_visited_marks();
  const std::uint16_t epoch = visited.begin_search(s.size());
  std::uint16_t* marks = visited.marks.data();
  FrontierHeap& frontier = thread_frontier();
  frontier.clear();
  result.clear();

  // Admission compares the count with ef taken as unsigned after sign
  // extension, so a negative ef admits every evaluated node.
  const std::uint64_t admit_below = std::uint64_t(std::int64_t(ef));

  const float d0 = distance_to_node(s, query, query_norm_sq, entry_id);
  frontier.push({d0, entry_id});
  marks[entry_id] = epoch;
  result.push({d0, entry_id});

  while (!frontier.empty()) {
    const Candidate c = frontier.top();
    frontier.pop();
    if (std::int32_t(result.size()) >= ef && c.distance > result.top().distance) break;

    const auto first_visit = [&](std::int32_t m) {
      if (marks[m] == epoch) return false;
      marks[m] = epoch;
      return true;
    };
    measure_new_neighbours(s, query, query_norm_sq, s.links.links(c.id, layer), first_visit,
                           [&](std::int32_t m, float d) {
                             if (result.size() < admit_below || !(d >= result.top().distance)) {
                               frontier.push({d, m});
                               result.push({d, m});
                               if (std::int32_t(result.size()) > ef) result.pop();
                             }
                           });
  }
  frontier.clear();
}

ResultHeap search_layer(const IndexState& s, const float* query, float query_norm_sq,
                        std::int32_t entry_id, std::int32_t ef, std::int32_t layer) {
  ResultHeap result;
  search_layer(s, query, query_norm_sq, entry_id, ef, layer, result);
  return result;
}

std::int32_t descend_to_layer0(const IndexState& s, const float* query, float query_norm_sq) {
  std::int32_t entry = s.ep_id;
  ResultHeap step;
  for (std::int32_t layer = s.ep_layer; layer >= 1; --layer) {
    search_layer(s, query, query_norm_sq, entry, 1, layer, step);
    if (!step.empty()) entry = step.top().id;
  }
  return entry;
}

}  // namespace zelt
