#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "index/pod_array.h"

namespace zelt {

// What the selection that wrote a list found: its first `known` ids are that
// selection's output, of which the first `passed` passed its diversity test
// (ids appended since come after them).
struct ListOrigin {
  std::int32_t known = 0;
  std::int32_t passed = 0;
};

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
// A list is a block [size, capacity, known, passed, id, id, …] of 32-bit
// words (known and passed: its ListOrigin). Blocks are
// carved from chunks that never move, so a block stays where it is for the
// life of the store: a list that outgrows its block gets a new one and the old
// one is left unused (a reader that still holds it reads a stale but intact
// list). A node's layer-0 block is reached through one pointer; the blocks of
// its upper layers (about one node in M has any) through a small table.
// Nodes without lists at a layer share one permanent empty block.
//
// Blocks are created with the capacity the caller expects the list to reach
// (its cap, bounded so that a huge M cannot reserve gigabytes per node; a
// loaded list gets exactly its own length, so a file cannot make the store
// larger than itself).
class LinkStore {
 public:
  LinkStore();
  LinkStore(LinkStore&&) noexcept = default;
  LinkStore& operator=(LinkStore&&) noexcept = default;

  std::size_t size() const { return levels_.size(); }
  std::int32_t level(std::int32_t node) const { return levels_[std::size_t(node)]; }
  const PodArray<std::int32_t>& levels() const { return levels_; }

  // The list of `node` at `layer`; empty when the node does not reach it.
  LinkSpan links(std::int32_t node, std::int32_t layer) const {
    const std::int32_t* block = block_of(node, layer);
    return LinkSpan{block + kHeader, block[0]};
  }
  ListOrigin origin(std::int32_t node, std::int32_t layer) const {
    const std::int32_t* block = block_of(node, layer);
    return ListOrigin{block[2], block[3]};
  }

  // Makes room for one node of the given level whose lists are expected to
  // reach cap0 (layer 0) and cap (above); after it, add_node cannot throw.
  void reserve_node(std::int32_t level, std::int32_t cap0, std::int32_t cap);
  // Appends a node with empty lists for layers 0 … level (none when level < 0).
  void add_node(std::int32_t level, std::int32_t cap0, std::int32_t cap);
  // Drops every node from n on.
  void truncate(std::size_t n);

  // Replaces the list of `node` at `layer` (which the node must reach). Safe
  // beside other threads' calls for other nodes: the chunks are shared under
  // a lock of their own.
  void assign(std::int32_t node, std::int32_t layer, const std::int32_t* ids, std::size_t count,
              ListOrigin origin = {});
  void append(std::int32_t node, std::int32_t layer, std::int32_t id);

 private:
  static constexpr std::int32_t kMaxPresetCapacity = 256;
  static constexpr std::uint32_t kNoUpper = 0xffffffffu;
  static constexpr std::size_t kHeader = 4;

  const std::int32_t* block_of(std::int32_t node, std::int32_t layer) const {
    if (layer == 0) return layer0_[std::size_t(node)];
    if (layer < 0 || layer > levels_[std::size_t(node)]) return empty_;
    return upper_[upper_first_[std::size_t(node)] + std::size_t(layer) - 1];
  }
  std::int32_t*& block_slot(std::int32_t node, std::int32_t layer);
  static std::int32_t preset_capacity(std::int32_t cap);
  std::size_t words_for_node(std::int32_t level, std::int32_t cap0, std::int32_t cap) const;
  void make_room(std::size_t words);
  std::int32_t* new_block(std::int32_t capacity);
  std::int32_t* grown_block(std::int32_t capacity);

  static std::int32_t empty_[kHeader];
  PodArray<std::int32_t> levels_;
  PodArray<std::int32_t*> layer0_;       // per node: its layer-0 block
  PodArray<std::uint32_t> upper_first_;  // per node: first entry in upper_, or kNoUpper
  PodArray<std::int32_t*> upper_;        // blocks of layers 1 … level, node by node
  std::vector<PodArray<std::int32_t>> chunks_;
  std::size_t chunk_used_ = 0;  // words used in the last chunk
  std::unique_ptr<std::mutex> chunk_lock_;
};

}  // namespace zelt
