// The file checksum: the standard check value, the processor's instruction
// against the table version at awkward lengths and offsets, and the same
// value from saving, loading and reading a file.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "api/hyperbolic_index.h"
#include "persist/crc32c.h"
#include "test_support.h"

namespace {

TEST(Crc32c, CheckValueAndBothWaysAgree) {
  const std::string check = "123456789";
  EXPECT_EQ(zelt::crc32c_extend_portable(0, check.data(), check.size()), 0xE3069283u);
  EXPECT_EQ(zelt::crc32c_extend(0, check.data(), 0), 0u);
  std::mt19937 rng(3);
  std::vector<unsigned char> bytes(9 * 8192 + 256);  // the longest length at the largest offset
  for (auto& b : bytes) b = static_cast<unsigned char>(rng());
  for (const std::size_t length : {1, 7, 9, 13, 97, 3 * 8192 - 1, 3 * 8192, 3 * 8192 + 13,
                                   7 * 8192 + 5, 9 * 8192 + 200}) {
    for (const std::size_t offset : {0, 3}) {
      const unsigned char* p = bytes.data() + offset;
      const std::uint32_t whole = zelt::crc32c_extend_portable(0, p, length);
      const std::size_t cut = length / 3;
      EXPECT_EQ(zelt::crc32c_extend_portable(zelt::crc32c_extend_portable(0, p, cut), p + cut,
                                             length - cut),
                whole);
      if (zelt::crc32c_hardware_usable()) {
        EXPECT_EQ(zelt::crc32c_extend_hardware(0, p, length), whole) << length << " " << offset;
        EXPECT_EQ(zelt::crc32c_extend_hardware(zelt::crc32c_extend_hardware(0, p, cut), p + cut,
                                               length - cut),
                  whole);
      }
    }
  }
}

// Files of some megabytes, a flat one read straight into place and a linked
// one read through the reader's buffer.
TEST(Crc32c, SavingLoadingAndReadingAFileAgree) {
  for (const bool linked : {false, true}) {
    zelt::HyperbolicIndex index(64, 1.0f, 8, "euclidean", 4u);
    std::mt19937 rng(5);
    for (int i = 0; i < (linked ? 7000 : 9000); ++i) {
      const std::vector<float> v = zelt_test::ball_values(rng, 64, 0.5f);
      if (linked) {
        index.add_item_and_link({v.data(), v.size()}, 0, 10);
      } else {
        index.add_item_flat({v.data(), v.size()}, 0);
      }
    }
    const std::string path = zelt_test::temp_path(linked ? "linked.bin" : "flat.bin");
    std::uint32_t saved = 0, loaded = 1;
    index.save_index(path, &saved);
    const std::string bytes = zelt_test::read_file(path);
    ASSERT_GT(bytes.size(), std::size_t(2) << 20);
    EXPECT_EQ(saved, zelt::crc32c_extend_portable(0, bytes.data(), bytes.size()));
    index.load_index(path, &loaded);
    EXPECT_EQ(loaded, saved);
    EXPECT_EQ(zelt::file_checksum(path), saved);
  }
  EXPECT_THROW(zelt::file_checksum(zelt_test::temp_path("none.bin")), std::runtime_error);
}

}  // namespace
