#pragma once

#include <cstddef>
#include <cstdint>

#include "index/store/pod_array.h"

namespace zelt {

// Every node's record in one contiguous arena: its vector and then its
// stored squared norm, which the distance kernels and the boundary test of
// the graph search thus find in the cache lines they are already reading.
// Nothing else lies between the records, so the exact scan reads no byte it
// does not use.
class VectorStore {
 public:
  explicit VectorStore(std::int32_t dimension = 0)
      : dimension_(dimension < 0 ? 0 : dimension), stride_(std::size_t(dimension_) + 1) {}

  std::int32_t dimension() const { return dimension_; }
  std::size_t size() const { return data_.size() / stride_; }
  // Floats from one record to the next.
  std::size_t stride() const { return stride_; }

  const float* vector(std::int32_t node) const {
    return data_.data() + std::size_t(node) * stride_;
  }
  float* vector(std::int32_t node) { return data_.data() + std::size_t(node) * stride_; }
  float stored_norm(std::int32_t node) const { return vector(node)[dimension_]; }
  void set_stored_norm(std::int32_t node, float norm) { vector(node)[dimension_] = norm; }
  // Room for `extra` more records, so that the appends that follow cannot
  // throw and the records do not move meanwhile.
  void reserve_more(std::size_t extra) { data_.reserve_more(extra * stride_); }
  void append(const float* values, float norm) {
    data_.append(values, std::size_t(dimension_));
    data_.push_back(norm);
  }

  // Sizes the store to n records, zeroed where new, dropping those beyond.
  void resize(std::size_t n) { data_.resize(n * stride_); }

 private:
  std::int32_t dimension_;
  std::size_t stride_;
  PodArray<float> data_;
};

}  // namespace zelt
