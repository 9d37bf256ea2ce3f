#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace zelt {

// Page-granular memory straight from the system, grown in place or moved by
// remapping pages rather than copying them. The capacity beyond what is used
// is address space only, never touched, so it costs no resident memory, and a
// growth leaves no freed copy behind in the heap.
namespace pages {
void* reserve(std::size_t bytes);                                  // zeroed; nullptr on failure
void* grow(void* data, std::size_t old_bytes, std::size_t bytes);  // nullptr on failure
void release(void* data, std::size_t bytes);
}  // namespace pages

// A growable array of trivially copyable values on such memory. New elements
// are zero. Storage moves only when the capacity grows.
template <class T>
class PodArray {
  static_assert(std::is_trivially_copyable<T>::value, "PodArray holds plain values");

 public:
  PodArray() = default;
  PodArray(const PodArray&) = delete;
  PodArray& operator=(const PodArray&) = delete;
  PodArray(PodArray&& other) noexcept { swap(other); }
  PodArray& operator=(PodArray&& other) noexcept {
    PodArray gone(std::move(*this));
    swap(other);
    return *this;
  }
  ~PodArray() { pages::release(data_, capacity_ * sizeof(T)); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

  // Makes room for n elements in all; throws std::bad_alloc.
  void reserve(std::size_t n) {
    if (n <= capacity_) return;
    if (n > max_size()) throw std::bad_alloc();
    void* grown = data_ == nullptr ? pages::reserve(n * sizeof(T))
                                   : pages::grow(data_, capacity_ * sizeof(T), n * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_ = n;
  }
  // Room for `extra` more, with geometric growth.
  void reserve_more(std::size_t extra) {
    const std::size_t need = size_ + extra;
    const std::size_t grown = capacity_ + capacity_ / 2 + 16;
    if (need > capacity_) reserve(need > grown ? need : grown);
  }
  // Call reserve_more first; then these cannot throw.
  void push_back(const T& value) { data_[size_++] = value; }
  void append(const T* values, std::size_t n) {
    if (n > 0) std::memcpy(data_ + size_, values, n * sizeof(T));
    size_ += n;
  }
  // Grows with zeros or cuts back; cutting back zeroes what is cut, so that
  // a later growth finds zeros again.
  void resize(std::size_t n) {
    if (n > size_) {
      reserve(n);
    } else if (n < size_) {
      std::memset(static_cast<void*>(data_ + n), 0, (size_ - n) * sizeof(T));
    }
    size_ = n;
  }

 private:
  static constexpr std::size_t max_size() { return (std::size_t(1) << 46) / sizeof(T); }
  void swap(PodArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace zelt
