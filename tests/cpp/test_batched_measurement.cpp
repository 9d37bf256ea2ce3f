// The searches measure several vectors at once and the flat scan switches
// between a grouped and a one-at-a-time loop by the size of the data; both
// must give exactly what one-at-a-time measurement gives.

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "index/store/index_state.h"
#include "index/store/node_distance.h"
#include "query/flat_search.h"
#include "test_support.h"

namespace {

using zelt::MetricKind;
using zelt_test::SameBits;

constexpr MetricKind kMetrics[] = {MetricKind::Euclidean, MetricKind::Cosine, MetricKind::Poincare};

zelt::IndexState random_state(MetricKind metric, int dim, int n, std::mt19937& rng) {
  zelt::IndexState s = zelt_test::make_state(dim, 1.0f, 16, metric, 1u);
  for (int i = 0; i < n; ++i) {
    const std::vector<float> v = zelt_test::ball_values(rng, dim, 0.8f * float(i % 10) / 10.0f);
    s.append_node(v.data(), zelt_test::ref_squared_norm(v.data(), dim), std::uint64_t(i % 3), 0);
  }
  return s;
}

// Every set measures runs and gathered ids, several at a time, with the bits
// of the reference model, at lengths on both sides of each group's tail.
TEST(GroupedDistances, EverySetMatchesTheReference) {
  std::mt19937 rng(5);
  for (const MetricKind metric : kMetrics) {
    for (const int dim : {0, 1, 7, 8, 9, 13, 31, 97, 128}) {
      zelt::IndexState s = random_state(metric, dim, 40, rng);
      const std::vector<float> q = zelt_test::ball_values(rng, dim, 0.5f);
      const float qn = zelt_test::ref_squared_norm(q.data(), dim);
      std::vector<float> expected;
      for (std::int32_t i = 0; i < 40; ++i) {
        expected.push_back(zelt_test::ref_distance(metric, q.data(), qn, s.vectors.vector(i),
                                                   s.stored_norm(i), dim));
      }
      for (const zelt::KernelSet* set : zelt_test::kernel_sets()) {
        SCOPED_TRACE(std::string(set->name) + ", dimension " + std::to_string(dim));
        const zelt::MetricKernels& k = set->of(metric);
        for (const std::size_t count : {1u, 3u, 4u, 5u, 8u, 9u, 17u, 40u}) {
          std::vector<std::int32_t> ids;
          for (std::size_t j = 0; j < count; ++j) ids.push_back(std::int32_t((39 - 3 * j) % 40));
          std::vector<float> out(count);
          k.to_nodes(q.data(), qn, s.arena(), ids.data(), count, out.data());
          for (std::size_t j = 0; j < count; ++j) {
            EXPECT_TRUE(SameBits(out[j], expected[std::size_t(ids[j])])) << "id " << ids[j];
          }
          for (const bool interleaved : {false, true}) {
            k.to_run(q.data(), qn, s.arena(), 40 - std::int32_t(count), count, interleaved,
                     out.data());
            for (std::size_t j = 0; j < count; ++j) {
              EXPECT_TRUE(SameBits(out[j], expected[40 - count + j])) << "run " << j;
            }
          }
        }
      }
    }
  }
}

// Records at the formulas' edges, measured eight and four at a time: norms
// at and past the clamp, the query itself, zero vectors, overflowing values,
// and absent norms (negative or NaN, as a load may leave them) in any lane.
TEST(GroupedDistances, EdgeRecordsMatchTheReferenceInEveryLane) {
  constexpr int kDim = 3;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> q = {0.5f, -0.4f, 0.3f};
  const std::vector<std::vector<float>> values = {
      {0.5f, -0.4f, 0.3f},   {0, 0, 0},      {0.577f, 0.577f, 0.577f}, {1, 0, 0},
      {2e19f, -2e19f, 0},    {1e-30f, 0, 0}, {-0.5f, 0.4f, -0.3f},     {3e38f, 3e38f, 0},
      {0.1f, 0.2f, 0.3f}};
  std::vector<float> records;
  std::vector<float> stored;
  for (const float absent : {1.0f, -1.0f, nan}) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      const float norm = zelt_test::ref_squared_norm(values[i].data(), kDim);
      // Every third record loses its norm, so groups mix both kinds.
      stored.push_back(absent != 1.0f && i % 3 == 1 ? absent : norm);
      records.insert(records.end(), values[i].begin(), values[i].end());
      records.push_back(stored.back());
    }
  }
  const zelt::RecordArena arena{records.data(), kDim + 1, kDim};
  const auto n = std::int32_t(stored.size());
  for (const float qn : {zelt_test::ref_squared_norm(q.data(), kDim), 0.0f, 1.0f, 4.0f}) {
    for (const MetricKind metric : {MetricKind::Cosine, MetricKind::Poincare}) {
      for (const zelt::KernelSet* set : zelt_test::kernel_sets()) {
        SCOPED_TRACE(std::string(set->name) + ", metric " + std::to_string(int(metric)) +
                     ", query norm " + std::to_string(qn));
        std::vector<std::int32_t> ids(static_cast<std::size_t>(n));
        for (std::int32_t i = 0; i < n; ++i) ids[std::size_t(i)] = (7 * i) % n;
        std::vector<float> out(ids.size());
        set->of(metric).to_nodes(q.data(), qn, arena, ids.data(), ids.size(), out.data());
        for (std::size_t j = 0; j < ids.size(); ++j) {
          const float* v = arena.record(ids[j]);
          const float expected =
              zelt_test::ref_distance(metric, q.data(), qn, v, stored[std::size_t(ids[j])], kDim);
          EXPECT_TRUE(SameBits(out[j], expected)) << "record " << ids[j];
        }
      }
    }
  }
}

