#include "index/kernels.h"

#include "index/kernels_inline.h"

namespace zelt {

float squared_norm(const float* v, std::int32_t n) { return avx2::squared_norm(v, n); }

float squared_difference_sum(const float* q, const float* v, std::int32_t n) {
  return avx2::squared_difference_sum(q, v, n);
}

float dot_product(const float* q, const float* v, std::int32_t n) {
  return avx2::dot_product(q, v, n);
}

namespace scalar {
namespace {

// The eight-lane scheme spelled out: lane j of block b is fused into s[j].
template <class Term>
float blocked_sum(std::int32_t n, Term term) {
  float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (int j = 0; j < 8; ++j) {
      const auto [x, y] = term(i + j);
      s[j] = std::fma(x, y, s[j]);
    }
  }
  const float t0 = s[0] + s[4], t1 = s[1] + s[5], t2 = s[2] + s[6], t3 = s[3] + s[7];
  float total = (t0 + t1) + (t2 + t3);
  for (; i < n; ++i) {
    const auto [x, y] = term(i);
    const float p = x * y;
    total = total + p;
  }
  return total;
}

struct Pair {
  float x, y;
};

}  // namespace

float squared_norm(const float* v, std::int32_t n) {
  return blocked_sum(n, [v](std::int32_t i) { return Pair{v[i], v[i]}; });
}

float squared_difference_sum(const float* q, const float* v, std::int32_t n) {
  return blocked_sum(n, [q, v](std::int32_t i) {
    const float d = q[i] - v[i];
    return Pair{d, d};
  });
}

float dot_product(const float* q, const float* v, std::int32_t n) {
  return blocked_sum(n, [q, v](std::int32_t i) { return Pair{q[i], v[i]}; });
}

}  // namespace scalar
}  // namespace zelt
