#include "kelvane/streaming/layout.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

namespace kelvane {
namespace {

TEST(FrameLayout, PositionalAndTableLookups) {
  const FrameLayout p = FrameLayout::positional(3, 4);
  EXPECT_TRUE(p.is_positional());
  EXPECT_EQ(p.detector(0, 0), 0u);
  EXPECT_EQ(p.detector(2, 3), 11u);
  EXPECT_TRUE(p.check_covers(12).has_value());
  ASSERT_FALSE(p.check_covers(13).has_value());
  EXPECT_EQ(p.check_covers(13).error().to_string(),
            "the window covers 3 rounds x 4 ancillas = 12 detectors, but the model has 13 detectors; "
            "pass window_depth or layout= to cover them");

  const std::vector<std::int64_t> entries = {-1, 0, 3, 2, 1, -1};
  auto t = FrameLayout::table(2, 3, entries, 4);
  ASSERT_TRUE(t.has_value()) << t.error().to_string();
  EXPECT_FALSE(t->is_positional());
  EXPECT_EQ(t->detector(0, 0), kNoDetector);
  EXPECT_EQ(t->detector(1, 0), 2u);
  EXPECT_EQ(t->detector(1, 1), 1u);
  EXPECT_TRUE(t->check_covers(1000).has_value());
}

struct BadTable {
  std::size_t rounds, ancillas;
  std::vector<std::int64_t> entries;
  std::uint64_t num_detectors;
  const char* message;
};

class FrameLayoutRefuses : public testing::TestWithParam<BadTable> {};

TEST_P(FrameLayoutRefuses, NamingTheNumbers) {
  const BadTable& c = GetParam();
  auto t = FrameLayout::table(c.rounds, c.ancillas, c.entries, c.num_detectors);
  ASSERT_FALSE(t.has_value());
  EXPECT_EQ(t.error().to_string(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, FrameLayoutRefuses,
    testing::Values(
        BadTable{2, 2, {0, 1, 2, 4}, 4,
                 "layout entry [1, 1] is detector 4, but the model has 4 detectors (ids 0 to 3, or -1 for none)"},
        BadTable{1, 3, {0, -2, 1}, 4, "layout entry [0, 1] is -2; entries are detector ids or -1 for none"},
        BadTable{3, 2, {5, 1, 2, 1, 5, 0}, 6, "detector 1 appears twice in the layout, at [0, 1] and [1, 1]"},
        BadTable{2, 2, {3, -1, -1, 3}, 4, "detector 3 appears twice in the layout, at [0, 0] and [1, 1]"},
        BadTable{0, 3, {}, 4, "the layout has 0 rounds of 3 ancillas; it needs at least one of each"}));

struct MixedCase {
  std::vector<std::optional<double>> times;
  std::size_t ancillas;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> pair;
};

class PositionalMixedTimes : public ::testing::TestWithParam<MixedCase> {};

TEST_P(PositionalMixedTimes, NamesTheFirstPair) {
  const MixedCase& c = GetParam();
  const std::optional<MixedTimes> got = positional_mixed_times(c.times, c.ancillas);
  ASSERT_EQ(got.has_value(), c.pair.has_value());
  if (got) {
    EXPECT_EQ(std::make_pair(got->first, got->second), *c.pair);
    EXPECT_EQ(got->first_time, *c.times[got->first]);
    EXPECT_EQ(got->second_time, *c.times[got->second]);
  }
}

constexpr std::nullopt_t kNone = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Cases, PositionalMixedTimes,
    ::testing::Values(
        MixedCase{{0.0, 0.0, 1.0, 1.0, 2.0, 2.0}, 2, kNone},                                   // rounds of 2
        MixedCase{{0.0, 1.0, 1.0, 1.0, 1.0, 2.0}, 2, std::make_pair(std::uint64_t{0}, std::uint64_t{1})},  // a short first round
        MixedCase{{0.0, 0.0, 1.0, 1.0, 2.0, 2.0}, 3, std::make_pair(std::uint64_t{0}, std::uint64_t{2})},  // frames too wide
        MixedCase{{kNone, 0.0, 1.0, kNone}, 2, kNone},                                         // no time: never named
        MixedCase{{kNone, kNone, kNone}, 3, kNone},
        MixedCase{{0.0, 1.0}, 0, kNone},                                                       // no ancillas
        MixedCase{{0.0, 0.0, 0.0, 0.5, 0.5, 1.0}, 3, std::make_pair(std::uint64_t{3}, std::uint64_t{5})}));  // first frame fine

}  // namespace
}  // namespace kelvane