// The k nearest by the reference formulas, as (distance, id) nearest first.
std::vector<float> reference_distances(const zelt::IndexState& s, const float* q, float qn,
                                       std::uint64_t filter, std::size_t k) {
  std::vector<float> d;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((filter & ~s.masks[i]) != 0) continue;
    const float* v = s.vectors.vector(std::int32_t(i));
    d.push_back(zelt_test::ref_distance(s.params.metric, q, qn, v, s.stored_norm(std::int32_t(i)),
                                        s.params.dimension));
  }
  std::sort(d.begin(), d.end());
  d.resize(std::min(k, d.size()));
  return d;
}

// Sizes on both sides of the grouped loop's tail, and one large enough for
// the one-at-a-time loop; with and without a mask filter.
TEST(FlatSearch, IsExactInGroupedAndStreamingScans) {
  std::mt19937 rng(9);
  for (const MetricKind metric : kMetrics) {
    for (const auto& [dim, n] : std::vector<std::pair<int, int>>{
             {5, 1}, {5, 7}, {5, 8}, {5, 9}, {13, 17}, {24, 1003}, {128, 33000}}) {
      const zelt::IndexState s = random_state(metric, dim, n, rng);
      const std::vector<float> q = zelt_test::ball_values(rng, dim, 0.3f);
      const float qn = zelt_test::ref_squared_norm(q.data(), dim);
      for (const std::uint64_t filter : {std::uint64_t{0}, std::uint64_t{2}}) {
        SCOPED_TRACE("metric " + std::to_string(int(metric)) + ", dimension " +
                     std::to_string(dim) + ", nodes " + std::to_string(n) + ", filter " +
                     std::to_string(filter));
        std::vector<std::int32_t> ids;
        for (const zelt::Candidate& c :
             zelt::flat_search(s, q.data(), zelt::QueryTerms::exact(10, filter, -1, -1))) {
          ids.push_back(c.id);
        }
        const std::vector<float> expected = reference_distances(s, q.data(), qn, filter, 10);
        ASSERT_EQ(ids.size(), expected.size());
        for (std::size_t j = 0; j < ids.size(); ++j) {
          EXPECT_TRUE(SameBits(zelt::distance_to_node(s, q.data(), qn, ids[j]), expected[j]));
          EXPECT_EQ((filter & ~s.masks[std::size_t(ids[j])]), 0u);
        }
      }
    }
  }
}

}  // namespace

namespace {

// Records drawn from four vectors, so that most distances tie with the
// farthest one kept: the scan passes over records strictly beyond it without
// offering them, and which tied records it keeps must still be those of
// offering every record in id order to the heap.
TEST(FlatSearch, KeepsTheTiedRecordsOfOfferingEveryRecord) {
  std::mt19937 rng(21);
  for (const MetricKind metric : kMetrics) {
    for (const auto& [dim, n] : std::vector<std::pair<int, int>>{{8, 600}, {128, 33000}}) {
      std::vector<std::vector<float>> pool;
      for (int p = 0; p < 4; ++p) pool.push_back(zelt_test::ball_values(rng, dim, 0.2f * float(p + 1)));
      zelt::IndexState s = zelt_test::make_state(dim, 1.0f, 16, metric, 1u);
      for (int i = 0; i < n; ++i) {
        const std::vector<float>& v = pool[std::size_t(i % 4)];
        s.append_node(v.data(), zelt_test::ref_squared_norm(v.data(), dim), 0, 0);
      }
      const std::vector<float> q = zelt_test::ball_values(rng, dim, 0.3f);
      const float qn = zelt_test::ref_squared_norm(q.data(), dim);
      for (const std::int32_t k : {0, 1, 10}) {
        SCOPED_TRACE("metric " + std::to_string(int(metric)) + ", nodes " + std::to_string(n) +
                     ", k " + std::to_string(k));
        zelt::ResultHeap every;
        for (std::int32_t i = 0; i < std::int32_t(n); ++i) {
          every.push({zelt::distance_to_node(s, q.data(), qn, i), i});
          if (every.size() > std::size_t(k)) every.pop();
        }
        std::vector<std::int32_t> expected;
        for (const zelt::Candidate& c : every.drain_reversed()) expected.push_back(c.id);
        std::vector<std::int32_t> ids;
        for (const zelt::Candidate& c :
             zelt::flat_search(s, q.data(), zelt::QueryTerms::exact(k, 0, -1, -1))) {
          ids.push_back(c.id);
        }
        EXPECT_EQ(ids, expected);
      }
    }
  }
}

}  // namespace
