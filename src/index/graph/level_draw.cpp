#include "index/graph/level_draw.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace zelt {

namespace {

std::int32_t level_of(double u, float level_mult) {
  const double level = -(std::log(std::max(u, 1e-10)) * double(level_mult));
  // Unreachable through the index, which refuses an M whose multiplier is not
  // finite; kept so that such a state cannot turn into an undefined conversion.
  if (!(level >= 0.0 && level < 2147483648.0)) {
    throw std::invalid_argument("level multiplier is not finite");
  }
  return std::int32_t(level);
}

}  // namespace

std::int32_t highest_level(float level_mult) { return level_of(0.0, level_mult); }

std::int32_t draw_level(std::mt19937& rng, const LevelDistribution& dist, float level_mult) {
  const std::uint64_t a = rng();
  const std::uint64_t b = rng();
  const std::uint64_t x = (b << 21) + (a >> 11);
  const double u = std::fma((dist.hi - dist.lo) * double(x), 0x1p-53, dist.lo);
  return level_of(u, level_mult);
}

}  // namespace zelt
