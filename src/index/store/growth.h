#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace zelt {

// Reserves room for `requested` elements, but no more than `available` can
// fill: a huge request must not claim gigabytes it will never use. A negative
// request still fails, with std::length_error, as a reservation of it would.
template <class T>
void reserve_at_most(std::vector<T>& v, std::int32_t requested, std::size_t available) {
  v.reserve(requested < 0 ? std::size_t(requested) : std::min(std::size_t(requested), available));
}

}  // namespace zelt
