#pragma once
// The one best-first walk of a layer that every graph operation runs. What
// differs between its users (which nodes make up the answer and when the walk
// may stop) is a policy fixed at compile time:
//
//   void start(id, distance)      the entry, always measured and kept
//   bool stop(distance)           before expanding the nearest candidate
//   bool admit(id, distance)      for each newly measured neighbour; true puts
//                                 it on the frontier

#include <algorithm>
#include <cstdint>
#include <vector>

#include "index/distance/candidate.h"
#include "index/graph/graph_locks.h"
#include "index/graph/thread_scratch.h"
#include "index/store/index_state.h"
#include "index/store/node_distance.h"

namespace zelt {

// The Poincaré boundary rule shared by every graph walk: a neighbour whose
// stored squared norm is not below 0.995 (NaN included) is never evaluated,
// unless the index walks through every node.
inline bool beyond_boundary(const IndexState& s, std::int32_t node) {
  return s.params.boundary_rule() && !(s.stored_norm(node) < 0.995f);
}

// Walks one neighbour list in list order: each id that first_visit(id) claims
// (the walk's visited test, which also marks it) and that lies inside the
// Poincaré boundary (where the index keeps that rule) is measured, and take(id, distance) is called
// for it, in list order. The distances do not depend on what take does, so they are measured a
// chunk at a time, several vectors at once, after prefetching the whole chunk. Whether an id was
// visited is about even odds, so the ids are kept by a count that the test adds to rather than by a
// branch, and every id is prefetched as it is read (a visited one is mostly in the caches already).
template <class FirstVisit, class Take>
inline void measure_new_neighbours(const IndexState& s, const float* query, float query_norm_sq,
                                   LinkSpan list, FirstVisit&& first_visit, Take&& take) {
  constexpr std::int32_t kChunk = 64;
  std::int32_t ids[kChunk];
  float dists[kChunk];
  for (std::int32_t begin = 0; begin < list.size; begin += kChunk) {
    const std::int32_t end = std::min(list.size, begin + kChunk);
    std::size_t count = 0;
    for (std::int32_t i = begin; i < end; ++i) {
      const std::int32_t m = list.ids[i];
      ids[count] = m;
      prefetch_vector(s, m);
      count += first_visit(m) ? 1 : 0;
    }
    if (s.params.boundary_rule()) {
      std::size_t kept = 0;
      for (std::size_t j = 0; j < count; ++j) {
        if (!beyond_boundary(s, ids[j])) ids[kept++] = ids[j];
      }
      count = kept;
    }
    for (std::size_t j = 0; j < count; ++j) prefetch_rest_of_vector(s, ids[j]);
    distances_to_nodes(s, query, query_norm_sq, ids, count, dists);
    for (std::size_t j = 0; j < count; ++j) take(ids[j], dists[j]);
  }
}

// A node's list at a layer; while other threads may be rewriting lists
// (locks given), a consistent copy of it in `copy`, valid until the next read
// into it. The block's address is trusted only once the version shows that no
// writer moved the list while it was read; the list is then copied from that
// block and kept if the version still has not moved. A copy is never read out
// of bounds even when a writer overlaps it: a block the list has left stays
// where it was, and the copy never runs past the block's own capacity.
inline LinkSpan read_links(const IndexState& s, std::int32_t node, std::int32_t layer,
                           GraphLocks* locks, std::vector<std::int32_t>& copy) {
  if (locks == nullptr) return s.links.links(node, layer);
  for (;;) {
    const std::uint32_t version = locks->read_begin(node);
    const std::int32_t* block = s.links.shared_block(node, layer);
    if (!locks->read_unchanged(node, version)) continue;
    LinkStore::copy_shared(block, copy);
    if (locks->read_unchanged(node, version)) {
      return LinkSpan{copy.data(), std::int32_t(copy.size())};
    }
  }
}

// With `reverse`, each expanded node's in-links are walked after its list.
// Seeds are further entries, measured after the first and offered to the
// policy as if the first entry's list had held them.
template <class Policy>
void walk_layer(const IndexState& s, const float* query, float query_norm_sq, std::int32_t entry_id,
                std::int32_t layer, Policy& policy, GraphLocks* locks = nullptr,
                const ReverseLinks* reverse = nullptr, LinkSpan seeds = {}) {
  VisitedMarks& visited = thread_visited_marks();
  const std::uint16_t epoch = visited.begin_search(s.size());
  std::uint16_t* marks = visited.marks.data();
  FrontierHeap& frontier = thread_frontier();
  frontier.clear();
  // Looked up once per walk: a thread-local in a shared module costs a call
  // on every access.
  std::vector<std::int32_t>& copy = thread_link_copy();

  const float d0 = distance_to_node(s, query, query_norm_sq, entry_id);
  frontier.push({d0, entry_id});
  marks[entry_id] = epoch;
  policy.start(entry_id, d0);

  // By value: a store through marks could otherwise be taken to change epoch,
  // and both would be read again for every id.
  const auto first_visit = [marks, epoch](std::int32_t m) {
    const bool fresh = marks[m] != epoch;
    marks[m] = epoch;
    return fresh;
  };
  const auto take = [&](std::int32_t m, float d) {
    if (policy.admit(m, d)) frontier.push({d, m});
  };
  if (seeds.size > 0) measure_new_neighbours(s, query, query_norm_sq, seeds, first_visit, take);
  while (!frontier.empty()) {
    const Candidate c = frontier.top();
    frontier.pop();
    if (policy.stop(c.distance)) break;
    if (layer == 0 && !frontier.empty()) s.links.prefetch_slot(frontier.top().id);
    measure_new_neighbours(s, query, query_norm_sq, read_links(s, c.id, layer, locks, copy),
                           first_visit, take);
    if (reverse != nullptr) {
      measure_new_neighbours(s, query, query_norm_sq, reverse->of(c.id), first_visit, take);
    }
  }
  frontier.clear();
}

}  // namespace zelt
