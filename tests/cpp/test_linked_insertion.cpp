// Linked insertion: the graph it builds, checked after every insertion and as
// a whole, and the entry-point rules of the first nodes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "api/hyperbolic_index.h"
#include "index/graph/graph_check.h"
#include "index/graph/insertion.h"
#include "index/graph/layer_search.h"
#include "index/graph/layer_walk.h"
#include "index/graph/level_draw.h"
#include "index/graph/neighbour_selection.h"
#include "index/store/index_state.h"
#include "test_support.h"

namespace {

using zelt::IndexState;
using zelt::MetricKind;

// What every graph built by insertion satisfies.
void expect_graph_invariants(const IndexState& s) {
  ASSERT_EQ(s.masks.size(), s.size());
  EXPECT_EQ(zelt::graph_fault(s, zelt::GraphRules::Built), "");
}

struct Tally {
  int raised_entry = 0;
  int kept_entry = 0;
  int trimmed_back = 0;
};

// Inserts v and checks what this one insertion must have done. With
// exact_neighbours >= 0, every linked layer of the new node must hold exactly
// that many ids.
void insert_and_check(IndexState& s, const std::vector<float>& v, std::uint64_t mask, int ef,
                      Tally& tally, int exact_neighbours = -1) {
  const auto new_id = std::int32_t(s.size());
  const std::int32_t old_ep = s.ep_id, old_layer = s.ep_layer;
  std::mt19937 shadow = s.level_rng;
  const std::int32_t level = zelt::draw_level(shadow, s.level_dist, s.params.level_mult);

  zelt::insert_linked(s, v.data(), mask, ef);

  ASSERT_EQ(s.size(), std::size_t(new_id) + 1);
  ASSERT_TRUE(s.level_rng == shadow) << "the insertion must take exactly two generator outputs";
  ASSERT_EQ(s.links.level(new_id), level);
  EXPECT_EQ(s.masks[s.size() - 1], mask);
  EXPECT_EQ(std::memcmp(s.vectors.vector(new_id), v.data(), v.size() * sizeof(float)), 0);
  EXPECT_TRUE(zelt_test::SameBits(s.stored_norm(new_id),
                                  zelt_test::ref_squared_norm(v.data(), int(v.size()))));

  const bool first = new_id == 0;
  if (first || level > old_layer) {
    EXPECT_EQ(s.ep_id, new_id);
    EXPECT_EQ(s.ep_layer, level);
    if (!first) ++tally.raised_entry;
  } else {
    EXPECT_EQ(s.ep_id, old_ep);
    EXPECT_EQ(s.ep_layer, old_layer);
    ++tally.kept_entry;
  }
  const std::int32_t linked_top = first ? -1 : std::min(level, old_layer);
  for (std::int32_t layer = linked_top + 1; layer <= level; ++layer) {
    EXPECT_TRUE(s.links.links(new_id, layer).empty()) << "layer " << layer << " above the graph";
  }
  for (std::int32_t layer = 0; layer <= linked_top; ++layer) {
    const std::vector<std::int32_t> list = zelt_test::link_ids(s, new_id, layer);
    EXPECT_GE(list.size(), 1u) << "node " << new_id << " got no neighbour on layer " << layer;
    EXPECT_LE(std::int32_t(list.size()), s.cap(layer));
    if (exact_neighbours >= 0) {
      EXPECT_EQ(std::int32_t(list.size()), exact_neighbours) << "layer " << layer;
    }
    // Linked back, unless the neighbour's full list was trimmed (to exactly
    // its cap) and dropped the new node.
    for (const std::int32_t other : list) {
      const std::vector<std::int32_t> back = zelt_test::link_ids(s, other, layer);
      const bool has = std::find(back.begin(), back.end(), new_id) != back.end();
      if (!has) {
        EXPECT_EQ(std::int32_t(back.size()), s.cap(layer))
            << "node " << other << " neither links back to " << new_id << " nor is full";
        ++tally.trimmed_back;
      }
    }
  }
}

std::vector<float> point_for(MetricKind metric, std::mt19937& rng, int dim, int i) {
  if (metric != MetricKind::Poincare) return zelt_test::mixed_values(rng, dim, -4, 2);
  // Inside the ball at spread norms; every 50th point beyond the search
  // boundary (squared norm 0.995 … 0.999), which must still get linked.
  std::uniform_real_distribution<float> norm(0.0f, 0.99f), edge(0.9955f, 0.999f);
  return zelt_test::ball_values(rng, dim, i % 50 == 49 ? edge(rng) : norm(rng));
}

class GraphInvariants : public ::testing::TestWithParam<MetricKind> {};

TEST_P(GraphInvariants, HoldAfterEveryInsertion) {
  const MetricKind metric = GetParam();
  const int dim = 16, count = 3000;
  IndexState s = zelt_test::make_state(dim, 1.0f, 8, metric, 4242u);
  std::mt19937 rng(17u + unsigned(metric));
  Tally tally;
  for (int i = 0; i < count; ++i) {
    const std::vector<float> v = point_for(metric, rng, dim, i);
    insert_and_check(s, v, std::uint64_t(i) * 0x9E3779B97F4A7C15ull, 48, tally);
    if (HasFailure()) FAIL() << "stopped at insertion " << i;
    if (i % 1000 == 999) expect_graph_invariants(s);
  }
  expect_graph_invariants(s);
  EXPECT_GT(s.ep_layer, 0);
  EXPECT_GT(tally.raised_entry, 0);
  EXPECT_GT(tally.kept_entry, count / 2);
  EXPECT_GT(tally.trimmed_back, 0) << "no list ever overflowed: the trim went untested";

  // Some layer-0 lists reach their cap and none exceeds it.
  std::int32_t fullest = 0;
  for (std::int32_t n = 0; n < count; ++n) {
    fullest = std::max(fullest, s.links.links(n, 0).size);
  }
  EXPECT_EQ(fullest, s.params.max_m_0);

  // The graph leads somewhere: a descent and a layer-0 search from the entry
  // point find the true nearest (among the nodes a search may evaluate) for
  // most queries.
  int hits = 0;
  const int queries = 100;
  for (int t = 0; t < queries; ++t) {
    const std::vector<float> q = metric == MetricKind::Poincare
                                     ? zelt_test::ball_values(rng, dim, 0.5f)
                                     : zelt_test::mixed_values(rng, dim, -4, 2);
    const float qn = s.norm_of(q.data());
    const std::int32_t entry = zelt::descend_to_layer0(s, q.data(), qn);
    zelt::ResultHeap found = zelt::search_layer(s, q.data(), qn, entry, 64, 0);
    const float got = found.drain_reversed().front().distance;
    float best = std::numeric_limits<float>::infinity();
    for (std::int32_t n = 0; n < count; ++n) {
      if (zelt::beyond_boundary(s, n)) continue;
      best = std::min(best, s.node_distance(q.data(), qn, n));
    }
    hits += got <= best;
  }
  EXPECT_GE(hits, 85) << "of " << queries << " queries";
}

INSTANTIATE_TEST_SUITE_P(Metrics, GraphInvariants,
                         ::testing::Values(MetricKind::Poincare, MetricKind::Euclidean,
                                           MetricKind::Cosine),
                         [](const auto& info) {
                           return std::string(zelt::metric_name(info.param));
                         });

// The insertion written out step by step on top of the layer search and the
// neighbour selection (both tested on their own): draw the level, descend
// greedily above it, then on each shared layer search, select, link both ways
// and trim an overfull list by selection over distances measured afresh from
// its owner, the entry of the next layer being the first chosen id.
void model_insert(IndexState& m, const float* v, std::uint64_t mask, std::int32_t ef) {
  const auto new_id = std::int32_t(m.size());
  const float q_norm = zelt_test::ref_squared_norm(v, m.params.dimension);
  const std::int32_t level = zelt::draw_level(m.level_rng, m.level_dist, m.params.level_mult);
  m.append_node(v, q_norm, mask, level);
  if (new_id == 0) {
    m.ep_id = 0;
    m.ep_layer = level;
    return;
  }
  const float* query = m.vectors.vector(new_id);
  std::int32_t entry = m.ep_id;
  for (std::int32_t layer = m.ep_layer; layer >= level + 1; --layer) {
    const zelt::ResultHeap step = zelt::search_layer(m, query, q_norm, entry, 1, layer);
    if (!step.empty()) entry = step.top().id;
  }
  for (std::int32_t layer = std::min(m.ep_layer, level); layer >= 0; --layer) {
    zelt::ResultHeap found = zelt::search_layer(m, query, q_norm, entry, ef, layer);
    const std::vector<std::int32_t> chosen = zelt::select_neighbours(m, found, m.cap(layer));
    m.links.assign(new_id, layer, chosen.data(), chosen.size());
    for (const std::int32_t n : chosen) {
      std::vector<std::int32_t> list = zelt_test::link_ids(m, n, layer);
      list.push_back(new_id);
      if (std::int32_t(list.size()) > m.cap(layer)) {
        zelt::ResultHeap heap;
        for (const std::int32_t x : list) {
          heap.push({m.node_distance(m.vectors.vector(n), m.stored_norm(n), x), x});
        }
        list = zelt::select_neighbours(m, heap, m.cap(layer));
      }
      m.links.assign(n, layer, list.data(), list.size());
    }
    if (!chosen.empty()) entry = chosen.front();
  }
  if (level > m.ep_layer) {
    m.ep_id = new_id;
    m.ep_layer = level;
  }
}

void expect_same_graph(const IndexState& a, const IndexState& b) {
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(a.ep_id, b.ep_id);
  EXPECT_EQ(a.ep_layer, b.ep_layer);
  ASSERT_EQ(zelt_test::values(a.links.levels()), zelt_test::values(b.links.levels()));
  for (std::int32_t n = 0; n < std::int32_t(a.size()); ++n) {
    for (std::int32_t layer = 0; layer <= a.links.level(n); ++layer) {
      ASSERT_EQ(zelt_test::link_ids(a, n, layer), zelt_test::link_ids(b, n, layer))
          << "node " << n << " layer " << layer;
    }
  }
}

class InsertionModel : public ::testing::TestWithParam<MetricKind> {};

TEST_P(InsertionModel, BuildsTheSameGraphAsTheModel) {
  const MetricKind metric = GetParam();
  const int dim = 12, count = 1200;
  IndexState s = zelt_test::make_state(dim, 1.0f, 4, metric, 515u);
  IndexState m = zelt_test::make_state(dim, 1.0f, 4, metric, 515u);
  std::mt19937 rng(23u + unsigned(metric));
  for (int i = 0; i < count; ++i) {
    const std::vector<float> v = point_for(metric, rng, dim, i);
    const int ef = i % 7 == 0 ? 3 : 24;  // now and then narrower than the caps
    zelt::insert_linked(s, v.data(), std::uint64_t(i), ef);
    model_insert(m, v.data(), std::uint64_t(i), ef);
    if (i % 100 == 99 || i < 40) {
      expect_same_graph(s, m);
      if (HasFailure()) FAIL() << "the graphs part after insertion " << i;
    }
  }
  expect_same_graph(s, m);
  EXPECT_TRUE(s.level_rng == m.level_rng);
  EXPECT_GE(s.ep_layer, 2);
}

INSTANTIATE_TEST_SUITE_P(Metrics, InsertionModel,
                         ::testing::Values(MetricKind::Poincare, MetricKind::Euclidean,
                                           MetricKind::Cosine),
                         [](const auto& info) {
                           return std::string(zelt::metric_name(info.param));
                         });

TEST(LinkedInsertion, ThroughTheIndexKeepsTheSameInvariants) {
  zelt::HyperbolicIndex index(16, 1.0f, 8, "l2", 99u);
  std::mt19937 rng(3);
  for (int i = 0; i < 1500; ++i) {
    const std::vector<float> v = zelt_test::mixed_values(rng, 16, -3, 1);
    index.add_item_and_link(zelt::FloatArray{v.data(), 16, 1}, 0, 32);
  }
  index.inspect([](const IndexState& s) {
    expect_graph_invariants(s);
    return 0;
  });
}

// A seed whose generator draws the given leading levels for M.
std::uint32_t seed_drawing(std::int32_t m, const std::vector<std::int32_t>& levels) {
  const float mult = zelt_test::level_mult_for(m);
  for (std::uint32_t seed = 1;; ++seed) {
    std::mt19937 rng(seed);
    bool all = true;
    for (const std::int32_t want : levels) {
      all = all && zelt::draw_level(rng, zelt::LevelDistribution{}, mult) == want;
    }
    if (all) return seed;
  }
}

TEST(LinkedInsertion, FirstNodeBecomesTheEntryPointWithoutLinks) {
  for (const std::int32_t level : {0, 2}) {
    IndexState s =
        zelt_test::make_state(3, 1.0f, 4, MetricKind::Euclidean, seed_drawing(4, {level}));
    Tally tally;
    insert_and_check(s, {0.1f, 0.2f, 0.3f}, 5, 16, tally);
    EXPECT_EQ(s.ep_id, 0);
    EXPECT_EQ(s.ep_layer, level);
    for (std::int32_t layer = 0; layer <= level; ++layer) {
      EXPECT_TRUE(s.links.links(0, layer).empty());
    }
  }
}

TEST(LinkedInsertion, TwoLevelZeroNodesLinkEachOther) {
  IndexState s = zelt_test::make_state(2, 1.0f, 16, MetricKind::Cosine, seed_drawing(16, {0, 0}));
  Tally tally;
  insert_and_check(s, {1.0f, 0.0f}, 0, 200, tally);
  insert_and_check(s, {0.0f, 1.0f}, 0, 200, tally);
  EXPECT_EQ(zelt_test::link_ids(s, 0, 0), std::vector<std::int32_t>{1});
  EXPECT_EQ(zelt_test::link_ids(s, 1, 0), std::vector<std::int32_t>{0});
  EXPECT_EQ(s.ep_id, 0);
  EXPECT_EQ(s.ep_layer, 0);
}

TEST(LinkedInsertion, HigherLevelTakesOverTheEntryPointSameLevelDoesNot) {
  IndexState s =
      zelt_test::make_state(2, 1.0f, 2, MetricKind::Euclidean, seed_drawing(2, {1, 1, 3, 0}));
  Tally tally;
  insert_and_check(s, {0.0f, 0.0f}, 0, 10, tally);
  insert_and_check(s, {1.0f, 0.0f}, 0, 10, tally);  // same level: entry stays 0
  EXPECT_EQ(s.ep_id, 0);
  insert_and_check(s, {0.0f, 1.0f}, 0, 10, tally);  // level 3: new entry, layers 2, 3 empty
  EXPECT_EQ(s.ep_id, 2);
  EXPECT_EQ(s.ep_layer, 3);
  EXPECT_TRUE(s.links.links(2, 2).empty());
  EXPECT_TRUE(s.links.links(2, 3).empty());
  EXPECT_FALSE(s.links.links(2, 1).empty());
  insert_and_check(s, {1.0f, 1.0f}, 0, 10, tally);  // level 0: linked on layer 0 only
  EXPECT_EQ(s.ep_id, 2);
  expect_graph_invariants(s);
}

TEST(LinkedInsertion, AfterFlatNodesTheFirstLinkedNodeIsTheEntryWithoutLinks) {
  zelt::HyperbolicIndex index(3, 1.0f, 4, "euclidean", 8u);
  std::mt19937 rng(4);
  for (int i = 0; i < 5; ++i) {
    const std::vector<float> v = zelt_test::mixed_values(rng, 3);
    index.add_item_flat(zelt::FloatArray{v.data(), 3, 1}, 0);
  }
  const std::vector<float> v = zelt_test::mixed_values(rng, 3);
  index.add_item_and_link(zelt::FloatArray{v.data(), 3, 1}, 0, 16);
  index.inspect([](const IndexState& s) {
    EXPECT_EQ(s.ep_id, 5);
    EXPECT_EQ(s.ep_layer, s.links.level(5));
    for (std::int32_t n = 0; n < 6; ++n) {
      for (std::int32_t layer = 0; layer <= s.links.level(n); ++layer) {
        EXPECT_TRUE(s.links.links(n, layer).empty()) << "node " << n << " layer " << layer;
      }
    }
    return 0;
  });
  EXPECT_EQ(index.get_stats().avg_degree_layer0, 0.0);

  // Later linked nodes link only among the linked ones; the flat ones stay out.
  for (int i = 0; i < 40; ++i) {
    const std::vector<float> w = zelt_test::mixed_values(rng, 3);
    index.add_item_and_link(zelt::FloatArray{w.data(), 3, 1}, 0, 16);
  }
  index.inspect([](const IndexState& s) {
    expect_graph_invariants(s);
    for (std::int32_t n = 0; n < std::int32_t(s.size()); ++n) {
      for (std::int32_t layer = 0; layer <= s.links.level(n); ++layer) {
        for (const std::int32_t id : s.links.links(n, layer)) EXPECT_GE(id, 5) << "node " << n;
        if (n < 5) {
          EXPECT_TRUE(s.links.links(n, layer).empty());
        }
      }
    }
    return 0;
  });
}

TEST(LinkedInsertion, NarrowConstructionGivesExactlyOneNeighbourPerLayer) {
  for (const int ef : {1, 0, -3}) {
    SCOPED_TRACE("ef_construction " + std::to_string(ef));
    IndexState s = zelt_test::make_state(8, 1.0f, 4, MetricKind::Euclidean, 77u);
    std::mt19937 rng(5);
    Tally tally;
    for (int i = 0; i < 400; ++i) {
      insert_and_check(s, zelt_test::mixed_values(rng, 8, -3, 1), 0, ef, tally, 1);
      if (HasFailure()) FAIL() << "stopped at insertion " << i;
    }
    expect_graph_invariants(s);
  }
}

}  // namespace

