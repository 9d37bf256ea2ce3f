#include "index/store/finite_values.h"

#include <cmath>

namespace zelt {

std::int64_t first_non_finite(const float* v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
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
