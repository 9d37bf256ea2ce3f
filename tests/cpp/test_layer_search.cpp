// The beam search of one layer, driven on small hand-built graphs, and the
// per-thread visited marks it relies on.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "index/distance/candidate.h"
#include "index/graph/layer_search.h"
#include "index/graph/layer_walk.h"
#include "index/graph/thread_scratch.h"
#include "index/store/index_state.h"
#include "test_support.h"

namespace {

using zelt::Candidate;
using zelt::IndexState;
using zelt::MetricKind;
using zelt::ResultHeap;
using zelt_test::GraphBuilder;

// Runs the search with a query given by its coordinates.
ResultHeap search(const IndexState& s, std::vector<float> q, std::int32_t entry, std::int32_t ef,
                  std::int32_t layer = 0) {
  const float qn = zelt_test::ref_squared_norm(q.data(), int(q.size()));
  return zelt::search_layer(s, q.data(), qn, entry, ef, layer);
}

std::vector<std::int32_t> ids_of(ResultHeap heap) {
  std::vector<std::int32_t> ids;
  for (const Candidate& c : heap.drain_reversed()) ids.push_back(c.id);
  return ids;
}

std::vector<std::int32_t> sorted_ids(const ResultHeap& heap) {
  std::vector<std::int32_t> ids;
  for (const Candidate& c : heap.items()) ids.push_back(c.id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

// Every record carries its node's true distance, and the top is the farthest.
void expect_sound_records(const IndexState& s, const std::vector<float>& q, const ResultHeap& h) {
  ASSERT_FALSE(h.empty());
  const float qn = zelt_test::ref_squared_norm(q.data(), int(q.size()));
  float farthest = -std::numeric_limits<float>::infinity();
  for (const Candidate& c : h.items()) {
    EXPECT_TRUE(zelt_test::SameBits(c.distance, s.node_distance(q.data(), qn, c.id)))
        << "node " << c.id;
    farthest = std::max(farthest, c.distance);
  }
  EXPECT_EQ(h.top().distance, farthest);
}

// Nodes 0 … count-1 on a line at x = 0, 1, 2, …, each linked both ways to
// its neighbours on layer 0.
GraphBuilder line(std::int32_t count, MetricKind metric = MetricKind::Euclidean) {
  GraphBuilder g(metric, 1);
  for (std::int32_t i = 0; i < count; ++i) g.add({float(i)});
  for (std::int32_t i = 0; i < count; ++i) {
    std::vector<std::int32_t> next;
    if (i > 0) next.push_back(i - 1);
    if (i + 1 < count) next.push_back(i + 1);
    g.link(i, 0, next);
  }
  return g;
}

// `count` random 3-D points, each with `degree` random out-links on layer 0.
GraphBuilder random_graph(std::int32_t count, std::int32_t degree, unsigned seed,
                          MetricKind metric = MetricKind::Euclidean) {
  std::mt19937 rng(seed);
  GraphBuilder g(metric, 3);
  std::uniform_real_distribution<float> coord(-0.5f, 0.5f);
  for (std::int32_t i = 0; i < count; ++i) g.add({coord(rng), coord(rng), coord(rng)});
  std::uniform_int_distribution<std::int32_t> pick(0, count - 1);
  for (std::int32_t i = 0; i < count; ++i) {
    std::set<std::int32_t> out;
    while (std::int32_t(out.size()) < degree) {
      const std::int32_t j = pick(rng);
      if (j != i) out.insert(j);
    }
    g.link(i, 0, std::vector<std::int32_t>(out.begin(), out.end()));
  }
  return g;
}

TEST(SearchLayer, EntryWithEmptyListIsTheWholeResult) {
  GraphBuilder g(MetricKind::Euclidean, 1);
  g.add({0}, 1);
  g.add({1});
  g.add({2});
  g.link(1, 0, {0});
  g.link(2, 0, {0});
  for (const std::int32_t ef : {-5, 0, 1, 2, 100}) {
    for (const std::int32_t layer : {0, 1}) {
      const ResultHeap h = search(g.state(), {1.9f}, 0, ef, layer);
      ASSERT_EQ(h.size(), 1u) << "ef " << ef << ", layer " << layer;
      EXPECT_EQ(h.top().id, 0);
      expect_sound_records(g.state(), {1.9f}, h);
    }
  }
}

TEST(SearchLayer, TheResultHeapPassedInIsClearedFirst) {
  GraphBuilder g = line(3);
  ResultHeap h;
  h.push({-1.0f, 77});
  h.push({5.0f, 78});
  zelt::search_layer(g.state(), std::vector<float>{2.0f}.data(), 4.0f, 2, 1, 0, h);
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h.top().id, 2);
}

TEST(SearchLayer, GreedyWalkFollowsNearerNeighbours) {
  GraphBuilder g = line(6);
  EXPECT_EQ(ids_of(search(g.state(), {4.2f}, 0, 1)), std::vector<std::int32_t>{4});
  EXPECT_EQ(ids_of(search(g.state(), {0.9f}, 5, 1)), std::vector<std::int32_t>{1});
  EXPECT_EQ(ids_of(search(g.state(), {9.0f}, 2, 1)), std::vector<std::int32_t>{5});
  // Already at the nearest: stays.
  EXPECT_EQ(ids_of(search(g.state(), {3.1f}, 3, 1)), std::vector<std::int32_t>{3});
}

TEST(SearchLayer, GreedyWalkStopsAtALocalMinimum) {
  // 0 (x=0) links only to 1 (x=-1); the query at 3 is nearer to 2 (x=3), which
  // 0 does not link to: the walk cannot leave 0.
  GraphBuilder g(MetricKind::Euclidean, 1);
  g.add({0});
  g.add({-1});
  g.add({3});
  g.link(0, 0, {1});
  g.link(1, 0, {2});
  EXPECT_EQ(ids_of(search(g.state(), {3.0f}, 0, 1)), std::vector<std::int32_t>{0});
  // A wider beam expands 1 and finds 2.
  EXPECT_EQ(ids_of(search(g.state(), {3.0f}, 0, 2)), (std::vector<std::int32_t>{2, 0}));
}

TEST(SearchLayer, WideBeamReturnsEveryReachableNodeOnce) {
  // 0 … 5 reachable through a ring with chords; 6 and 7 link into it, but
  // nothing links to them.
  GraphBuilder g(MetricKind::Euclidean, 2);
  for (int i = 0; i < 8; ++i) g.add({float(i % 3), float(i / 3) + 0.1f * float(i)});
  g.link(0, 0, {1, 3});
  g.link(1, 0, {2, 0});
  g.link(2, 0, {3, 5});
  g.link(3, 0, {4, 1, 0});
  g.link(4, 0, {5, 3});
  g.link(5, 0, {0, 2, 4});
  g.link(6, 0, {0});
  g.link(7, 0, {6, 5});
  for (const std::int32_t entry : {0, 3, 5}) {
    for (const std::int32_t ef : {6, 7, 50}) {
      const std::vector<float> q = {1.2f, 0.7f};
      const ResultHeap h = search(g.state(), q, entry, ef);
      EXPECT_EQ(sorted_ids(h), (std::vector<std::int32_t>{0, 1, 2, 3, 4, 5}))
          << "entry " << entry << ", ef " << ef;
      expect_sound_records(g.state(), q, h);
    }
  }
  // From 7 all are reachable.
  EXPECT_EQ(sorted_ids(search(g.state(), {0, 0}, 7, 100)).size(), 8u);
}

TEST(SearchLayer, CompleteGraphGivesTheEfNearest) {
  std::mt19937 rng(11);
  GraphBuilder g(MetricKind::Euclidean, 2);
  std::uniform_real_distribution<float> coord(-1, 1);
  const std::int32_t n = 30;
  for (std::int32_t i = 0; i < n; ++i) g.add({coord(rng), coord(rng)});
  for (std::int32_t i = 0; i < n; ++i) {
    std::vector<std::int32_t> all;
    for (std::int32_t j = 0; j < n; ++j) {
      if (j != i) all.push_back(j);
    }
    g.link(i, 0, all);
  }
  for (int trial = 0; trial < 10; ++trial) {
    const std::vector<float> q = {coord(rng), coord(rng)};
    std::vector<std::pair<float, std::int32_t>> brute;
    for (std::int32_t i = 0; i < n; ++i) {
      brute.emplace_back(g.state().node_distance(q.data(), 0.0f, i), i);
    }
    std::sort(brute.begin(), brute.end());
    for (const std::int32_t ef : {1, 3, 10}) {
      std::vector<std::int32_t> expected;
      for (std::int32_t k = 0; k < ef; ++k) expected.push_back(brute[std::size_t(k)].second);
      EXPECT_EQ(ids_of(search(g.state(), q, trial % n, ef)), expected) << "ef " << ef;
    }
  }
}

TEST(SearchLayer, EfZeroAndNegativeEfKeepOneRecordLikeEfOne) {
  GraphBuilder g = random_graph(80, 4, 5);
  std::mt19937 rng(6);
  std::uniform_real_distribution<float> coord(-0.6f, 0.6f);
  for (int trial = 0; trial < 40; ++trial) {
    const std::vector<float> q = {coord(rng), coord(rng), coord(rng)};
    const std::int32_t entry = trial * 2;
    const std::vector<zelt::Candidate> one = search(g.state(), q, entry, 1).drain_reversed();
    ASSERT_EQ(one.size(), 1u);
    for (const std::int32_t ef : {0, -1, -100, std::numeric_limits<std::int32_t>::min()}) {
      const std::vector<zelt::Candidate> r = search(g.state(), q, entry, ef).drain_reversed();
      ASSERT_EQ(r.size(), 1u) << "ef " << ef;
      EXPECT_EQ(r[0].id, one[0].id) << "ef " << ef << ", trial " << trial;
      EXPECT_TRUE(zelt_test::SameBits(r[0].distance, one[0].distance));
    }
  }
}

TEST(SearchLayer, NegativeEfAdmitsNeighboursAtTheBestDistance) {
  // Query at 0; the entry 0 (x=-1) and its neighbour 1 (x=+1) are equally
  // far; 1 leads to 2 (x=0.5). Width 1 (and 0) admits only strictly nearer
  // nodes and stays at 0; a negative width admits 1, expands it (its distance
  // is not above the best) and reaches 2.
  GraphBuilder g(MetricKind::Euclidean, 1);
  g.add({-1});
  g.add({1});
  g.add({0.5f});
  g.link(0, 0, {1});
  g.link(1, 0, {2});
  EXPECT_EQ(ids_of(search(g.state(), {0.0f}, 0, 1)), std::vector<std::int32_t>{0});
  EXPECT_EQ(ids_of(search(g.state(), {0.0f}, 0, 0)), std::vector<std::int32_t>{0});
  EXPECT_EQ(ids_of(search(g.state(), {0.0f}, 0, -1)), std::vector<std::int32_t>{2});
  // Width 2 keeps both at distance 1, expands 1 as well and ends with 2 and one of them.
  const std::vector<std::int32_t> two = ids_of(search(g.state(), {0.0f}, 0, 2));
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0], 2);
}

