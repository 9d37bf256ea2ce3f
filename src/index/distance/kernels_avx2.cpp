// The kernels with AVX2 and FMA instructions. This is the only translation
// unit built with those instructions enabled, and nothing here runs unless the
// processor reports them (kernel_choice.cpp).

#include <immintrin.h>

#include "index/distance/kernel_bodies.h"
#include "index/distance/kernels.h"

namespace zelt::avx2 {
namespace {

// (s0+s4 + s1+s5) + (s2+s6 + s3+s7), in exactly that order.
inline float reduce_lanes(__m256 s) {
  const __m128 t = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));
  const __m128 pairs = _mm_add_ps(t, _mm_movehdup_ps(t));  // [t0+t1, -, t2+t3, -]
  return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_movehl_ps(pairs, pairs)));
}

// lower(x, c) and higher(x, c) of eight lanes: MINPS and MAXPS return their
// second operand unless the first is strictly lower (higher), NaN included,
// which is what the scalar forms do.
inline __m256 lower8(__m256 x, float c) { return _mm256_min_ps(x, _mm256_set1_ps(c)); }
inline __m256 higher8(__m256 x, float c) { return _mm256_max_ps(x, _mm256_set1_ps(c)); }

// cosine_distance of eight records, every step the same correctly rounded
// operation as in the scalar form.
inline __m256 cosine_distances8(__m256 dot, float q_norm_sq, __m256 vn) {
  const __m256 x = _mm256_sqrt_ps(_mm256_mul_ps(_mm256_set1_ps(q_norm_sq), vn));
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 far = _mm256_sub_ps(one, _mm256_div_ps(dot, x));
  return _mm256_blendv_ps(one, far, _mm256_cmp_ps(x, _mm256_set1_ps(1e-8f), _CMP_GE_OQ));
}

// poincare_key of eight records, likewise.
inline __m256 poincare_keys8(__m256 diff_sum, float q_norm_sq, __m256 vn) {
  const __m256 a = lower8(vn, 0.999999f);
  const float b = q_norm_sq < 0.999999f ? q_norm_sq : 0.999999f;
  const __m256 one_minus_a = _mm256_sub_ps(_mm256_set1_ps(1.0f), a);
  // -(x*y) + z rounded once is fma(-x, y, z).
  __m256 den = _mm256_fnmadd_ps(one_minus_a, _mm256_set1_ps(b), one_minus_a);
  den = higher8(den, 1e-6f);
  const __m256 arg =
      _mm256_add_ps(_mm256_div_ps(_mm256_add_ps(diff_sum, diff_sum), den), _mm256_set1_ps(1.0f));
  return higher8(arg, 1.000001f);
}

// The B values at x (B is 4 or 8) in the low lanes, zeros above.
template <int B>
inline __m256 load_lanes(const float* x) {
  if constexpr (B == 8) return _mm256_loadu_ps(x);
  return _mm256_insertf128_ps(_mm256_setzero_ps(), _mm_loadu_ps(x), 0);
}
template <int B>
inline void store_lanes(float* out, __m256 r) {
  if constexpr (B == 8) {
    _mm256_storeu_ps(out, r);
  } else {
    _mm_storeu_ps(out, _mm256_castps256_ps128(r));
  }
}

// The stored norms of B records, gathered straight into lanes: through a
// buffer they would wait on the stores of each one. False where a norm is
// absent (negative or NaN), which leaves the group to the scalar form.
template <int B>
inline bool stored_norms(const float* const* v, std::int32_t n, __m256* norms) {
  float w[8] = {};
  for (int b = 0; b < B; ++b) w[b] = v[b][n];
  const __m256 vn = _mm256_setr_ps(w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
  *norms = vn;
  const int present = _mm256_movemask_ps(_mm256_cmp_ps(vn, _mm256_setzero_ps(), _CMP_GE_OQ));
  return present == 0xff;
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

  // Q queries against one record: the record's values are loaded once, each
  // query keeps its own eight lanes, reduction and tail.
  template <int Q>
  static void squared_difference_sums_of(const float* const* q, const float* v, std::int32_t n,
                                         float* out) {
    __m256 s[Q];
    for (int b = 0; b < Q; ++b) s[b] = _mm256_setzero_ps();
    std::int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
      const __m256 y = _mm256_loadu_ps(v + i);
      for (int b = 0; b < Q; ++b) {
        const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(q[b] + i), y);
        s[b] = _mm256_fmadd_ps(d, d, s[b]);
      }
    }
    for (int b = 0; b < Q; ++b) out[b] = reduce_lanes(s[b]);
    for (; i < n; ++i) {
      for (int b = 0; b < Q; ++b) {
        const float d = q[b][i] - v[i];
        const float p = d * d;
        out[b] = out[b] + p;
      }
    }
  }

  template <int Q>
  static void dot_products_of(const float* const* q, const float* v, std::int32_t n, float* out) {
    __m256 s[Q];
    for (int b = 0; b < Q; ++b) s[b] = _mm256_setzero_ps();
    std::int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
      const __m256 y = _mm256_loadu_ps(v + i);
      for (int b = 0; b < Q; ++b) s[b] = _mm256_fmadd_ps(_mm256_loadu_ps(q[b] + i), y, s[b]);
    }
    for (int b = 0; b < Q; ++b) out[b] = reduce_lanes(s[b]);
    for (; i < n; ++i) {
      for (int b = 0; b < Q; ++b) {
        const float p = q[b][i] * v[i];
        out[b] = out[b] + p;
      }
    }
  }

  // Groups of four or eight whose norms are all stored.
  template <MetricKind M, int B>
  static bool finish_lanes(const float* sums, float q_norm_sq, const float* const* v,
                           std::int32_t n, float* out) {
    if constexpr (B != 4 && B != 8) {
      return false;
    } else {
      __m256 norms;
      if (!stored_norms<B>(v, n, &norms)) return false;
      const __m256 x = load_lanes<B>(sums);
      store_lanes<B>(out, M == MetricKind::Cosine ? cosine_distances8(x, q_norm_sq, norms)
                                                  : poincare_keys8(x, q_norm_sq, norms));
      return true;
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
