#include "query/flat_search.h"

#include <algorithm>

#include "index/candidate.h"
#include "index/kernels_inline.h"
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

// One pass over the records in storage order, with the metric and the tests
// that are switched on fixed at compile time, so that the common unfiltered
// scan is a tight loop. Measuring several vectors at once does not pay here:
// the scan streams from memory, and interleaved streams only defeat the
// hardware prefetcher.
template <bool kScreen, bool kRadius, class Distance>
void scan(const IndexState& s, const ScanBounds& b, std::int32_t k, Distance distance,
          ResultHeap& heap) {
  const std::size_t n = s.size();
  const std::size_t stride = s.vectors.stride();
  const std::int32_t dim = s.dimension;
  const float* record = s.vectors.vector(0);
  const std::uint64_t* masks = s.masks.data();
  const bool have_room = k > 0;
  const std::size_t limit = have_room ? std::size_t(k) : 0;
  for (std::size_t i = 0; i < n; ++i, record += stride) {
    const float norm = record[dim];
    if (kScreen) {
      if (!mask_passes(b.filter_mask, masks[i])) continue;
      if (b.norm_bound && b.norm_floor > norm) continue;
    }
    const float d = distance(record, norm);
    if (kRadius && d > b.max_radius) continue;
    // Pushing and then trimming the farthest leaves the heap as it was when
    // the new record is strictly the farthest, so such records are skipped.
    if (heap.size() >= limit && (!have_room || d > heap.top().distance)) continue;
    heap.push({d, std::int32_t(i)});
    if (heap.size() > limit) heap.pop();
  }
}

template <class Distance>
void scan_with(const IndexState& s, const ScanBounds& b, std::int32_t k, Distance distance,
               ResultHeap& heap) {
  const bool screen = b.filter_mask != 0 || b.norm_bound;
  if (screen && b.radius_bound) return scan<true, true>(s, b, k, distance, heap);
  if (screen) return scan<true, false>(s, b, k, distance, heap);
  if (b.radius_bound) return scan<false, true>(s, b, k, distance, heap);
  scan<false, false>(s, b, k, distance, heap);
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
      scan_with(
          s, bounds, k,
          [=](const float* v, float) { return avx2::squared_difference_sum(query, v, dim); }, heap);
      break;
    case MetricKind::Cosine:
      scan_with(
          s, bounds, k,
          [=](const float* v, float vn) {
            if (!(vn >= 0.0f)) vn = avx2::squared_norm(v, dim);
            return avx2::cosine_distance(avx2::dot_product(query, v, dim), q_norm, vn);
          },
          heap);
      break;
    default:
      scan_with(
          s, bounds, k,
          [=](const float* v, float vn) {
            if (!(vn >= 0.0f)) vn = avx2::squared_norm(v, dim);
            return avx2::poincare_distance(avx2::squared_difference_sum(query, v, dim), q_norm, vn);
          },
          heap);
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
