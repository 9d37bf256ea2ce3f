// The distance kernels, bit for bit against the reference model of
// test_support.h, and the documented values of each metric.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "api/hyperbolic_index.h"
#include "index/distance/kernels.h"
#include "index/distance/metric.h"
#include "index/graph/insertion.h"
#include "index/store/finite_values.h"
#include "index/store/index_state.h"
#include "test_support.h"

namespace {

using zelt::MetricKind;
using zelt_test::ref_difference_sum;
using zelt_test::ref_distance;
using zelt_test::ref_dot;
using zelt_test::ref_squared_norm;
using zelt_test::SameBits;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

const char* metric_text(MetricKind m) { return zelt::metric_name(m); }

// A product whose fused and unfused evaluations differ: if the compiler had
// contracted a * b + c, the reference model would silently turn into another
// summation order and the bit comparisons below would prove nothing.
TEST(Build, NoFloatContraction) {
  volatile float a = 1.0f + 0x1p-12f;
  volatile float b = 1.0f + 0x1p-12f;
  volatile float c = -1.0f;
  const float unfused = a * b + c;
  EXPECT_EQ(unfused, 0x1p-11f);
  EXPECT_EQ(std::fma(float(a), float(b), float(c)), 0x1p-11f + 0x1p-24f);
}

// --- The three sums ---------------------------------------------------------

class KernelSums : public ::testing::TestWithParam<int> {};

TEST_P(KernelSums, EveryImplementationMatchesTheReferenceBitForBit) {
  const int n = GetParam();
  std::mt19937 rng(1000u + unsigned(n));
  for (int trial = 0; trial < 40; ++trial) {
    // Odd trials read from a buffer shifted by one float: loads are unaligned.
    const std::size_t shift = std::size_t(trial % 2);
    std::vector<float> qbuf = zelt_test::mixed_values(rng, n + 1);
    std::vector<float> vbuf = zelt_test::mixed_values(rng, n + 1);
    if (trial % 5 == 4) vbuf = qbuf;  // identical vectors: difference sum exactly 0
    const float* q = qbuf.data() + shift;
    const float* v = vbuf.data() + shift;
    SCOPED_TRACE("dimension " + std::to_string(n) + ", trial " + std::to_string(trial));

    const float norm = ref_squared_norm(q, n);
    const float diff = ref_difference_sum(q, v, n);
    const float dot = ref_dot(q, v, n);
    for (const zelt::KernelSet* set : zelt_test::kernel_sets()) {
      SCOPED_TRACE(set->name);
      EXPECT_TRUE(SameBits(set->squared_norm(q, n), norm));
      EXPECT_TRUE(SameBits(set->squared_difference_sum(q, v, n), diff));
      // Query minus stored value, squared: the same either way round.
      EXPECT_TRUE(SameBits(set->squared_difference_sum(v, q, n), ref_difference_sum(v, q, n)));
      EXPECT_TRUE(SameBits(set->dot_product(q, v, n), dot));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Dimensions, KernelSums,
                         ::testing::Values(0, 1, 2, 7, 8, 9, 13, 15, 16, 17, 24, 31, 97, 100, 256),
                         [](const auto& info) { return "d" + std::to_string(info.param); });

// Guards the value of the comparisons above: on this data the blocked order
// and a plain left-to-right sum disagree, so an implementation with another
// order could not pass by accident.
TEST(KernelSums, TheDataTellSummationOrdersApart) {
  std::mt19937 rng(7);
  int differing = 0;
  for (int trial = 0; trial < 50; ++trial) {
    const std::vector<float> v = zelt_test::mixed_values(rng, 100);
    float plain = 0.0f;
    for (float x : v) {
      const float p = x * x;
      plain = plain + p;
    }
    if (zelt_test::bits_of(plain) != zelt_test::bits_of(ref_squared_norm(v.data(), 100))) {
      ++differing;
    }
  }
  EXPECT_GT(differing, 10);
}

TEST(KernelSums, ThirteenValuesAreOneBlockThenFiveSingles) {
  // Values that make the order visible: the block gives 2^24 in each lane, so
  // 2^27 in all, where the float spacing is 16. Each tail product 6.25 is
  // below half of it and is lost when added on its own; summing the tail
  // first (31.25) would land on 2^27 + 32.
  std::vector<float> v(13, 2.5f);
  for (int i = 0; i < 8; ++i) v[std::size_t(i)] = 4096.0f;  // 4096^2 = 2^24
  const float expected = 134217728.0f;                      // 2^27
  EXPECT_EQ(ref_squared_norm(v.data(), 13), expected);
  for (const zelt::KernelSet* set : zelt_test::kernel_sets()) {
    EXPECT_TRUE(SameBits(set->squared_norm(v.data(), 13), expected)) << set->name;
  }
}

TEST(KernelSums, NegativeLengthCountsAsZero) {
  const float v[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (const zelt::KernelSet* set : zelt_test::kernel_sets()) {
    EXPECT_TRUE(SameBits(set->squared_norm(v, -3), 0.0f)) << set->name;
    EXPECT_TRUE(SameBits(set->squared_difference_sum(v, v + 1, -1), 0.0f)) << set->name;
    EXPECT_TRUE(SameBits(set->dot_product(v, v, -8), 0.0f)) << set->name;
  }
}

// --- node_distance of each metric --------------------------------------------

class NodeDistance : public ::testing::TestWithParam<std::tuple<MetricKind, int>> {};

TEST_P(NodeDistance, MatchesTheReferenceBitForBit) {
  const auto [metric, n] = GetParam();
  std::mt19937 rng(77u + 31u * unsigned(n) + unsigned(metric));
  zelt::IndexState s = zelt_test::make_state(n, 1.0f, 16, metric, 1u);
  zelt::HyperbolicIndex index(n, 1.0f, 16, metric_text(metric), 1u);

  // Stored vectors: half with wide-ranging components (norms far outside the
  // ball for Poincaré), half scaled into the ball at spread norms.
  std::vector<std::vector<float>> stored;
  for (int i = 0; i < 24; ++i) {
    const float target = 0.999f * float(i) / 23.0f;
    stored.push_back(i % 2 ? zelt_test::mixed_values(rng, n)
                           : zelt_test::ball_values(rng, n, target));
    zelt::insert_flat(s, stored.back().data(), 0);
    index.add_item_flat(zelt::FloatArray{stored.back().data(), std::size_t(n), 1}, 0);
  }
  for (int i = 0; i < 24; ++i) {
    const float norm = ref_squared_norm(stored[std::size_t(i)].data(), n);
    EXPECT_TRUE(SameBits(s.stored_norm(i), norm)) << "stored norm of node " << i;
    EXPECT_TRUE(SameBits(index.get_stored_norm(i), norm)) << "stored norm of node " << i;
  }

  for (int trial = 0; trial < 12; ++trial) {
    const std::vector<float> q = trial % 3 == 0
                                     ? zelt_test::mixed_values(rng, n)
                                     : zelt_test::ball_values(rng, n, 0.98f * float(trial) / 11.0f);
    const float qn = ref_squared_norm(q.data(), n);
    for (int node = 0; node < 24; ++node) {
      const std::vector<float>& v = stored[std::size_t(node)];
      const float expected = ref_distance(metric, q.data(), qn, v.data(), s.stored_norm(node), n);
      SCOPED_TRACE("trial " + std::to_string(trial) + ", node " + std::to_string(node));
      EXPECT_TRUE(SameBits(s.node_distance(q.data(), qn, node), expected));
      EXPECT_TRUE(SameBits(
          index.compute_distance(zelt::FloatArray{q.data(), std::size_t(n), 1}, node), expected));
      // The node's own vector as the query, with its stored norm.
      if (trial == 0) {
        const float self =
            ref_distance(metric, v.data(), s.stored_norm(node), v.data(), s.stored_norm(node), n);
        EXPECT_TRUE(SameBits(s.node_distance(v.data(), s.stored_norm(node), node), self));
      }
    }
  }
}

TEST_P(NodeDistance, AbsentStoredNormIsRecomputedAndNotWrittenBack) {
  const auto [metric, n] = GetParam();
  std::mt19937 rng(5u + unsigned(n));
  zelt::IndexState s = zelt_test::make_state(n, 1.0f, 16, metric, 1u);
  const std::vector<float> v = zelt_test::ball_values(rng, n, 0.4f);
  zelt::insert_flat(s, v.data(), 0);
  const std::vector<float> q = zelt_test::ball_values(rng, n, 0.3f);
  const float qn = ref_squared_norm(q.data(), n);
  const float correct = s.node_distance(q.data(), qn, 0);

  for (const float absent : {-1.0f, -0.5f, -kInf, kNaN, -kNaN}) {
    s.vectors.set_stored_norm(0, absent);
    EXPECT_TRUE(SameBits(s.node_distance(q.data(), qn, 0), correct)) << "stored norm " << absent;
    EXPECT_TRUE(SameBits(s.stored_norm(0), absent)) << "the recomputed norm must not be kept";
  }
  // -0.0 is >= 0 and so a valid stored norm; for a nonzero vector it changes
  // the Cosine and Poincaré results exactly as the reference says.
  s.vectors.set_stored_norm(0, -0.0f);
  EXPECT_TRUE(SameBits(s.node_distance(q.data(), qn, 0),
                       ref_distance(metric, q.data(), qn, v.data(), -0.0f, n)));
}

TEST_P(NodeDistance, QueriesMeasuredTogetherGiveEachQuerysBits) {
  const auto [metric, n] = GetParam();
  std::mt19937 rng(9u + unsigned(n));
  zelt::IndexState s = zelt_test::make_state(n, 1.0f, 16, metric, 1u);
  for (int i = 0; i < 21; ++i) {
    const std::vector<float> v = zelt_test::ball_values(rng, n, 0.95f * float(i) / 20.0f);
    zelt::insert_flat(s, v.data(), 0);
  }
  s.vectors.set_stored_norm(9, kNaN);  // one group of eight falls back to the scalar step
  std::vector<std::vector<float>> queries;
  std::vector<const float*> q;
  std::vector<float> q_norms;
  for (int b = 0; b < zelt::kMaxQueries; ++b) {
    queries.push_back(zelt_test::ball_values(rng, n, 0.1f * float(b)));
    q.push_back(queries.back().data());
    q_norms.push_back(ref_squared_norm(q.back(), n));
  }
  const std::size_t count = 20;  // from record 1: two groups of eight and four more
  for (const zelt::KernelSet* set : zelt_test::kernel_sets()) {
    const zelt::MetricKernels& k = set->of(metric);
    for (const bool keys : {false, true}) {
      if (keys && k.keys_queries_to_run == nullptr) continue;
      for (int together = 1; together <= zelt::kMaxQueries; ++together) {
        std::vector<float> got(std::size_t(together) * count), one(count);
        (keys ? k.keys_queries_to_run : k.queries_to_run)(q.data(), q_norms.data(), together,
                                                           s.arena(), 1, count, got.data());
        for (int b = 0; b < together; ++b) {
          (keys ? k.keys_to_run : k.to_run)(q[std::size_t(b)], q_norms[std::size_t(b)], s.arena(),
                                            1, count, false, one.data());
          for (std::size_t j = 0; j < count; ++j) {
            EXPECT_TRUE(SameBits(got[std::size_t(b) * count + j], one[j]))
                << set->name << " keys " << keys << ", " << together << " queries, query " << b
                << ", record " << j + 1;
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(MetricsAndDimensions, NodeDistance,
                         ::testing::Combine(::testing::Values(MetricKind::Poincare,
                                                              MetricKind::Euclidean,
                                                              MetricKind::Cosine),
                                            ::testing::Values(1, 2, 7, 8, 9, 13, 16, 97, 100)),
                         [](const auto& info) {
                           return std::string(metric_text(std::get<0>(info.param))) + "_d" +
                                  std::to_string(std::get<1>(info.param));
                         });

// --- Documented values -------------------------------------------------------

// A state of one metric holding the given stored vectors (inserted flat).
zelt::IndexState state_with(MetricKind metric, int n, std::vector<std::vector<float>> nodes) {
  zelt::IndexState s = zelt_test::make_state(n, 1.0f, 16, metric, 1u);
  for (const auto& v : nodes) zelt::insert_flat(s, v.data(), 0);
  return s;
}

float distance(const zelt::IndexState& s, std::vector<float> q, std::int32_t node) {
  return s.node_distance(q.data(), s.norm_of(q.data()), node);
}

TEST(EuclideanDistance, IsTheSquaredDistance) {
  const zelt::IndexState s = state_with(MetricKind::Euclidean, 2, {{3, 4}});
  EXPECT_EQ(distance(s, {0, 0}, 0), 25.0f);
  EXPECT_EQ(distance(s, {3, 4}, 0), 0.0f);
}

TEST(CosineDistance, DocumentedValues) {
  const zelt::IndexState s = state_with(MetricKind::Cosine, 2, {{2, 0}, {0, 5}, {-1, 0}, {0, 0}});
  EXPECT_EQ(distance(s, {1, 0}, 0), 0.0f);
  EXPECT_EQ(distance(s, {1, 0}, 1), 1.0f);
  EXPECT_EQ(distance(s, {1, 0}, 2), 2.0f);
  // A zero vector on either side.
  EXPECT_EQ(distance(s, {1, 0}, 3), 1.0f);
  for (std::int32_t node = 0; node < 4; ++node) EXPECT_EQ(distance(s, {0, 0}, node), 1.0f);
}

TEST(CosineDistance, TinyNormProductGivesOne) {
  // sqrt(qn * vn) below 1e-8: no division, 1.0.
  const zelt::IndexState s = state_with(MetricKind::Cosine, 1, {{1e-5f}});
  EXPECT_EQ(distance(s, {1e-5f}, 0), 1.0f);
  // Just above the threshold the formula applies.
  const zelt::IndexState t = state_with(MetricKind::Cosine, 1, {{1e-3f}});
  EXPECT_NEAR(distance(t, {1e-3f}, 0), 0.0f, 1e-6f);
}

TEST(PoincareDistance, DocumentedValues) {
  const zelt::IndexState s =
      state_with(MetricKind::Poincare, 2, {{0.5f, 0}, {0.3f, -0.4f}, {2, 0}});
  const float ln3 = distance(s, {0, 0}, 0);
  EXPECT_TRUE(SameBits(ln3, zelt_test::ref_poincare(0.25f, 0.0f, 0.25f)));
  EXPECT_NEAR(ln3, 1.0986123f, 2e-7f);

  // A point against itself: the floor arcosh(1.000001), never 0.
  const float self = distance(s, {0.3f, -0.4f}, 1);
  EXPECT_TRUE(SameBits(self, zelt_test::poincare_floor()));
  EXPECT_NEAR(self, 0.0013810f, 1e-7f);
  EXPECT_GT(self, 0.0f);

  // On or outside the unit sphere: finite, computed with the norm 0.999999.
  const float outside = distance(s, {0.5f, 0}, 2);
  EXPECT_TRUE(std::isfinite(outside));
  EXPECT_TRUE(SameBits(outside, zelt_test::ref_poincare(2.25f, 0.25f, 0.999999f)));
  const float query_outside = distance(s, {2, 0}, 0);
  EXPECT_TRUE(std::isfinite(query_outside));
  EXPECT_TRUE(SameBits(query_outside, zelt_test::ref_poincare(2.25f, 0.999999f, 0.25f)));
  const float both_outside = distance(s, {0, 3}, 2);
  EXPECT_TRUE(std::isfinite(both_outside));
}

TEST(PoincareDistance, CurvatureChangesNothing) {
  std::mt19937 rng(3);
  zelt::IndexState a = zelt_test::make_state(9, 1.0f, 16, MetricKind::Poincare, 1u);
  zelt::IndexState b = zelt_test::make_state(9, 0.5f, 16, MetricKind::Poincare, 1u);
  const std::vector<float> v = zelt_test::ball_values(rng, 9, 0.7f);
  zelt::insert_flat(a, v.data(), 0);
  zelt::insert_flat(b, v.data(), 0);
  const std::vector<float> q = zelt_test::ball_values(rng, 9, 0.2f);
  EXPECT_TRUE(SameBits(distance(a, q, 0), distance(b, q, 0)));
}

TEST(NanComponents, FlowThroughEachFormula) {
  const float floor = zelt_test::poincare_floor();
  for (const bool nan_in_query : {true, false}) {
    SCOPED_TRACE(nan_in_query ? "NaN in the query" : "NaN in the stored vector");
    const std::vector<float> clean = {0.25f, 0.5f};
    const std::vector<float> dirty = {kNaN, 0.5f};
    const std::vector<float>& q = nan_in_query ? dirty : clean;
    const std::vector<float>& v = nan_in_query ? clean : dirty;

    EXPECT_TRUE(std::isnan(distance(state_with(MetricKind::Euclidean, 2, {v}), q, 0)));
    // The norm product is NaN: 1.0.
    EXPECT_EQ(distance(state_with(MetricKind::Cosine, 2, {v}), q, 0), 1.0f);
    // D is NaN: the argument falls back to 1.000001.
    EXPECT_TRUE(SameBits(distance(state_with(MetricKind::Poincare, 2, {v}), q, 0), floor));
  }
  // A negative norm product (only possible through a query norm handed in
  // directly) has a NaN root: 1.0 as well.
  const zelt::IndexState s = state_with(MetricKind::Cosine, 2, {{1, 0}});
  const float q[2] = {1, 0};
  EXPECT_EQ(s.node_distance(q, -1.0f, 0), 1.0f);
}

TEST(ZeroDimension, EachMetricHasItsValue) {
  const std::vector<std::vector<float>> one_empty(1);
  const zelt::IndexState e = state_with(MetricKind::Euclidean, 0, one_empty);
  const zelt::IndexState c = state_with(MetricKind::Cosine, 0, one_empty);
  const zelt::IndexState p = state_with(MetricKind::Poincare, 0, one_empty);
  const float q[1] = {0};
  EXPECT_TRUE(SameBits(e.node_distance(q, 0.0f, 0), 0.0f));
  EXPECT_TRUE(SameBits(c.node_distance(q, 0.0f, 0), 1.0f));
  EXPECT_TRUE(SameBits(p.node_distance(q, 0.0f, 0), zelt_test::poincare_floor()));
  EXPECT_NEAR(p.node_distance(q, 0.0f, 0), 0.0013810f, 1e-7f);
  EXPECT_TRUE(SameBits(e.stored_norm(0), 0.0f));
}

TEST(StoredNorm, IsTheSquaredNormAtInsertion) {
  zelt::HyperbolicIndex index(2, 1.0f, 16, "poincare", 1u);
  const float v[2] = {3, 4};
  index.add_item_flat(zelt::FloatArray{v, 2, 1}, 0);
  EXPECT_EQ(index.get_stored_norm(0), 25.0f);
}

// --- Real hyperbolic data ----------------------------------------------------

// The word2vec binary file: "count dim\n", then per entry the name, a space,
// dim little-endian floats and a newline.
bool load_word2vec(const std::string& path, std::vector<std::string>& names,
                   std::vector<std::vector<float>>& points, int& dim) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::size_t count = 0;
  in >> count >> dim;
  in.get();
  if (!in || dim <= 0) return false;
  for (std::size_t i = 0; i < count; ++i) {
    std::string name;
    char c;
    while (in.get(c) && c != ' ') {
      if (c != '\n') name += c;
    }
    std::vector<float> p(std::size_t(dim), 0.0f);
    in.read(reinterpret_cast<char*>(p.data()), std::streamsize(p.size() * sizeof(float)));
    if (!in) return false;
    names.push_back(name);
    points.push_back(std::move(p));
  }
  return true;
}

TEST(PoincareMammals, DocumentedDistancesFromDog) {
  const std::string path = ZELT_MAMMALS_PATH;
  std::vector<std::string> names;
  std::vector<std::vector<float>> points;
  int dim = 0;
  if (!std::ifstream(path).good()) {
    GTEST_SKIP() << "the Poincaré mammal embeddings are not present at " << path;
  }
  ASSERT_TRUE(load_word2vec(path, names, points, dim)) << "cannot parse " << path;
  ASSERT_EQ(names.size(), 1182u);
  ASSERT_EQ(dim, 10);

  zelt::HyperbolicIndex index(dim, 1.0f, 16, "poincare", 1u);
  std::map<std::string, std::int32_t> id;
  for (std::size_t i = 0; i < points.size(); ++i) {
    index.add_item_flat(zelt::FloatArray{points[i].data(), std::size_t(dim), 1}, 0);
    id[names[i]] = std::int32_t(i);
  }
  ASSERT_TRUE(id.count("dog.n.01"));
  const std::vector<float>& dog = points[std::size_t(id["dog.n.01"])];
  const zelt::FloatArray query{dog.data(), std::size_t(dim), 1};

  const std::vector<std::pair<std::string, double>> documented = {
      {"canine.n.02", 3.2584238},    {"hunting_dog.n.01", 3.9770019}, {"carnivore.n.01", 4.2834544},
      {"placental.n.01", 4.4523339}, {"mammal.n.01", 4.5278740},
  };
  EXPECT_TRUE(SameBits(index.compute_distance(query, id["dog.n.01"]), zelt_test::poincare_floor()));
  for (const auto& [name, expected] : documented) {
    ASSERT_TRUE(id.count(name)) << name;
    EXPECT_NEAR(index.compute_distance(query, id[name]), expected, 2e-6 * expected) << name;
  }

  // And they are the six nearest, in this order.
  std::vector<std::pair<float, std::int32_t>> all;
  for (std::int32_t i = 0; i < std::int32_t(points.size()); ++i) {
    all.emplace_back(index.compute_distance(query, i), i);
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(names[std::size_t(all[0].second)], "dog.n.01");
  for (std::size_t k = 0; k < documented.size(); ++k) {
    EXPECT_EQ(names[std::size_t(all[k + 1].second)], documented[k].first) << "rank " << k + 1;
  }
}

}  // namespace

namespace {

// The exact scan skips a Poincaré record whose key (the argument of arcosh)
// lies beyond the largest key of the farthest distance it holds. That is sound
// only while the distance of a key never decreases as the key grows: fma,
// sqrt and + are correctly rounded and so monotone, which leaves the
// platform's single-precision logarithm, checked here on every float of its
// range (keys are at least 1, and so are their arguments of log).
TEST(PoincareKeys, TheLogarithmNeverDecreasesOnOneAndAbove) {
  float previous = -std::numeric_limits<float>::infinity();
  std::uint64_t decreases = 0;
  for (std::uint32_t bits = 0x3f800000u; bits <= 0x7f800000u; ++bits) {
    float x;
    std::memcpy(&x, &bits, sizeof x);
    const volatile float y = std::log(x);
    if (y < previous) ++decreases;
    previous = y;
  }
  EXPECT_EQ(decreases, 0u);
}

TEST(PoincareKeys, TheDistanceOfAKeyIsTheDistanceAndNeverDecreases) {
  std::mt19937 rng(12);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (const zelt::KernelSet* set : zelt_test::kernel_sets()) {
    const zelt::MetricKernels& k = set->poincare;
    ASSERT_NE(k.from_key, nullptr);
    EXPECT_EQ(set->euclidean.from_key, nullptr);
    // Keys and distances of the same records, through both loops.
    std::vector<float> records;
    for (int i = 0; i < 40; ++i) {
      std::vector<float> v = zelt_test::ball_values(rng, 5, unit(rng) * 0.999f);
      v.push_back(zelt_test::ref_squared_norm(v.data(), 5));
      records.insert(records.end(), v.begin(), v.end());
    }
    const zelt::RecordArena arena{records.data(), 6, 5};
    const std::vector<float> q = zelt_test::ball_values(rng, 5, 0.6f);
    const float qn = zelt_test::ref_squared_norm(q.data(), 5);
    std::vector<float> keys(40), distances(40);
    for (const bool interleaved : {false, true}) {
      k.keys_to_run(q.data(), qn, arena, 0, 40, interleaved, keys.data());
      k.to_run(q.data(), qn, arena, 0, 40, interleaved, distances.data());
      for (int i = 0; i < 40; ++i) {
        EXPECT_TRUE(
            zelt_test::SameBits(k.from_key(keys[std::size_t(i)]), distances[std::size_t(i)]));
      }
    }
    float previous = k.from_key(1.000001f);
    for (float key = 1.000001f; key < 1e30f; key = std::nextafter(key * 1.0001f, 2e30f)) {
      const float d = k.from_key(key);
      EXPECT_LE(previous, d) << key;
      previous = d;
    }
  }
}

}  // namespace

// The check runs in blocks, so a bad value is put at every place of lengths
// around the block size, alone and behind another.
TEST(FiniteValues, FirstBadValueAtEveryPosition) {
  const float bad[] = {std::numeric_limits<float>::quiet_NaN(),
                       std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity()};
  for (const std::size_t n : {1, 7, 31, 32, 33, 64, 65, 97}) {
    std::vector<float> v(n, std::numeric_limits<float>::max());
    v[0] = std::numeric_limits<float>::denorm_min();
    EXPECT_EQ(zelt::first_non_finite(v.data(), n), -1) << n;
    for (std::size_t at = 0; at < n; ++at) {
      std::vector<float> w = v;
      w[at] = bad[at % 3];
      if (at + 1 < n) w[n - 1] = bad[(at + 1) % 3];
      EXPECT_EQ(zelt::first_non_finite(w.data(), n), std::int64_t(at)) << n << " " << at;
    }
  }
}
