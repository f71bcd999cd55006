#include "kelvane/kvlx/decision_record.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "kelvane/kvlx/crc32.h"
#include "kelvane/kvlx/le_bytes.h"

namespace kelvane {
namespace {

TEST(DecisionRecord, FieldsSitWhereTheFormatSaysAndTheCrcCoversThem) {
  std::array<std::uint8_t, kDecisionRecordSize> rec{};
  encode_decision_record({0x0102030405060708, 0xA0B0C0D0, kDecisionWindowIncomplete, 0x8000000000000003}, rec);
  EXPECT_EQ(load_le<std::uint64_t>(rec.data()), 0x0102030405060708u);
  EXPECT_EQ(load_le<std::uint32_t>(rec.data() + 8), 0xA0B0C0D0u);
  EXPECT_EQ(load_le<std::uint16_t>(rec.data() + 12), kDecisionWindowIncomplete);
  EXPECT_EQ(load_le<std::uint64_t>(rec.data() + 16), 0x8000000000000003u);
  EXPECT_EQ(load_le<std::uint16_t>(rec.data() + 14) | load_le<std::uint32_t>(rec.data() + 24), 0u);
  EXPECT_EQ(crc32_update(0, rec), kCrc32Residue);

  std::array<std::uint8_t, kDecisionHeaderSize> head{};
  encode_decision_header(3, kDecisionStreamDetectorFlips, head);
  EXPECT_EQ(std::string(head.begin(), head.begin() + 4), "KVLD");
  EXPECT_EQ(load_le<std::uint16_t>(head.data() + 4), kDecisionVersion);
  EXPECT_EQ(load_le<std::uint16_t>(head.data() + 6), kDecisionStreamDetectorFlips);
  EXPECT_EQ(load_le<std::uint32_t>(head.data() + 8), 3u);

  // A block of detector flips: count, (round, ancilla) pairs, CRC over both; empty or not.
  for (const std::vector<DetectorFlip>& flips : {std::vector<DetectorFlip>{}, {{7, 2}, {0xFFFFFFFF, 40}}}) {
    std::vector<std::uint8_t> block{0xAA};  // appended after what is there
    append_detector_flips(flips, block);
    ASSERT_EQ(block.size(), 1 + 8 + 8 * flips.size());
    EXPECT_EQ(load_le<std::uint32_t>(block.data() + 1), flips.size());
    for (std::size_t k = 0; k < flips.size(); ++k) {
      EXPECT_EQ(load_le<std::uint32_t>(block.data() + 5 + 8 * k), flips[k].round);
      EXPECT_EQ(load_le<std::uint32_t>(block.data() + 9 + 8 * k), flips[k].ancilla);
    }
    EXPECT_EQ(crc32_update(0, std::span<const std::uint8_t>(block).subspan(1)), kCrc32Residue);

    // A whole commit step: the record flagged for flips exactly when a block follows it.
    for (const std::uint16_t flags : {std::uint16_t{0}, kDecisionHasDetectorFlips}) {
      std::vector<std::uint8_t> step;
      append_decision({9, 4, static_cast<std::uint16_t>(flags | kDecisionWindowIncomplete), 5}, flips, step);
      ASSERT_EQ(step.size(), kDecisionRecordSize + (flips.empty() ? 0 : block.size() - 1));
      EXPECT_EQ(load_le<std::uint16_t>(step.data() + 12),
                kDecisionWindowIncomplete | (flips.empty() ? 0 : kDecisionHasDetectorFlips));
      EXPECT_EQ(crc32_update(0, std::span<const std::uint8_t>(step).first(kDecisionRecordSize)), kCrc32Residue);
      EXPECT_TRUE(std::equal(step.begin() + kDecisionRecordSize, step.end(), block.begin() + 1));
    }
  }
}

}  // namespace
}  // namespace kelvane
