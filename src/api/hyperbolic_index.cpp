#include "api/hyperbolic_index.h"

#include <mutex>
#include <random>
#include <stdexcept>

#include "index/finite_values.h"
#include "index/flat_insertion.h"
#include "index/linked_insertion.h"
#include "index/mask_update.h"
#include "persist/index_file.h"
#include "query/filtered_search.h"
#include "query/flat_search.h"
#include "query/graph_search.h"

namespace zelt {

namespace {

using SharedLock = std::shared_lock<WriterFirstLock>;
using ExclusiveLock = std::unique_lock<WriterFirstLock>;

std::uint32_t system_seed() {
  std::random_device source;
  return source();
}

IndexParams checked_params(std::int32_t dimension, float curvature, std::int32_t m,
                           std::string_view metric) {
  if (dimension < 0) {
    throw std::invalid_argument("dimension must not be negative, got " + std::to_string(dimension));
  }
  if (!usable_m(m)) {
    throw std::invalid_argument("M must be 0 or from 2 to " + std::to_string(kLargestM) + ", got " +
                                std::to_string(m));
  }
  return IndexParams::derive(dimension, curvature, m, parse_metric(metric));
}

[[noreturn]] void dimension_mismatch() { throw std::runtime_error("Vector dimension mismatch"); }

// The caller's values, copied before they are checked and used: another
// thread of the caller may be rewriting its array meanwhile, and then what was
// checked must still be what is stored or searched with.
const float* checked_copy(FloatArray values) {
  thread_local std::vector<float> copy;
  copy.assign(values.data, values.data + values.size);
  const std::int64_t bad = first_non_finite(copy.data(), copy.size());
  if (bad >= 0) throw std::invalid_argument("Vector holds " + non_finite_text(copy.data(), bad));
  return copy.data();
}

}  // namespace

HyperbolicIndex::HyperbolicIndex(std::int32_t dimension, float curvature, std::int32_t m,
                                 std::string_view metric)
    : HyperbolicIndex(dimension, curvature, m, metric, system_seed()) {}

HyperbolicIndex::HyperbolicIndex(std::int32_t dimension, float curvature, std::int32_t m,
                                 std::string_view metric, std::uint32_t seed)
    : state_(make_state(checked_params(dimension, curvature, m, metric), seed)) {}

const float* HyperbolicIndex::insertable(FloatArray vector) const {
  if (vector.ndim != 1 || vector.size != std::size_t(state_.dimension())) dimension_mismatch();
  return checked_copy(vector);
}

const float* HyperbolicIndex::query_values(FloatArray query) const {
  if (query.size != std::size_t(state_.dimension())) dimension_mismatch();
  return checked_copy(query);
}

void HyperbolicIndex::check_node(std::int32_t node_id) const {
  if (node_id < 0 || std::size_t(node_id) >= state_.size()) {
    throw std::out_of_range("node id " + std::to_string(node_id) + " is not in 0 … " +
                            std::to_string(std::int64_t(state_.size()) - 1));
  }
}

void HyperbolicIndex::add_item_flat(FloatArray vector, std::uint64_t mask) {
  ExclusiveLock lock(guard_);
  insert_flat(state_, insertable(vector), mask);
}

void HyperbolicIndex::add_item_and_link(FloatArray vector, std::uint64_t mask,
                                        std::int32_t ef_construction) {
  ExclusiveLock lock(guard_);
  insert_linked(state_, insertable(vector), mask, ef_construction);
}

std::vector<std::int32_t> HyperbolicIndex::search(FloatArray query, const QuerySpec& spec) const {
  SharedLock lock(guard_);
  // An index that cannot answer answers nothing, whatever the query holds.
  if (state_.size() == 0) return {};
  if (spec.kind != QuerySpec::Kind::Exact && state_.ep_id < 0) return {};
  const float* q = query_values(query);
  switch (spec.kind) {
    case QuerySpec::Kind::Graph:
      return graph_search(state_, q, spec);
    case QuerySpec::Kind::Filtered:
      return filtered_search(state_, q, spec);
    case QuerySpec::Kind::Exact:
      break;
  }
  return flat_search(state_, q, spec);
}

void HyperbolicIndex::save_index(const std::string& filename) const {
  // Opening may block (a named pipe without a reader, a hung file system), so
  // it happens before the lock is taken, and so do the flush to the disk and
  // the rename: the lock is held only while the bytes are written out.
  SavedFile out(filename);
  {
    SharedLock lock(guard_);
    write_index(state_, out);
  }
  out.commit();
}

void HyperbolicIndex::load_index(const std::string& filename) {
  // The file is read and checked before the lock is taken: the index is
  // untouched until the whole file has proved sound.
  IndexState loaded = read_index_file(filename, state_.params.metric);
  ExclusiveLock lock(guard_);
  adopt_loaded(state_, std::move(loaded));
}

IndexStats HyperbolicIndex::get_stats() const {
  SharedLock lock(guard_);
  return compute_stats(state_);
}

const char* HyperbolicIndex::get_metric() const { return metric_name(state_.params.metric); }

float HyperbolicIndex::compute_distance(FloatArray query, std::int32_t node_id) const {
  SharedLock lock(guard_);
  const float* q = query_values(query);
  check_node(node_id);
  return state_.node_distance(q, state_.norm_of(q), node_id);
}

float HyperbolicIndex::get_stored_norm(std::int32_t node_id) const {
  SharedLock lock(guard_);
  check_node(node_id);
  return state_.stored_norm(node_id);
}

void HyperbolicIndex::update_masks(const std::uint64_t* values, std::size_t count) {
  ExclusiveLock lock(guard_);
  replace_masks(state_, values, count);
}

}  // namespace zelt
