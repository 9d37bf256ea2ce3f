#pragma once
// Words that one thread may rewrite while others read them without a lock.
// Each word is loaded and stored whole, as an atomic access (a plain move on
// x86), so a reader that overlaps a writer gets a mix of old and new words,
// never a torn one; the readers' version check then tells it to read again.
// The writes release and the reads acquire, so a reader that sees any word of
// a write also sees the version that write began with.

#include <cstddef>
#include <cstdint>

namespace zelt::shared {

inline std::int32_t load(const std::int32_t* word) {
  return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}

inline void store(std::int32_t* word, std::int32_t value) {
  __atomic_store_n(word, value, __ATOMIC_RELEASE);
}

inline std::int32_t* load(std::int32_t* const* address) {
  return __atomic_load_n(address, __ATOMIC_ACQUIRE);
}

inline void store(std::int32_t** address, std::int32_t* value) {
  __atomic_store_n(address, value, __ATOMIC_RELEASE);
}

// Copies n words into to, where to and from may overlap.
inline void move(std::int32_t* to, const std::int32_t* from, std::size_t n) {
  if (to <= from) {
    for (std::size_t i = 0; i < n; ++i) store(to + i, from[i]);
  } else {
    for (std::size_t i = n; i-- > 0;) store(to + i, from[i]);
  }
}

}  // namespace zelt::shared
