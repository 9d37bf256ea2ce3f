// Keeping the graph in reach: stranded nodes are hung on nodes in reach, the
// lists stay sound and within their caps, and the in-links follow the lists.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "index/graph/graph_check.h"
#include "index/graph/reach_graph.h"
#include "index/store/index_state.h"
#include "test_support.h"

namespace {

using zelt::IndexState;

// n points on a line, node i at (i, 0), each listing up to `cap` random
// earlier nodes: the entry point 0 lists nobody, so nothing else is in reach.
IndexState stranded_line(std::int32_t n, std::uint32_t seed) {
  IndexState s = zelt_test::make_state(2, 1.0f, 2, zelt::MetricKind::Euclidean, 1);
  std::mt19937 rng(seed);
  for (std::int32_t i = 0; i < n; ++i) {
    const float v[2] = {float(i), 0.0f};
    s.append_node(v, v[0] * v[0], 0, 0);
    std::vector<std::int32_t> ids;
    for (int t = 0; t < s.cap(0) && i > 0; ++t) {
      const auto id = std::int32_t(rng() % std::uint32_t(i));
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    s.links.assign(i, 0, ids.data(), ids.size());
  }
  s.ep_id = 0;
  s.ep_layer = 0;
  return s;
}

TEST(ReachGraph, EveryStrandedNodeIsHungWithinTheCaps) {
  for (std::uint32_t seed = 1; seed <= 5; ++seed) {
    IndexState s = stranded_line(300, seed);
    ASSERT_EQ(zelt::unreachable_nodes(s).size(), 299u);
    EXPECT_EQ(zelt::hang_unreachable(s), 0u);
    EXPECT_TRUE(zelt::unreachable_nodes(s).empty());
    EXPECT_EQ(zelt::graph_fault(s, zelt::GraphRules::Built), "");
  }
}

TEST(ReachGraph, NodesWithoutListsAreNotPartOfTheGraph) {
  IndexState s = stranded_line(10, 3);
  const float v[2] = {100.0f, 0.0f};
  s.append_node(v, v[0] * v[0], 0, 0);  // stored with an empty list, as a flat node
  EXPECT_FALSE(zelt::in_graph(s, 10));
  EXPECT_EQ(zelt::hang_unreachable(s), 0u);
  EXPECT_TRUE(zelt_test::link_ids(s, 9, 0).size() <= std::size_t(s.cap(0)));
  for (std::int32_t n = 0; n < 10; ++n) {
    const std::vector<std::int32_t> ids = zelt_test::link_ids(s, n, 0);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 10), 0);
  }
  IndexState empty = zelt_test::make_state(2, 1.0f, 2, zelt::MetricKind::Euclidean, 1);
  EXPECT_TRUE(zelt::unreachable_nodes(empty).empty());
  EXPECT_EQ(zelt::hang_unreachable(empty), 0u);
}

TEST(ReverseLinks, HoldTheListsThatNameANodeFirst) {
  IndexState s = stranded_line(50, 9);
  s.reverse.rebuild(s.links);
  for (std::int32_t n = 0; n < 50; ++n) {
    std::vector<std::int32_t> expected;
    for (std::int32_t m = 0; m < 50; ++m) {
      const std::vector<std::int32_t> ids = zelt_test::link_ids(s, m, 0);
      if (std::find(ids.begin(), ids.begin() + std::min<std::size_t>(ids.size(), 8), n) !=
          ids.begin() + std::min<std::size_t>(ids.size(), 8)) {
        expected.push_back(m);
      }
    }
    const zelt::LinkSpan got = s.reverse.of(n);
    EXPECT_EQ(std::vector<std::int32_t>(got.begin(), got.end()), expected) << n;
  }
  // A node added since the snapshot has none.
  EXPECT_TRUE(s.reverse.of(50).empty() && s.reverse.of(-1).empty());
}

}  // namespace
