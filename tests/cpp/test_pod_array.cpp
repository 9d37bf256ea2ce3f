#include <gtest/gtest.h>

#include <cstdint>

#include "index/store/pod_array.h"

namespace {

using zelt::PodArray;

// Values written before each growth are read back after it, and what a growth
// adds is zero, whether the pages grew in place or moved; across the size from
// which arrays live on huge pages too, where a move has to land on a huge
// boundary.
TEST(PodArray, GrowthKeepsValuesAndAddsZerosAcrossTheHugePageSize) {
  PodArray<std::uint32_t> a;
  std::size_t written = 0;
  for (std::size_t size : {std::size_t(100), std::size_t(300000), std::size_t(600000),
                           std::size_t(2000000), std::size_t(2100000)}) {
    a.resize(size);
    for (std::size_t i = written; i < size; ++i) ASSERT_EQ(a[i], 0u) << i;
    for (std::size_t i = 0; i < written; ++i) ASSERT_EQ(a[i], std::uint32_t(i * 7 + 1)) << i;
    for (std::size_t i = written; i < size; ++i) a[i] = std::uint32_t(i * 7 + 1);
    written = size;
  }
  EXPECT_EQ(std::uintptr_t(a.data()) % (std::size_t(2) << 20), 0u);
  // Cut back and grown again, the cut part reads as zero.
  a.resize(10);
  a.resize(2000000);
  EXPECT_EQ(a[9], 64u);
  EXPECT_EQ(a[10], 0u);
  EXPECT_EQ(a[1999999], 0u);
}

}  // namespace
