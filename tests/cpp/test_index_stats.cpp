// The statistics report: mean layer-0 degree and the layer distribution.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "api/hyperbolic_index.h"
#include "index/graph/insertion.h"
#include "index/store/index_state.h"
#include "persist/index_stats.h"
#include "test_support.h"

namespace {

using zelt::IndexState;
using zelt::IndexStats;
using zelt::MetricKind;
using Counts = std::vector<std::int64_t>;

TEST(IndexStats, EmptyIndex) {
  const IndexState s = zelt_test::make_state(12, 1.0f, 6, MetricKind::Poincare, 1u);
  const IndexStats st = zelt::compute_stats(s);
  EXPECT_EQ(st.num_nodes, 0);
  EXPECT_EQ(st.ep_id, -1);
  EXPECT_EQ(st.ep_layer, -1);
  EXPECT_EQ(st.params.max_m, 6);
  EXPECT_EQ(st.params.max_m_0, 12);
  EXPECT_EQ(st.params.dimension, 12);
  EXPECT_EQ(st.avg_degree_layer0, 0.0);
  EXPECT_EQ(st.layer_distribution, Counts{0});
}

TEST(IndexStats, FlatNodesOnlyAreNotCounted) {
  IndexState s = zelt_test::make_state(2, 1.0f, 16, MetricKind::Euclidean, 1u);
  const float v[2] = {1, 2};
  for (int i = 0; i < 7; ++i) zelt::insert_flat(s, v, 0);
  const IndexStats st = zelt::compute_stats(s);
  EXPECT_EQ(st.num_nodes, 7);
  EXPECT_EQ(st.avg_degree_layer0, 0.0);
  EXPECT_EQ(st.layer_distribution, Counts{0});
}

TEST(IndexStats, DistributionWithTheEntryOnLayerTwo) {
  IndexState s = zelt_test::make_state(1, 1.0f, 16, MetricKind::Euclidean, 1u);
  const float v[1] = {0.5f};
  for (int i = 0; i < 100; ++i) {
    const std::int32_t level = i == 57 ? 2 : (i % 11 == 3 ? 1 : 0);
    s.append_node(v, 0.25f, 0, level);
  }
  s.ep_id = 57;
  s.ep_layer = 2;
  const IndexStats st = zelt::compute_stats(s);
  EXPECT_EQ(st.layer_distribution, (Counts{0, 90, 9, 1}));
  EXPECT_EQ(st.num_nodes, 100);
  EXPECT_EQ(st.ep_id, 57);
  EXPECT_EQ(st.ep_layer, 2);
}

TEST(IndexStats, LevelsOutsideTheListAreLeftOut) {
  // A level of -1 (possible in a loaded file) lands in entry 0; a level above
  // the entry point's has no entry and is not counted.
  IndexState s = zelt_test::make_state(1, 1.0f, 16, MetricKind::Euclidean, 1u);
  const float v[1] = {0.5f};
  for (const std::int32_t level : {1, -1, 0, 3, 0}) s.append_node(v, 0.25f, 0, level);
  s.ep_id = 0;
  s.ep_layer = 1;
  EXPECT_EQ(zelt::compute_stats(s).layer_distribution, (Counts{1, 2, 1}));
}

TEST(IndexStats, MeanLayerZeroDegree) {
  IndexState s = zelt_test::make_state(1, 1.0f, 16, MetricKind::Euclidean, 1u);
  const float v[1] = {0.5f};
  s.append_node(v, 0.25f, 0, 0);
  s.append_node(v, 0.25f, 0, 0);
  s.ep_id = 0;
  s.ep_layer = 0;
  const std::int32_t to0 = 0, to1 = 1;
  s.links.assign(0, 0, &to1, 1);
  EXPECT_EQ(zelt::compute_stats(s).avg_degree_layer0, 0.5);
  s.links.assign(1, 0, &to0, 1);
  EXPECT_EQ(zelt::compute_stats(s).avg_degree_layer0, 1.0);
  EXPECT_EQ(zelt::compute_stats(s).layer_distribution, (Counts{0, 2}));

  // Upper-layer links do not count; three nodes with 1 + 2 + 0 links: 1.0.
  const std::int32_t both[2] = {0, 1};
  s.append_node(v, 0.25f, 0, 1);
  s.links.assign(2, 1, both, 2);
  s.links.assign(1, 0, both, 2);
  EXPECT_EQ(zelt::compute_stats(s).avg_degree_layer0, 1.0);
}

TEST(IndexStats, FirstLinkedNode) {
  for (const std::uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
    zelt::HyperbolicIndex index(2, 1.0f, 2, "euclidean", seed);
    const float v[2] = {0.1f, 0.2f};
    index.add_item_and_link(zelt::FloatArray{v, 2, 1}, 0, 10);
    const IndexStats st = index.get_stats();
    EXPECT_EQ(st.num_nodes, 1);
    EXPECT_EQ(st.ep_id, 0);
    EXPECT_EQ(st.avg_degree_layer0, 0.0);
    Counts expected(std::size_t(st.ep_layer) + 2, 0);
    expected[std::size_t(st.ep_layer) + 1] = 1;
    EXPECT_EQ(st.layer_distribution, expected);
  }
}

}  // namespace
