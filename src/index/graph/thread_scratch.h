#pragma once
// What each thread keeps from one layer walk to the next, shared by every
// index it walks and released when the thread ends.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/distance/candidate.h"

namespace zelt {

// The calling thread's visited marks: a 16-bit mark per node id, shared by
// every index the thread searches, and the epoch of the running search. A node
// is visited when its mark equals the epoch, so starting a search costs one
// increment; the whole table is cleared only when the epoch wraps.
struct VisitedMarks {
  std::vector<std::uint16_t> marks;
  std::uint16_t epoch = 0;

  // Grows the table to n entries and moves to the next epoch.
  std::uint16_t begin_search(std::size_t n);
};

// This thread's marks and frontier heap; released when the thread ends.
VisitedMarks& thread_visited_marks();
FrontierHeap& thread_frontier();
// The buffer a walk copies lists into while other threads may rewrite them.
std::vector<std::int32_t>& thread_link_copy();

}  // namespace zelt
