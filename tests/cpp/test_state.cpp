// Construction of the index state: derived fields, metric names, refused
// arguments, and the per-node sequences kept of equal length.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "api/hyperbolic_index.h"
#include "index/distance/metric.h"
#include "index/graph/insertion.h"
#include "index/store/index_state.h"
#include "test_support.h"

namespace {

using zelt::HyperbolicIndex;
using zelt::IndexState;
using zelt::MetricKind;

struct Fields {
  std::int32_t dimension, max_m, max_m_0, ep_id, ep_layer;
  float curvature, level_mult;
  MetricKind metric;
  std::size_t size;
  bool seeded_as_asked;
};

Fields fields_of(const IndexState& s, std::uint32_t seed) {
  return Fields{
      s.params.dimension,
      s.params.max_m,
      s.params.max_m_0,
      s.ep_id,
      s.ep_layer,
      s.params.curvature,
      s.params.level_mult,
      s.params.metric,
      s.size(),
      s.level_rng == std::mt19937(seed) && s.level_dist.lo == 0.0 && s.level_dist.hi == 1.0};
}

TEST(Construction, FreshStateFromMakeStateAndFromTheIndex) {
  for (const std::int32_t m : {0, 2, 5, 16, 100}) {
    SCOPED_TRACE("M = " + std::to_string(m));
    const IndexState s = zelt_test::make_state(8, 0.5f, m, MetricKind::Cosine, 99u);
    HyperbolicIndex index(8, 0.5f, m, "cosine", 99u);
    for (const Fields& f : {fields_of(s, 99u),
                            index.inspect([](const IndexState& t) { return fields_of(t, 99u); })}) {
      EXPECT_EQ(f.dimension, 8);
      EXPECT_EQ(f.curvature, 0.5f);
      EXPECT_EQ(f.max_m, m);
      EXPECT_EQ(f.max_m_0, 2 * m);
      EXPECT_EQ(f.ep_id, -1);
      EXPECT_EQ(f.ep_layer, -1);
      EXPECT_EQ(f.metric, MetricKind::Cosine);
      EXPECT_EQ(f.size, 0u);
      EXPECT_TRUE(f.seeded_as_asked);
      EXPECT_TRUE(zelt_test::SameBits(f.level_mult, float(1.0 / std::log(double(m)))));
    }
  }
}

TEST(Construction, LevelMultiplierIsOneOverLnMRoundedToFloat) {
  EXPECT_EQ(zelt_test::level_mult_for(5), float(1.0 / std::log(5.0)));
  EXPECT_NEAR(zelt_test::level_mult_for(5), 0.6213349f, 1e-7f);
  EXPECT_EQ(zelt_test::level_mult_for(16), float(1.0 / std::log(16.0)));
  EXPECT_NEAR(zelt_test::level_mult_for(16), 0.3606738f, 1e-7f);
  EXPECT_EQ(zelt_test::level_mult_for(2), float(1.0 / std::log(2.0)));
  // M = 0: 1 / -inf, a negative zero, which makes every level 0.
  EXPECT_EQ(zelt_test::level_mult_for(0), 0.0f);
  EXPECT_TRUE(std::signbit(zelt_test::level_mult_for(0)));
}

TEST(Construction, LayerZeroCapIsTwiceMIn32Bits) {
  EXPECT_EQ(zelt_test::layer0_cap_for(5), 10);
  EXPECT_EQ(zelt_test::layer0_cap_for(16), 32);
  EXPECT_EQ(zelt_test::layer0_cap_for(0), 0);
  // Wraps like 32-bit two's-complement multiplication, without overflow UB.
  EXPECT_EQ(zelt_test::layer0_cap_for(std::numeric_limits<std::int32_t>::max()), -2);
}

TEST(Construction, DefaultsOfTheLibraryCaller) {
  HyperbolicIndex index(8, 1.0f, 16, "poincare", 1u);
  EXPECT_STREQ(index.get_metric(), "poincare");
  const zelt::IndexStats st = index.get_stats();
  EXPECT_EQ(st.ep_id, -1);
  EXPECT_EQ(st.ep_layer, -1);
  EXPECT_EQ(st.params.max_m, 16);
  EXPECT_EQ(st.params.max_m_0, 32);
}

struct MetricCase {
  std::string_view name;
  MetricKind kind;
  const char* reported;
};

class MetricNames : public ::testing::TestWithParam<MetricCase> {};

TEST_P(MetricNames, ParseAndReport) {
  const MetricCase& c = GetParam();
  EXPECT_EQ(zelt::parse_metric(c.name), c.kind);
  HyperbolicIndex index(4, 1.0f, 16, c.name, 1u);
  EXPECT_STREQ(index.get_metric(), c.reported);
  EXPECT_EQ(index.inspect([](const IndexState& s) { return s.params.metric; }), c.kind);
}

using namespace std::string_view_literals;
INSTANTIATE_TEST_SUITE_P(
    Names, MetricNames,
    ::testing::Values(MetricCase{"euclidean", MetricKind::Euclidean, "euclidean"},
                      MetricCase{"l2", MetricKind::Euclidean, "euclidean"},
                      MetricCase{"cosine", MetricKind::Cosine, "cosine"},
                      MetricCase{"poincare", MetricKind::Poincare, "poincare"},
                      MetricCase{"", MetricKind::Poincare, "poincare"},
                      MetricCase{"Cosine", MetricKind::Poincare, "poincare"},
                      MetricCase{"EUCLIDEAN", MetricKind::Poincare, "poincare"},
                      MetricCase{"L2", MetricKind::Poincare, "poincare"},
                      MetricCase{"cosine ", MetricKind::Poincare, "poincare"},
                      MetricCase{"cosine\0"sv, MetricKind::Poincare, "poincare"},
                      MetricCase{"hyperbolic", MetricKind::Poincare, "poincare"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(MetricNames, EveryOtherKindIsReportedAsPoincare) {
  EXPECT_STREQ(zelt::metric_name(MetricKind::Euclidean), "euclidean");
  EXPECT_STREQ(zelt::metric_name(MetricKind::Cosine), "cosine");
  EXPECT_STREQ(zelt::metric_name(MetricKind::Poincare), "poincare");
  EXPECT_STREQ(zelt::metric_name(static_cast<MetricKind>(3)), "poincare");
  EXPECT_STREQ(zelt::metric_name(static_cast<MetricKind>(-1)), "poincare");
}

TEST(Construction, RefusesMOfOneOrNegativeAndNegativeDimension) {
  // 2^30 and above would make the layer-0 cap 2*M wrap to a negative number.
  for (const std::int32_t m : {1, -1, -16, std::numeric_limits<std::int32_t>::min(), 1 << 30,
                               std::numeric_limits<std::int32_t>::max()}) {
    EXPECT_THROW(HyperbolicIndex(8, 1.0f, m, "poincare", 1u), std::invalid_argument) << m;
    EXPECT_THROW(HyperbolicIndex(8, 1.0f, m, "poincare"), std::invalid_argument) << m;
  }
  for (const std::int32_t d : {-1, std::numeric_limits<std::int32_t>::min()}) {
    EXPECT_THROW(HyperbolicIndex(d, 1.0f, 16, "l2", 1u), std::invalid_argument) << d;
  }
  EXPECT_NO_THROW(HyperbolicIndex(8, 1.0f, 0, "poincare", 1u));
  EXPECT_NO_THROW(HyperbolicIndex(8, 1.0f, (1 << 30) - 1, "poincare", 1u));
  EXPECT_NO_THROW(HyperbolicIndex(0, 1.0f, 16, "poincare", 1u));
  EXPECT_NO_THROW(HyperbolicIndex(8, 1.0f, 2, "poincare"));
}

TEST(Construction, MZeroMakesLevelZeroNodesWithoutLinks) {
  HyperbolicIndex index(3, 1.0f, 0, "euclidean", 4u);
  std::mt19937 rng(8);
  for (int i = 0; i < 50; ++i) {
    const std::vector<float> v = zelt_test::mixed_values(rng, 3);
    index.add_item_and_link(zelt::FloatArray{v.data(), 3, 1}, 0, 10);
  }
  index.inspect([](const IndexState& s) {
    EXPECT_EQ(s.size(), 50u);
    EXPECT_EQ(s.ep_id, 0);
    EXPECT_EQ(s.ep_layer, 0);
    for (std::int32_t n = 0; n < 50; ++n) {
      EXPECT_EQ(s.links.level(n), 0);
      EXPECT_TRUE(s.links.links(n, 0).empty());
    }
    return 0;
  });
}

std::size_t lengths_agree(const IndexState& s) {
  EXPECT_EQ(s.vectors.size(), s.links.size());
  EXPECT_EQ(s.vectors.size(), s.masks.size());
  EXPECT_EQ(s.vectors.size(), s.links.levels().size());
  return s.vectors.size();
}

TEST(PerNodeSequences, StayOfEqualLength) {
  HyperbolicIndex index(4, 1.0f, 4, "cosine", 21u);
  std::mt19937 rng(2);
  const auto size = [&] { return index.inspect(lengths_agree); };
  EXPECT_EQ(size(), 0u);
  for (int i = 0; i < 40; ++i) {
    const std::vector<float> v = zelt_test::mixed_values(rng, 5);
    if (i % 3 == 0) {
      index.add_item_flat(zelt::FloatArray{v.data(), 4, 1}, std::uint64_t(i));
    } else {
      index.add_item_and_link(zelt::FloatArray{v.data(), 4, 1}, std::uint64_t(i), 16);
    }
    EXPECT_EQ(size(), std::size_t(i + 1));
    // A refused insertion changes no sequence and draws no level.
    const std::mt19937 before = index.inspect([](const IndexState& s) { return s.level_rng; });
    for (const zelt::FloatArray bad :
         {zelt::FloatArray{v.data(), 5, 1}, zelt::FloatArray{v.data(), 3, 1},
          zelt::FloatArray{v.data(), 4, 2}}) {
      EXPECT_THROW(index.add_item_and_link(bad, 0, 16), std::runtime_error);
      EXPECT_THROW(index.add_item_flat(bad, 0), std::runtime_error);
    }
    EXPECT_EQ(size(), std::size_t(i + 1));
    EXPECT_TRUE(index.inspect([&](const IndexState& s) { return s.level_rng == before; }));
  }
  index.inspect([](const IndexState& s) {
    for (std::int32_t n = 0; n < std::int32_t(s.size()); ++n) {
      EXPECT_EQ(s.masks[std::size_t(n)], std::uint64_t(n));
      if (n % 3 == 0) {
        EXPECT_EQ(s.links.level(n), 0) << "flat node " << n;
      }
    }
    return 0;
  });
}

TEST(PerNodeSequences, DimensionMismatchMessage) {
  HyperbolicIndex index(3, 1.0f, 16, "poincare", 1u);
  const float v[4] = {0.1f, 0.2f, 0.3f, 0.4f};
  try {
    index.add_item_flat(zelt::FloatArray{v, 4, 1}, 0);
    FAIL() << "a vector of 4 values went into an index of dimension 3";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Vector dimension mismatch");
  }
}

// Layer-0 lists live beside the vectors: flat records gain room for them when
// the first linked node arrives, and a list longer than that room moves out.
TEST(PerNodeSequences, RecordsKeepVectorsAndListsAsTheirLayoutChanges) {
  IndexState s = zelt_test::make_state(6, 1.0f, 4, MetricKind::Euclidean, 3u);
  std::mt19937 rng(5);
  std::vector<std::vector<float>> rows;
  const auto add = [&](bool linked) {
    rows.push_back(zelt_test::mixed_values(rng, 6, -3, 3));
    if (linked) {
      zelt::insert_linked(s, rows.back().data(), 0, 20);
    } else {
      zelt::insert_flat(s, rows.back().data(), 0);
    }
  };
  for (int i = 0; i < 30; ++i) add(false);
  std::vector<std::int32_t> long_list(40);
  for (std::int32_t i = 0; i < 40; ++i) long_list[std::size_t(i)] = i % 30;
  const auto check = [&] {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const float* v = s.vectors.vector(std::int32_t(i));
      ASSERT_EQ(std::vector<float>(v, v + 6), rows[i]) << "node " << i;
      EXPECT_TRUE(zelt_test::SameBits(s.vectors.stored_norm(std::int32_t(i)),
                                      zelt_test::ref_squared_norm(v, 6)));
    }
  };
  // Node 5 is flat, so no insertion touches the list written to it here.
  for (int i = 0; i < 300; ++i) {
    add(true);
    if (i == 10) s.links.assign(5, 0, long_list.data(), long_list.size(), {3, 2});
    if (i == 20) s.links.append(5, 0, 7);
  }
  check();
  const zelt::LinkSpan moved = s.links.links(5, 0);
  ASSERT_EQ(moved.size, 41);
  EXPECT_EQ(std::vector<std::int32_t>(moved.begin(), moved.end() - 1), long_list);
  EXPECT_EQ(moved.ids[40], 7);
  EXPECT_EQ(s.links.origin(5, 0).known, 3);
  for (std::int32_t n = 30; n < std::int32_t(s.size()); ++n) {
    EXPECT_LE(s.links.links(n, 0).size, s.params.max_m_0);
    for (const std::int32_t id : s.links.links(n, 0)) EXPECT_LT(id, std::int32_t(s.size()));
  }
}

}  // namespace
