#include "kelvane/kvlx/decision_record.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

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
  encode_decision_header(3, head);
  EXPECT_EQ(std::string(head.begin(), head.begin() + 4), "KVLD");
  EXPECT_EQ(load_le<std::uint16_t>(head.data() + 4), kDecisionVersion);
  EXPECT_EQ(load_le<std::uint32_t>(head.data() + 8), 3u);
}

}  // namespace
}  // namespace kelvane