TEST(SearchLayer, ANodeAtNaNDistanceIsAdmitted) {
  // Admission asks whether d is not >= the farthest kept, so a NaN distance
  // is admitted; the walk then goes through node 1 (NaN component) on to 2.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  GraphBuilder g(MetricKind::Euclidean, 1);
  g.add({0});
  g.add({nan});
  g.add({5});
  g.link(0, 0, {1});
  g.link(1, 0, {2});
  EXPECT_EQ(ids_of(search(g.state(), {5.0f}, 0, 1)), std::vector<std::int32_t>{2});
  EXPECT_EQ(sorted_ids(search(g.state(), {5.0f}, 0, 3)), (std::vector<std::int32_t>{0, 1, 2}));
}

TEST(SearchLayer, WalksOnlyTheListsOfTheGivenLayer) {
  GraphBuilder g(MetricKind::Euclidean, 1);
  g.add({0}, 1);  // 0
  g.add({1}, 1);  // 1
  g.add({2}, 1);  // 2
  g.add({3});     // 3
  g.add({4});     // 4
  g.link(0, 1, {1});
  g.link(1, 1, {0, 2});
  g.link(0, 0, {3});
  g.link(3, 0, {4});
  EXPECT_EQ(sorted_ids(search(g.state(), {4}, 0, 10, 1)), (std::vector<std::int32_t>{0, 1, 2}));
  EXPECT_EQ(sorted_ids(search(g.state(), {4}, 0, 10, 0)), (std::vector<std::int32_t>{0, 3, 4}));
}

