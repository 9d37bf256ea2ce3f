#include "index/graph/insertion.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "index/graph/graph_locks.h"
#include "index/graph/layer_search.h"
#include "index/graph/level_draw.h"
#include "index/graph/neighbour_selection.h"
#include "index/store/node_distance.h"

namespace zelt {

void insert_flat(IndexState& s, const float* v, std::uint64_t mask) {
  s.store_node(v, mask, 0, false);
}

namespace {

// Adds new_id to n's list on `layer`; a list that would outgrow its cap is
// rebuilt by selection over its ids plus new_id, with every distance measured
// afresh from n (which may drop new_id itself, unless keep_new: then new_id
// takes the place of the selection's last id).
void link_back(IndexState& s, std::int32_t n, std::int32_t new_id, std::int32_t layer,
               GraphLocks* locks, std::vector<std::int32_t>& ids, std::vector<float>& dists,
               bool keep_new = false) {
  const NodeGuard guard(locks, n);
  const std::int32_t cap = s.cap(layer);
  const LinkSpan list = s.links.links(n, layer);
  if (list.size < cap) {
    s.links.append(n, layer, new_id);
    return;
  }
  ids.assign(list.begin(), list.end());
  ids.push_back(new_id);
  dists.resize(ids.size());
  distances_to_nodes(s, s.vectors.vector(n), s.stored_norm(n), ids.data(), ids.size(),
                     dists.data());
  Selection kept =
      reselect(s, ids.data(), dists.data(), ids.size(), s.links.origin(n, layer), cap);
  if (keep_new && !kept.ids.empty() &&
      std::find(kept.ids.begin(), kept.ids.end(), new_id) == kept.ids.end()) {
    kept.ids.back() = new_id;
    s.links.assign(n, layer, kept.ids.data(), kept.ids.size(), ListOrigin{});
    return;
  }
  s.links.assign(n, layer, kept.ids.data(), kept.ids.size(),
                 ListOrigin{std::int32_t(kept.ids.size()), kept.passed});
}

}  // namespace

void insert_linked(IndexState& s, const float* v, std::uint64_t mask,
                   std::int32_t ef_construction) {
  const std::int32_t level = draw_level(s.level_rng, s.level_dist, s.params.level_mult);
  link_node(s, s.store_node(v, mask, level, true), ef_construction, nullptr);
}

void link_node(IndexState& s, std::int32_t new_id, std::int32_t ef_construction,
               GraphLocks* locks) {
  const std::int32_t level = s.links.level(new_id);
  // A node that reaches above the entry point holds the entry lock for its
  // whole insertion and becomes the entry point at the end; the others only
  // read it.
  std::unique_lock<std::mutex> entry_guard;
  if (locks != nullptr) entry_guard = std::unique_lock<std::mutex>(locks->entry);
  const std::int32_t ep_id = s.ep_id;
  const std::int32_t ep_layer = s.ep_layer;
  if (ep_id < 0) {
    // The first linked node of the index: the entry point, with no links.
    s.ep_id = new_id;
    s.ep_layer = level;
    return;
  }
  if (locks != nullptr && level <= ep_layer) entry_guard.unlock();

  // The stored copy is the query of every search below; the arena does not
  // move during an insertion.
  const float* query = s.vectors.vector(new_id);
  const float q_norm = s.stored_norm(new_id);
  std::int32_t entry = ep_id;
  ResultHeap heap;
  for (std::int32_t layer = ep_layer; layer > level; --layer) {
    search_layer(s, query, q_norm, entry, 1, layer, heap, locks);
    if (!heap.empty()) entry = heap.top().id;
  }
  // Every layer's list of the new node is written before any neighbour links
  // back to it. A node is reachable only through those links, so a thread
  // walking beside this one that steps onto it on an upper layer finds its
  // lower layers' lists already whole, instead of descending into a node with
  // no links and taking it for its only neighbour.
  const std::int32_t top = std::min(ep_layer, level);
  std::vector<Selection> chosen_by_layer;  // top layer first
  chosen_by_layer.reserve(std::size_t(top) + 1);
  for (std::int32_t layer = top; layer >= 0; --layer) {
    search_layer(s, query, q_norm, entry, ef_construction, layer, heap, locks);
    Selection selection = select_with_outcome(s, heap, s.cap(layer));
    {
      const NodeGuard guard(locks, new_id);
      s.links.assign(new_id, layer, selection.ids.data(), selection.ids.size(),
                     ListOrigin{std::int32_t(selection.ids.size()), selection.passed});
    }
    if (!selection.ids.empty()) entry = selection.ids.front();
    chosen_by_layer.push_back(std::move(selection));
  }
  std::vector<std::int32_t> trim_ids;
  std::vector<float> trim_dists;
  for (std::int32_t layer = top; layer >= 0; --layer) {
    const std::vector<std::int32_t>& chosen = chosen_by_layer[std::size_t(top - layer)].ids;
    // Where every node is kept in reach, the nearest neighbour keeps the new
    // node on layer 0 whatever its trim selects. On a hierarchy a leaf's
    // nearest are hubs whose full lists drop it, and until the end of the call
    // hangs it back in reach no later insertion can find it: its siblings
    // link to the hubs instead of to it.
    const bool keep = layer == 0 && s.params.reach_all;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
      // The next neighbour's list and vector are on their way while this one
      // is linked.
      if (layer == 0 && i + 1 < chosen.size()) {
        s.links.prefetch_slot(chosen[i + 1]);
        prefetch_vector(s, chosen[i + 1]);
      }
      link_back(s, chosen[i], new_id, layer, locks, trim_ids, trim_dists, keep && i == 0);
    }
  }
  if (level > ep_layer) {
    s.ep_id = new_id;
    s.ep_layer = level;
  }
}

}  // namespace zelt
