#include "kelvane/core/window.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace kelvane {
namespace {

using Row = std::vector<std::uint8_t>;

OwnedSyndromeData round_of(Row events, std::uint64_t frame_id = 0) {
  OwnedSyndromeData d;
  d.detector_events = std::move(events);
  d.frame_id = frame_id;
  return d;
}

TEST(SyndromeWindow, SlidesAndEvictsOldest) {
  SyndromeWindow w(3, 2);
  w.push_owned(round_of({1, 0, 1}, 1));
  w.push_owned(round_of({0, 0, 0}, 2));
  EXPECT_TRUE(w.is_full());
  EXPECT_EQ(w.active_detectors(), (std::vector<std::uint32_t>{0, 2}));
  w.push_owned(round_of({0, 1, 0}, 3));
  EXPECT_EQ(w.detector_matrix(), (Row{0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(w.active_detectors(), (std::vector<std::uint32_t>{4}));
  EXPECT_EQ(w.rounds_held(), 2u);
  EXPECT_TRUE(w.is_full());
  EXPECT_FALSE(w.is_empty());
  EXPECT_EQ(w.rounds().front().frame_id, 2u);
  EXPECT_EQ(w.rounds().back().frame_id, 3u);
}

struct RowCase {
  Row events;
  Row expected_row;
};

class RowShaping : public ::testing::TestWithParam<RowCase> {};

TEST_P(RowShaping, PadsOrCutsToAncillaCount) {
  SyndromeWindow w(3, 4);
  w.push_owned(round_of(GetParam().events));
  EXPECT_EQ(w.detector_matrix(), GetParam().expected_row);
}

INSTANTIATE_TEST_SUITE_P(Rows, RowShaping,
                         ::testing::Values(RowCase{{1}, {1, 0, 0}},                 // short row padded
                                           RowCase{{0, 0, 0, 1, 1}, {0, 0, 0}},     // long row cut
                                           RowCase{{}, {0, 0, 0}},                  // no events at all
                                           RowCase{{0, 1, 1}, {0, 1, 1}},           // exact width
                                           RowCase{{7, 0, 255}, {1, 0, 1}}));       // any non-zero fires

TEST(SyndromeWindow, CutEventsAreNeverReported) {
  SyndromeWindow w(3, 2);
  w.push_owned(round_of({0, 0, 0, 1, 1}));
  EXPECT_TRUE(w.active_detectors().empty());
}

TEST(SyndromeWindow, EmptyWindow) {
  SyndromeWindow w(4, 3);
  EXPECT_TRUE(w.detector_matrix().empty());
  EXPECT_TRUE(w.active_detectors().empty());
  EXPECT_TRUE(w.is_empty());
  EXPECT_FALSE(w.is_full());
  EXPECT_GE(w.detector_matrix().capacity(), 12u);  // reserved at creation
}

TEST(SyndromeWindow, DepthZeroNeverEvicts) {
  SyndromeWindow w(2, 0);
  EXPECT_TRUE(w.is_full());  // only while empty
  for (int i = 0; i < 5; ++i) w.push_owned(round_of({0, 1}));
  EXPECT_EQ(w.rounds_held(), 5u);
  EXPECT_FALSE(w.is_full());
  EXPECT_EQ(w.active_detectors(), (std::vector<std::uint32_t>{1, 3, 5, 7, 9}));
}

TEST(SyndromeWindow, ZeroAncillasKeepsMatrixEmpty) {
  SyndromeWindow w(0, 3);
  for (int i = 0; i < 4; ++i) w.push_owned(round_of({1, 1, 1}));
  EXPECT_EQ(w.rounds_held(), 3u);
  EXPECT_TRUE(w.detector_matrix().empty());
  EXPECT_TRUE(w.active_detectors().empty());
}

TEST(SyndromeWindow, SameRoundTwiceGivesTwoRows) {
  SyndromeWindow w(2, 3);
  w.push_owned(round_of({1, 0}, 9));
  w.push_owned(round_of({1, 0}, 9));
  EXPECT_EQ(w.detector_matrix(), (Row{1, 0, 1, 0}));
  EXPECT_EQ(w.rounds_held(), 2u);
}

TEST(SyndromeWindow, FullWindowPushesDoNotGrowTheMatrix) {
  SyndromeWindow w(5, 3);
  const std::size_t capacity = w.detector_matrix().capacity();
  const std::uint8_t* data = nullptr;
  for (int i = 0; i < 10; ++i) {
    w.push_owned(round_of({1, 0, 1, 0, 1}));
    if (i == 0) data = w.detector_matrix().data();
  }
  EXPECT_EQ(w.detector_matrix().capacity(), capacity);
  EXPECT_EQ(w.detector_matrix().data(), data);
}

TEST(SyndromeWindow, ActiveDetectorsIntoReusedBuffer) {
  SyndromeWindow w(2, 2);
  w.push_owned(round_of({1, 1}));
  std::vector<std::uint32_t> out{99, 98, 97};
  w.active_detectors(out);
  EXPECT_EQ(out, (std::vector<std::uint32_t>{0, 1}));
}

TEST(SyndromeWindowCreate, AcceptsOrdinarySizes) {
  auto w = SyndromeWindow::create(17, 5);
  ASSERT_TRUE(w.has_value());
  EXPECT_EQ(w->ancilla_count(), 17u);
  EXPECT_EQ(w->window_depth(), 5u);
  EXPECT_GE(w->detector_matrix().capacity(), 85u);
  w->push_owned(round_of({0, 1}));
  EXPECT_EQ(w->active_detectors(), (std::vector<std::uint32_t>{1}));
}

TEST(SyndromeWindowCreate, AcceptsZeroSizes) {
  EXPECT_TRUE(SyndromeWindow::create(0, 0).has_value());
  EXPECT_TRUE(SyndromeWindow::create(0, std::numeric_limits<std::size_t>::max()).has_value());
  EXPECT_TRUE(SyndromeWindow::create(std::size_t{1} << 32, 0).has_value());
}

struct TooLarge {
  std::size_t ancillas;
  std::size_t depth;
};

class SyndromeWindowRefused : public ::testing::TestWithParam<TooLarge> {};

TEST_P(SyndromeWindowRefused, ReportsSizeAndConstructorStillWorks) {
  const auto [ancillas, depth] = GetParam();
  auto w = SyndromeWindow::create(ancillas, depth);
  ASSERT_FALSE(w.has_value());
  EXPECT_EQ(w.error().ancilla_count, ancillas);
  EXPECT_EQ(w.error().window_depth, depth);
  EXPECT_FALSE(w.error().allocation_failed);
  EXPECT_EQ(w.error().to_string(), "syndrome window of " + std::to_string(depth) + " rounds x " +
                                       std::to_string(ancillas) +
                                       " ancillas is too large to reserve (more than 4294967296 detectors)");
  // The constructor skips the reservation; with a row width that fits, the window still slides.
  SyndromeWindow unreserved(ancillas, depth);
  EXPECT_EQ(unreserved.detector_matrix().capacity(), 0u);
  if (ancillas <= 65537) {
    unreserved.push_owned(round_of({1}));
    EXPECT_EQ(unreserved.active_detectors(), (std::vector<std::uint32_t>{0}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SyndromeWindowRefused,
    ::testing::Values(TooLarge{std::numeric_limits<std::size_t>::max(), 2},           // product overflows
                      TooLarge{2, std::numeric_limits<std::size_t>::max() / 2 + 1},  // overflows the other way
                      TooLarge{65537, 65537},                                        // 2^32 + 2^17 + 1 entries
                      TooLarge{std::size_t{1} << 33, 1},
                      TooLarge{(std::size_t{1} << 32) + 1, 0}));  // one row is already too wide

// A naive model: the list of rows, each padded or cut, oldest first.
TEST(SyndromeWindowProperty, MatchesNaiveModel) {
  std::mt19937_64 rng(20261207);
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t ancillas = rng() % 6;
    const std::size_t depth = rng() % 5;
    SyndromeWindow w(ancillas, depth);
    std::vector<Row> model;
    const int pushes = static_cast<int>(rng() % 12);
    for (int p = 0; p < pushes; ++p) {
      Row events(rng() % 8);
      for (auto& e : events) e = static_cast<std::uint8_t>(rng() % 2);
      if (depth != 0 && model.size() == depth) model.erase(model.begin());
      Row shaped(ancillas, 0);
      for (std::size_t a = 0; a < ancillas && a < events.size(); ++a) shaped[a] = events[a];
      model.push_back(shaped);
      w.push_owned(round_of(events, static_cast<std::uint64_t>(p)));

      Row flat;
      std::vector<std::uint32_t> active;
      for (const Row& r : model) {
        for (std::uint8_t v : r) {
          if (v) active.push_back(static_cast<std::uint32_t>(flat.size()));
          flat.push_back(v);
        }
      }
      ASSERT_EQ(w.rounds_held(), model.size());
      ASSERT_EQ(w.detector_matrix(), flat);
      ASSERT_EQ(w.active_detectors(), active);
      ASSERT_EQ(w.is_full(), model.size() == depth);
      ASSERT_EQ(w.rounds().back().frame_id, static_cast<std::uint64_t>(p));
    }
  }
}

}  // namespace
}  // namespace kelvane
