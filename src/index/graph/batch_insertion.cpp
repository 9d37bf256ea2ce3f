#include "index/graph/batch_insertion.h"

#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "index/graph/graph_locks.h"
#include "index/graph/insertion.h"
#include "index/graph/level_draw.h"
#include "index/store/finite_values.h"

namespace zelt {

namespace {

// Stores every row, all or none. Each row is checked once stored: the caller
// may be rewriting its array meanwhile, and the copy is what gets measured.
void store_rows(IndexState& s, const RowBatch& batch, const std::vector<std::int32_t>& levels,
                bool linked) {
  const std::size_t base = s.size();
  const std::size_t stride = std::size_t(s.dimension());
  try {
    if (linked) s.ensure_slots();
    s.vectors.reserve_more(batch.n);
    s.links.reserve_slots(batch.n);
    s.masks.reserve_more(batch.n);
    s.tags.reserve_more(batch.n);
    for (std::size_t i = 0; i < batch.n; ++i) {
      const std::int32_t id =
          s.store_node(batch.rows + i * stride, batch.mask_of(i), levels[i], linked);
      const float* stored = s.vectors.vector(id);
      const std::int64_t bad = first_non_finite(stored, stride);
      if (bad >= 0) {
        throw std::invalid_argument("Row " + std::to_string(i) + " holds " +
                                    non_finite_text(stored, bad));
      }
    }
  } catch (...) {
    s.truncate(base);
    throw;
  }
}

// Stores the rows, each at a drawn level where linked, all or none; a refused
// batch draws no level.
void store_batch(IndexState& s, const RowBatch& batch, bool linked) {
  if (batch.n > std::size_t(std::numeric_limits<std::int32_t>::max()) - s.size()) {
    throw std::length_error("the index would hold more nodes than 32-bit ids can name");
  }
  const std::mt19937 generator_before = s.level_rng;
  std::vector<std::int32_t> levels(batch.n, 0);
  if (linked) {
    for (std::int32_t& level : levels) {
      level = draw_level(s.level_rng, s.level_dist, s.params.level_mult);
    }
  }
  try {
    store_rows(s, batch, levels, linked);
  } catch (...) {
    s.level_rng = generator_before;
    throw;
  }
}

// Links node_at(0) … node_at(n-1), all stored already, on `threads` threads.
BatchOutcome link_each(IndexState& s, std::size_t n,
                       const std::function<std::int32_t(std::size_t)>& node_at,
                       std::int32_t ef_construction, int threads, const KeepGoing& keep_going) {
  // Nothing moves while the threads read; a node is reachable only once its
  // own linking has begun.
  std::unique_ptr<GraphLocks> locks;
  if (threads > 1 && n > 1) locks = std::make_unique<GraphLocks>();
  return run_parallel(
      n, threads,
      [&](std::size_t i, int) { link_node(s, node_at(i), ef_construction, locks.get()); },
      keep_going);
}

}  // namespace

BatchOutcome insert_batch(IndexState& s, const RowBatch& batch, bool linked,
                          std::int32_t ef_construction, int threads, const KeepGoing& keep_going) {
  const std::size_t base = s.size();
  store_batch(s, batch, linked);
  if (!linked) return BatchOutcome{batch.n, nullptr, false};
  const BatchOutcome outcome = link_each(
      s, batch.n, [base](std::size_t i) { return std::int32_t(base + i); }, ef_construction,
      threads, keep_going);
  s.truncate(base + outcome.done);
  return outcome;
}

std::size_t store_unlinked(IndexState& s, const RowBatch& batch) {
  const std::size_t base = s.size();
  store_batch(s, batch, true);
  return base;
}

BatchOutcome link_stored(IndexState& s, const std::vector<std::int32_t>& nodes,
                         std::int32_t ef_construction, int threads, const KeepGoing& keep_going) {
  return link_each(
      s, nodes.size(), [&nodes](std::size_t i) { return nodes[i]; }, ef_construction, threads,
      keep_going);
}

}  // namespace zelt
