#include "kelvane/core/frame.h"

#include <gtest/gtest.h>

#include <random>

#include "kelvane/core/rle.h"

namespace kelvane {
namespace {

SyndromeFrame frame_with(std::uint16_t ancilla_count, const std::vector<std::uint8_t>& rle,
                         const std::vector<std::int8_t>& meas) {
  SyndromeFrame f;
  f.header.ancilla_count = ancilla_count;
  f.detector_events_rle = rle;
  f.meas_results = meas;
  return f;
}

TEST(DetectorEventCount, SumsLowBitsOfFiredRunsOverTheWholeEncoding) {
  struct Case {
    std::vector<std::uint8_t> rle;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {{}, 0},
      {{0x05, 0x82, 0x03}, 2},
      {{0x7F, 0x00, 0x80}, 0},          // quiet runs and zero-length fired runs count nothing
      {{0xFF, 0xFF, 0x81}, 127 + 127 + 1},
      {{0x85, 0x03, 0x85}, 10},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detector_event_count(c.rle), c.expected) << ::testing::PrintToString(c.rle);
  }
}

TEST(DecodeRleEventsInto, MatchesANaiveExpansionOnRandomEncodings) {
  std::mt19937 rng(12345);
  std::vector<std::uint8_t> out(50, 7);  // reused: cleared before every decode
  for (int iter = 0; iter < 500; ++iter) {
    std::vector<std::uint8_t> rle(rng() % 12);
    for (auto& b : rle) b = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> naive;
    for (std::uint8_t b : rle) naive.insert(naive.end(), b & kRleLengthMask, (b & kRleValueBit) ? 1 : 0);
    const std::size_t n = rng() % 900;
    naive.resize(n, 0);
    decode_rle_events_into(rle, n, out);
    ASSERT_EQ(out, naive);
  }
}

TEST(ToOwnedFrame, CopiesHeaderValuesAndDropsWireOnlyFields) {
  const std::vector<std::uint8_t> rle{0x02, 0x81};
  const std::vector<std::int8_t> meas{1, -1, 0};
  SyndromeFrame f = frame_with(3, rle, meas);
  f.header.frame_id = 0x1122334455667788ULL;
  f.header.round = 77;
  f.header.timestamp_ns = 999999999999ULL;
  f.header.qubit_count = 17;
  f.header.code_type = 200;  // names no family; passed on raw
  f.header.distance = 5;
  f.header.flags = 0xFFFF;
  f.timing_offsets = {1, 2, 3};
  f.metadata = FrameMetadata{};
  f.metadata->observable_flips = 0x8000000000000001ULL;
  const OwnedFrame o = to_owned_frame(f);
  EXPECT_EQ(o.frame_id, 0x1122334455667788ULL);
  EXPECT_EQ(o.round, 77u);
  EXPECT_EQ(o.timestamp_ns, 999999999999ULL);
  EXPECT_EQ(o.qubit_count, 17);
  EXPECT_EQ(o.ancilla_count, 3);
  EXPECT_EQ(o.code_type, 200);
  EXPECT_EQ(o.distance, 5);
  EXPECT_EQ(o.detector_event_count, 1u);
  EXPECT_EQ(o.detector_events, (std::vector<std::uint8_t>{0, 0, 1}));
  EXPECT_EQ(o.meas_results, meas);
  EXPECT_EQ(o.observable_flips, 0x8000000000000001ULL);
}

TEST(ToOwnedFrame, EventsAreCutOrPaddedButTheCountCoversTheWholeEncoding) {
  struct Case {
    std::uint16_t ancilla_count;
    std::vector<std::uint8_t> rle;
    std::vector<std::uint8_t> events;
    std::uint32_t count;
  };
  const Case cases[] = {
      {2, {0x85}, {1, 1}, 5},            // longer encoding: cut, count exceeds the 1 entries
      {5, {0x81}, {1, 0, 0, 0, 0}, 1},   // shorter encoding: padded with 0
      {0, {0x83, 0x02}, {}, 3},          // no ancillas: empty events, count still from the runs
  };
  for (const Case& c : cases) {
    std::vector<std::int8_t> meas(c.ancilla_count, 1);
    const OwnedFrame o = to_owned_frame(frame_with(c.ancilla_count, c.rle, meas));
    EXPECT_EQ(o.detector_events, c.events);
    EXPECT_EQ(o.detector_event_count, c.count);
    EXPECT_EQ(o.meas_results.size(), c.ancilla_count);
  }
}

TEST(ToOwnedFrame, ObservableFlipsAbsentWithoutMetadataOrWithoutKey16) {
  SyndromeFrame no_meta = frame_with(0, {}, {});
  EXPECT_FALSE(to_owned_frame(no_meta).observable_flips.has_value());
  SyndromeFrame other_meta = frame_with(0, {}, {});
  other_meta.metadata = FrameMetadata{};
  other_meta.metadata->metadata_word_a = 3;
  EXPECT_FALSE(to_owned_frame(other_meta).observable_flips.has_value());
}

}  // namespace
}  // namespace kelvane
