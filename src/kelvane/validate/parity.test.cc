#include "kelvane/validate/parity.h"

#include <gtest/gtest.h>

#include <random>

namespace kelvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

HardwareSchema schema_of(std::vector<std::vector<std::uint16_t>> stabilizers) {
  HardwareSchema s;
  for (std::size_t i = 0; i < stabilizers.size(); ++i) {
    s.stabilizers.push_back({static_cast<std::uint16_t>(i), StabilizerType::Z, std::move(stabilizers[i])});
  }
  return s;
}

Status run(const Bytes& rle, const std::vector<std::int8_t>& meas, const HardwareSchema& schema,
           std::uint64_t frame_id = 42) {
  SyndromeFrame f;
  f.header.frame_id = frame_id;
  f.detector_events_rle = rle;
  f.meas_results = meas;
  return check_parity(f, schema);
}

TEST(CheckParity, ResultsAtOrBelowZeroFlipParity) {
  const std::vector<std::int8_t> meas{1, -1, 0};  // bytes 0x01, 0xFF, 0x00
  // Over 0, 1, 2: two flips, parity 0, matching a quiet event.
  EXPECT_TRUE(run({0x01}, meas, schema_of({{0, 1, 2}})).has_value());
  // Over 0 and 1: parity 1, needs a fired event.
  EXPECT_TRUE(run({0x81}, meas, schema_of({{0, 1}})).has_value());
  const Status bad = run({0x01}, meas, schema_of({{0, 1}}), 99);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().to_string(), "parity violation in frame 99 at stabilizer index 0");
  // -128 counts as negative, 127 as positive.
  EXPECT_TRUE(run({0x81, 0x01}, {-128, 127}, schema_of({{0}, {1}})).has_value());
}

TEST(CheckParity, IndicesBeyondTheResultsAreIgnored) {
  const std::vector<std::int8_t> meas(17, 1);
  EXPECT_TRUE(run({}, meas, schema_of({{60000}, {16, 17}})).has_value());
  std::vector<std::int8_t> last_negative(17, 1);
  last_negative[16] = -1;
  EXPECT_TRUE(run({0x81}, last_negative, schema_of({{16, 17, 60000}})).has_value());
}

TEST(CheckParity, EventsBeyondTheEncodingAreQuiet) {
  // Entries 0..2 fired; a schema with five stabilisers: entries 3 and 4 count as 0.
  const std::vector<std::int8_t> meas{-1, -1, -1, 1, 1};
  EXPECT_TRUE(run({0x83}, meas, schema_of({{0}, {1}, {2}, {3}, {4}})).has_value());
  const Status s = run({0x83}, meas, schema_of({{0}, {1}, {2}, {3}, {3, 4, 0}}));
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().as<errors::ParityViolation>().stabilizer_index, 4u);
}

TEST(CheckParity, NoStabilisersOrEmptyQubitListsAndZeroLengthRuns) {
  EXPECT_TRUE(run({0xFF}, {}, schema_of({})).has_value());
  EXPECT_TRUE(run({}, {}, schema_of({{}, {}})).has_value());
  const Status s = run({0x80, 0x81}, {}, schema_of({{}}));  // entry 0 is the fired run after a zero run
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().as<errors::ParityViolation>().stabilizer_index, 0u);
}

// The forward walk over runs agrees with a plain expansion of the encoding.
TEST(CheckParity, AgreesWithANaiveModelOnRandomFrames) {
  std::mt19937 rng(777);
  for (int iter = 0; iter < 3000; ++iter) {
    Bytes rle(rng() % 6);
    for (auto& b : rle) b = static_cast<std::uint8_t>(rng() % 2 ? 0x80 | rng() % 4 : rng() % 4);
    std::vector<std::uint8_t> events;
    for (std::uint8_t b : rle) events.insert(events.end(), b & 0x7F, b >> 7);
    std::vector<std::int8_t> meas(rng() % 8);
    for (auto& m : meas) m = static_cast<std::int8_t>(static_cast<int>(rng() % 5) - 2);
    std::vector<std::vector<std::uint16_t>> stabs(rng() % 10);
    for (auto& q : stabs) {
      q.resize(rng() % 4);
      for (auto& x : q) x = static_cast<std::uint16_t>(rng() % 10);
    }
    std::optional<std::size_t> expected;
    for (std::size_t i = 0; i < stabs.size() && !expected; ++i) {
      int p = 0;
      for (std::uint16_t q : stabs[i]) p ^= (q < meas.size() && meas[q] <= 0);
      const int e = i < events.size() ? events[i] : 0;
      if (p != e) expected = i;
    }
    const Status s = run(rle, meas, schema_of(stabs));
    ASSERT_EQ(s.has_value(), !expected.has_value()) << iter;
    if (!s) {
      ASSERT_EQ(s.error().as<errors::ParityViolation>().stabilizer_index, *expected);
    }
  }
}

}  // namespace
}  // namespace kelvane
