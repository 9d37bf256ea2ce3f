// The searches measure several vectors at once and the flat scan switches
// between a grouped and a one-at-a-time loop by the size of the data; both
// must give exactly what one-at-a-time measurement gives.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "index/index_state.h"
#include "index/kernels_inline.h"
#include "index/node_distance.h"
#include "query/flat_search.h"
#include "test_support.h"

namespace {

using zelt::MetricKind;
using zelt_test::SameBits;

constexpr MetricKind kMetrics[] = {MetricKind::Euclidean, MetricKind::Cosine, MetricKind::Poincare};

template <int B>
void check_group_sums(int n, std::mt19937& rng) {
  const std::vector<float> q = zelt_test::mixed_values(rng, n);
  std::vector<std::vector<float>> vs;
  const float* v[B];
  for (int b = 0; b < B; ++b) {
    vs.push_back(zelt_test::mixed_values(rng, n));
    v[b] = vs.back().data();
  }
  float diff[B], dot[B];
  zelt::avx2::squared_difference_sums<B>(q.data(), v, n, diff);
  zelt::avx2::dot_products<B>(q.data(), v, n, dot);
  for (int b = 0; b < B; ++b) {
    EXPECT_TRUE(SameBits(diff[b], zelt_test::ref_difference_sum(q.data(), v[b], n))) << b;
    EXPECT_TRUE(SameBits(dot[b], zelt_test::ref_dot(q.data(), v[b], n))) << b;
  }
}

TEST(GroupedKernels, EachVectorKeepsItsOwnSummationOrder) {
  std::mt19937 rng(77);
  for (const int n : {0, 1, 7, 8, 9, 13, 16, 31, 97, 128}) {
    SCOPED_TRACE("dimension " + std::to_string(n));
    check_group_sums<4>(n, rng);
    check_group_sums<8>(n, rng);
  }
}

zelt::IndexState random_state(MetricKind metric, int dim, int n, std::mt19937& rng) {
  zelt::IndexState s = zelt_test::make_state(dim, 1.0f, 16, metric, 1u);
  for (int i = 0; i < n; ++i) {
    const std::vector<float> v = zelt_test::ball_values(rng, dim, 0.8f * float(i % 10) / 10.0f);
    s.append_node(v.data(), zelt_test::ref_squared_norm(v.data(), dim), std::uint64_t(i % 3), 0);
  }
  return s;
}

TEST(GroupedDistances, MatchOneNodeAtATime) {
  std::mt19937 rng(5);
  for (const MetricKind metric : kMetrics) {
    const zelt::IndexState s = random_state(metric, 13, 40, rng);
    const std::vector<float> q = zelt_test::ball_values(rng, 13, 0.5f);
    const float qn = zelt_test::ref_squared_norm(q.data(), 13);
    std::vector<std::int32_t> ids;
    for (std::int32_t i = 39; i >= 0; i -= 2) ids.push_back(i);
    std::vector<float> out(ids.size());
    zelt::distances_to_nodes(s, q.data(), qn, ids.data(), ids.size(), out.data());
    for (std::size_t j = 0; j < ids.size(); ++j) {
      EXPECT_TRUE(SameBits(out[j], zelt::distance_to_node(s, q.data(), qn, ids[j]))) << j;
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
        const std::vector<std::int32_t> ids =
            zelt::flat_search(s, q.data(), zelt::QuerySpec::exact(10, filter, -1, -1));
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
