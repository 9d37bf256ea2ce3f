#pragma once

#include <cstdint>
#include <vector>

#include "index/store/link_store.h"

namespace zelt {

// Every node's in-links on layer 0: the nodes whose lists hold it. On a
// hierarchy every child lists its parent, so a parent's in-links reach all
// its children, however many more there are than its own list can keep. A
// snapshot of the lists when it was made; a node added since has none.
class ReverseLinks {
 public:
  // The nodes whose layer-0 lists held `node`, ascending.
  LinkSpan of(std::int32_t node) const {
    if (node < 0 || std::size_t(node) + 1 >= offsets_.size()) return LinkSpan{ids_.data(), 0};
    const std::uint32_t first = offsets_[std::size_t(node)];
    return LinkSpan{ids_.data() + first, std::int32_t(offsets_[std::size_t(node) + 1] - first)};
  }
  // Makes the snapshot afresh from the store's layer-0 lists.
  void rebuild(const LinkStore& links);
  void clear();

 private:
  std::vector<std::uint32_t> offsets_;  // node n's in-links are ids_[offsets_[n] … offsets_[n+1])
  std::vector<std::int32_t> ids_;
};

}  // namespace zelt
