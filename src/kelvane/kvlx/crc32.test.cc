#include "kelvane/kvlx/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

namespace kelvane {
namespace {

TEST(Crc32, EqualsZlibForEveryLengthAndSplit) {
  std::mt19937 rng(7);
  std::vector<std::uint8_t> bytes(1400);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  // Every length through the switches between table, carry-less folds of 16 and of 64 bytes,
  // and zlib; then sparser.
  for (std::size_t len = 0; len <= bytes.size(); len += (len < 600 ? 1 : 37)) {
    const std::uint32_t want = static_cast<std::uint32_t>(::crc32(0, bytes.data(), static_cast<uInt>(len)));
    ASSERT_EQ(crc32_update(0, std::span(bytes.data(), len)), want) << len;
    const std::size_t cut = rng() % (len + 1);  // extending over two pieces gives the same
    EXPECT_EQ(crc32_update(crc32_update(0, std::span(bytes.data(), cut)), std::span(bytes.data() + cut, len - cut)),
              want)
        << len << " cut at " << cut;
  }
  for (const std::uint8_t fill : {0x00, 0xFF}) {  // registers of all zeros and all ones
    const std::vector<std::uint8_t> flat(333, fill);
    EXPECT_EQ(crc32_update(0xFFFFFFFFu, flat), static_cast<std::uint32_t>(::crc32(0xFFFFFFFFu, flat.data(), 333)));
  }
  const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc32_update(0, check), 0xCBF43926u);  // the standard check value
}

TEST(Crc32, BytesFollowedByTheirOwnCrcGiveTheResidue) {
  std::vector<std::uint8_t> bytes;
  for (std::uint8_t len = 0; len < 40; ++len) {
    const std::uint32_t crc = crc32_update(0, bytes);
    const std::uint8_t le[4] = {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8),
                                static_cast<std::uint8_t>(crc >> 16), static_cast<std::uint8_t>(crc >> 24)};
    EXPECT_EQ(crc32_update(crc, le), kCrc32Residue) << int{len};
    bytes.push_back(static_cast<std::uint8_t>(len * 37 + 11));
  }
}

}  // namespace
}  // namespace kelvane
