#include "index/graph/graph_check.h"

#include <algorithm>
#include <vector>

#include "index/graph/level_draw.h"

namespace zelt {

namespace {

std::string node_text(std::int32_t node) { return "node " + std::to_string(node); }

std::string list_fault(const IndexState& s, std::int32_t node, std::int32_t layer, GraphRules rules,
                       std::vector<std::int32_t>& sorted) {
  const LinkSpan list = s.links.links(node, layer);
  const auto n = std::int64_t(s.size());
  for (const std::int32_t id : list) {
    if (id < 0 || id >= n) {
      return node_text(node) + " links to " + std::to_string(id) + ", which is not a node";
    }
    const std::int32_t level = s.links.level(id);
    if (layer == 0 && level < 0) {
      return node_text(node) + " links on layer 0 to node " + std::to_string(id) +
             ", which has no layers";
    }
    if (level < layer) {
      return node_text(node) + " links on layer " + std::to_string(layer) + " to node " +
             std::to_string(id) + ", whose level is " + std::to_string(level);
    }
  }
  if (rules == GraphRules::Loadable) return {};
  if (list.size > s.cap(layer)) {
    return node_text(node) + " holds " + std::to_string(list.size) + " links on layer " +
           std::to_string(layer) + ", over its cap " + std::to_string(s.cap(layer));
  }
  sorted.assign(list.begin(), list.end());
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
    return node_text(node) + " repeats an id on layer " + std::to_string(layer);
  }
  if (std::binary_search(sorted.begin(), sorted.end(), node)) {
    return node_text(node) + " links to itself on layer " + std::to_string(layer);
  }
  return {};
}

std::string entry_fault(const IndexState& s, std::int32_t highest, GraphRules rules) {
  if (s.ep_id == -1) {
    if (s.ep_layer != -1) return "no entry point but entry layer " + std::to_string(s.ep_layer);
    return {};
  }
  if (s.ep_id < 0 || std::size_t(s.ep_id) >= s.size()) {
    return "entry point outside the nodes: " + std::to_string(s.ep_id);
  }
  const std::int32_t level = s.links.level(s.ep_id);
  if (level != s.ep_layer) {
    return "entry layer " + std::to_string(s.ep_layer) + " is not the level " +
           std::to_string(level) + " of entry point " + std::to_string(s.ep_id);
  }
  if (rules == GraphRules::Built && highest > s.ep_layer) {
    return "a node reaches layer " + std::to_string(highest) + ", above the entry point's " +
           std::to_string(s.ep_layer);
  }
  return {};
}

}  // namespace

std::string graph_fault(const IndexState& s, GraphRules rules) {
  const std::size_t n = s.size();
  if (s.vectors.size() != n || s.links.size() != n) {
    return "the per-node sequences differ in length";
  }
  if (s.vectors.dimension() != std::max(s.dimension(), 0)) return "vectors of another dimension";
  const std::int32_t lowest = rules == GraphRules::Built ? 0 : -1;
  // Higher levels only make every descent cross empty layers.
  const std::int32_t top = highest_level(s.params.level_mult);
  std::int32_t highest = -1;
  std::vector<std::int32_t> sorted;
  for (std::size_t i = 0; i < n; ++i) {
    const auto node = std::int32_t(i);
    const std::int32_t level = s.links.level(node);
    if (level < lowest || level > top) {
      return node_text(node) + " has level " + std::to_string(level) + ", outside " +
             std::to_string(lowest) + " … " + std::to_string(top);
    }
    highest = std::max(highest, level);
    for (std::int32_t layer = 0; layer <= level; ++layer) {
      std::string fault = list_fault(s, node, layer, rules, sorted);
      if (!fault.empty()) return fault;
    }
  }
  return entry_fault(s, highest, rules);
}

}  // namespace zelt
