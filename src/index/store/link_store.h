#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "index/store/pod_array.h"

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
// words (known and passed: its ListOrigin). Every node's layer-0 block is a
// slot of one arena, node after node, apart from the vectors: the exact scan
// then streams vectors alone, and a walk reads a node's list from one place.
// A list that outgrows its slot moves to a block of its own, and the slot
// then holds a capacity of -1 and the block's address. Upper-layer blocks
// (about one node in M has any) are reached through a small table. Blocks
// other than slots are carved from chunks that never move, so a block stays
// where it is for the life of the store: a list that outgrows its block gets a
// new one and the old one is left unused (a reader that still holds it reads a
// stale but intact list). Nodes without lists at a layer share one permanent
// empty block.
//
// Blocks are created with the capacity the caller expects the list to reach
// (its cap, bounded so that a huge M cannot reserve gigabytes per node; a
// loaded list gets exactly its own length, so a file cannot make the store
// larger than itself).
class LinkStore {
 public:
  static constexpr std::size_t kHeader = 4;
  // The words a layer-0 slot takes for lists that reach cap0.
  static std::size_t slot_words(std::int32_t cap0);

  LinkStore();
  LinkStore(LinkStore&&) noexcept = default;
  LinkStore& operator=(LinkStore&&) noexcept = default;

  std::size_t size() const { return levels_.size(); }
  std::int32_t level(std::int32_t node) const { return levels_[std::size_t(node)]; }
  const PodArray<std::int32_t>& levels() const { return levels_; }

  // Gives every node a layer-0 slot for lists that reach cap0, if the store
  // has none yet: an index of flat nodes only keeps no slots at all. Only
  // while every layer-0 list is empty.
  void ensure_slots(std::int32_t cap0);
  bool has_slots() const { return slot_capacity_ > 0; }

  // The list of `node` at `layer`; empty when the node does not reach it.
  LinkSpan links(std::int32_t node, std::int32_t layer) const {
    const std::int32_t* block = block_of(node, layer);
    return LinkSpan{block + kHeader, block[0]};
  }
  // Starts loading the layer-0 slot of `node` into the caches, for a walk
  // that will expand it next: the slot lies apart from the node's vector,
  // which the walk measured earlier.
  void prefetch_slot(std::int32_t node) const {
    if (!has_slots()) return;
    const std::int32_t* s = slot(node);
    __builtin_prefetch(s, 0, 3);
    __builtin_prefetch(s + 16, 0, 3);
  }
  // The block holding the list of `node` at `layer`, read while a writer may
  // be moving it: an address to trust only once the reader's version check
  // has passed.
  const std::int32_t* shared_block(std::int32_t node, std::int32_t layer) const;
  // Copies a block's list into `out` while a writer may be rewriting it: a
  // mix of old and new ids, never more than the block holds, for the reader's
  // version check to judge.
  static void copy_shared(const std::int32_t* block, std::vector<std::int32_t>& out);
  ListOrigin origin(std::int32_t node, std::int32_t layer) const {
    const std::int32_t* block = block_of(node, layer);
    return ListOrigin{block[2], block[3]};
  }

  // Room for `extra` more slots, so that the nodes added next do not move
  // the slots that threads linking them read.
  void reserve_slots(std::size_t extra) { slot_words_.reserve_more(extra * slot_stride_); }
  // Makes room for one node of the given level whose upper lists are
  // expected to reach cap; after it, add_node cannot throw.
  void reserve_node(std::int32_t level, std::int32_t cap);
  // Appends a node with empty lists for layers 0 … level (none when level <
  // 0).
  void add_node(std::int32_t level, std::int32_t cap);
  // Drops every node from n on.
  void truncate(std::size_t n);

  // Replaces the list of `node` at `layer` (which the node must reach). Safe
  // beside other threads' calls for other nodes: the chunks are shared under
  // a lock of their own. This and append write every word that a reader
  // without the node's lock may see as a whole word (shared_words.h).
  void assign(std::int32_t node, std::int32_t layer, const std::int32_t* ids, std::size_t count,
              ListOrigin origin = {});
  void append(std::int32_t node, std::int32_t layer, std::int32_t id);

 private:
  static constexpr std::int32_t kMaxPresetCapacity = 256;
  static constexpr std::uint32_t kNoUpper = 0xffffffffu;
  static constexpr std::int32_t kMoved = -1;  // a slot's capacity once its list moved out

  const std::int32_t* slot(std::int32_t node) const {
    return slot_words_.data() + std::size_t(node) * slot_stride_;
  }
  std::int32_t* slot(std::int32_t node) {
    return slot_words_.data() + std::size_t(node) * slot_stride_;
  }
  // An empty list of the slot's capacity (0 for a node without layers,
  // whose slot nothing writes).
  void clear_slot(std::int32_t* s, std::int32_t level) const;
  // Where a moved slot's block is; each word read whole, so that a reader
  // without the node's lock may call it too.
  static std::int32_t* moved_to(const std::int32_t* slot);
  // The entry of upper_ that holds the block of `node` at `layer` (1 … level).
  std::size_t upper_entry(std::int32_t node, std::int32_t layer) const {
    return upper_first_[std::size_t(node)] + std::size_t(layer) - 1;
  }
  const std::int32_t* block_of(std::int32_t node, std::int32_t layer) const {
    if (layer == 0) {
      if (!has_slots()) return empty_;
      const std::int32_t* s = slot(node);
      return s[1] != kMoved ? s : moved_to(s);
    }
    if (layer < 0 || layer > levels_[std::size_t(node)]) return empty_;
    return upper_[upper_entry(node, layer)];
  }
  // The block a write goes to, and where a new one is recorded.
  std::int32_t* writable_block(std::int32_t node, std::int32_t layer);
  void rehome(std::int32_t node, std::int32_t layer, std::int32_t* block);
  static std::int32_t preset_capacity(std::int32_t cap);
  void make_room(std::size_t words);
  std::int32_t* new_block(std::int32_t capacity);
  std::int32_t* grown_block(std::int32_t capacity);

  static std::int32_t empty_[kHeader];
  PodArray<std::int32_t> levels_;
  PodArray<std::uint32_t> upper_first_;  // per node: first entry in upper_, or kNoUpper
  PodArray<std::int32_t*> upper_;        // blocks of layers 1 … level, node by node
  PodArray<std::int32_t> slot_words_;   // node by node, slot_stride_ words each
  std::size_t slot_stride_ = 0;
  std::int32_t slot_capacity_ = 0;
  std::vector<PodArray<std::int32_t>> chunks_;
  std::size_t chunk_used_ = 0;  // words used in the last chunk
  std::unique_ptr<std::mutex> chunk_lock_;
};

}  // namespace zelt
