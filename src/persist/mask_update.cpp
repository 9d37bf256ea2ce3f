#include "persist/mask_update.h"

#include <algorithm>
#include <stdexcept>

namespace zelt {

void replace_masks(IndexState& s, const std::uint64_t* values, std::size_t count) {
  if (count != s.size()) throw std::runtime_error("Mask array size does not match graph size!");
  std::copy(values, values + count, s.masks.data());
}

void set_masks(IndexState& s, const std::int64_t* ids, std::size_t count,
               const std::uint64_t* values, std::uint64_t single) {
  for (std::size_t i = 0; i < count; ++i) s.check_node(ids[i]);
  for (std::size_t i = 0; i < count; ++i) {
    s.masks[std::size_t(ids[i])] = values != nullptr ? values[i] : single;
  }
}

}  // namespace zelt
