#pragma once

#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "api/writer_first_lock.h"
#include "index/index_state.h"
#include "query/index_stats.h"
#include "query/query_spec.h"

namespace zelt {

// A caller's array: its data, its element count and its number of dimensions.
struct FloatArray {
  const float* data = nullptr;
  std::size_t size = 0;
  std::size_t ndim = 1;
};

// The index as callers see it. Every operation takes the index's own
// reader-writer lock: queries, saves, statistics and single-value reads share
// it; insertion, loading and the mask update hold it alone. So a caller that
// overlaps an insertion with a query gets the two one after the other instead
// of a query reading storage that is moving.
class HyperbolicIndex {
 public:
  // Refuses (std::invalid_argument) a negative dimension and an M of 1 or
  // below 0, whose level multiplier is not a finite number.
  HyperbolicIndex(std::int32_t dimension, float curvature, std::int32_t m, std::string_view metric);
  // The same with a fixed generator seed instead of the system's random source.
  HyperbolicIndex(std::int32_t dimension, float curvature, std::int32_t m, std::string_view metric,
                  std::uint32_t seed);

  void add_item_flat(FloatArray vector, std::uint64_t mask);
  void add_item_and_link(FloatArray vector, std::uint64_t mask, std::int32_t ef_construction);

  // The node ids of a query of any kind, nearest first.
  std::vector<std::int32_t> search(FloatArray query, const QuerySpec& spec) const;

  void save_index(const std::string& filename) const;
  void load_index(const std::string& filename);
  IndexStats get_stats() const;
  const char* get_metric() const;
  float compute_distance(FloatArray query, std::int32_t node_id) const;
  float get_stored_norm(std::int32_t node_id) const;
  void update_masks(const std::uint64_t* values, std::size_t count);

  // Runs f on the state under the shared lock; for tests and tools that
  // inspect what the index holds.
  template <class F>
  auto inspect(F&& f) const {
    std::shared_lock<WriterFirstLock> lock(guard_);
    return f(static_cast<const IndexState&>(state_));
  }

 private:
  // The caller's values, checked (dimension, finite) and copied.
  const float* insertable(FloatArray vector) const;
  const float* query_values(FloatArray query) const;
  void check_node(std::int32_t node_id) const;

  IndexState state_;
  mutable WriterFirstLock guard_;
};

}  // namespace zelt
