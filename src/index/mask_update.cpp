#include "index/mask_update.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace zelt {

void replace_masks(IndexState& s, const std::uint64_t* values, std::size_t count) {
  if (count != s.size()) throw std::runtime_error("Mask array size does not match graph size!");
  std::copy(values, values + count, s.masks.data());
}

void set_masks(IndexState& s, const std::int64_t* ids, std::size_t count,
               const std::uint64_t* values, std::uint64_t single) {
  for (std::size_t i = 0; i < count; ++i) {
    if (ids[i] < 0 || std::uint64_t(ids[i]) >= s.size()) {
      throw std::out_of_range("node id " + std::to_string(ids[i]) + " is not in 0 … " +
                              std::to_string(std::int64_t(s.size()) - 1));
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    s.masks[std::size_t(ids[i])] = values != nullptr ? values[i] : single;
  }
}

}  // namespace zelt
