#include "kelvane/validate/timing.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(CheckTiming, ReportsTheLowestOffsetAboveTheBound) {
  struct Case {
    std::vector<std::uint16_t> offsets;
    std::optional<std::size_t> ancilla;
    std::uint16_t offset = 0;
  };
  const Case cases[] = {
      {{}, std::nullopt},
      {{0, 9999, 10000}, std::nullopt},                // exactly 10000 passes
      {{1, 2, 3, 10000, 10001}, 4, 10001},
      {{10001, 65535}, 0, 10001},                      // two offenders: the lower index
      {{5, 65535, 20000}, 1, 65535},
  };
  for (const Case& c : cases) {
    SyndromeFrame f;
    f.timing_offsets = c.offsets;
    const Status s = check_timing(f);
    ASSERT_EQ(s.has_value(), !c.ancilla.has_value());
    if (!s) {
      const auto& e = s.error().as<errors::TimingOutOfBounds>();
      EXPECT_EQ(e.ancilla, *c.ancilla);
      EXPECT_EQ(e.offset_ns, c.offset);
    }
  }
}

}  // namespace
}  // namespace kelvane
