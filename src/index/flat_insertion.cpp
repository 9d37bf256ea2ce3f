#include "index/flat_insertion.h"

namespace zelt {

void insert_flat(IndexState& s, const float* v, std::uint64_t mask) {
  s.append_node(v, s.norm_of(v), mask, 0);
}

}  // namespace zelt
