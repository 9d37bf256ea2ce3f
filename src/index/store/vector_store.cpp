#include "index/store/vector_store.h"

#include <algorithm>

namespace zelt {

void VectorStore::set_tail_words(std::size_t words) {
  const std::size_t kept = std::size_t(dimension_) + 1;
  // A record with a tail is padded to whole 32-byte blocks, so that no
  // vector load of the kernels straddles two cache lines (the store's pages
  // are aligned). Bare records stay as small as they can be.
  const std::size_t stride =
      words == 0 ? kept : (kept + words + kBlockWords - 1) / kBlockWords * kBlockWords;
  if (stride == stride_) return;
  const std::size_t n = size();
  PodArray<float> moved;
  moved.resize(n * stride);
  for (std::size_t i = 0; i < n; ++i) {
    const float* from = data_.data() + i * stride_;
    std::copy(from, from + std::min(kept, stride_), moved.data() + i * stride);
  }
  data_ = std::move(moved);
  stride_ = stride;
}

}  // namespace zelt