// Rows stored to be linked later: out of every walk's reach until link_stored,
// then linked as insertion links them, in an index with a graph or without one.
TEST(LinkedInsertion, StoredRowsAreLinkedLater) {
  for (const std::size_t linked_first : {std::size_t(300), std::size_t(0)}) {
    zelt::HyperbolicIndex index(8, 1.0f, 6, "l2", 7u);
    std::mt19937 rng(4);
    std::vector<float> rows;
    for (int i = 0; i < 500 * 8; ++i) rows.push_back(std::uniform_real_distribution<float>()(rng));
    index.add_items(zelt::FloatRows{rows.data(), linked_first, 8, 2}, nullptr, 0, 40, true,
                    {1, {}});
    std::vector<float> bad(rows.begin(), rows.begin() + 16);
    bad[9] = std::nanf("");
    EXPECT_THROW(index.store_items(zelt::FloatRows{bad.data(), 2, 8, 2}, nullptr, 0),
                 std::invalid_argument);
    const float* stored = rows.data() + linked_first * 8;
    const std::size_t count = 500 - linked_first;
    EXPECT_EQ(index.store_items(zelt::FloatRows{stored, count, 8, 2}, nullptr, 0), linked_first);
    const auto nearest = [&](std::size_t i, const zelt::QueryTerms& terms) {
      const std::vector<std::int32_t> ids = index.search({stored + i * 8, 8, 1}, terms);
      return ids.empty() ? -1 : ids[0];
    };
    const auto graph = zelt::QueryTerms::graph(1, 0, 50, -1.0f, -1.0f);
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_EQ(nearest(i, zelt::QueryTerms::exact(1, 0, -1.0f, -1.0f)),
                std::int32_t(linked_first + i));
      EXPECT_LT(nearest(i, graph), std::int32_t(linked_first));
    }
    index.link_stored(linked_first, 40, zelt::BatchControl{2, {}});
    std::size_t found = 0;
    for (std::size_t i = 0; i < count; ++i) {
      found += nearest(i, graph) == std::int32_t(linked_first + i);
    }
    EXPECT_GE(found, count * 98 / 100);
    index.inspect([](const IndexState& s) {
      expect_graph_invariants(s);
      return 0;
    });
  }
}
