#pragma once
// Vectorised kernel bodies, inlined into the hot loops of the searches. Only
// translation units built with AVX2 and FMA may include this header.

#include <immintrin.h>

#include <cmath>
#include <cstdint>

namespace zelt::avx2 {

// (s0+s4 + s1+s5) + (s2+s6 + s3+s7), in exactly that order.
inline float reduce_lanes(__m256 s) {
  const __m128 t = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));
  const __m128 pairs = _mm_add_ps(t, _mm_movehdup_ps(t));  // [t0+t1, -, t2+t3, -]
  return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_movehl_ps(pairs, pairs)));
}

inline float squared_norm(const float* v, std::int32_t n) {
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

inline float squared_difference_sum(const float* q, const float* v, std::int32_t n) {
  __m256 s = _mm256_setzero_ps();
  std::int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(q + i), _mm256_loadu_ps(v + i));
    s = _mm256_fmadd_ps(d, d, s);
  }
  float total = reduce_lanes(s);
  for (; i < n; ++i) {
    const float d = q[i] - v[i];
    const float p = d * d;
    total = total + p;
  }
  return total;
}

inline float dot_product(const float* q, const float* v, std::int32_t n) {
  __m256 s = _mm256_setzero_ps();
  std::int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    s = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), _mm256_loadu_ps(v + i), s);
  }
  float total = reduce_lanes(s);
  for (; i < n; ++i) {
    const float p = q[i] * v[i];
    total = total + p;
  }
  return total;
}

// The same sums for B stored vectors at once: each vector keeps its own eight
// lanes, reduction and tail, so every result has the bits of the one-vector
// kernel, while the B independent chains of fused multiply-adds keep the
// processor's pipelines busy.
template <int B>
inline void squared_difference_sums(const float* q, const float* const* v, std::int32_t n,
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
inline void dot_products(const float* q, const float* const* v, std::int32_t n, float* out) {
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

// lower(x, c) is x if x < c, else c; higher(x, c) is x if x > c, else c.
// A NaN x yields c in both.
inline float lower(float x, float c) { return x < c ? x : c; }
inline float higher(float x, float c) { return x > c ? x : c; }

inline float cosine_distance(float dot, float q_norm_sq, float vn) {
  const float product = q_norm_sq * vn;
  const float x = std::sqrt(product);
  if (x >= 1e-8f) return 1.0f - dot / x;
  return 1.0f;
}

inline float poincare_distance(float diff_sum, float q_norm_sq, float vn) {
  const float a = lower(vn, 0.999999f);
  const float b = lower(q_norm_sq, 0.999999f);
  const float one_minus_a = 1.0f - a;
  // (1 - a)(1 - b) with a single rounding.
  float den = std::fma(-one_minus_a, b, one_minus_a);
  den = higher(den, 1e-6f);
  float arg = (diff_sum + diff_sum) / den + 1.0f;
  arg = higher(arg, 1.000001f);
  const float r = std::fma(arg, arg, -1.0f);
  const float root = std::sqrt(r);
  return std::log(arg + root);
}

}  // namespace zelt::avx2
