#pragma once

#include <cstdint>

namespace zelt {

// The summation order of every kernel is fixed: eight single-precision lanes
// accumulated with one fused multiply-add per value over whole blocks of eight,
// reduced as (s0+s4 + s1+s5) + (s2+s6 + s3+s7), then the remaining values
// added one at a time in index order with the product rounded first.
// n is the number of components; negative n counts as 0.

float squared_norm(const float* v, std::int32_t n);
// Sum of (q[i] - v[i])^2.
float squared_difference_sum(const float* q, const float* v, std::int32_t n);
float dot_product(const float* q, const float* v, std::int32_t n);

// Plain scalar versions of the same summation order, for processors and tests
// that want them; they give the same bits as the vectorised ones.
namespace scalar {
float squared_norm(const float* v, std::int32_t n);
float squared_difference_sum(const float* q, const float* v, std::int32_t n);
float dot_product(const float* q, const float* v, std::int32_t n);
}  // namespace scalar

}  // namespace zelt
