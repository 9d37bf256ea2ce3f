#pragma once
// The metric formulas and the loops over records, written once over the
// three sums of one instruction set. Included only by the kernel translation
// units, each of which instantiates them with an Ops type of its own:
//
//   static float squared_norm(const float* v, std::int32_t n);
//   static float squared_difference_sum(const float* q, const float* v, std::int32_t n);
//   static float dot_product(const float* q, const float* v, std::int32_t n);
//   template <int B> static void squared_difference_sums(q, const float* const* v, n, out);
//   template <int B> static void dot_products(q, const float* const* v, n, out);
//   template <int Q> static void squared_difference_sums_of(const float* const* q, v, n, out);
//   template <int Q> static void dot_products_of(const float* const* q, v, n, out);
//       (the sums of Q queries with one record, the record read once)
//   template <MetricKind M, int B> static bool finish_lanes(sums, q_norm_sq, v, n, out);
//       (finished_sum below of the B records at v, all at once and in the
//       same bits; false, writing nothing, where it leaves them to the
//       scalar form)
//   static float fma(float a, float b, float c);   // a*b + c, one rounding
//
// Every instantiation is distinct to its Ops type, so no out-of-line copy of
// code built for one instruction set can stand in for another's.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "index/distance/kernels.h"

namespace zelt::kernel_bodies {

// lower(x, c) is x if x < c, else c; higher(x, c) is x if x > c, else c.
// A NaN x yields c in both.
// (Templates, like everything here, so that each instruction set has its own.)
template <class Ops>
float lower(float x, float c) {
  return x < c ? x : c;
}
template <class Ops>
float higher(float x, float c) {
  return x > c ? x : c;
}

template <class Ops>
float cosine_distance(float dot, float q_norm_sq, float vn) {
  const float product = q_norm_sq * vn;
  const float x = std::sqrt(product);
  if (x >= 1e-8f) return 1.0f - dot / x;
  return 1.0f;
}

// The Poincaré distance in two steps: the argument of arcosh (its key), then
// the distance from the key. Both steps are non-decreasing in their input, so
// a flat scan can compare keys and take the logarithm only where it must.
template <class Ops>
float poincare_key(float diff_sum, float q_norm_sq, float vn) {
  const float a = lower<Ops>(vn, 0.999999f);
  const float b = lower<Ops>(q_norm_sq, 0.999999f);
  const float one_minus_a = 1.0f - a;
  // (1 - a)(1 - b) with a single rounding.
  float den = Ops::fma(-one_minus_a, b, one_minus_a);
  den = higher<Ops>(den, 1e-6f);
  float arg = (diff_sum + diff_sum) / den + 1.0f;
  return higher<Ops>(arg, 1.000001f);
}

template <class Ops>
float poincare_from_key(float arg) {
  const float r = Ops::fma(arg, arg, -1.0f);
  const float root = std::sqrt(r);
  return std::log(arg + root);
}

template <class Ops>
float poincare_distance(float diff_sum, float q_norm_sq, float vn) {
  return poincare_from_key<Ops>(poincare_key<Ops>(diff_sum, q_norm_sq, vn));
}

// The stored norm of the record at v, or, where it is absent (negative or NaN,
// possible after a load), the norm computed afresh; it is not written back.
template <class Ops>
float norm_of_record(const float* v, std::int32_t n) {
  const float vn = v[n];
  return vn >= 0.0f ? vn : Ops::squared_norm(v, n);
}

// The sum a metric starts from: squared differences, or for cosine the dot
// product.
template <class Ops, MetricKind M>
float record_sum(const float* q, const float* v, std::int32_t n) {
  return M == MetricKind::Cosine ? Ops::dot_product(q, v, n) : Ops::squared_difference_sum(q, v, n);
}

// The step after the sum of the record at v: its cosine distance, or its
// Poincaré key (not for Euclidean, whose distance is the sum).
template <class Ops, MetricKind M>
float finished_sum(float sum, float q_norm_sq, const float* v, std::int32_t n) {
  const float vn = norm_of_record<Ops>(v, n);
  return M == MetricKind::Cosine ? cosine_distance<Ops>(sum, q_norm_sq, vn)
                                 : poincare_key<Ops>(sum, q_norm_sq, vn);
}

// Keys: a Poincaré record's key instead of its distance.
template <class Ops, MetricKind M, bool Keys = false>
float record_distance(const float* q, float q_norm_sq, const float* v, std::int32_t n) {
  const float sum = record_sum<Ops, M>(q, v, n);
  if constexpr (M == MetricKind::Euclidean) {
    return sum;
  } else {
    const float finished = finished_sum<Ops, M>(sum, q_norm_sq, v, n);
    return M == MetricKind::Poincare && !Keys ? poincare_from_key<Ops>(finished) : finished;
  }
}

// The metric's step after the sums, for B records at v whose sums are in out.
template <class Ops, MetricKind M, int B, bool Keys = false>
void finish_distances(float q_norm_sq, const float* const* v, std::int32_t n, float* out) {
  if constexpr (M != MetricKind::Euclidean) {
    if (!Ops::template finish_lanes<M, B>(out, q_norm_sq, v, n, out)) {
      for (int b = 0; b < B; ++b) out[b] = finished_sum<Ops, M>(out[b], q_norm_sq, v[b], n);
    }
    if (M == MetricKind::Poincare && !Keys) {
      for (int b = 0; b < B; ++b) out[b] = poincare_from_key<Ops>(out[b]);
    }
  }
}

// B records at once: the same bits per record, with B independent chains of
// arithmetic in flight.
template <class Ops, MetricKind M, int B, bool Keys = false>
void record_distances(const float* q, float q_norm_sq, const float* const* v, std::int32_t n,
                      float* out) {
  if (M == MetricKind::Cosine) {
    Ops::template dot_products<B>(q, v, n, out);
  } else {
    Ops::template squared_difference_sums<B>(q, v, n, out);
  }
  finish_distances<Ops, M, B, Keys>(q_norm_sq, v, n, out);
}

template <class Ops, MetricKind M, bool Keys = false>
void to_nodes(const float* q, float q_norm_sq, const RecordArena& arena, const std::int32_t* ids,
              std::size_t count, float* out) {
  // Eight records at a time keep eight chains of fused multiply-adds in
  // flight, which is what hides their latency; then four, then one by one.
  std::size_t j = 0;
  const auto groups = [&](auto group) {
    constexpr int kGroup = decltype(group)::value;
    for (; j + kGroup <= count; j += kGroup) {
      const float* v[kGroup];
      for (int b = 0; b < kGroup; ++b) v[b] = arena.record(ids[j + std::size_t(b)]);
      record_distances<Ops, M, kGroup, Keys>(q, q_norm_sq, v, arena.dimension, out + j);
    }
  };
  groups(std::integral_constant<int, 8>{});
  groups(std::integral_constant<int, 4>{});
  for (; j < count; ++j) {
    out[j] = record_distance<Ops, M, Keys>(q, q_norm_sq, arena.record(ids[j]), arena.dimension);
  }
}

// Scanning records in order, the hardware's own prefetch does not keep up
// with the scan, from the last-level cache above all; asking for each cache
// line this far ahead of its record lifts the one-query scan of 20k x 128 by
// a sixth. From memory it gains a few per cent at most.
template <class Ops>
class ReadAhead {
 public:
  static constexpr std::size_t kBytes = 1024;
  static constexpr std::size_t kLine = 64;

