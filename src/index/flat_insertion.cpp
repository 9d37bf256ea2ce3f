#include "index/flat_insertion.h"

#include "index/kernels.h"

namespace zelt {

void insert_flat(IndexState& s, const float* v, std::uint64_t mask) {
  s.append_node(v, squared_norm(v, s.dimension()), mask, 0);
}

}  // namespace zelt
