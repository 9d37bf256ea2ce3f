#pragma once

#include <cstddef>
#include <cstdint>

#include "index/store/pod_array.h"

namespace zelt {

// Every node's record in one contiguous arena: its vector, its stored squared
// norm, and then `tail_words` 32-bit words that the link store keeps the
// node's layer-0 list in. The norm sits right after the vector so that the
// distance kernels and the boundary test of the graph search find it in the
// cache lines they are already reading, and the list right after them so that
// expanding a node finds its list in lines that measuring it brought in.
// An index of flat nodes only has no tail.
class VectorStore {
 public:
  explicit VectorStore(std::int32_t dimension = 0)
      : dimension_(dimension < 0 ? 0 : dimension), stride_(std::size_t(dimension_) + 1) {}

  std::int32_t dimension() const { return dimension_; }
  std::size_t size() const { return data_.size() / stride_; }
  // Floats from one record to the next.
  std::size_t stride() const { return stride_; }
  std::size_t tail_words() const { return stride_ - std::size_t(dimension_) - 1; }

  const float* vector(std::int32_t node) const {
    return data_.data() + std::size_t(node) * stride_;
  }
  float* vector(std::int32_t node) { return data_.data() + std::size_t(node) * stride_; }
  float stored_norm(std::int32_t node) const { return vector(node)[dimension_]; }
  void set_stored_norm(std::int32_t node, float norm) { vector(node)[dimension_] = norm; }
  // The tail of record 0; record i's is stride() words further on for each i.
  // None while the store has no room at all.
  std::int32_t* tails() {
    float* first = data_.data();
    if (first == nullptr) return nullptr;
    return reinterpret_cast<std::int32_t*>(first + std::size_t(dimension_) + 1);
  }

  // Room for `extra` more records, so that the appends that follow cannot
  // throw and the records do not move meanwhile.
  void reserve_more(std::size_t extra) { data_.reserve_more(extra * stride_); }
  // Appends a record with a zero tail.
  void append(const float* values, float norm) {
    data_.append(values, std::size_t(dimension_));
    data_.push_back(norm);
    data_.resize(data_.size() + tail_words());
  }

  // Sizes the store to n records, zeroed where new, dropping those beyond.
  void resize(std::size_t n) { data_.resize(n * stride_); }
  // Gives every record a zero tail of at least `words` words (copying the
  // records); tail_words() tells how many.
  void set_tail_words(std::size_t words);

 private:
  static constexpr std::size_t kBlockWords = 8;

  std::int32_t dimension_;
  std::size_t stride_;
  PodArray<float> data_;
};

}  // namespace zelt
