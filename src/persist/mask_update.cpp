#include "persist/mask_update.h"

#include <algorithm>
#include <stdexcept>

namespace zelt {

void replace_masks(IndexState& s, const std::uint64_t* values, std::size_t count) {
  if (count != s.size()) throw std::runtime_error("Mask array size does not match graph size!");
  // Built apart first, so that running out of memory changes no mask.
  TagColumns tags;
  tags.rebuild(values, count);
  std::copy(values, values + count, s.masks.data());
  s.tags = std::move(tags);
}

void set_masks(IndexState& s, const std::int64_t* ids, std::size_t count,
               const std::uint64_t* values, std::uint64_t single) {
  for (std::size_t i = 0; i < count; ++i) s.check_node(ids[i]);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t& mask = s.masks[std::size_t(ids[i])];
    const std::uint64_t after = values != nullptr ? values[i] : single;
    s.tags.change(std::size_t(ids[i]), mask, after);
    mask = after;
  }
}

}  // namespace zelt
