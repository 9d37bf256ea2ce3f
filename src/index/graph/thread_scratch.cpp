#include "index/graph/thread_scratch.h"

#include <algorithm>

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

FrontierHeap& thread_frontier() {
  thread_local FrontierHeap frontier;
  return frontier;
}

std::vector<std::int32_t>& thread_link_copy() {
  thread_local std::vector<std::int32_t> copy;
  return copy;
}

}  // namespace zelt
