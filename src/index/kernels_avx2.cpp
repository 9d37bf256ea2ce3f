// The kernels with AVX2 and FMA instructions. This is the only translation
// unit built with those instructions enabled, and nothing here runs unless the
// processor reports them (kernel_choice.cpp).

#include <immintrin.h>

#include "index/kernel_bodies.h"
#include "index/kernels.h"

namespace zelt::avx2 {
namespace {

// (s0+s4 + s1+s5) + (s2+s6 + s3+s7), in exactly that order.
inline float reduce_lanes(__m256 s) {
  const __m128 t = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));
  const __m128 pairs = _mm_add_ps(t, _mm_movehdup_ps(t));  // [t0+t1, -, t2+t3, -]
  return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_movehl_ps(pairs, pairs)));
}

}  // namespace

struct Ops {
  static float fma(float a, float b, float c) { return std::fma(a, b, c); }

  static float squared_norm(const float* v, std::int32_t n) {
    __m256 s = _mm256_setzero_ps();
    std::int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
      const __m256 x = _mm256_loadu_ps(v + i);
      s = _mm256_fmadd_ps(x, x, s);
    }
    float total = reduce_lanes(s);
    for (; i < n; ++i) {
      const float p = v[i] * v[i];
      total = total + p;
    }
    return total;
  }

  // One vector is the case B = 1 of the sums below.
  static float squared_difference_sum(const float* q, const float* v, std::int32_t n) {
    float out;
    squared_difference_sums<1>(q, &v, n, &out);
    return out;
  }
  static float dot_product(const float* q, const float* v, std::int32_t n) {
    float out;
    dot_products<1>(q, &v, n, &out);
    return out;
  }

  // The same sums for B vectors at once: each keeps its own eight lanes,
  // reduction and tail.
  template <int B>
  static void squared_difference_sums(const float* q, const float* const* v, std::int32_t n,
                                      float* out) {
    __m256 s[B];
    for (int b = 0; b < B; ++b) s[b] = _mm256_setzero_ps();
    std::int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
      const __m256 x = _mm256_loadu_ps(q + i);
      for (int b = 0; b < B; ++b) {
        const __m256 d = _mm256_sub_ps(x, _mm256_loadu_ps(v[b] + i));
        s[b] = _mm256_fmadd_ps(d, d, s[b]);
      }
    }
    for (int b = 0; b < B; ++b) out[b] = reduce_lanes(s[b]);
    for (; i < n; ++i) {
      for (int b = 0; b < B; ++b) {
        const float d = q[i] - v[b][i];
        const float p = d * d;
        out[b] = out[b] + p;
      }
    }
  }

  template <int B>
  static void dot_products(const float* q, const float* const* v, std::int32_t n, float* out) {
    __m256 s[B];
    for (int b = 0; b < B; ++b) s[b] = _mm256_setzero_ps();
    std::int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
      const __m256 x = _mm256_loadu_ps(q + i);
      for (int b = 0; b < B; ++b) s[b] = _mm256_fmadd_ps(x, _mm256_loadu_ps(v[b] + i), s[b]);
    }
    for (int b = 0; b < B; ++b) out[b] = reduce_lanes(s[b]);
    for (; i < n; ++i) {
      for (int b = 0; b < B; ++b) {
        const float p = q[i] * v[b][i];
        out[b] = out[b] + p;
      }
    }
  }
};

}  // namespace zelt::avx2

namespace zelt {

// Constant data, so that merely loading the module runs no AVX2 code; the
// processor check that guards its use lives in portable code.
extern const KernelSet avx2_kernel_set;
constexpr KernelSet avx2_kernel_set = kernel_bodies::kernel_set<avx2::Ops>("avx2");

}  // namespace zelt
