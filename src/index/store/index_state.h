#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

#include "index/store/index_params.h"
#include "index/store/link_store.h"
#include "index/store/reverse_links.h"
#include "index/store/tag_columns.h"
#include "index/store/vector_store.h"

namespace zelt {

// The bounds of the uniform distribution the level draw maps generator output
// through: [lo, hi).
struct LevelDistribution {
  double lo = 0.0;
  double hi = 1.0;
};

// Everything an index holds. The five per-node sequences of the model are
// vectors (with the stored norms inline), links (with the levels) and masks;
// they always hold the same number of nodes. `tags` is derived from the
// masks, kept in step by every change of one, and rebuilt on load.
struct IndexState {
  IndexParams params;
  std::int32_t ep_id = -1;
  std::int32_t ep_layer = -1;
  VectorStore vectors;
  LinkStore links;
  PodArray<std::uint64_t> masks;
  TagColumns tags;
  // Layer 0's in-links, which queries walk too where params.reach_all is set;
  // made afresh after every change of the graph (kept empty otherwise).
  ReverseLinks reverse;
  std::mt19937 level_rng;
  LevelDistribution level_dist;

  std::size_t size() const { return masks.size(); }
  // std::out_of_range naming the valid ids unless id is a node.
  void check_node(std::int64_t id) const;
  std::int32_t dimension() const { return params.dimension; }
  std::int32_t cap(std::int32_t layer) const { return params.cap(layer); }
  float stored_norm(std::int32_t node) const { return vectors.stored_norm(node); }

  // The in-links a query's layer-0 walk also follows, if any.
  const ReverseLinks* query_reverse() const { return params.reach_all ? &reverse : nullptr; }

  const KernelSet& kernels() const { return *params.kernels; }
  const MetricKernels& metric_kernels() const { return params.kernels->of(params.metric); }
  RecordArena arena() const {
    return RecordArena{vectors.vector(0), vectors.stride(), params.dimension};
  }
  // The squared norm of dimension values at v.
  float norm_of(const float* v) const { return kernels().squared_norm(v, params.dimension); }

  // The metric's distance from query q (with squared norm q_norm_sq) to a node.
  float node_distance(const float* q, float q_norm_sq, std::int32_t node) const {
    float d;
    metric_kernels().to_nodes(q, q_norm_sq, arena(), &node, 1, &d);
    return d;
  }

  // Appends one node to every per-node sequence, all or nothing. A linked
  // node's lists get room for their caps; a flat node's list stays the shared
  // empty one, since no insertion ever links to it.
  void append_node(const float* values, float norm, std::uint64_t mask, std::int32_t level,
                   bool linked = true);
  // The same for an inserted node, whose stored norm is computed from the
  // stored copy of its values; returns its id.
  std::int32_t store_node(const float* values, std::uint64_t mask, std::int32_t level, bool linked);
  // Drops every node from n on (after an interrupted batch).
  void truncate(std::size_t n);

  // Gives every node a slot for its layer-0 list, if it has none yet: an
  // index of flat nodes only keeps none. Only while every layer-0 list is
  // empty.
  void ensure_slots() { links.ensure_slots(params.max_m_0); }
};

// A fresh state: no nodes, generator seeded with `seed`.
IndexState make_state(const IndexParams& params, std::uint32_t seed);

// Replaces target's contents by a loaded state's; only target's metric and
// level generator survive.
void adopt_loaded(IndexState& target, IndexState&& loaded);

}  // namespace zelt