TEST(SearchLayer, DescentTakesTheGreedyStepOnEveryUpperLayer) {
  GraphBuilder g(MetricKind::Euclidean, 1);
  g.add({0}, 2);  // entry point
  g.add({5}, 2);
  g.add({8}, 1);
  g.add({9});
  g.link(0, 2, {1});
  g.link(1, 1, {2});
  g.link(2, 0, {3});
  g.set_entry(0);
  const float q[1] = {9.0f};
  // Layer 2 moves 0 -> 1, layer 1 moves 1 -> 2; layer 0 is not walked.
  EXPECT_EQ(zelt::descend_to_layer0(g.state(), q, 81.0f), 2);
}

// --- The Poincaré boundary rule ----------------------------------------------

TEST(SearchLayer, PoincareSkipsNodesAtTheBoundaryUnlessTheyAreTheEntry) {
  const auto build = [](MetricKind metric) {
    GraphBuilder g(metric, 2);
    g.add({0.1f, 0.05f});   // 0: the entry
    g.add({0.999f, 0.0f});  // 1: squared norm 0.998, beyond the boundary
    g.add({0.5f, 0.1f});    // 2
    g.link(0, 0, {1, 2});
    g.link(1, 0, {0, 2});
    g.link(2, 0, {1, 0});
    return g;
  };
  const std::vector<float> q = {0.98f, 0.01f};
  for (const MetricKind metric : {MetricKind::Euclidean, MetricKind::Cosine}) {
    GraphBuilder g = build(metric);
    EXPECT_EQ(ids_of(search(g.state(), q, 0, 1)), std::vector<std::int32_t>{1});
    EXPECT_EQ(sorted_ids(search(g.state(), q, 0, 10)), (std::vector<std::int32_t>{0, 1, 2}));
  }
  GraphBuilder p = build(MetricKind::Poincare);
  EXPECT_EQ(ids_of(search(p.state(), q, 0, 1)), std::vector<std::int32_t>{2});
  EXPECT_EQ(sorted_ids(search(p.state(), q, 0, 10)), (std::vector<std::int32_t>{0, 2}));
  // As the entry it is evaluated and kept like any other.
  const ResultHeap from_boundary = search(p.state(), q, 1, 10);
  EXPECT_EQ(sorted_ids(from_boundary), (std::vector<std::int32_t>{0, 1, 2}));
  EXPECT_EQ(ids_of(search(p.state(), q, 1, 1)), std::vector<std::int32_t>{1});
  expect_sound_records(p.state(), q, from_boundary);
}

