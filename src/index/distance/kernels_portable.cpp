// The kernels in plain C++, for every processor: the same eight partial sums
// with one fused multiply-add (std::fma) per value, the same reduction and the
// same tail as the vectorised set, so the same bits.

#include "index/distance/kernel_bodies.h"
#include "index/distance/kernels.h"

namespace zelt::portable {

struct Ops {
  static float fma(float a, float b, float c) { return std::fma(a, b, c); }

  // Lane j of every whole block of eight is fused into s[j]; term(i) gives
  // the two factors of value i.
  template <class Term>
  static float blocked_sum(std::int32_t n, Term term) {
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

  static float squared_norm(const float* v, std::int32_t n) {
    return blocked_sum(n, [v](std::int32_t i) { return Pair{v[i], v[i]}; });
  }
  static float squared_difference_sum(const float* q, const float* v, std::int32_t n) {
    return blocked_sum(n, [q, v](std::int32_t i) {
      const float d = q[i] - v[i];
      return Pair{d, d};
    });
  }
  static float dot_product(const float* q, const float* v, std::int32_t n) {
    return blocked_sum(n, [q, v](std::int32_t i) { return Pair{q[i], v[i]}; });
  }
  template <int B>
  static void squared_difference_sums(const float* q, const float* const* v, std::int32_t n,
                                      float* out) {
    for (int b = 0; b < B; ++b) out[b] = squared_difference_sum(q, v[b], n);
  }
  template <int B>
  static void dot_products(const float* q, const float* const* v, std::int32_t n, float* out) {
    for (int b = 0; b < B; ++b) out[b] = dot_product(q, v[b], n);
  }
  template <int Q>
  static void squared_difference_sums_of(const float* const* q, const float* v, std::int32_t n,
                                         float* out) {
    for (int b = 0; b < Q; ++b) out[b] = squared_difference_sum(q[b], v, n);
  }
  template <int Q>
  static void dot_products_of(const float* const* q, const float* v, std::int32_t n, float* out) {
    for (int b = 0; b < Q; ++b) out[b] = dot_product(q[b], v, n);
  }
  // No lanes here: every record goes through the scalar form.
  template <MetricKind M, int B>
  static bool finish_lanes(const float*, float, const float* const*, std::int32_t, float*) {
    return false;
  }
};

}  // namespace zelt::portable

namespace zelt {

const KernelSet& portable_kernels() {
  static constexpr KernelSet set = kernel_bodies::kernel_set<portable::Ops>("portable");
  return set;
}

}  // namespace zelt