  explicit ReadAhead(const float* record)
      : next_(reinterpret_cast<const char*>(record) + kBytes) {}
  // Before reading the record that ends at `end`.
  void before(const float* end) {
    const char* until = reinterpret_cast<const char*>(end) + kBytes;
    for (; next_ < until; next_ += kLine) __builtin_prefetch(next_, 0, 3);
  }

 private:
  const char* next_;
};

template <class Ops, MetricKind M, bool Keys = false>
void to_run(const float* q, float q_norm_sq, const RecordArena& arena, std::int32_t first,
            std::size_t count, bool interleaved, float* out) {
  constexpr int kGroup = 8;
  const float* record = arena.record(first);
  std::size_t j = 0;
  ReadAhead<Ops> ahead(record);
  if (interleaved) {
    for (; j + kGroup <= count; j += kGroup, record += kGroup * arena.stride) {
      const float* v[kGroup];
      ahead.before(record + kGroup * arena.stride);
      for (int g = 0; g < kGroup; ++g) v[g] = record + std::size_t(g) * arena.stride;
      record_distances<Ops, M, kGroup, Keys>(q, q_norm_sq, v, arena.dimension, out + j);
    }
  } else if (M != MetricKind::Euclidean) {
    // Streaming: the sums one record at a time, the step after them a group
    // at a time, where it costs as much as the sums on a short vector.
    for (; j + kGroup <= count; j += kGroup, record += kGroup * arena.stride) {
      const float* v[kGroup];
      for (int g = 0; g < kGroup; ++g) {
        v[g] = record + std::size_t(g) * arena.stride;
        ahead.before(v[g] + arena.stride);
        out[j + std::size_t(g)] = record_sum<Ops, M>(q, v[g], arena.dimension);
      }
      finish_distances<Ops, M, kGroup, Keys>(q_norm_sq, v, arena.dimension, out + j);
    }
  }
  for (; j < count; ++j, record += arena.stride) {
    ahead.before(record + arena.stride);
    out[j] = record_distance<Ops, M, Keys>(q, q_norm_sq, record, arena.dimension);
  }
}

// Q queries against a run of records: the sums of each record with every
// query, then, eight records at a time, each query's step after them.
template <class Ops, MetricKind M, int Q, bool Keys>
void queries_run(const float* const* q, const float* q_norm_sq, const RecordArena& arena,
                 std::int32_t first, std::size_t count, float* out) {
  constexpr int kGroup = 8;
  const std::int32_t n = arena.dimension;
  const float* record = arena.record(first);
  for (std::size_t j = 0; j < count; j += kGroup) {
    const int group = int(count - j < std::size_t(kGroup) ? count - j : kGroup);
    const float* v[kGroup];
    float sums[Q][kGroup];
    for (int g = 0; g < group; ++g, record += arena.stride) {
      v[g] = record;
      float of_record[Q];
      if (M == MetricKind::Cosine) {
        Ops::template dot_products_of<Q>(q, record, n, of_record);
      } else {
        Ops::template squared_difference_sums_of<Q>(q, record, n, of_record);
      }
      for (int b = 0; b < Q; ++b) sums[b][g] = of_record[b];
    }
    for (int b = 0; b < Q; ++b) {
      float* to = out + std::size_t(b) * count + j;
      if (group == kGroup) {
        finish_distances<Ops, M, kGroup, Keys>(q_norm_sq[b], v, n, sums[b]);
        for (int g = 0; g < kGroup; ++g) to[g] = sums[b][g];
      } else {
        for (int g = 0; g < group; ++g) {
          finish_distances<Ops, M, 1, Keys>(q_norm_sq[b], v + g, n, &sums[b][g]);
          to[g] = sums[b][g];
        }
      }
    }
  }
}

// Whole groups of kMaxQueries queries, then fewer for the rest.
template <class Ops, MetricKind M, bool Keys = false>
void queries_to_run(const float* const* q, const float* q_norm_sq, int queries,
                    const RecordArena& arena, std::int32_t first, std::size_t count, float* out) {
  int b = 0;
  const auto groups = [&](auto group) {
    constexpr int kQ = decltype(group)::value;
    for (; b + kQ <= queries; b += kQ) {
      queries_run<Ops, M, kQ, Keys>(q + b, q_norm_sq + b, arena, first, count,
                                    out + std::size_t(b) * count);
    }
  };
  groups(std::integral_constant<int, kMaxQueries>{});
  groups(std::integral_constant<int, 4>{});
  groups(std::integral_constant<int, 2>{});
  groups(std::integral_constant<int, 1>{});
}

template <class Ops, MetricKind M>
constexpr MetricKernels metric_kernels() {
  if constexpr (M == MetricKind::Poincare) {
    return MetricKernels{&to_nodes<Ops, M>,          &to_run<Ops, M>,
                         &to_nodes<Ops, M, true>,    &to_run<Ops, M, true>,
                         &poincare_from_key<Ops>,    &queries_to_run<Ops, M>,
                         &queries_to_run<Ops, M, true>};
  } else {
    return MetricKernels{&to_nodes<Ops, M>, &to_run<Ops, M>,         nullptr, nullptr, nullptr,
                         &queries_to_run<Ops, M>, nullptr};
  }
}

template <class Ops>
constexpr KernelSet kernel_set(const char* name) {
  return KernelSet{name,
                   &Ops::squared_norm,
                   &Ops::squared_difference_sum,
                   &Ops::dot_product,
                   metric_kernels<Ops, MetricKind::Poincare>(),
                   metric_kernels<Ops, MetricKind::Euclidean>(),
                   metric_kernels<Ops, MetricKind::Cosine>()};
}

}  // namespace zelt::kernel_bodies
