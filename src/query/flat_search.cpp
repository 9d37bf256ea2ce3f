#include "query/flat_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "index/distance/candidate.h"
#include "index/store/growth.h"

namespace zelt {

namespace {

// Below this much vector data the scan runs from the caches and is bound by
// the latency of each vector's single chain of fused multiply-adds, so records
// are measured several at a time. Above it the scan streams from memory,
// where interleaved streams measured worse than one record at a time.
constexpr std::size_t kCacheResidentBytes = std::size_t(16) << 20;

// Records are measured a block at a time into a buffer and then offered to
// the heap in id order, which is the order of a one-by-one scan.
constexpr std::size_t kBlock = 256;

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// The share of matching nodes from which a batch of queries scans the passing
// runs together instead of one query at a time.
constexpr double kMostlyShare = 0.5;

// The largest key whose distance is at most d; +inf where the search for it
// would take long (no key is then skipped) and NaN for a NaN d (none either).
float largest_key_within(float d, float (*from_key)(float)) {
  constexpr int kMostSteps = 1 << 12;
  if (!(d < kInfinity)) return d;
  // cosh inverts the distance up to a few steps of the key either way.
  float x = std::min(float(std::cosh(double(d))), std::numeric_limits<float>::max());
  for (int i = 0; from_key(x) > d; ++i) {
    if (i == kMostSteps || !(x > 1.0f)) return kInfinity;
    x = std::nextafter(x, 0.0f);
  }
  for (int i = 0; i < kMostSteps; ++i) {
    const float up = std::nextafter(x, kInfinity);
    if (!(from_key(up) <= d)) return x;
    x = up;
  }
  return kInfinity;
}

class NearestK {
 public:
  // from_key: the metric's distance of a key, where the scan measures keys
  // (null: it measures distances).
  NearestK(const QueryTerms& terms, float (*from_key)(float))
      : terms_(terms), limit_(terms.k > 0 ? std::size_t(terms.k) : 0), from_key_(from_key) {}

  // The records of a run measured into d, first, first + 1, ... in order.
  void take_run(std::int32_t first, const float* d, std::size_t count) {
    take_each(d, count, [first](std::size_t j) { return first + std::int32_t(j); });
  }
  // The same for listed records.
  void take_listed(const std::int32_t* ids, const float* d, std::size_t count) {
    take_each(d, count, [ids](std::size_t j) { return ids[j]; });
  }
  ResultHeap& heap() { return heap_; }

 private:
  // A record's distance or key, as the scan measures them.
  void take(std::int32_t id, float measured) {
    if (from_key_ != nullptr) {
      offer_key(id, measured);
    } else {
      offer(id, measured);
    }
  }
  template <class IdOf>
  void take_each(const float* d, std::size_t count, IdOf id_of) {
    float above = skipped_above();
    for (std::size_t j = 0; j < count; ++j) {
      if (d[j] > above) continue;
      take(id_of(j), d[j]);
      above = skipped_above();
    }
  }

  // A measure beyond which take() leaves the heap as it is: most records of
  // a scan are, and comparing against this is all they then cost. For keys,
  // once the heap is full, a key beyond the largest key of the farthest
  // distance held means a distance beyond it, so such a record's distance is
  // not computed either.
  float skipped_above() const {
    if (limit_ == 0) return -kInfinity;
    if (heap_.size() < limit_ || !settled_) return kInfinity;
    return from_key_ != nullptr ? cut_ : heap_.top().distance;
  }

  void offer(std::int32_t id, float d) {
    if (!terms_.radius_passes(d)) return;
    if (heap_.size() >= limit_) {
      if (limit_ == 0) return;
      if (d > heap_.top().distance) {
        offer_farther(id, d);
        return;
      }
    }
    heap_.push({d, id});
    if (heap_.size() > limit_) heap_.pop();
    settled_ = false;
  }

  // A record strictly farther than every one held goes to the top when
  // pushed and is the one trimmed again, but the trim may leave records of
  // equal distance in other places than before. Where it leaves all of them
  // where they were, the next such record does the same (the moves depend on
  // the held records alone while none is NaN), and such records are skipped.
  void offer_farther(std::int32_t id, float d) {
    if (settled_) return;
    before_.assign(heap_.items().begin(), heap_.items().end());
    heap_.push({d, id});
    heap_.pop();
    const std::vector<Candidate>& after = heap_.items();
    settled_ = std::equal(before_.begin(), before_.end(), after.begin(),
                          [](const Candidate& a, const Candidate& b) {
                            return a.id == b.id && !std::isnan(a.distance) &&
                                   std::memcmp(&a.distance, &b.distance, sizeof(float)) == 0;
                          });
  }

