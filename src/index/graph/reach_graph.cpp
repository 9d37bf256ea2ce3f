#include "index/graph/reach_graph.h"

#include <algorithm>

#include "index/graph/layer_search.h"

namespace zelt {

namespace {

// The rounds of hang_unreachable; one is enough unless a list that a node
// was hung through drops a node it held.
constexpr int kRounds = 4;
// The width of the walk that finds an unreachable node's nearest reachable
// ones: the candidates its in-link may come from.
constexpr std::int32_t kHangEf = 64;
constexpr std::int32_t kUnreached = -1;

// A tree of walks from the entry point over layer 0: per node, the node whose
// list first led to it (kUnreached for none; the entry point is its own).
// Links outside the tree can go without taking any node out of reach.
using ReachTree = std::vector<std::int32_t>;

// Grows the tree from `start`, already in it, over every node it reaches.
void grow(const IndexState& s, std::int32_t start, ReachTree& tree) {
  std::vector<std::int32_t> frontier{start};
  while (!frontier.empty()) {
    const std::int32_t node = frontier.back();
    frontier.pop_back();
    for (const std::int32_t m : s.links.links(node, 0)) {
      if (tree[std::size_t(m)] == kUnreached) {
        tree[std::size_t(m)] = node;
        frontier.push_back(m);
      }
    }
  }
}

ReachTree reach_tree(const IndexState& s) {
  ReachTree tree(s.size(), kUnreached);
  if (s.ep_id >= 0) {
    tree[std::size_t(s.ep_id)] = s.ep_id;
    grow(s, s.ep_id, tree);
  }
  return tree;
}

// Puts `node` into `host`'s layer-0 list: appended while there is room, else
// in place of the last entry that the tree does not go through; false when
// the tree goes through every one.
bool hang_on(IndexState& s, std::int32_t host, std::int32_t node, const ReachTree& tree) {
  const LinkSpan list = s.links.links(host, 0);
  if (list.size < s.cap(0)) {
    s.links.append(host, 0, node);
    return true;
  }
  for (std::int32_t i = list.size - 1; i >= 0; --i) {
    if (tree[std::size_t(list.ids[i])] != host) {
      std::vector<std::int32_t> ids(list.begin(), list.end());
      ids[std::size_t(i)] = node;
      // The list no longer is a selection's output: the next trim selects
      // afresh.
      s.links.assign(host, 0, ids.data(), ids.size(), ListOrigin{});
      return true;
    }
  }
  return false;
}

// Hangs `node` on one of its own neighbours in reach, nearest first (as
// their selection left them): on a tree they are its parent and siblings,
// where a walk towards it arrives.
std::int32_t host_among_neighbours(IndexState& s, std::int32_t node, const ReachTree& tree) {
  // By position: hanging never rewrites the node's own list.
  const LinkSpan own = s.links.links(node, 0);
  for (std::int32_t i = 0; i < own.size; ++i) {
    const std::int32_t host = own.ids[i];
    if (tree[std::size_t(host)] != kUnreached && hang_on(s, host, node, tree)) return host;
  }
  return kUnreached;
}

// Hangs `node` on `host` whose every entry the tree goes through: `node`
// takes the place of the last entry, which `node`'s own list then takes up
// (in place of its own last entry when full), so what the host reached it
// still reaches, through `node`. Always succeeds: a node of the graph has a
// list.
void hang_through(IndexState& s, std::int32_t host, std::int32_t node, ReachTree& tree) {
  const LinkSpan list = s.links.links(host, 0);
  std::vector<std::int32_t> ids(list.begin(), list.end());
  const std::int32_t moved = ids.back();
  ids.back() = node;
  s.links.assign(host, 0, ids.data(), ids.size(), ListOrigin{});
  const LinkSpan own = s.links.links(node, 0);
  if (std::find(own.begin(), own.end(), moved) == own.end()) {
    if (own.size < s.cap(0)) {
      s.links.append(node, 0, moved);
    } else {
      std::vector<std::int32_t> mine(own.begin(), own.end());
      mine.back() = moved;
      s.links.assign(node, 0, mine.data(), mine.size(), ListOrigin{});
    }
  }
  tree[std::size_t(moved)] = node;
}

// Hangs `node` on the nearest node that a walk from the entry point towards
// it meets and that can take it, else through the nearest one.
std::int32_t host_on_the_way(IndexState& s, std::int32_t node, ReachTree& tree) {
  const float* v = s.vectors.vector(node);
  const float norm = s.stored_norm(node);
  ResultHeap heap;
  // The descent may enter layer 0 at a node that only the upper layers reach:
  // then the walk starts from the entry point.
  std::int32_t entry = descend_to_layer0(s, v, norm);
  if (tree[std::size_t(entry)] == kUnreached) entry = s.ep_id;
  search_layer(s, v, norm, entry, kHangEf, 0, heap);
  std::vector<Candidate> hosts = heap.release();
  // A walk from a node in reach meets only nodes in reach; kept as a guard,
  // since a host out of reach would hang the node out of reach too.
  hosts.erase(
      std::remove_if(hosts.begin(), hosts.end(),
                     [&](const Candidate& c) { return tree[std::size_t(c.id)] == kUnreached; }),
      hosts.end());
  std::sort(hosts.begin(), hosts.end(),
            [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });
  for (const Candidate& host : hosts) {
    if (hang_on(s, host.id, node, tree)) return host.id;
  }
  for (const Candidate& host : hosts) {
    if (!s.links.links(host.id, 0).empty()) {
      hang_through(s, host.id, node, tree);
      return host.id;
    }
  }
  return kUnreached;
}

// One round: first every stranded node whose own neighbours are in reach
// (each one hung brings what it reaches into reach for the next), then the
// others on whatever a walk finds.
void hang_round(IndexState& s, const std::vector<std::int32_t>& stranded) {
  ReachTree tree = reach_tree(s);
  for (const bool anywhere : {false, true}) {
    for (const std::int32_t node : stranded) {
      if (tree[std::size_t(node)] != kUnreached) continue;
      const std::int32_t host =
          anywhere ? host_on_the_way(s, node, tree) : host_among_neighbours(s, node, tree);
      if (host != kUnreached) {
        tree[std::size_t(node)] = host;
        grow(s, node, tree);
      }
    }
  }
}

}  // namespace

bool in_graph(const IndexState& s, std::int32_t node) {
  return node == s.ep_id || !s.links.links(node, 0).empty();
}

std::vector<std::int32_t> unreachable_nodes(const IndexState& s) {
  std::vector<std::int32_t> out;
  const ReachTree tree = reach_tree(s);
  for (std::size_t n = 0; n < s.size(); ++n) {
    if (tree[n] == kUnreached && in_graph(s, std::int32_t(n))) out.push_back(std::int32_t(n));
  }
  return out;
}

std::size_t hang_unreachable(IndexState& s) {
  std::vector<std::int32_t> stranded = unreachable_nodes(s);
  for (int round = 0; round < kRounds && !stranded.empty(); ++round) {
    hang_round(s, stranded);
    stranded = unreachable_nodes(s);
  }
  return stranded.size();
}

}  // namespace zelt
