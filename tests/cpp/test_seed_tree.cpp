// The seeds of a seeded walk: the k-d tree stays consistent with the nodes it
// holds as it grows, splits and is made afresh; equal points do not stall it;
// and where every node is kept in reach, an inserted node keeps an in-link.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "index/graph/insertion.h"
#include "index/graph/seed_tree.h"
#include "test_support.h"

namespace {

using zelt::IndexState;

IndexState reach_all_state(std::int32_t dim, std::int32_t m) {
  zelt::IndexParams params = zelt::IndexParams::derive(dim, 1.0f, m, zelt::MetricKind::Poincare);
  params.reach_all = true;
  return zelt::make_state(params, 3);
}

// A hub at the centre and points by the boundary, as on a hierarchy.
std::vector<float> hub_and_leaves(std::int32_t n, std::int32_t dim, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> out(std::size_t(n * dim), 0.0f);
  for (std::int32_t i = 1; i < n; ++i) {
    float* v = &out[std::size_t(i * dim)];
    float sq = 0.0f;
    for (std::int32_t a = 0; a < dim; ++a) {
      v[a] = normal(rng);
      sq += v[a] * v[a];
    }
    for (std::int32_t a = 0; a < dim; ++a) v[a] *= 0.998f / std::sqrt(sq);
  }
  return out;
}

TEST(SeedTree, EveryNodeFindsItselfAsTheTreeGrowsAndShrinks) {
  const std::int32_t dim = 3, n = 700;
  const std::vector<float> points = hub_and_leaves(n, dim, 1);
  IndexState s = reach_all_state(dim, 4);
  zelt::SeedTree tree;
  std::vector<zelt::Candidate> best;
  for (std::int32_t i = 0; i < n; ++i) {
    zelt::insert_linked(s, &points[std::size_t(i * dim)], 0, 20);
    tree.take_new_nodes(s);  // one node at a time: leaves split, and at doublings a rebuild
  }
  for (std::int32_t i = 0; i < n; ++i) {
    tree.nearest(s, s.vectors.vector(i), 4, best);
    ASSERT_FALSE(best.empty()) << i;
    EXPECT_EQ(best[0].distance, 0.0f) << i;
    EXPECT_TRUE(std::is_sorted(best.begin(), best.end(), [](auto a, auto b) {
      return a.distance < b.distance;
    }));
  }
  // Fewer nodes than it has taken in (a load, a dropped batch): made afresh.
  s.truncate(100);
  tree.take_new_nodes(s);
  for (std::int32_t i = 0; i < n; ++i) {
    tree.nearest(s, &points[std::size_t(i * dim)], 8, best);
    for (const zelt::Candidate& c : best) EXPECT_LT(c.id, 100);
  }
}

TEST(SeedTree, EqualPointsStayInOneLeaf) {
  const std::int32_t dim = 2;
  IndexState s = reach_all_state(dim, 4);
  zelt::SeedTree tree;
  const float same[2] = {0.5f, 0.25f}, other[2] = {-0.5f, 0.0f};
  for (std::int32_t i = 0; i < 3000; ++i) {
    zelt::insert_linked(s, i % 100 == 0 ? other : same, 0, 4);
    tree.take_new_nodes(s);
  }
  std::vector<zelt::Candidate> best;
  tree.nearest(s, same, 8, best);
  ASSERT_EQ(best.size(), 8u);
  for (const zelt::Candidate& c : best) EXPECT_EQ(c.distance, 0.0f);
  tree.nearest(s, other, 1, best);
  ASSERT_EQ(best.size(), 1u);
  EXPECT_EQ(best[0].id % 100, 0);
}

TEST(ReachAllInsertion, AnInsertedNodeKeepsAnInLink) {
  const std::int32_t dim = 4, n = 400;
  const std::vector<float> points = hub_and_leaves(n, dim, 2);
  IndexState s = reach_all_state(dim, 2);
  for (std::int32_t i = 0; i < n; ++i) {
    zelt::insert_linked(s, &points[std::size_t(i * dim)], 0, 50);
    if (i == 0) continue;
    bool held = false;
    for (std::int32_t m = 0; m < i && !held; ++m) {
      const std::vector<std::int32_t> ids = zelt_test::link_ids(s, m, 0);
      held = std::find(ids.begin(), ids.end(), i) != ids.end();
    }
    EXPECT_TRUE(held) << i;
  }
}

}  // namespace
