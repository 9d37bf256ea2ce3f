#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/graph/parallel_run.h"
#include "index/store/index_state.h"

namespace zelt {

// n rows of dimension values each, with one mask for all (masks null) or one
// per row.
struct RowBatch {
  const float* rows;
  std::size_t n;
  const std::uint64_t* masks;
  std::uint64_t mask;
  std::uint64_t mask_of(std::size_t i) const { return masks != nullptr ? masks[i] : mask; }
};

// Stores the rows in order; with `linked`, draws every row's level first, in
// row order (two generator outputs each, as one insertion at a time would),
// and links them on `threads` threads. On one thread the index ends exactly as
// one insertion per row in order leaves it. When keep_going says no or a row
// fails, the rows not yet taken up are dropped again, so the index holds the
// first `done` rows of the outcome, each stored whole (and, when linked,
// linked); a row that failed while linking stays stored and partly linked, as
// a single insertion would leave it.
BatchOutcome insert_batch(IndexState& s, const RowBatch& batch, bool linked,
                          std::int32_t ef_construction, int threads, const KeepGoing& keep_going);

// The two halves of a linked insert_batch, apart: stores every row at a drawn
// level, all or none, and returns the first new node's id; no walk reaches
// the rows until link_stored links them.
std::size_t store_unlinked(IndexState& s, const RowBatch& batch);
// Links the given nodes, stored already and not yet in the graph, as
// insert_batch links its rows (nothing is dropped when it stops early).
BatchOutcome link_stored(IndexState& s, const std::vector<std::int32_t>& nodes,
                         std::int32_t ef_construction, int threads, const KeepGoing& keep_going);

}  // namespace zelt