TEST(SearchLayer, RepeatedIdsAcrossChunksOfALongListAreMeasuredOnce) {
  // A hub listing 1 … 99 and then again, every third node beyond the boundary.
  GraphBuilder g(MetricKind::Poincare, 1);
  g.add({0.0f});
  std::vector<std::int32_t> hub;
  for (std::int32_t i = 1; i < 100; ++i) g.add({i % 3 == 0 ? 0.9985f : 0.009f * float(i)});
  for (std::int32_t i = 1; i < 199; ++i) hub.push_back(i < 100 ? i : 199 - i);
  g.link(0, 0, hub);
  const ResultHeap h = search(g.state(), {0.3f}, 0, 500);
  EXPECT_EQ(sorted_ids(h).size(), 67u);
  expect_sound_records(g.state(), {0.3f}, h);
}

TEST(SearchLayer, PoincareBoundaryTestReadsTheStoredNorm) {
  // Node 1 sits near the origin; only its stored value decides the rule.
  GraphBuilder g(MetricKind::Poincare, 2);
  g.add({0.4f, 0.0f});
  g.add({0.1f, 0.1f});
  g.link(0, 0, {1});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float stored;
    bool skipped;
  };
  for (const Case c : {Case{0.995f, true}, Case{0.9949999f, false}, Case{1.5f, true},
                       Case{nan, true}, Case{-1.0f, false}, Case{0.02f, false}}) {
    g.state().vectors.set_stored_norm(1, c.stored);
    const std::vector<std::int32_t> got = sorted_ids(search(g.state(), {0.1f, 0.1f}, 0, 5));
    const std::vector<std::int32_t> expected =
        c.skipped ? std::vector<std::int32_t>{0} : std::vector<std::int32_t>{0, 1};
    EXPECT_EQ(got, expected) << "stored norm " << c.stored;
  }
  EXPECT_FALSE(zelt::beyond_boundary(g.state(), 1));  // the last case: 0.02 is below
  EXPECT_FALSE(zelt::beyond_boundary(g.state(), 0));
}

// --- Visited marks -------------------------------------------------------------

TEST(VisitedMarks, AFreshThreadStartsEmptyAtEpochZero) {
  GraphBuilder g = line(7);
  std::thread([&] {
    zelt::VisitedMarks& marks = zelt::thread_visited_marks();
    EXPECT_EQ(marks.epoch, 0);
    EXPECT_TRUE(marks.marks.empty());
    EXPECT_EQ(ids_of(search(g.state(), {6}, 0, 1)), std::vector<std::int32_t>{6});
    EXPECT_EQ(marks.epoch, 1);
    EXPECT_EQ(marks.marks.size(), 7u);
    // The walk visited every node of the line.
    for (const std::uint16_t m : marks.marks) EXPECT_EQ(m, 1);
  }).join();
}

