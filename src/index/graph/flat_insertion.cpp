#include "index/graph/flat_insertion.h"

namespace zelt {

void insert_flat(IndexState& s, const float* v, std::uint64_t mask) {
  s.store_node(v, mask, 0, false);
}

}  // namespace zelt
