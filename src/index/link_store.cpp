#include "index/link_store.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "index/growth.h"

namespace zelt {

LinkStore::LinkStore() : pool_{0, 0} {}

std::int32_t LinkStore::preset_capacity(std::int32_t cap) {
  return std::clamp(cap, 0, kMaxPresetCapacity);
}

std::size_t LinkStore::words_for_node(std::int32_t level, std::int32_t cap0,
                                      std::int32_t cap) const {
  if (level < 0) return 0;
  return std::size_t(2 + preset_capacity(cap0)) +
         std::size_t(level) * std::size_t(2 + preset_capacity(cap));
}

void LinkStore::reserve_node(std::int32_t level, std::int32_t cap0, std::int32_t cap) {
  reserve_for_append(pool_, words_for_node(level, cap0, cap));
  reserve_for_append(levels_, 1);
  reserve_for_append(layer0_, 1);
  reserve_for_append(upper_first_, 1);
  if (level > 0) reserve_for_append(upper_, std::size_t(level));
}

std::size_t LinkStore::new_block(std::int32_t capacity) {
  const std::size_t at = pool_.size();
  pool_.push_back(0);
  pool_.push_back(capacity);
  pool_.resize(pool_.size() + std::size_t(capacity), 0);
  return at;
}

void LinkStore::add_node(std::int32_t level, std::int32_t cap0, std::int32_t cap) {
  reserve_node(level, cap0, cap);
  upper_first_.push_back(upper_.size());
  if (level < 0) {
    layer0_.push_back(0);
  } else {
    layer0_.push_back(new_block(preset_capacity(cap0)));
    for (std::int32_t layer = 1; layer <= level; ++layer) {
      upper_.push_back(new_block(preset_capacity(cap)));
    }
  }
  levels_.push_back(level);
}

std::size_t& LinkStore::block_slot(std::int32_t node, std::int32_t layer) {
  if (layer < 0 || layer > levels_[std::size_t(node)]) {
    throw std::logic_error("link list written at a layer the node does not reach");
  }
  if (layer == 0) return layer0_[std::size_t(node)];
  return upper_[upper_first_[std::size_t(node)] + std::size_t(layer) - 1];
}

void LinkStore::assign(std::int32_t node, std::int32_t layer, const std::int32_t* ids,
                       std::size_t count) {
  if (count > std::size_t(std::numeric_limits<std::int32_t>::max())) {
    throw std::length_error("neighbour list too long");
  }
  std::size_t& slot = block_slot(node, layer);
  if (std::int32_t(count) > pool_[slot + 1]) {
    // ids may point into the pool itself, which the new block can move.
    const std::vector<std::int32_t> copy(ids, ids + count);
    const std::size_t block = new_block(std::int32_t(count));
    std::copy(copy.begin(), copy.end(), pool_.begin() + std::ptrdiff_t(block + 2));
    pool_[block] = std::int32_t(count);
    slot = block;
    return;
  }
  std::copy(ids, ids + count, pool_.begin() + std::ptrdiff_t(slot + 2));
  pool_[slot] = std::int32_t(count);
}

void LinkStore::append(std::int32_t node, std::int32_t layer, std::int32_t id) {
  std::size_t& slot = block_slot(node, layer);
  const std::int32_t size = pool_[slot];
  if (size == pool_[slot + 1]) {
    if (size == std::numeric_limits<std::int32_t>::max()) {
      throw std::length_error("neighbour list too long");
    }
    const std::int32_t grown =
        std::int32_t(std::min<std::int64_t>(std::max<std::int64_t>(4, 2 * std::int64_t(size)),
                                            std::numeric_limits<std::int32_t>::max()));
    const std::size_t old = slot;
    const std::size_t block = new_block(grown);
    std::copy(pool_.begin() + std::ptrdiff_t(old + 2),
              pool_.begin() + std::ptrdiff_t(old + 2 + std::size_t(size)),
              pool_.begin() + std::ptrdiff_t(block + 2));
    pool_[block] = size;
    slot = block;
  }
  pool_[slot + 2 + std::size_t(size)] = id;
  pool_[slot] = size + 1;
}

}  // namespace zelt
