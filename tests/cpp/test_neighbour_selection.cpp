// Neighbour selection: the diversity test, the fill-up from failed
// candidates, and the handling of the count bound.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "index/distance/candidate.h"
#include "index/graph/neighbour_selection.h"
#include "test_support.h"

namespace {

using zelt::MetricKind;
using zelt::ResultHeap;
using zelt_test::GraphBuilder;
using Ids = std::vector<std::int32_t>;

ResultHeap heap_of(std::initializer_list<std::pair<float, std::int32_t>> records) {
  ResultHeap h;
  for (const auto& [d, id] : records) h.push({d, id});
  return h;
}

// Base point 0 at the origin; nodes 1, 2, 3 at squared distances 1, 2, 3
// from it, with node 2 at 0.5 from node 1 and node 3 at 4 from node 1.
GraphBuilder worked_example() {
  GraphBuilder g(MetricKind::Euclidean, 2);
  g.add({0.0f, 0.0f});
  g.add({1.0f, 0.0f});
  g.add({1.25f, std::sqrt(0.4375f)});
  g.add({0.0f, std::sqrt(3.0f)});
  return g;
}

TEST(SelectNeighbours, WorkedExampleLayout) {
  GraphBuilder g = worked_example();
  const auto d = [&](std::int32_t from, std::int32_t to) {
    return g.state().node_distance(g.state().vectors.vector(from), g.state().stored_norm(from), to);
  };
  EXPECT_NEAR(d(0, 1), 1.0f, 1e-6f);
  EXPECT_NEAR(d(0, 2), 2.0f, 1e-6f);
  EXPECT_NEAR(d(0, 3), 3.0f, 1e-6f);
  EXPECT_NEAR(d(2, 1), 0.5f, 1e-6f);
  EXPECT_NEAR(d(3, 1), 4.0f, 1e-6f);
}

TEST(SelectNeighbours, WorkedExample) {
  GraphBuilder g = worked_example();
  const struct {
    std::int32_t max_count;
    Ids expected;
  } cases[] = {{1, {1}}, {2, {1, 3}}, {3, {1, 3, 2}}, {4, {1, 3, 2}}, {100, {1, 3, 2}}};
  for (const auto& c : cases) {
    // Pushed in several orders: the heap's layout must not matter.
    for (int order = 0; order < 3; ++order) {
      ResultHeap h = order == 0   ? heap_of({{1.0f, 1}, {2.0f, 2}, {3.0f, 3}})
                     : order == 1 ? heap_of({{3.0f, 3}, {2.0f, 2}, {1.0f, 1}})
                                  : heap_of({{2.0f, 2}, {3.0f, 3}, {1.0f, 1}});
      EXPECT_EQ(zelt::select_neighbours(g.state(), h, c.max_count), c.expected)
          << "max_count " << c.max_count << ", order " << order;
      EXPECT_TRUE(h.empty());
    }
  }
}

TEST(SelectNeighbours, PassedFirstThenFailedNearestFirst) {
  // On a line, base 0 at x = 0: 1.1 and 1.2 are crowded out by 1; -2 is not.
  GraphBuilder g(MetricKind::Euclidean, 1);
  g.add({0.0f});   // 0: base
  g.add({1.0f});   // 1
  g.add({1.1f});   // 2
  g.add({1.2f});   // 3
  g.add({-2.0f});  // 4
  const auto heap = [] { return heap_of({{1.44f, 3}, {4.0f, 4}, {1.0f, 1}, {1.21f, 2}}); };
  for (const auto& [max_count, expected] : std::vector<std::pair<std::int32_t, Ids>>{
           {2, {1, 4}}, {3, {1, 4, 2}}, {4, {1, 4, 2, 3}}, {9, {1, 4, 2, 3}}}) {
    ResultHeap h = heap();
    EXPECT_EQ(zelt::select_neighbours(g.state(), h, max_count), expected) << max_count;
  }
}

TEST(SelectNeighbours, EqualDistanceToAChosenNodePasses) {
  // Base at the origin; node 1 at (2, 0), 4 away. Node 2 at (1, 2) is 5 from
  // the base and exactly 5 from node 1: it passes. Node 3 at (-3, 0) passes
  // too but is farther, so with room for two the tie decides the answer.
  GraphBuilder g(MetricKind::Euclidean, 2);
  g.add({0, 0});
  g.add({2, 0});
  g.add({1, 2});
  g.add({-3, 0});
  ResultHeap h = heap_of({{4.0f, 1}, {5.0f, 2}, {9.0f, 3}});
  EXPECT_EQ(zelt::select_neighbours(g.state(), h, 2), (Ids{1, 2}));

  // Moved to (1.5, 2), node 2 is 6.25 from the base but 4.25 from node 1: it fails.
  GraphBuilder f(MetricKind::Euclidean, 2);
  f.add({0, 0});
  f.add({2, 0});
  f.add({1.5f, 2});
  f.add({-3, 0});
  ResultHeap k = heap_of({{4.0f, 1}, {6.25f, 2}, {9.0f, 3}});
  EXPECT_EQ(zelt::select_neighbours(f.state(), k, 2), (Ids{1, 3}));
}

TEST(SelectNeighbours, UnorderedComparisonFails) {
  // Node 2's distance to node 1 is NaN: it fails as a crowded-out candidate.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  GraphBuilder g(MetricKind::Euclidean, 2);
  g.add({0, 0});
  g.add({2, 0});
  g.add({nan, 2});
  g.add({-3, 0});
  for (const auto& [max_count, expected] :
       std::vector<std::pair<std::int32_t, Ids>>{{2, {1, 3}}, {3, {1, 3, 2}}}) {
    ResultHeap h = heap_of({{4.0f, 1}, {5.0f, 2}, {9.0f, 3}});
    EXPECT_EQ(zelt::select_neighbours(g.state(), h, max_count), expected);
  }
}

TEST(SelectNeighbours, WhenAllPassTheNearestAreKeptInOrder) {
  // Points on distinct axes: each is farther from any other than from the base.
  GraphBuilder g(MetricKind::Euclidean, 8);
  g.add(std::vector<float>(8, 0.0f));
  ResultHeap all;
  for (std::int32_t i = 1; i <= 8; ++i) {
    std::vector<float> v(8, 0.0f);
    const float r = 1.0f + 0.1f * float(9 - i);  // node 8 nearest, node 1 farthest
    v[std::size_t(i - 1)] = r;
    g.add(v);
    all.push({r * r, i});
  }
  ResultHeap h = all;
  EXPECT_EQ(zelt::select_neighbours(g.state(), h, 5), (Ids{8, 7, 6, 5, 4}));
  h = all;
  EXPECT_EQ(zelt::select_neighbours(g.state(), h, 8), (Ids{8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST(SelectNeighbours, EmptyInputOrNoRoomGivesNothing) {
  GraphBuilder g = worked_example();
  for (const std::int32_t max_count : {0, 1, 5}) {
    ResultHeap empty;
    EXPECT_TRUE(zelt::select_neighbours(g.state(), empty, max_count).empty());
  }
  ResultHeap h = heap_of({{1.0f, 1}, {2.0f, 2}, {3.0f, 3}});
  EXPECT_TRUE(zelt::select_neighbours(g.state(), h, 0).empty());
  EXPECT_TRUE(h.empty());
}

TEST(SelectNeighbours, NegativeCountThrowsLengthErrorAfterDraining) {
  GraphBuilder g = worked_example();
  for (const std::int32_t max_count : {-1, std::numeric_limits<std::int32_t>::min()}) {
    ResultHeap h = heap_of({{1.0f, 1}, {2.0f, 2}, {3.0f, 3}});
    EXPECT_THROW(zelt::select_neighbours(g.state(), h, max_count), std::length_error);
    EXPECT_TRUE(h.empty());
    ResultHeap empty;
    EXPECT_THROW(zelt::select_neighbours(g.state(), empty, max_count), std::length_error);
  }
}

class SelectNeighboursPruning : public ::testing::TestWithParam<MetricKind> {};

TEST_P(SelectNeighboursPruning, OneRecordOverTheCountDropsExactlyOne) {
  const MetricKind metric = GetParam();
  std::mt19937 rng(31u + unsigned(metric));
  const int dim = 4;
  GraphBuilder g(metric, dim);
  // No zero vectors: their cosine distances would all tie at 1.
  for (int i = 0; i < 60; ++i) {
    g.add(zelt_test::ball_values(rng, dim, 0.05f + 0.9f * float(i % 10) / 9.0f));
  }
  std::uniform_int_distribution<std::int32_t> pick(0, 59);
  for (const std::int32_t max_count : {1, 2, 3, 8, 16, 32}) {
    for (int trial = 0; trial < 5; ++trial) {
      const std::int32_t base = pick(rng);
      std::set<std::int32_t> members;
      while (std::int32_t(members.size()) < max_count + 1) {
        const std::int32_t id = pick(rng);
        if (id != base) members.insert(id);
      }
      ResultHeap h;
      std::int32_t nearest = -1;
      float best = std::numeric_limits<float>::infinity();
      for (const std::int32_t id : members) {
        const float d = g.state().node_distance(g.state().vectors.vector(base),
                                                g.state().stored_norm(base), id);
        h.push({d, id});
        if (d < best) {
          best = d;
          nearest = id;
        }
      }
      const Ids out = zelt::select_neighbours(g.state(), h, max_count);
      ASSERT_EQ(out.size(), std::size_t(max_count));
      EXPECT_EQ(std::set<std::int32_t>(out.begin(), out.end()).size(), out.size()) << "duplicates";
      for (const std::int32_t id : out) EXPECT_TRUE(members.count(id)) << id;
      EXPECT_EQ(out.front(), nearest);
      EXPECT_TRUE(h.empty());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Metrics, SelectNeighboursPruning,
                         ::testing::Values(MetricKind::Poincare, MetricKind::Euclidean,
                                           MetricKind::Cosine),
                         [](const auto& info) {
                           return std::string(zelt::metric_name(info.param));
                         });

}  // namespace
