#include "index/store/link_store.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "index/store/shared_words.h"

namespace zelt {

namespace {
constexpr std::size_t kFirstChunkWords = std::size_t(1) << 12;
constexpr std::size_t kLargestChunkWords = std::size_t(1) << 20;
constexpr std::size_t kAddressBytes = sizeof(std::int32_t*);
constexpr std::size_t kAddressWords = kAddressBytes / sizeof(std::int32_t);
}  // namespace

std::int32_t LinkStore::empty_[kHeader] = {0, 0, 0, 0};

LinkStore::LinkStore() : chunk_lock_(std::make_unique<std::mutex>()) {}

std::int32_t LinkStore::preset_capacity(std::int32_t cap) {
  return std::clamp(cap, 0, kMaxPresetCapacity);
}

std::size_t LinkStore::slot_words(std::int32_t cap0) {
  // Room for the address of a block of its own, whatever the cap.
  return kHeader + std::max<std::size_t>(std::size_t(preset_capacity(cap0)), kAddressWords);
}

void LinkStore::clear_slot(std::int32_t* s, std::int32_t level) const {
  s[0] = 0;
  s[1] = level >= 0 ? slot_capacity_ : 0;
  s[2] = 0;
  s[3] = 0;
}

void LinkStore::ensure_slots(std::int32_t cap0) {
  if (has_slots()) return;
  const std::size_t words = slot_words(cap0);
  slot_words_.resize(size() * words);
  slot_stride_ = words;
  slot_capacity_ = std::int32_t(words - kHeader);
  for (std::size_t i = 0; i < size(); ++i) clear_slot(slot(std::int32_t(i)), levels_[i]);
}

std::int32_t* LinkStore::moved_to(const std::int32_t* slot) {
  std::int32_t words[kAddressWords];
  for (std::size_t i = 0; i < kAddressWords; ++i) words[i] = shared::load(slot + kHeader + i);
  std::int32_t* block;
  std::memcpy(&block, words, sizeof block);
  return block;
}

const std::int32_t* LinkStore::shared_block(std::int32_t node, std::int32_t layer) const {
  if (layer == 0) {
    if (!has_slots()) return empty_;
    const std::int32_t* s = slot(node);
    return shared::load(s + 1) != kMoved ? s : moved_to(s);
  }
  if (layer < 0 || layer > levels_[std::size_t(node)]) return empty_;
  return shared::load(&upper_[upper_entry(node, layer)]);
}

void LinkStore::copy_shared(const std::int32_t* block, std::vector<std::int32_t>& out) {
  const std::int32_t size = shared::load(block);
  const std::int32_t capacity = shared::load(block + 1);
  const auto count = std::size_t(std::clamp(size, 0, std::max(capacity, 0)));
  out.resize(count);
  // Through locals: every acquiring load would otherwise make the vector's
  // own fields be read again.
  std::int32_t* to = out.data();
  const std::int32_t* from = block + kHeader;
  for (std::size_t i = 0; i < count; ++i) to[i] = shared::load(from + i);
}

void LinkStore::make_room(std::size_t words) {
  if (words == 0) return;
  if (!chunks_.empty() && chunks_.back().capacity() - chunk_used_ >= words) return;
  const std::size_t last = chunks_.empty() ? 0 : chunks_.back().capacity();
  const std::size_t size =
      std::max(words, std::clamp(2 * last, kFirstChunkWords, kLargestChunkWords));
  PodArray<std::int32_t> chunk;
  chunk.reserve(size);
  chunks_.reserve(chunks_.size() + 1);
  chunks_.push_back(std::move(chunk));
  chunk_used_ = 0;
}

std::int32_t* LinkStore::new_block(std::int32_t capacity) {
  std::int32_t* block = chunks_.back().data() + chunk_used_;
  chunk_used_ += kHeader + std::size_t(capacity);
  block[0] = 0;
  block[1] = capacity;
  block[2] = 0;
  block[3] = 0;
  return block;
}

std::int32_t* LinkStore::grown_block(std::int32_t capacity) {
  std::lock_guard<std::mutex> guard(*chunk_lock_);
  make_room(kHeader + std::size_t(capacity));
  return new_block(capacity);
}

void LinkStore::reserve_node(std::int32_t level, std::int32_t cap) {
  levels_.reserve_more(1);
  upper_first_.reserve_more(1);
  reserve_slots(1);
  if (level > 0) {
    upper_.reserve_more(std::size_t(level));
    make_room(std::size_t(level) * (kHeader + std::size_t(preset_capacity(cap))));
  }
}

void LinkStore::add_node(std::int32_t level, std::int32_t cap) {
  reserve_node(level, cap);
  const auto node = std::int32_t(levels_.size());
  if (has_slots()) {
    slot_words_.resize(slot_words_.size() + slot_stride_);
    clear_slot(slot(node), level);
  }
  upper_first_.push_back(level > 0 ? std::uint32_t(upper_.size()) : kNoUpper);
  const std::int32_t c = preset_capacity(cap);
  for (std::int32_t layer = 1; layer <= level; ++layer) {
    upper_.push_back(c > 0 ? new_block(c) : empty_);
  }
  levels_.push_back(level);
}

void LinkStore::truncate(std::size_t n) {
  if (n >= size()) return;
  for (std::size_t i = n; i < size(); ++i) {
    if (upper_first_[i] != kNoUpper) {
      upper_.resize(upper_first_[i]);
      break;
    }
  }
  levels_.resize(n);
  upper_first_.resize(n);
  if (has_slots()) slot_words_.resize(n * slot_stride_);
}

std::int32_t* LinkStore::writable_block(std::int32_t node, std::int32_t layer) {
  if (layer < 0 || layer > levels_[std::size_t(node)]) {
    throw std::logic_error("link list written at a layer the node does not reach");
  }
  if (layer == 0) {
    if (!has_slots()) throw std::logic_error("layer-0 list written without slots");
    std::int32_t* s = slot(node);
    return s[1] != kMoved ? s : moved_to(s);
  }
  return upper_[upper_entry(node, layer)];
}

void LinkStore::rehome(std::int32_t node, std::int32_t layer, std::int32_t* block) {
  if (layer == 0) {
    // The address first: a reader that sees the slot moved finds it there.
    std::int32_t* s = slot(node);
    std::int32_t words[kAddressWords];
    std::memcpy(words, &block, sizeof block);
    for (std::size_t i = 0; i < kAddressWords; ++i) shared::store(s + kHeader + i, words[i]);
    shared::store(s + 1, kMoved);
    return;
  }
  shared::store(&upper_[upper_entry(node, layer)], block);
}

void LinkStore::assign(std::int32_t node, std::int32_t layer, const std::int32_t* ids,
                       std::size_t count, ListOrigin origin) {
  if (count > std::size_t(std::numeric_limits<std::int32_t>::max())) {
    throw std::length_error("neighbour list too long");
  }
  std::int32_t* block = writable_block(node, layer);
  if (count == 0 && block[1] == 0) return;  // the shared empty block stays as it is
  // A new block leaves the old one intact, so ids may point into it.
  if (std::int32_t(count) > block[1]) {
    std::int32_t* grown = grown_block(std::int32_t(count));
    if (count > 0) std::memcpy(grown + kHeader, ids, count * sizeof(std::int32_t));
    grown[0] = std::int32_t(count);
    grown[2] = origin.known;
    grown[3] = origin.passed;
    rehome(node, layer, grown);
    return;
  }
  shared::move(block + kHeader, ids, count);
  shared::store(block, std::int32_t(count));
  shared::store(block + 2, origin.known);
  shared::store(block + 3, origin.passed);
}

void LinkStore::append(std::int32_t node, std::int32_t layer, std::int32_t id) {
  std::int32_t* block = writable_block(node, layer);
  const std::int32_t size = block[0];
  if (size == block[1]) {
    if (size == std::numeric_limits<std::int32_t>::max()) {
      throw std::length_error("neighbour list too long");
    }
    const std::int32_t grown =
        std::int32_t(std::min<std::int64_t>(std::max<std::int64_t>(4, 2 * std::int64_t(size)),
                                            std::numeric_limits<std::int32_t>::max()));
    std::int32_t* moved = grown_block(grown);
    std::memcpy(moved + kHeader, block + kHeader, std::size_t(size) * sizeof(std::int32_t));
    moved[0] = size;
    moved[2] = block[2];
    moved[3] = block[3];
    rehome(node, layer, moved);
    block = moved;
  }
  shared::store(block + kHeader + std::size_t(size), id);
  shared::store(block, size + 1);
}

}  // namespace zelt
