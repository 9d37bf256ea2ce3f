#pragma once
// Helpers shared by the core's unit tests: an independent scalar model of the
// distance kernels, bit comparison of floats, random data, hand-built states
// and a byte buffer for index files.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "index/distance/kernels.h"
#include "index/distance/metric.h"
#include "index/store/index_state.h"

#if defined(__FAST_MATH__)
#error "the kernel tests compare rounding bit for bit and cannot be built with -ffast-math"
#endif

namespace zelt_test {

// Every kernel set this processor can run: the portable one, and the AVX2 one
// where it runs.
inline std::vector<const zelt::KernelSet*> kernel_sets() {
  std::vector<const zelt::KernelSet*> sets{&zelt::portable_kernels()};
  if (zelt::avx2_kernels() != nullptr) sets.push_back(zelt::avx2_kernels());
  return sets;
}

// The elements of a per-node array, for comparisons.
template <class T>
std::vector<T> values(const zelt::PodArray<T>& a) {
  return std::vector<T>(a.begin(), a.end());
}

// A fresh state from the constructor's four values.
inline zelt::IndexState make_state(std::int32_t dimension, float curvature, std::int32_t m,
                                   zelt::MetricKind metric, std::uint32_t seed) {
  return zelt::make_state(zelt::IndexParams::derive(dimension, curvature, m, metric), seed);
}
inline float level_mult_for(std::int32_t m) {
  return zelt::IndexParams::derive(0, 1.0f, m, zelt::MetricKind::Poincare).level_mult;
}
inline std::int32_t layer0_cap_for(std::int32_t m) {
  return zelt::IndexParams::derive(0, 1.0f, m, zelt::MetricKind::Poincare).max_m_0;
}

// ---------------------------------------------------------------------------
// Reference kernels. Written out lane by lane, independently of the library's
// own scalar versions: eight partial sums, each fused once per value of every
// whole block of eight; t_k = s_k + s_{k+4}; (t0 + t1) + (t2 + t3); then the
// tail one value at a time, the product rounded before the addition. This file
// is compiled with -ffp-contract=off (checked by Build.NoFloatContraction), so
// the separate multiply and add below stay separate.

inline float ref_reduce(const float s[8]) {
  const float t0 = s[0] + s[4];
  const float t1 = s[1] + s[5];
  const float t2 = s[2] + s[6];
  const float t3 = s[3] + s[7];
  const float left = t0 + t1;
  const float right = t2 + t3;
  return left + right;
}

inline float ref_squared_norm(const float* v, int n) {
  float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const int blocks = n > 0 ? n / 8 : 0;
  for (int b = 0; b < blocks; ++b) {
    for (int lane = 0; lane < 8; ++lane) {
      const float x = v[8 * b + lane];
      s[lane] = std::fma(x, x, s[lane]);
    }
  }
  float total = ref_reduce(s);
  for (int i = 8 * blocks; i < n; ++i) {
    const float product = v[i] * v[i];
    total = total + product;
  }
  return total;
}

inline float ref_difference_sum(const float* q, const float* v, int n) {
  float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const int blocks = n > 0 ? n / 8 : 0;
  for (int b = 0; b < blocks; ++b) {
    for (int lane = 0; lane < 8; ++lane) {
      const float d = q[8 * b + lane] - v[8 * b + lane];
      s[lane] = std::fma(d, d, s[lane]);
    }
  }
  float total = ref_reduce(s);
  for (int i = 8 * blocks; i < n; ++i) {
    const float d = q[i] - v[i];
    const float product = d * d;
    total = total + product;
  }
  return total;
}

inline float ref_dot(const float* q, const float* v, int n) {
  float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const int blocks = n > 0 ? n / 8 : 0;
  for (int b = 0; b < blocks; ++b) {
    for (int lane = 0; lane < 8; ++lane) {
      s[lane] = std::fma(q[8 * b + lane], v[8 * b + lane], s[lane]);
    }
  }
  float total = ref_reduce(s);
  for (int i = 8 * blocks; i < n; ++i) {
    const float product = q[i] * v[i];
    total = total + product;
  }
  return total;
}

// x if x < c, else c; a NaN x gives c.
inline float ref_lower(float x, float c) {
  if (x < c) return x;
  return c;
}
// x if x > c, else c; a NaN x gives c.
inline float ref_higher(float x, float c) {
  if (x > c) return x;
  return c;
}

// The stored side's norm: a stored value that is not >= 0 is recomputed.
inline float ref_effective_norm(float stored, const float* v, int n) {
  if (stored >= 0.0f) return stored;
  return ref_squared_norm(v, n);
}

inline float ref_cosine(float dot, float q_norm_sq, float vn) {
  const float product = q_norm_sq * vn;
  const float x = std::sqrt(product);
  if (x >= 1e-8f) {
    const float ratio = dot / x;
    return 1.0f - ratio;
  }
  return 1.0f;  // tiny, zero or NaN
}

inline float ref_poincare(float diff_sum, float q_norm_sq, float vn) {
  const float a = ref_lower(vn, 0.999999f);
  const float b = ref_lower(q_norm_sq, 0.999999f);
  const float one_minus_a = 1.0f - a;
  float den = std::fma(-one_minus_a, b, one_minus_a);
  den = ref_higher(den, 1e-6f);
  const float twice = diff_sum + diff_sum;
  float arg = twice / den;
  arg = arg + 1.0f;
  arg = ref_higher(arg, 1.000001f);
  const float r = std::fma(arg, arg, -1.0f);
  const float root = std::sqrt(r);
  const float sum = arg + root;
  return std::log(sum);  // the float overload: logf
}

// The full distance from q (squared norm qn) to a stored vector v whose stored
// squared norm is `stored`.
inline float ref_distance(zelt::MetricKind metric, const float* q, float qn, const float* v,
                          float stored, int n) {
  if (metric == zelt::MetricKind::Euclidean) return ref_difference_sum(q, v, n);
  const float vn = ref_effective_norm(stored, v, n);
  if (metric == zelt::MetricKind::Cosine) return ref_cosine(ref_dot(q, v, n), qn, vn);
  return ref_poincare(ref_difference_sum(q, v, n), qn, vn);
}

// arcosh(1.000001f) as the Poincaré formula evaluates it: the floor of every
// Poincaré distance.
inline float poincare_floor() { return ref_poincare(0.0f, 0.0f, 0.0f); }

// ---------------------------------------------------------------------------
// Bit comparison.

inline std::uint32_t bits_of(float x) {
  std::uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

inline ::testing::AssertionResult SameBits(float actual, float expected) {
  if (bits_of(actual) == bits_of(expected)) return ::testing::AssertionSuccess();
  char text[160];
  std::snprintf(text, sizeof text, "got %.9g (0x%08x), expected %.9g (0x%08x)", double(actual),
                unsigned(bits_of(actual)), double(expected), unsigned(bits_of(expected)));
  return ::testing::AssertionFailure() << text;
}

// ---------------------------------------------------------------------------
// Random data.

// Values whose magnitudes spread over 2^min_exp … 2^(max_exp+1), both signs,
// with a few exact zeros, so that a different summation order shows in the
// last bits.
inline std::vector<float> mixed_values(std::mt19937& rng, int n, int min_exp = -12,
                                       int max_exp = 6) {
  std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
  std::uniform_int_distribution<int> exponent(min_exp, max_exp);
  std::bernoulli_distribution negative(0.5), zero(0.04);
  std::vector<float> out(std::size_t(n > 0 ? n : 0));
  for (float& x : out) {
    if (zero(rng)) {
      x = 0.0f;
      continue;
    }
    x = std::ldexp(mantissa(rng), exponent(rng));
    if (negative(rng)) x = -x;
  }
  return out;
}

// Mixed values scaled into the unit ball, to squared norm about target.
inline std::vector<float> ball_values(std::mt19937& rng, int n, float target) {
  std::vector<float> v = mixed_values(rng, n, -8, 0);
  const double norm = ref_squared_norm(v.data(), n);
  if (norm > 0.0) {
    const float scale = float(std::sqrt(double(target) / norm));
    for (float& x : v) x *= scale;
  }
  return v;
}

// ---------------------------------------------------------------------------
// Hand-built states.

// A state of the given metric (M = 16 unless said otherwise) filled node by
// node with chosen coordinates and levels; links are set afterwards.
class GraphBuilder {
 public:
  explicit GraphBuilder(zelt::MetricKind metric, int dimension, int m = 16)
      : state_(zelt_test::make_state(dimension, 1.0f, m, metric, 1u)) {}

  // Appends a node with its true squared norm; returns its id.
  std::int32_t add(std::initializer_list<float> coords, std::int32_t level = 0) {
    return add(std::vector<float>(coords), level);
  }
  std::int32_t add(const std::vector<float>& coords, std::int32_t level = 0) {
    const auto id = std::int32_t(state_.size());
    const float norm = ref_squared_norm(coords.data(), int(coords.size()));
    state_.append_node(coords.data(), norm, 0, level);
    return id;
  }
  void link(std::int32_t node, std::int32_t layer, std::initializer_list<std::int32_t> ids) {
    const std::vector<std::int32_t> list(ids);
    state_.links.assign(node, layer, list.data(), list.size());
  }
  void link(std::int32_t node, std::int32_t layer, const std::vector<std::int32_t>& ids) {
    state_.links.assign(node, layer, ids.data(), ids.size());
  }
  void set_entry(std::int32_t id) {
    state_.ep_id = id;
    state_.ep_layer = state_.links.level(id);
  }

  zelt::IndexState& state() { return state_; }

 private:
  zelt::IndexState state_;
};

inline std::vector<std::int32_t> link_ids(const zelt::IndexState& s, std::int32_t node,
                                          std::int32_t layer) {
  const zelt::LinkSpan span = s.links.links(node, layer);
  return std::vector<std::int32_t>(span.begin(), span.end());
}

// ---------------------------------------------------------------------------
// Files.

// A path in the test temporary directory, unique to the running test.
inline std::string temp_path(const std::string& leaf) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "_" + info->name();
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return ::testing::TempDir() + "zelt_" + name + "_" + leaf;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

// Little-endian field-by-field construction of a file image.
class Bytes {
 public:
  template <class T>
  Bytes& put(T value) {
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    data_.append(raw, sizeof(T));
    return *this;
  }
  Bytes& i32(std::int32_t v) { return put(v); }
  Bytes& u64(std::uint64_t v) { return put(v); }
  Bytes& f32(float v) { return put(v); }
  const std::string& str() const { return data_; }
  std::size_t size() const { return data_.size(); }

 private:
  std::string data_;
};

}  // namespace zelt_test