TEST(VisitedMarks, EachThreadHasItsOwnTable) {
  GraphBuilder g = line(5);
  std::thread([&] {
    search(g.state(), {0}, 0, 1);
    search(g.state(), {0}, 0, 1);
    EXPECT_EQ(zelt::thread_visited_marks().epoch, 2);
    std::thread([&] { EXPECT_EQ(zelt::thread_visited_marks().epoch, 0); }).join();
  }).join();
}

TEST(VisitedMarks, EpochWrapClearsTheTableAndRestartsAtOne) {
  GraphBuilder g = random_graph(40, 3, 9);
  std::mt19937 rng(10);
  std::uniform_real_distribution<float> coord(-0.5f, 0.5f);
  std::vector<std::vector<float>> queries;
  std::vector<std::vector<std::int32_t>> fresh;
  for (int i = 0; i < 3; ++i) {
    queries.push_back({coord(rng), coord(rng), coord(rng)});
    std::thread([&] {
      fresh.push_back(sorted_ids(search(g.state(), queries.back(), 0, 8)));
    }).join();
  }

  std::thread([&] {
    zelt::VisitedMarks& marks = zelt::thread_visited_marks();
    // Before the wrap: 65534 -> 65535, no clearing, old marks stay.
    search(g.state(), queries[0], 0, 8);
    std::fill(marks.marks.begin(), marks.marks.end(), std::uint16_t{7});
    marks.epoch = 65534;
    EXPECT_EQ(sorted_ids(search(g.state(), queries[0], 0, 8)), fresh[0]);
    EXPECT_EQ(marks.epoch, 65535);
    EXPECT_GT(std::count(marks.marks.begin(), marks.marks.end(), 65535), 1);
    for (const std::uint16_t m : marks.marks) EXPECT_TRUE(m == 7 || m == 65535) << m;

    // Stale marks equal to 1 everywhere: unless the wrap clears them, the
    // next search (epoch 1) takes every neighbour as already visited.
    std::fill(marks.marks.begin(), marks.marks.end(), std::uint16_t{1});
    marks.epoch = 65535;
    EXPECT_EQ(sorted_ids(search(g.state(), queries[1], 0, 8)), fresh[1]);
    EXPECT_EQ(marks.epoch, 1);
    for (const std::uint16_t m : marks.marks) EXPECT_TRUE(m == 0 || m == 1) << m;

    // And the searches after it go on normally.
    EXPECT_EQ(sorted_ids(search(g.state(), queries[2], 0, 8)), fresh[2]);
    EXPECT_EQ(marks.epoch, 2);
  }).join();
}

TEST(VisitedMarks, TableKeepsItsLargestSizeAcrossIndexes) {
  GraphBuilder big = random_graph(1000, 4, 12);
  GraphBuilder small = line(10);
  std::thread([&] {
    zelt::VisitedMarks& marks = zelt::thread_visited_marks();
    const std::vector<float> q = {0.1f, -0.2f, 0.3f};
    const ResultHeap wide = search(big.state(), q, 0, 2000);
    EXPECT_EQ(marks.marks.size(), 1000u);
    expect_sound_records(big.state(), q, wide);

    EXPECT_EQ(sorted_ids(search(small.state(), {3.3f}, 9, 20)).size(), 10u);
    EXPECT_EQ(ids_of(search(small.state(), {3.3f}, 9, 1)), std::vector<std::int32_t>{3});
    EXPECT_EQ(marks.marks.size(), 1000u);

    // Back on the big index, the same answer as before.
    EXPECT_EQ(sorted_ids(search(big.state(), q, 0, 2000)), sorted_ids(wide));
  }).join();
}

TEST(VisitedMarks, SearchesInARowMatchSearchesOnFreshThreads) {
  GraphBuilder g = random_graph(200, 5, 13, MetricKind::Cosine);
  std::mt19937 rng(14);
  std::uniform_real_distribution<float> coord(-1, 1);
  std::vector<std::vector<float>> queries(20);
  for (auto& q : queries) q = {coord(rng), coord(rng), coord(rng)};
  std::vector<std::vector<std::int32_t>> in_a_row, fresh;
  std::thread([&] {
    for (std::size_t i = 0; i < queries.size(); ++i) {
      in_a_row.push_back(ids_of(search(g.state(), queries[i], std::int32_t(i), 6)));
    }
  }).join();
  for (std::size_t i = 0; i < queries.size(); ++i) {
    std::thread([&] {
      fresh.push_back(ids_of(search(g.state(), queries[i], std::int32_t(i), 6)));
    }).join();
  }
  EXPECT_EQ(in_a_row, fresh);
}

}  // namespace
