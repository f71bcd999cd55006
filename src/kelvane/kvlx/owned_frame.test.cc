#include "kelvane/kvlx/owned_frame.h"

#include <gtest/gtest.h>


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

// A frame read into one that held another (as the live reader reuses frames) is the frame
// to_owned_frame makes: nothing of the last one stays, neither its metadata nor what decoding set.
TEST(ToOwnedFrame, IntoAReusedFrameLeavesNothingOfTheLastOne) {
  // The frames' views point into these.
  const std::vector<std::uint8_t> wide_rle{0x86}, narrow_rle{0x01, 0x81}, quiet_rle{0x03};
  const std::vector<std::int8_t> wide_meas{1, 1, 1, 1, 1, 1}, no_meas{}, quiet_meas{0, 0, 0};
  SyndromeFrame wide = frame_with(6, wide_rle, wide_meas);
  wide.metadata = FrameMetadata{};
  wide.metadata->observable_flips = 5;
  wide.metadata->description_hash = 9;
  SyndromeFrame narrow = frame_with(2, narrow_rle, no_meas);
  SyndromeFrame quiet = frame_with(3, quiet_rle, quiet_meas);
  OwnedFrame reused;
  for (const SyndromeFrame* f : {&wide, &narrow, &wide, &quiet}) {
    reused.prediction = FramePrediction::kDecoded;  // as decoding leaves a frame
    reused.shot_incomplete = reused.window_incomplete = true;
    reused.model_observables = 2;
    to_owned_frame_into(*f, reused);
    const OwnedFrame fresh = to_owned_frame(*f);
    EXPECT_EQ(reused.detector_events, fresh.detector_events);
    EXPECT_EQ(reused.meas_results, fresh.meas_results);
    EXPECT_EQ(reused.detector_event_count, fresh.detector_event_count);
    EXPECT_EQ(reused.observable_flips, fresh.observable_flips);
    EXPECT_EQ(reused.source_observable_flips, fresh.source_observable_flips);
    EXPECT_EQ(reused.description_hash, fresh.description_hash);
    EXPECT_EQ(reused.prediction, FramePrediction::kNone);
    EXPECT_FALSE(reused.shot_incomplete || reused.window_incomplete || reused.model_observables);
  }
}

}  // namespace
}  // namespace kelvane
