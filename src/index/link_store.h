#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelt {

// A read-only view of one neighbour list.
struct LinkSpan {
  const std::int32_t* ids;
  std::int32_t size;
  const std::int32_t* begin() const { return ids; }
  const std::int32_t* end() const { return ids + size; }
  bool empty() const { return size == 0; }
};

// Every node's top layer and its neighbour lists, one per layer 0 … level.
//
// All lists live in one pool of 32-bit words; a list is a block
// [size, capacity, id, id, …]. A node's layer-0 block is reached through one
// offset, so the layer-0 walk of a search costs one dependent load per
// expanded node. Upper-layer blocks (about one node in M has any) are reached
// through a small per-node table. Block 0 is a permanent empty list of
// capacity 0, shared by every node that has no list at a layer (level -1).
//
// Blocks are created with the capacity the caller expects the list to reach
// (its cap, bounded so that a huge M cannot reserve gigabytes per node; a
// loaded list gets exactly its own length, so a file cannot make the pool
// larger than itself) and move to the end of the pool, doubling, only when a
// list outgrows that.
class LinkStore {
 public:
  LinkStore();

  std::size_t size() const { return levels_.size(); }
  std::int32_t level(std::int32_t node) const { return levels_[std::size_t(node)]; }
  const std::vector<std::int32_t>& levels() const { return levels_; }

  // The list of `node` at `layer`; empty when the node does not reach it.
  LinkSpan links(std::int32_t node, std::int32_t layer) const {
    const std::size_t block = block_of(node, layer);
    return LinkSpan{pool_.data() + block + 2, pool_[block]};
  }

  // Makes room for one node of the given level whose lists are expected to
  // reach cap0 (layer 0) and cap (above); after it, add_node cannot throw.
  void reserve_node(std::int32_t level, std::int32_t cap0, std::int32_t cap);
  // Appends a node with empty lists for layers 0 … level (none when level < 0).
  void add_node(std::int32_t level, std::int32_t cap0, std::int32_t cap);

  // Replaces the list of `node` at `layer` (which the node must reach).
  void assign(std::int32_t node, std::int32_t layer, const std::int32_t* ids, std::size_t count);
  void append(std::int32_t node, std::int32_t layer, std::int32_t id);

 private:
  static constexpr std::int32_t kMaxPresetCapacity = 256;

  std::size_t block_of(std::int32_t node, std::int32_t layer) const {
    if (layer == 0) return layer0_[std::size_t(node)];
    if (layer < 0 || layer > levels_[std::size_t(node)]) return 0;
    return upper_[upper_first_[std::size_t(node)] + std::size_t(layer) - 1];
  }
  std::size_t& block_slot(std::int32_t node, std::int32_t layer);
  static std::int32_t preset_capacity(std::int32_t cap);
  std::size_t new_block(std::int32_t capacity);
  std::size_t words_for_node(std::int32_t level, std::int32_t cap0, std::int32_t cap) const;

  std::vector<std::int32_t> pool_;
  std::vector<std::int32_t> levels_;
  std::vector<std::size_t> layer0_;       // per node: block of layer 0
  std::vector<std::size_t> upper_first_;  // per node: first entry of upper_
  std::vector<std::size_t> upper_;        // blocks of layers 1 … level, node by node
};

}  // namespace zelt
