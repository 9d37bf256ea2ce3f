#include "api/hyperbolic_index.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>

#include "index/distance/kernels.h"
#include "index/graph/batch_insertion.h"
#include "index/graph/insertion.h"
#include "index/graph/reach_graph.h"
#include "index/store/finite_values.h"
#include "persist/crc32c.h"
#include "persist/index_file.h"
#include "persist/mask_update.h"
#include "query/filtered_search.h"
#include "query/flat_search.h"
#include "query/graph_search.h"
#include "query/planned_search.h"

namespace zelt {

namespace {

using SharedLock = std::shared_lock<WriterFirstLock>;
using ExclusiveLock = std::unique_lock<WriterFirstLock>;

std::uint32_t system_seed() {
  std::random_device source;
  return source();
}

IndexParams checked_params(std::int32_t dimension, float curvature, std::int32_t m,
                           std::string_view metric, bool reach_all) {
  if (dimension < 0) {
    throw std::invalid_argument("dimension must not be negative, got " + std::to_string(dimension));
  }
  if (!usable_m(m)) {
    throw std::invalid_argument("M must be 0 or from 2 to " + std::to_string(kLargestM) + ", got " +
                                std::to_string(m));
  }
  IndexParams params = IndexParams::derive(dimension, curvature, m, parse_metric(metric));
  params.reach_all = reach_all;
  return params;
}

[[noreturn]] void dimension_mismatch() { throw std::runtime_error("Vector dimension mismatch"); }

int thread_count(std::int32_t asked) {
  if (asked < 0) {
    throw std::invalid_argument("num_threads must be 0 (all cores) or more, got " +
                                std::to_string(asked));
  }
  return asked == 0 ? all_cores() : asked;
}

// The caller's values, copied before they are checked and used: another
// thread of the caller may be rewriting its array meanwhile, and then what was
// checked must still be what is stored or searched with. A row of a batch
// (row 0 or more) is named in the message as "Query row 3", a single vector as
// "Vector".
const float* checked_copy(FloatArray values, std::int64_t row = -1) {
  thread_local std::vector<float> copy;
  copy.assign(values.data, values.data + values.size);
  const std::int64_t bad = first_non_finite(copy.data(), copy.size());
  if (bad >= 0) {
    const std::string what = row < 0 ? "Vector" : "Query row " + std::to_string(row);
    throw std::invalid_argument(what + " holds " + non_finite_text(copy.data(), bad));
  }
  return copy.data();
}

}  // namespace

HyperbolicIndex::HyperbolicIndex(std::int32_t dimension, float curvature, std::int32_t m,
                                 std::string_view metric, bool reach_all)
    : HyperbolicIndex(dimension, curvature, m, metric, system_seed(), reach_all) {}

HyperbolicIndex::HyperbolicIndex(std::int32_t dimension, float curvature, std::int32_t m,
                                 std::string_view metric, std::uint32_t seed, bool reach_all)
    : state_(make_state(checked_params(dimension, curvature, m, metric, reach_all), seed)) {}

void HyperbolicIndex::keep_in_reach() {
  if (!state_.params.reach_all) return;
  hang_unreachable(state_);
  state_.reverse.rebuild(state_.links);
  if (state_.params.metric == MetricKind::Poincare) seeds_.take_new_nodes(state_);
}

const SeedTree* HyperbolicIndex::walk_seeds() const {
  return state_.params.reach_all && state_.params.metric == MetricKind::Poincare ? &seeds_
                                                                                : nullptr;
}

const float* HyperbolicIndex::insertable(FloatArray vector) const {
  if (vector.ndim != 1 || vector.size != std::size_t(state_.dimension())) dimension_mismatch();
  return checked_copy(vector);
}

const float* HyperbolicIndex::query_values(FloatArray query) const {
  if (query.size != std::size_t(state_.dimension())) dimension_mismatch();
  return checked_copy(query);
}

void HyperbolicIndex::add_item_flat(FloatArray vector, std::uint64_t mask) {
  ExclusiveLock lock(guard_);
  insert_flat(state_, insertable(vector), mask);
}

void HyperbolicIndex::add_item_and_link(FloatArray vector, std::uint64_t mask,
                                        std::int32_t ef_construction) {
  ExclusiveLock lock(guard_);
  insert_linked(state_, insertable(vector), mask, ef_construction);
  keep_in_reach();
}

bool HyperbolicIndex::answers_nothing(const QueryTerms& terms) const {
  const bool walks_only =
      terms.kind == QueryTerms::Kind::Graph || terms.kind == QueryTerms::Kind::Filtered;
  return state_.size() == 0 || (walks_only && state_.ep_id < 0);
}

std::vector<Candidate> HyperbolicIndex::nearest(const float* query, const QueryTerms& terms) const {
  switch (terms.kind) {
    case QueryTerms::Kind::Graph:
      return graph_search(state_, query, terms, walk_seeds());
    case QueryTerms::Kind::Filtered:
      return filtered_search(state_, query, terms);
    case QueryTerms::Kind::Planned:
      return planned_search(state_, query, terms);
    case QueryTerms::Kind::Exact:
      break;
  }
  return flat_search(state_, query, terms);
}

std::vector<std::int32_t> HyperbolicIndex::search(FloatArray query, const QueryTerms& terms) const {
  SharedLock lock(guard_);
  // An index that cannot answer answers nothing, whatever the query holds.
  if (answers_nothing(terms)) return {};
  const std::vector<Candidate> found = nearest(query_values(query), terms);
  std::vector<std::int32_t> ids(found.size());
  for (std::size_t i = 0; i < found.size(); ++i) ids[i] = found[i].id;
  return ids;
}

void HyperbolicIndex::check_rows(FloatRows rows) const {
  if (rows.ndim != 2 || rows.cols != std::size_t(state_.dimension())) dimension_mismatch();
}

BatchOutcome HyperbolicIndex::add_items(FloatRows rows, const std::uint64_t* masks,
                                        std::uint64_t mask, std::int32_t ef_construction,
                                        bool linked, const BatchControl& control) {
  ExclusiveLock lock(guard_);
  check_rows(rows);
  const BatchOutcome outcome =
      insert_batch(state_, RowBatch{rows.data, rows.rows, masks, mask}, linked, ef_construction,
                   thread_count(control.threads), control.keep_going);
  // Also after a stopped or failed batch: what it linked stays.
  if (linked) keep_in_reach();
  if (outcome.error) std::rethrow_exception(outcome.error);
  return outcome;
}

std::size_t HyperbolicIndex::store_items(FloatRows rows, const std::uint64_t* masks,
                                        std::uint64_t mask) {
  ExclusiveLock lock(guard_);
  check_rows(rows);
  return store_unlinked(state_, RowBatch{rows.data, rows.rows, masks, mask});
}

BatchOutcome HyperbolicIndex::link_stored(std::size_t first, std::int32_t ef_construction,
                                          const BatchControl& control) {
  ExclusiveLock lock(guard_);
  std::vector<std::int32_t> waiting;
  for (std::size_t n = first; n < state_.size(); ++n) {
    if (!in_graph(state_, std::int32_t(n))) waiting.push_back(std::int32_t(n));
  }
  const BatchOutcome outcome = zelt::link_stored(state_, waiting, ef_construction,
                                                 thread_count(control.threads), control.keep_going);
  keep_in_reach();
  if (outcome.error) std::rethrow_exception(outcome.error);
  return outcome;
}

BatchOutcome HyperbolicIndex::search_many(FloatRows queries, const QueryTerms& terms,
                                          const std::uint64_t* filter_masks, std::int64_t* ids,
                                          float* distances, const BatchControl& control) const {
  if (terms.k < 0)
    throw std::invalid_argument("k must not be negative, got " + std::to_string(terms.k));
  SharedLock lock(guard_);
  check_rows(queries);
  const auto k = std::size_t(terms.k);
  std::fill(ids, ids + queries.rows * k, std::int64_t{-1});
  std::fill(distances, distances + queries.rows * k, std::numeric_limits<float>::infinity());
  if (answers_nothing(terms) || k == 0) return BatchOutcome{queries.rows, nullptr, false};
  const auto write = [&](std::size_t row, const std::vector<Candidate>& found) {
    const std::size_t count = std::min(k, found.size());
    for (std::size_t j = 0; j < count; ++j) {
      ids[row * k + j] = found[j].id;
      distances[row * k + j] = found[j].distance;
    }
  };
  if (terms.kind == QueryTerms::Kind::Exact && filter_masks == nullptr) {
    return exact_many(queries, terms, write, control);
  }
  const BatchOutcome outcome = run_parallel(
      queries.rows, thread_count(control.threads),
      [&](std::size_t i, int) {
        QueryTerms own = terms;
        if (filter_masks != nullptr) own.filter_mask = filter_masks[i];
        const float* q = checked_copy(FloatArray{queries.data + i * queries.cols, queries.cols, 1},
                                      std::int64_t(i));
        write(i, nearest(q, own));
      },
      control.keep_going);
  if (outcome.error) std::rethrow_exception(outcome.error);
  return outcome;
}

BatchOutcome HyperbolicIndex::exact_many(
    FloatRows queries, const QueryTerms& terms,
    const std::function<void(std::size_t, const std::vector<Candidate>&)>& write,
    const BatchControl& control) const {
  // Exact queries go kMaxQueries at a time, so that each pass over the
  // records serves all of them; progress still counts rows.
  constexpr auto kGroup = std::size_t(kMaxQueries);
  const std::size_t rows = queries.rows;
  const std::size_t groups = (rows + kGroup - 1) / kGroup;
  const auto rows_of = [&](std::size_t group_count) { return std::min(rows, group_count * kGroup); };
  const KeepGoing keep_going = [&](std::size_t done, std::size_t) {
    return !control.keep_going || control.keep_going(rows_of(done), rows);
  };
  BatchOutcome outcome = run_parallel(
      groups, thread_count(control.threads),
      [&](std::size_t g, int) {
        const std::size_t first = g * kGroup;
        const int count = int(std::min(kGroup, rows - first));
        std::vector<float> copies(std::size_t(count) * queries.cols);
        const float* q[kMaxQueries];
        for (int b = 0; b < count; ++b) {
          const std::size_t row = first + std::size_t(b);
          const float* values = checked_copy(
              FloatArray{queries.data + row * queries.cols, queries.cols, 1}, std::int64_t(row));
          std::copy(values, values + queries.cols, copies.data() + std::size_t(b) * queries.cols);
          q[b] = copies.data() + std::size_t(b) * queries.cols;
        }
        std::vector<Candidate> found[kMaxQueries];
        flat_search_together(state_, q, count, terms, found);
        for (int b = 0; b < count; ++b) write(first + std::size_t(b), found[b]);
      },
      keep_going);
  outcome.done = rows_of(outcome.done);
  if (outcome.error) std::rethrow_exception(outcome.error);
  return outcome;
}

void HyperbolicIndex::save_index(const std::string& filename, std::uint32_t* checksum) const {
  // Opening may block (a named pipe without a reader, a hung file system), so
  // it happens before the lock is taken, and so do the flush to the disk and
  // the rename: the lock is held only while the bytes are written out.
  SavedFile out(filename, checksum != nullptr);
  {
    SharedLock lock(guard_);
    write_index(state_, out);
  }
  out.commit();
  if (checksum != nullptr) *checksum = out.checksum();
}

void HyperbolicIndex::load_index(const std::string& filename, std::uint32_t* checksum) {
  // The file is read and checked before the lock is taken: the index is
  // untouched until the whole file has proved sound.
  const MetricKind metric = inspect([](const IndexState& s) { return s.params.metric; });
  IndexState loaded = read_index_file(filename, metric, checksum);
  ExclusiveLock lock(guard_);
  adopt_loaded(state_, std::move(loaded));
  seeds_.clear();
  keep_in_reach();
}

std::uint32_t file_checksum(const std::string& filename) { return file_crc32c(filename); }

IndexStats HyperbolicIndex::get_stats() const {
  SharedLock lock(guard_);
  return compute_stats(state_);
}

const char* HyperbolicIndex::get_metric() const { return metric_name(state_.params.metric); }

float HyperbolicIndex::compute_distance(FloatArray query, std::int32_t node_id) const {
  SharedLock lock(guard_);
  const float* q = query_values(query);
  state_.check_node(node_id);
  return state_.node_distance(q, state_.norm_of(q), node_id);
}

float HyperbolicIndex::get_stored_norm(std::int32_t node_id) const {
  SharedLock lock(guard_);
  state_.check_node(node_id);
  return state_.stored_norm(node_id);
}

std::vector<float> HyperbolicIndex::get_vectors(const std::int64_t* ids, std::size_t count,
                                                std::int32_t& dimension) const {
  SharedLock lock(guard_);
  dimension = state_.dimension();
  const auto dim = std::size_t(dimension);
  for (std::size_t i = 0; i < count; ++i) state_.check_node(ids[i]);
  std::vector<float> out(count * dim);
  for (std::size_t i = 0; i < count; ++i) {
    const float* v = state_.vectors.vector(std::int32_t(ids[i]));
    std::copy(v, v + dim, out.begin() + std::ptrdiff_t(i * dim));
  }
  return out;
}

std::vector<std::uint64_t> HyperbolicIndex::get_masks() const {
  SharedLock lock(guard_);
  return std::vector<std::uint64_t>(state_.masks.begin(), state_.masks.end());
}

std::vector<std::int32_t> HyperbolicIndex::unreachable_nodes() const {
  SharedLock lock(guard_);
  return zelt::unreachable_nodes(state_);
}

void HyperbolicIndex::update_masks(const std::uint64_t* values, std::size_t count) {
  ExclusiveLock lock(guard_);
  replace_masks(state_, values, count);
}

void HyperbolicIndex::set_masks(const std::int64_t* ids, std::size_t count,
                                const std::uint64_t* values, std::uint64_t single) {
  ExclusiveLock lock(guard_);
  zelt::set_masks(state_, ids, count, values, single);
}

void choose_kernels_from_environment() { choose_kernels(kernel_choice_from_environment()); }

}  // namespace zelt
