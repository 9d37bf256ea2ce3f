// The per-bit bitmaps of the masks, kept in step by every change of a mask,
// and the choice between scanning the matching nodes and walking the graph.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "api/hyperbolic_index.h"
#include "index/store/tag_columns.h"
#include "query/planned_search.h"
#include "test_support.h"

namespace {

using zelt::HyperbolicIndex;
using zelt::IndexState;

constexpr std::size_t kDim = 4;
constexpr std::uint64_t kFilters[] = {0, 1, 1u << 5, (1ull << 63), 0b11, 0b101 | (1ull << 63)};

// Every column, count and AND of the filters above, against the masks.
void expect_in_step(const HyperbolicIndex& index) {
  index.inspect([](const IndexState& s) {
    const zelt::TagColumns& tags = s.tags;
    ASSERT_EQ(tags.size(), s.size());
    for (unsigned bit = 0; bit < zelt::TagColumns::kBits; ++bit) {
      std::size_t held = 0;
      for (std::size_t i = 0; i < s.size(); ++i) {
        const bool has = (s.masks[i] >> bit) & 1;
        held += has ? 1 : 0;
        ASSERT_EQ(zelt::is_member(tags.column(bit), std::int32_t(i)), has) << bit << " " << i;
      }
      ASSERT_EQ(tags.holding(bit), held) << bit;
    }
    std::vector<std::uint64_t> scratch;
    for (const std::uint64_t filter : kFilters) {
      const std::uint64_t* members = nullptr;
      const std::size_t count = tags.matching(filter, scratch, members);
      std::size_t expected = 0;
      for (std::size_t i = 0; i < s.size(); ++i) {
        const bool passes = (filter & ~s.masks[i]) == 0;
        expected += passes ? 1 : 0;
        if (members != nullptr) {
          ASSERT_EQ(zelt::is_member(members, std::int32_t(i)), passes);
        }
      }
      EXPECT_EQ(count, expected) << filter;
      if (s.size() > 0) {
        EXPECT_EQ(members == nullptr, filter == 0);
      }
    }
  });
}

std::vector<float> rows_of(std::mt19937& rng, std::size_t n) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> rows(n * kDim);
  for (float& x : rows) x = 0.2f * normal(rng);
  return rows;
}

std::vector<std::uint64_t> masks_of(std::mt19937& rng, std::size_t n) {
  std::vector<std::uint64_t> masks(n);
  for (std::uint64_t& m : masks) m = (std::uint64_t(rng()) << 32 | rng()) & rng();
  return masks;
}

TEST(TagColumns, FollowEveryChangeOfAMask) {
  std::mt19937 rng(7);
  HyperbolicIndex index(kDim, 1.0f, 8, "euclidean", 3u);
  expect_in_step(index);
  // 130 rows cross two word boundaries; two threads link them.
  const std::vector<float> rows = rows_of(rng, 130);
  const std::vector<std::uint64_t> masks = masks_of(rng, 130);
  index.add_items(zelt::FloatRows{rows.data(), 130, kDim, 2}, masks.data(), 0, 40, true,
                  zelt::BatchControl{2, {}});
  index.add_item_flat(zelt::FloatArray{rows.data(), kDim, 1}, ~std::uint64_t{0});
  expect_in_step(index);

  // A refused batch stores nothing, and what it had stored leaves the columns.
  std::vector<float> bad = rows_of(rng, 70);
  bad[69 * kDim] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_THROW(index.add_items(zelt::FloatRows{bad.data(), 70, kDim, 2}, nullptr, ~0ull, 40, true,
                               zelt::BatchControl{1, {}}),
               std::invalid_argument);
  expect_in_step(index);

  const std::int64_t ids[] = {0, 64, 130, 64};
  const std::uint64_t values[] = {0, 1ull << 63, 0b111, 0b1};
  index.set_masks(ids, 4, values, 0);
  expect_in_step(index);
  const std::int64_t outside[] = {5, 131};
  EXPECT_THROW(index.set_masks(outside, 2, nullptr, 0), std::out_of_range);
  expect_in_step(index);

  const std::vector<std::uint64_t> fresh = masks_of(rng, 131);
  index.update_masks(fresh.data(), fresh.size());
  expect_in_step(index);

  const std::string path = zelt_test::temp_path("tag_columns.idx");
  index.save_index(path);
  HyperbolicIndex loaded(kDim, 1.0f, 8, "euclidean", 3u);
  loaded.load_index(path);
  expect_in_step(loaded);
  EXPECT_EQ(loaded.get_masks(), fresh);
}

TEST(PlannedSearch, ChoosesByTheMatchCount) {
  HyperbolicIndex index(kDim, 1.0f, 8, "euclidean", 3u);
  std::mt19937 rng(1);
  const std::vector<float> rows = rows_of(rng, 2000);
  index.add_items(zelt::FloatRows{rows.data(), 2000, kDim, 2}, nullptr, 1, 40, true,
                  zelt::BatchControl{1, {}});
  index.inspect([](const IndexState& s) {
    EXPECT_EQ(zelt::choose_plan(s, 0, 50), zelt::Plan::Nothing);
    EXPECT_EQ(zelt::choose_plan(s, 1, 50), zelt::Plan::Scan);
    EXPECT_EQ(zelt::choose_plan(s, 2000, 10), zelt::Plan::Walk);
    // A width of 0 counts as 1, so the walk still wins for every node.
    EXPECT_EQ(zelt::choose_plan(s, 2000, 0), zelt::Plan::Walk);
  });
  // A walk that also follows in-links costs more, so the same count scans.
  HyperbolicIndex in_reach(kDim, 1.0f, 8, "euclidean", 3u, true);
  in_reach.add_items(zelt::FloatRows{rows.data(), 2000, kDim, 2}, nullptr, 1, 40, true,
                     zelt::BatchControl{1, {}});
  in_reach.inspect([](const IndexState& s) {
    EXPECT_EQ(zelt::choose_plan(s, 2000, 10), zelt::Plan::Scan);
    EXPECT_EQ(zelt::choose_plan(s, 2000, 0), zelt::Plan::Walk);
  });
  HyperbolicIndex flat(kDim, 1.0f, 8, "euclidean", 3u);
  flat.add_item_flat(zelt::FloatArray{rows.data(), kDim, 1}, 1);
  flat.inspect([](const IndexState& s) {
    EXPECT_EQ(zelt::choose_plan(s, 1, 50), zelt::Plan::Scan);  // no graph to walk
  });
}

}  // namespace
