#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace zelt {

// Makes room for `extra` more elements with geometric growth, so that the
// appends that follow cannot throw. Reserving first in every per-node sequence
// is what keeps them of equal length when memory runs out.
template <class T>
void reserve_for_append(std::vector<T>& v, std::size_t extra) {
  const std::size_t need = v.size() + extra;
  if (need <= v.capacity()) return;
  v.reserve(std::max(need, v.capacity() + v.capacity() / 2));
}

// Reserves room for `requested` elements, but no more than `available` can
// fill: a huge request must not claim gigabytes it will never use. A negative
// request still fails, with std::length_error, as a reservation of it would.
template <class T>
void reserve_at_most(std::vector<T>& v, std::int32_t requested, std::size_t available) {
  v.reserve(requested < 0 ? std::size_t(requested) : std::min(std::size_t(requested), available));
}

}  // namespace zelt