  // A record given by its key; cut_ follows the farthest distance held.
  void offer_key(std::int32_t id, float key) {
    offer(id, from_key_(key));
    if (limit_ > 0 && heap_.size() >= limit_ && !(heap_.top().distance == cut_distance_)) {
      cut_distance_ = heap_.top().distance;
      cut_ = largest_key_within(cut_distance_, from_key_);
    }
  }

  const QueryTerms& terms_;
  std::size_t limit_;
  float (*from_key_)(float);
  ResultHeap heap_;
  float cut_ = kInfinity;
  float cut_distance_ = std::numeric_limits<float>::quiet_NaN();
  // Whether a record strictly farther than the farthest held would leave the
  // heap as it is.
  bool settled_ = false;
  std::vector<Candidate> before_;
};

void scan_all(const IndexState& s, const float* q, float q_norm, NearestK& nearest) {
  const RecordArena arena = s.arena();
  const MetricKernels& kernels = s.metric_kernels();
  const std::size_t n = s.size();
  const bool interleaved = n * arena.stride * sizeof(float) <= kCacheResidentBytes;
  const auto measure = kernels.from_key != nullptr ? kernels.keys_to_run : kernels.to_run;
  float d[kBlock];
  for (std::size_t first = 0; first < n; first += kBlock) {
    const std::size_t count = std::min(kBlock, n - first);
    measure(q, q_norm, arena, std::int32_t(first), count, interleaved, d);
    nearest.take_run(std::int32_t(first), d, count);
  }
}

// Several queries in one pass over the records, each record read once for
// all of them; each query's heap takes the records in id order, as in
// scan_all.
void scan_all_together(const IndexState& s, const float* const* q, const float* q_norms,
                       int queries, NearestK* nearest) {
  const RecordArena arena = s.arena();
  const MetricKernels& kernels = s.metric_kernels();
  const std::size_t n = s.size();
  const auto measure =
      kernels.from_key != nullptr ? kernels.keys_queries_to_run : kernels.queries_to_run;
  float d[kMaxQueries * kBlock];
  for (std::size_t first = 0; first < n; first += kBlock) {
    const std::size_t count = std::min(kBlock, n - first);
    measure(q, q_norms, queries, arena, std::int32_t(first), count, d);
    for (int b = 0; b < queries; ++b) {
      const float* of_query = d + std::size_t(b) * count;
      nearest[b].take_run(std::int32_t(first), of_query, count);
    }
  }
}

// Calls run(first, count) for each run of consecutive records that pass the
// mask and norm bound, in id order, none longer than kBlock.
template <class Run>
void for_each_passing_run(const IndexState& s, const QueryTerms& terms, Run&& run) {
  const auto n = std::int32_t(s.size());
  const auto passes = [&](std::int32_t i) {
    return terms.node_passes(s.masks[std::size_t(i)], s.stored_norm(i));
  };
  for (std::int32_t i = 0; i < n;) {
    while (i < n && !passes(i)) ++i;
    const std::int32_t first = i;
    while (i < n && i - first < std::int32_t(kBlock) && passes(i)) ++i;
    if (i > first) run(first, std::size_t(i - first));
  }
}

// The same with a mask or norm bound: each run of consecutive records that pass
// both is measured for every query in one pass, and each query's heap still
// takes the records in id order.
void scan_screened_together(const IndexState& s, const QueryTerms& terms, const float* const* q,
                            const float* q_norms, int queries, NearestK* nearest) {
  const RecordArena arena = s.arena();
  const MetricKernels& kernels = s.metric_kernels();
  const auto measure =
      kernels.from_key != nullptr ? kernels.keys_queries_to_run : kernels.queries_to_run;
  float d[kMaxQueries * kBlock];
  for_each_passing_run(s, terms, [&](std::int32_t first, std::size_t count) {
    measure(q, q_norms, queries, arena, first, count, d);
    for (int b = 0; b < queries; ++b) {
      const float* of_query = d + std::size_t(b) * count;
      nearest[b].take_run(first, of_query, count);
    }
  });
}

// With a mask or norm bound, only the records that pass both are measured.
void scan_screened(const IndexState& s, const QueryTerms& terms, const float* q, float q_norm,
                   NearestK& nearest) {
  const RecordArena arena = s.arena();
  const MetricKernels& kernels = s.metric_kernels();
  const auto n = std::int32_t(s.size());
  const auto measure = kernels.from_key != nullptr ? kernels.keys_to_nodes : kernels.to_nodes;
  std::int32_t ids[kBlock];
  float d[kBlock];
  for (std::int32_t first = 0; first < n; first += std::int32_t(kBlock)) {
    const std::int32_t end = std::min(n, first + std::int32_t(kBlock));
    std::size_t count = 0;
    for (std::int32_t i = first; i < end; ++i) {
      if (terms.node_passes(s.masks[std::size_t(i)], s.stored_norm(i))) ids[count++] = i;
    }
    if (count == 0) continue;
    measure(q, q_norm, arena, ids, count, d);
    nearest.take_listed(ids, d, count);
  }
}

// Only the listed nodes (one bit per node id) that pass the norm bound are
// measured, read off the bitmap a word at a time.
void scan_members(const IndexState& s, const QueryTerms& terms, const std::uint64_t* members,
                  const float* q, float q_norm, NearestK& nearest) {
  const RecordArena arena = s.arena();
  const MetricKernels& kernels = s.metric_kernels();
  const auto measure = kernels.from_key != nullptr ? kernels.keys_to_nodes : kernels.to_nodes;
  const std::size_t words = (s.size() + 63) / 64;
  std::int32_t ids[kBlock + 64];
  float d[kBlock + 64];
  std::size_t count = 0;
  for (std::size_t w = 0; w < words; ++w) {
    for (std::uint64_t rest = members[w]; rest != 0; rest &= rest - 1) {
      const auto id = std::int32_t(w * 64 + std::size_t(__builtin_ctzll(rest)));
      if (terms.norm_passes(s.stored_norm(id))) ids[count++] = id;
    }
    if (count >= kBlock || (w + 1 == words && count > 0)) {
      measure(q, q_norm, arena, ids, count, d);
      nearest.take_listed(ids, d, count);
      count = 0;
    }
  }
}

// Whether the terms leave any node out before it is measured. A filter that
// every node holds (the live bit of an index without deletions, say) leaves
// none, and then the plain scan gives the same answer without testing a mask
// per record: each record has the same bits in either form and is offered in
// the same order.
bool screens(const IndexState& s, const QueryTerms& terms) {
  return terms.norm_on || (terms.filter_mask != 0 && !s.tags.every_node_holds(terms.filter_mask));
}

// Whether the filter leaves at least kMostlyShare of the nodes, where runs of passing records are
// long enough to measure them for several queries at once.
bool mostly_passes(const IndexState& s, const QueryTerms& terms) {
  thread_local std::vector<std::uint64_t> scratch;
  const std::uint64_t* members = nullptr;
  return double(s.tags.matching(terms.filter_mask, scratch, members)) >=
         kMostlyShare * double(s.size());
}

std::vector<Candidate> nearest_first(NearestK& nearest, std::int32_t k) {
  const std::vector<Candidate> found = nearest.heap().drain_reversed();
  // A negative k fails here, as a reservation of k ids.
  std::vector<Candidate> answer;
  reserve_at_most(answer, k, found.size());
  answer.assign(found.begin(), found.end());
  return answer;
}

}  // namespace

std::vector<Candidate> flat_search_members(const IndexState& s, const float* query,
                                           const QueryTerms& terms,
                                           const std::uint64_t* members) {
  if (s.size() == 0) return {};
  NearestK nearest(terms, s.metric_kernels().from_key);
  scan_members(s, terms, members, query, s.norm_of(query), nearest);
  return nearest_first(nearest, terms.k);
}

void flat_search_together(const IndexState& s, const float* const* queries, int count,
                          const QueryTerms& terms, std::vector<Candidate>* results) {
  if (count < 1 || count > kMaxQueries) {
    throw std::invalid_argument("flat_search_together takes 1 to " +
                                std::to_string(kMaxQueries) + " queries");
  }
  const bool screened = screens(s, terms);
  if (screened && !mostly_passes(s, terms)) {
    for (int b = 0; b < count; ++b) results[b] = flat_search(s, queries[b], terms);
    return;
  }
  if (s.size() == 0) {
    for (int b = 0; b < count; ++b) results[b].clear();
    return;
  }
  std::vector<NearestK> nearest;
  nearest.reserve(std::size_t(count));
  float q_norms[kMaxQueries];
  for (int b = 0; b < count; ++b) {
    nearest.emplace_back(terms, s.metric_kernels().from_key);
    q_norms[b] = s.norm_of(queries[b]);
  }
  if (screened) {
    scan_screened_together(s, terms, queries, q_norms, count, nearest.data());
  } else {
    scan_all_together(s, queries, q_norms, count, nearest.data());
  }
  for (int b = 0; b < count; ++b) results[b] = nearest_first(nearest[std::size_t(b)], terms.k);
}

std::vector<Candidate> flat_search(const IndexState& s, const float* query,
                                   const QueryTerms& terms) {
  if (s.size() == 0) return {};
  const float q_norm = s.norm_of(query);
  NearestK nearest(terms, s.metric_kernels().from_key);
  if (screens(s, terms)) {
    scan_screened(s, terms, query, q_norm, nearest);
  } else {
    scan_all(s, query, q_norm, nearest);
  }
  return nearest_first(nearest, terms.k);
}

}  // namespace zelt
