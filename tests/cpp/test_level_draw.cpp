// The random level of a linked node: the mapping of two generator outputs to
// a level, the clamp of tiny uniforms, and the resulting distribution.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "index/graph/level_draw.h"
#include "index/store/index_state.h"
#include "test_support.h"

namespace {

using zelt::LevelDistribution;

// The level formula written out: A then B, X = B * 2^21 + (A >> 11),
// u = lo + ((hi - lo) * X) * 2^-53 as one fused operation, then
// trunc(-(ln(max(u, 1e-10)) * level_mult)).
std::int32_t model_level(std::mt19937& g, const LevelDistribution& dist, float level_mult) {
  const std::uint64_t a = std::uint32_t(g());
  const std::uint64_t b = std::uint32_t(g());
  const std::uint64_t x = b * (std::uint64_t(1) << 21) + (a >> 11);
  const double u = std::fma((dist.hi - dist.lo) * double(x), 0x1p-53, dist.lo);
  const double clamped = u < 1e-10 ? 1e-10 : u;
  return std::int32_t(std::trunc(-(std::log(clamped) * double(level_mult))));
}

// A generator whose state words are all zero, so that it yields 0 for ever:
// the text form of a real generator with its 624 state words replaced.
std::mt19937 zero_generator() {
  std::stringstream text;
  text << std::mt19937(5489u);
  std::vector<std::string> tokens;
  for (std::string t; text >> t;) tokens.push_back(t);
  std::stringstream zeroed;
  for (std::size_t i = 0; i < tokens.size(); ++i) zeroed << (i < 624 ? "0" : tokens[i]) << ' ';
  std::mt19937 z;
  zeroed >> z;
  return z;
}

TEST(LevelDraw, MatchesTheFormulaAndUsesTwoOutputs) {
  for (const std::int32_t m : {2, 3, 5, 16, 48}) {
    const float mult = zelt_test::level_mult_for(m);
    std::mt19937 rng(1234u + unsigned(m));
    std::mt19937 model = rng;
    std::mt19937 skipped = rng;
    for (int i = 0; i < 2000; ++i) {
      const std::int32_t got = zelt::draw_level(rng, LevelDistribution{}, mult);
      ASSERT_EQ(got, model_level(model, LevelDistribution{}, mult)) << "M " << m << ", draw " << i;
      skipped.discard(2);
      ASSERT_TRUE(rng == skipped) << "draw " << i << " did not consume exactly two outputs";
      ASSERT_GE(got, 0);
    }
  }
}

TEST(LevelDraw, MapsThroughTheDistributionBounds) {
  const LevelDistribution narrow{0.25, 0.5};
  std::mt19937 rng(9u);
  std::mt19937 model = rng;
  for (int i = 0; i < 500; ++i) {
    const std::int32_t got = zelt::draw_level(rng, narrow, 3.0f);
    ASSERT_EQ(got, model_level(model, narrow, 3.0f)) << "draw " << i;
    // u in [0.25, 0.5): -ln(u) * 3 in (2.07, 4.16].
    ASSERT_GE(got, 2);
    ASSERT_LE(got, 4);
  }
}

TEST(LevelDraw, ZeroUniformIsClampedAtTheLargestLevel) {
  std::mt19937 probe = zero_generator();
  for (int i = 0; i < 4; ++i) ASSERT_EQ(probe(), 0u) << "the zero generator is not zero";

  const struct {
    std::int32_t m;
    std::int32_t top;
  } cases[] = {{16, 8}, {4, 16}, {2, 33}, {5, 14}};
  for (const auto& c : cases) {
    const float mult = zelt_test::level_mult_for(c.m);
    EXPECT_EQ(std::int32_t(std::floor(-std::log(1e-10) * double(mult))), c.top) << c.m;
    std::mt19937 rng = zero_generator();
    EXPECT_EQ(zelt::draw_level(rng, LevelDistribution{}, mult), c.top) << "M " << c.m;
  }
}

TEST(LevelDraw, MZeroAlwaysGivesLevelZero) {
  const float mult = zelt_test::level_mult_for(0);
  std::mt19937 rng(3u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(zelt::draw_level(rng, LevelDistribution{}, mult), 0);
  std::mt19937 zero = zero_generator();
  EXPECT_EQ(zelt::draw_level(zero, LevelDistribution{}, mult), 0);
}

TEST(LevelDraw, NonFiniteMultiplierIsRefusedNotConverted) {
  for (const float mult :
       {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
    std::mt19937 rng(3u);
    EXPECT_THROW(zelt::draw_level(rng, LevelDistribution{}, mult), std::invalid_argument);
  }
}

TEST(LevelDraw, DistributionForMSixteen) {
  const float mult = zelt_test::level_mult_for(16);
  std::mt19937 rng(20240611u);
  const int draws = 100000;
  int at_least_one = 0, at_least_two = 0, highest = 0;
  for (int i = 0; i < draws; ++i) {
    const std::int32_t level = zelt::draw_level(rng, LevelDistribution{}, mult);
    at_least_one += level >= 1;
    at_least_two += level >= 2;
    highest = std::max(highest, int(level));
  }
  // Expected 1/16 and 1/256.
  EXPECT_GT(double(at_least_one) / draws, 0.055);
  EXPECT_LT(double(at_least_one) / draws, 0.070);
  EXPECT_GT(double(at_least_two) / draws, 0.002);
  EXPECT_LT(double(at_least_two) / draws, 0.006);
  EXPECT_LE(highest, 8);
}

}  // namespace
