#pragma once

#include <cstdint>
#include <random>

#include "index/store/index_state.h"

namespace zelt {

// A node's top layer: two generator outputs A, B form the 53-bit integer
// B * 2^21 + (A >> 11), mapped onto [lo, hi) in steps of 2^-53; the level is
// -ln(max(u, 1e-10)) * level_mult truncated toward zero. level_mult must be
// finite (M of 0 or at least 2).
std::int32_t draw_level(std::mt19937& rng, const LevelDistribution& dist, float level_mult);

// The largest level the draw can give: that of every u below 1e-10 (8 for
// M 16, 33 for M 2, 0 for M 0).
std::int32_t highest_level(float level_mult);

}  // namespace zelt
