#include "query/flat_search.h"

#include <algorithm>

#include "index/candidate.h"
#include "index/node_distance.h"
#include "query/query_filters.h"

namespace zelt {

namespace {

struct ScanBounds {
  std::uint64_t filter_mask;
  bool radius_bound;
  float max_radius;
  bool norm_bound;
  float norm_floor;
};

constexpr int kGroup = 8;

// The three metrics, each measuring one record or a group of kGroup records
// at once (the same bits either way, with independent chains of arithmetic in
// flight for the group).
struct EuclideanScan {
  const float* q;
  std::int32_t dim;
  float one(const float* v) const { return avx2::squared_difference_sum(q, v, dim); }
  void group(const float* const* v, float* out) const {
    avx2::squared_difference_sums<kGroup>(q, v, dim, out);
  }
};

struct CosineScan {
  const float* q;
  std::int32_t dim;
  float q_norm;
  float one(const float* v) const {
    return avx2::cosine_distance(avx2::dot_product(q, v, dim), q_norm, norm_of_record(v, dim));
  }
  void group(const float* const* v, float* out) const {
    avx2::dot_products<kGroup>(q, v, dim, out);
    for (int b = 0; b < kGroup; ++b) {
      out[b] = avx2::cosine_distance(out[b], q_norm, norm_of_record(v[b], dim));
    }
  }
};

struct PoincareScan {
  const float* q;
  std::int32_t dim;
  float q_norm;
  float one(const float* v) const {
    return avx2::poincare_distance(avx2::squared_difference_sum(q, v, dim), q_norm,
                                   norm_of_record(v, dim));
  }
  void group(const float* const* v, float* out) const {
    avx2::squared_difference_sums<kGroup>(q, v, dim, out);
    for (int b = 0; b < kGroup; ++b) {
      out[b] = avx2::poincare_distance(out[b], q_norm, norm_of_record(v[b], dim));
    }
  }
};

// Below this much vector data the scan runs from the caches and is bound by
// the latency of each vector's single chain of fused multiply-adds, so records
// are measured in groups. Above it the scan streams from memory, where
// interleaved streams measured worse than one record at a time.
constexpr std::size_t kCacheResidentBytes = std::size_t(16) << 20;

// One pass over the records in storage order, with the metric and the tests
// that are switched on fixed at compile time, so that the common unfiltered
// scan is a tight loop.
template <bool kScreen, bool kRadius, bool kGrouped, class Metric>
void scan(const IndexState& s, const ScanBounds& b, std::int32_t k, const Metric& metric,
          ResultHeap& heap) {
  const std::size_t n = s.size();
  const std::size_t stride = s.vectors.stride();
  const std::int32_t dim = s.dimension;
  const float* record = s.vectors.vector(0);
  const std::uint64_t* masks = s.masks.data();
  const bool have_room = k > 0;
  const std::size_t limit = have_room ? std::size_t(k) : 0;
  const auto offer = [&](std::size_t i, float d) {
    if (kRadius && d > b.max_radius) return;
    // Pushing and then trimming the farthest leaves the heap as it was when
    // the new record is strictly the farthest, so such records are skipped.
    if (heap.size() >= limit && (!have_room || d > heap.top().distance)) return;
    heap.push({d, std::int32_t(i)});
    if (heap.size() > limit) heap.pop();
  };
  std::size_t i = 0;
  if (kGrouped) {
    for (; i + kGroup <= n; i += kGroup, record += kGroup * stride) {
      const float* v[kGroup];
      float d[kGroup];
      for (int g = 0; g < kGroup; ++g) v[g] = record + std::size_t(g) * stride;
      metric.group(v, d);
      for (int g = 0; g < kGroup; ++g) offer(i + std::size_t(g), d[g]);
    }
  }
  for (; i < n; ++i, record += stride) {
    if (kScreen) {
      if (!mask_passes(b.filter_mask, masks[i])) continue;
      if (b.norm_bound && b.norm_floor > record[dim]) continue;
    }
    offer(i, metric.one(record));
  }
}

template <class Metric>
void scan_with(const IndexState& s, const ScanBounds& b, std::int32_t k, const Metric& metric,
               ResultHeap& heap) {
  const bool screen = b.filter_mask != 0 || b.norm_bound;
  const bool grouped = s.size() * s.vectors.stride() * sizeof(float) <= kCacheResidentBytes;
  if (screen) {
    if (b.radius_bound) return scan<true, true, false>(s, b, k, metric, heap);
    return scan<true, false, false>(s, b, k, metric, heap);
  }
  if (grouped) {
    if (b.radius_bound) return scan<false, true, true>(s, b, k, metric, heap);
    return scan<false, false, true>(s, b, k, metric, heap);
  }
  if (b.radius_bound) return scan<false, true, false>(s, b, k, metric, heap);
  scan<false, false, false>(s, b, k, metric, heap);
}

}  // namespace

std::vector<std::int32_t> flat_search(const IndexState& s, const float* query, std::int32_t k,
                                      std::uint64_t filter_mask, float max_radius,
                                      float min_norm_sq) {
  if (s.size() == 0) return {};
  const float q_norm = avx2::squared_norm(query, s.dimension);
  const ScanBounds bounds{filter_mask, max_radius >= 0.0f, max_radius, min_norm_sq >= 0.0f,
                          min_norm_sq - 0.15f};

  const std::int32_t dim = s.dimension;
  ResultHeap heap;
  switch (s.metric) {
    case MetricKind::Euclidean:
      scan_with(s, bounds, k, EuclideanScan{query, dim}, heap);
      break;
    case MetricKind::Cosine:
      scan_with(s, bounds, k, CosineScan{query, dim, q_norm}, heap);
      break;
    default:
      scan_with(s, bounds, k, PoincareScan{query, dim, q_norm}, heap);
      break;
  }

  const std::vector<Candidate> nearest_first = heap.drain_reversed();
  // A negative k fails here with std::length_error; a large one reserves no
  // more than the scan found.
  std::vector<std::int32_t> answer;
  answer.reserve(k < 0 ? std::size_t(k) : std::min(std::size_t(k), nearest_first.size()));
  for (const Candidate& c : nearest_first) answer.push_back(c.id);
  return answer;
}

}  // namespace zelt
