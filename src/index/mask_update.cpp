#include "index/mask_update.h"

#include <algorithm>
#include <stdexcept>

namespace zelt {

void replace_masks(IndexState& s, const std::uint64_t* values, std::size_t count) {
  if (count != s.size()) throw std::runtime_error("Mask array size does not match graph size!");
  std::copy(values, values + count, s.masks.data());
}

}  // namespace zelt
