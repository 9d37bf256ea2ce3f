#include "index/store/finite_values.h"

#include <cmath>
#include <cstring>

namespace zelt {

std::int64_t first_non_finite(const float* v, std::size_t n) {
  // A float is a NaN or an infinity when its exponent bits are all set. Whole
  // blocks are tested without an early exit, which the compiler vectorises, so
  // the usual all-finite case (every vector of a load) runs at memory speed.
  constexpr std::uint32_t kExponent = 0x7f800000u;
  constexpr std::size_t kBlock = 32;
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    std::uint32_t bits[kBlock];
    std::memcpy(bits, v + i, sizeof bits);
    bool any = false;
    for (const std::uint32_t b : bits) any |= (b & kExponent) == kExponent;
    if (any) break;
  }
  for (; i < n; ++i) {
    if (!std::isfinite(v[i])) return std::int64_t(i);
  }
  return -1;
}

std::string non_finite_text(const float* v, std::int64_t position) {
  const float x = v[position];
  const char* kind = std::isnan(x) ? "nan" : x > 0 ? "inf" : "-inf";
  return std::string("a non-finite value at position ") + std::to_string(position) + " (" + kind +
         ")";
}

}  // namespace zelt
