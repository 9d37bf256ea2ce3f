#include "index/store/reverse_links.h"

#include <algorithm>

namespace zelt {

namespace {

// The first kParents ids of a node's layer-0 list: the nearest that its last
// selection kept, its parent and nearest ancestors on a hierarchy. Every
// in-link instead would give a root nearly every node of its tree, which all
// list it, and a walk would scan them all when it gets there.
constexpr std::int32_t kParents = 8;

LinkSpan parents(const LinkStore& links, std::size_t node) {
  const LinkSpan list = links.links(std::int32_t(node), 0);
  return LinkSpan{list.ids, std::min(list.size, kParents)};
}

}  // namespace

void ReverseLinks::rebuild(const LinkStore& links) {
  const std::size_t n = links.size();
  offsets_.assign(n + 1, 0);
  for (std::size_t node = 0; node < n; ++node) {
    for (const std::int32_t m : parents(links, node)) ++offsets_[std::size_t(m) + 1];
  }
  for (std::size_t i = 1; i <= n; ++i) offsets_[i] += offsets_[i - 1];
  ids_.resize(offsets_[n]);
  std::vector<std::uint32_t> next(offsets_.begin(), offsets_.end() - 1);
  for (std::size_t node = 0; node < n; ++node) {
    for (const std::int32_t m : parents(links, node)) {
      ids_[next[std::size_t(m)]++] = std::int32_t(node);
    }
  }
}

void ReverseLinks::clear() {
  offsets_.clear();
  ids_.clear();
}

}  // namespace zelt
