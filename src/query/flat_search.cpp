#include "query/flat_search.h"

#include "index/candidate.h"
#include "index/growth.h"
#include "index/node_distance.h"

namespace zelt {

namespace {

constexpr int kGroup = 8;

struct ScanQuery {
  const float* q;
  float norm;
};

// Below this much vector data the scan runs from the caches and is bound by
// the latency of each vector's single chain of fused multiply-adds, so records
// are measured in groups. Above it the scan streams from memory, where
// interleaved streams measured worse than one record at a time.
constexpr std::size_t kCacheResidentBytes = std::size_t(16) << 20;

// One pass over the records in storage order, with the metric and the tests
// that are switched on fixed at compile time, so that the common unfiltered
// scan is a tight loop.
template <bool kScreen, bool kRadius, bool kGrouped, MetricKind M>
void scan(const IndexState& s, const QuerySpec& spec, std::int32_t k, const ScanQuery& query,
          ResultHeap& heap) {
  const std::size_t n = s.size();
  const std::size_t stride = s.vectors.stride();
  const std::int32_t dim = s.dimension();
  const float* record = s.vectors.vector(0);
  const std::uint64_t* masks = s.masks.data();
  const bool have_room = k > 0;
  const std::size_t limit = have_room ? std::size_t(k) : 0;
  const auto offer = [&](std::size_t i, float d) {
    if (kRadius && !spec.radius_passes(d)) return;
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
      record_distances<M, kGroup>(query.q, query.norm, v, dim, d);
      for (int g = 0; g < kGroup; ++g) offer(i + std::size_t(g), d[g]);
    }
  }
  for (; i < n; ++i, record += stride) {
    if (kScreen) {
      if (!spec.node_passes(masks[i], record[dim])) continue;
    }
    offer(i, record_distance<M>(query.q, query.norm, record, dim));
  }
}

template <MetricKind M>
void scan_with(const IndexState& s, const QuerySpec& spec, std::int32_t k, const ScanQuery& query,
               ResultHeap& heap) {
  const bool screen = spec.filter_mask != 0 || spec.norm_on;
  const bool grouped = s.size() * s.vectors.stride() * sizeof(float) <= kCacheResidentBytes;
  if (screen) {
    if (spec.radius_on) return scan<true, true, false, M>(s, spec, k, query, heap);
    return scan<true, false, false, M>(s, spec, k, query, heap);
  }
  if (grouped) {
    if (spec.radius_on) return scan<false, true, true, M>(s, spec, k, query, heap);
    return scan<false, false, true, M>(s, spec, k, query, heap);
  }
  if (spec.radius_on) return scan<false, true, false, M>(s, spec, k, query, heap);
  scan<false, false, false, M>(s, spec, k, query, heap);
}

}  // namespace

std::vector<std::int32_t> flat_search(const IndexState& s, const float* query,
                                      const QuerySpec& spec) {
  if (s.size() == 0) return {};
  const std::int32_t k = spec.k;
  const float q_norm = avx2::squared_norm(query, s.dimension());

  ResultHeap heap;
  with_metric(s.params.metric, [&](auto m) {
    scan_with<decltype(m)::value>(s, spec, k, ScanQuery{query, q_norm}, heap);
  });

  const std::vector<Candidate> nearest_first = heap.drain_reversed();
  std::vector<std::int32_t> answer;
  reserve_at_most(answer, k, nearest_first.size());
  for (const Candidate& c : nearest_first) answer.push_back(c.id);
  return answer;
}

}  // namespace zelt
