#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "api/writer_first_lock.h"
#include "index/distance/candidate.h"
#include "index/graph/parallel_run.h"
#include "index/graph/seed_tree.h"
#include "index/store/index_state.h"
#include "persist/index_stats.h"
#include "query/query_terms.h"

namespace zelt {

// A caller's array: its data, its element count and its number of dimensions.
struct FloatArray {
  const float* data = nullptr;
  std::size_t size = 0;
  std::size_t ndim = 1;
};

// A caller's matrix of rows: its data, its shape and its number of dimensions
// (a matrix of the right shape has two).
struct FloatRows {
  const float* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::size_t ndim = 2;
};

// How a batch call runs: on how many threads (0: all cores), and whom to ask
// about every 0.1 s, on the calling thread, whether to go on.
struct BatchControl {
  std::int32_t threads = 0;
  KeepGoing keep_going;
};

// The index as callers see it. Every operation takes the index's own
// reader-writer lock: queries, saves, statistics and single-value reads share
// it; insertion, loading and the mask update hold it alone. So a caller that
// overlaps an insertion with a query gets the two one after the other instead
// of a query reading storage that is moving.
class HyperbolicIndex {
 public:
  // Refuses (std::invalid_argument) a negative dimension and an M of 1 or
  // below 0, whose level multiplier is not a finite number. With reach_all,
  // graph walks go through every node (no Poincaré boundary rule), the
  // diversity test is relaxed, an inserted node stays in its nearest
  // neighbour's layer-0 list, every insertion and load ends by linking in
  // any node the graph left out of reach (reach_graph.h), graph queries of a
  // Poincaré index start their layer-0 walk from the query's Euclidean
  // nearest nodes (seed_tree.h), and the other walks also follow layer 0's
  // in-links (reverse_links.h).
  HyperbolicIndex(std::int32_t dimension, float curvature, std::int32_t m, std::string_view metric,
                  bool reach_all = false);
  // The same with a fixed generator seed instead of the system's random source.
  HyperbolicIndex(std::int32_t dimension, float curvature, std::int32_t m, std::string_view metric,
                  std::uint32_t seed, bool reach_all = false);

  void add_item_flat(FloatArray vector, std::uint64_t mask);
  void add_item_and_link(FloatArray vector, std::uint64_t mask, std::int32_t ef_construction);

  // The node ids of a query of any kind, nearest first.
  std::vector<std::int32_t> search(FloatArray query, const QueryTerms& terms) const;

  // Adds every row (one mask for all when masks is null, else one per row),
  // linked or flat. Rows of the wrong shape or with a non-finite value are
  // refused before any is stored. Under one exclusive lock. The outcome tells
  // how many rows were added, from the first on, and whether keep_going
  // stopped it; an error is thrown, never returned in it.
  BatchOutcome add_items(FloatRows rows, const std::uint64_t* masks, std::uint64_t mask,
                         std::int32_t ef_construction, bool linked, const BatchControl& control);
  // Stores every row as add_items does, each at a drawn level, but links none:
  // no walk of the graph reaches them (a scan does) until link_stored. Rows of
  // the wrong shape or with a non-finite value are refused before any is
  // stored. Returns the first new node's id.
  std::size_t store_items(FloatRows rows, const std::uint64_t* masks, std::uint64_t mask);
  // Links every node from `first` on that store_items left out of the graph
  // (a node without layer-0 links that is not the entry point), as add_items
  // links its rows.
  BatchOutcome link_stored(std::size_t first, std::int32_t ef_construction,
                           const BatchControl& control);
  // Answers every query row as search() would (with filter_masks[i] as query
  // i's filter when given), writing k ids (-1 where there are fewer) and their
  // distances (+inf there) per row. Under one shared lock. A query row with a
  // non-finite value raises std::invalid_argument naming the first such row.
  BatchOutcome search_many(FloatRows queries, const QueryTerms& terms,
                           const std::uint64_t* filter_masks, std::int64_t* ids, float* distances,
                           const BatchControl& control) const;

  // A non-null `checksum` receives the CRC-32C of the file written or read
  // (persist/crc32c.h), taken in the same pass over its bytes.
  void save_index(const std::string& filename, std::uint32_t* checksum = nullptr) const;
  void load_index(const std::string& filename, std::uint32_t* checksum = nullptr);
  IndexStats get_stats() const;
  const char* get_metric() const;
  float compute_distance(FloatArray query, std::int32_t node_id) const;
  float get_stored_norm(std::int32_t node_id) const;
  void update_masks(const std::uint64_t* values, std::size_t count);
  // The masks of some nodes (see zelt::set_masks).
  void set_masks(const std::int64_t* ids, std::size_t count, const std::uint64_t* values,
                 std::uint64_t single);
  // The stored vectors of the given nodes, row after row, and their
  // dimension; every id must be a node (std::out_of_range otherwise).
  std::vector<float> get_vectors(const std::int64_t* ids, std::size_t count,
                                 std::int32_t& dimension) const;
  std::vector<std::uint64_t> get_masks() const;
  // The nodes of the graph that no walk from the entry point reaches.
  std::vector<std::int32_t> unreachable_nodes() const;

  // Runs f on the state under the shared lock; for tests and tools that
  // inspect what the index holds.
  template <class F>
  auto inspect(F&& f) const {
    std::shared_lock<WriterFirstLock> lock(guard_);
    return f(static_cast<const IndexState&>(state_));
  }

 private:
  // search_many's exact queries without per-row masks; write(row, found)
  // stores a row's answer.
  BatchOutcome exact_many(
      FloatRows queries, const QueryTerms& terms,
      const std::function<void(std::size_t, const std::vector<Candidate>&)>& write,
      const BatchControl& control) const;
  // The caller's values, checked (dimension, finite) and copied.
  const float* insertable(FloatArray vector) const;
  const float* query_values(FloatArray query) const;
  // Whether the index has nothing to answer a query of this kind with.
  bool answers_nothing(const QueryTerms& terms) const;
  std::vector<Candidate> nearest(const float* query, const QueryTerms& terms) const;
  void check_rows(FloatRows rows) const;
  // Links in what the last change left out of reach, where the index keeps
  // every node in reach.
  void keep_in_reach();
  // The starting points of a graph query's layer-0 walk, where it has them.
  const SeedTree* walk_seeds() const;

  IndexState state_;
  // Where a Poincaré index keeps every node in reach: its nodes by place,
  // kept in step by keep_in_reach.
  SeedTree seeds_;
  mutable WriterFirstLock guard_;
};

// The CRC-32C of a whole file, as save_index and load_index report it.
std::uint32_t file_checksum(const std::string& filename);

// Chooses the kernel set that indexes made from now on use, as
// ZELT_CORE_KERNELS asks (std::invalid_argument for a value it does not know).
void choose_kernels_from_environment();

}  // namespace zelt
