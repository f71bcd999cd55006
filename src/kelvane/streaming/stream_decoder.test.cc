#include "kelvane/streaming/stream_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kelvane/core/window.h"
#include "kelvane/dem/parser.h"

namespace kelvane {
namespace {

constexpr std::size_t kAncillas = 2;
constexpr std::size_t kRounds = 3;

// A distance-3 repetition code over three rounds: detector r * 2 + a, space edges along each
// round (L0 on the left boundary), time edges between rounds, one measurement-error edge per pair.
std::shared_ptr<const SpacetimeGraph> repetition_graph() {
  std::string text;
  for (std::size_t r = 0; r < kRounds; ++r) {
    const std::size_t d0 = r * kAncillas, d1 = d0 + 1;
    text += "error(0.1) D" + std::to_string(d0) + " L0\n";
    text += "error(0.1) D" + std::to_string(d0) + " D" + std::to_string(d1) + "\n";
    text += "error(0.1) D" + std::to_string(d1) + "\n";
    if (r + 1 < kRounds) {
      text += "error(0.05) D" + std::to_string(d0) + " D" + std::to_string(d0 + kAncillas) + "\n";
      text += "error(0.05) D" + std::to_string(d1) + " D" + std::to_string(d1 + kAncillas) + "\n";
    }
  }
  auto model = DetectorErrorModel::parse(text);
  EXPECT_TRUE(model.has_value());
  return std::make_shared<const SpacetimeGraph>(SpacetimeGraph::from_dem(*model));
}

StreamDecodeOptions options(bool per_shot, std::size_t depth = 0, std::optional<FrameLayout> layout = {}) {
  StreamDecodeOptions o;
  o.per_shot = per_shot;
  o.window_depth = depth;
  o.layout = std::move(layout);
  return o;
}

OwnedFrame frame(std::uint64_t id, std::uint32_t round, std::vector<std::uint8_t> events) {
  OwnedFrame f;
  f.frame_id = id;
  f.round = round;
  f.ancilla_count = static_cast<std::uint16_t>(events.size());
  f.detector_events = std::move(events);
  return f;
}

StreamDecoder make(StreamDecodeOptions options) {
  auto d = StreamDecoder::create(repetition_graph(), std::move(options));
  EXPECT_TRUE(d.has_value());
  return std::move(*d);
}

// Per shot with a table layout (ancillas swapped in the middle round, and a slot without a
// detector): the last frame of each shot carries exactly the whole shot's decode.
TEST(StreamDecoder, PerShotPredictionIsTheWholeShotsDecode) {
  const std::vector<std::int64_t> table = {0, 1, -1, 3, 2, -1, 4, 5, -1};
  auto layout = FrameLayout::table(kRounds, 3, table, kRounds * kAncillas);
  ASSERT_TRUE(layout.has_value());
  StreamDecoder stream = make(options(true, 0, *layout));
  UnionFindDecoder reference(repetition_graph());
  std::mt19937 rng(7);
  std::uint64_t id = 0;
  for (int shot = 0; shot < 300; ++shot) {
    std::vector<std::uint32_t> fired;
    for (std::uint32_t d = 0; d < kRounds * kAncillas; ++d) {
      if (rng() % 4 == 0) fired.push_back(d);
    }
    for (std::uint32_t r = 0; r < kRounds; ++r) {
      std::vector<std::uint8_t> events(3, 0);
      for (std::size_t a = 0; a < 3; ++a) {
        const std::int64_t d = table[r * 3 + a];
        events[a] = d >= 0 && std::find(fired.begin(), fired.end(), static_cast<std::uint32_t>(d)) != fired.end();
      }
      OwnedFrame f = frame(id++, r, events);
      f.observable_flips = 1;  // flips carried by the frame are not a prediction
      ASSERT_TRUE(stream.push(f).has_value());
      if (r + 1 < kRounds) {
        EXPECT_EQ(f.prediction, FramePrediction::kAwaitingShotEnd);
        EXPECT_FALSE(f.observable_flips.has_value());
      } else {
        ASSERT_EQ(f.prediction, FramePrediction::kDecoded);
        EXPECT_EQ(*f.observable_flips, fired.empty() ? 0 : reference.decode_detectors(fired)) << shot;
      }
    }
  }
  EXPECT_EQ(stream.decodes(), 300u);
  EXPECT_EQ(stream.incomplete_shots(), 0u);
  EXPECT_TRUE(stream.take_warnings().empty());
}

// The ring of fired ancillas decodes what a window of the same rounds decodes, before and after
// it fills.
TEST(StreamDecoder, SlidingMatchesAWindowOfTheSameRounds) {
  StreamDecoder stream = make(options(false));
  UnionFindDecoder reference(repetition_graph());
  SyndromeWindow window(kAncillas, kRounds);
  std::mt19937 rng(11);
  for (std::uint32_t i = 0; i < 500; ++i) {
    std::vector<std::uint8_t> events = {static_cast<std::uint8_t>(rng() % 3 == 0),
                                        static_cast<std::uint8_t>(rng() % 3 == 0)};
    OwnedFrame f = frame(i, i % 7, events);
    window.push_owned(syndrome_round_of(f));
    ASSERT_TRUE(stream.push(f).has_value());
    EXPECT_EQ(f.prediction, FramePrediction::kDecoded);
    EXPECT_EQ(*f.observable_flips, reference.decode_window(window).observable_flips) << i;
  }
  EXPECT_EQ(stream.decodes(), 500u);
}

struct CutCase {
  const char* name;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> frames;  // (frame_id, round)
  std::string decoded;     // per frame: 'D' decoded, '.' awaiting, 'x' incomplete shot
  std::string flagged;     // per frame: '!' where shot_incomplete is set
  std::uint64_t incomplete;  // after finish()
};

class StreamDecoderCutShots : public testing::TestWithParam<CutCase> {};

TEST_P(StreamDecoderCutShots, AreCountedFlaggedAndNeverDecoded) {
  const CutCase& c = GetParam();
  StreamDecoder stream = make(options(true));
  std::string decoded, flagged;
  for (auto [id, round] : c.frames) {
    OwnedFrame f = frame(id, round, {1, 0});
    ASSERT_TRUE(stream.push(f).has_value());
    decoded += f.prediction == FramePrediction::kDecoded ? 'D' : f.prediction == FramePrediction::kAwaitingShotEnd ? '.' : 'x';
    flagged += f.shot_incomplete ? '!' : ' ';
    EXPECT_EQ(f.observable_flips.has_value(), f.prediction == FramePrediction::kDecoded);
  }
  stream.finish();
  stream.finish();
  EXPECT_EQ(decoded, c.decoded);
  EXPECT_EQ(flagged, c.flagged);
  EXPECT_EQ(stream.incomplete_shots(), c.incomplete);
  EXPECT_EQ(stream.take_warnings().size(), c.incomplete);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, StreamDecoderCutShots,
    testing::Values(
        CutCase{"whole", {{0, 0}, {1, 1}, {2, 2}, {3, 0}, {4, 1}, {5, 2}}, "..D..D", "      ", 0},
        CutCase{"round_reset", {{0, 0}, {1, 1}, {2, 0}, {3, 1}, {4, 2}}, "....D", "  !  ", 1},
        CutCase{"round_gap", {{0, 0}, {1, 2}, {2, 0}, {3, 1}, {4, 2}}, ".x..D", " !   ", 1},
        CutCase{"frame_id_jump", {{0, 0}, {1, 1}, {5, 2}, {6, 0}, {7, 1}, {8, 2}}, "..x..D", "  !   ", 1},
        CutCase{"jump_between_shots", {{0, 0}, {1, 1}, {2, 2}, {9, 0}, {10, 1}, {11, 2}}, "..D..D", "   !  ", 1},
        CutCase{"starts_mid_shot", {{4, 1}, {5, 2}, {6, 0}, {7, 1}, {8, 2}}, "xx..D", "!!   ", 1},
        CutCase{"ends_mid_shot", {{0, 0}, {1, 1}, {2, 2}, {3, 0}}, "..D.", "    ", 1},
        CutCase{"broken_then_reset", {{0, 0}, {1, 2}, {2, 0}, {3, 2}, {4, 0}}, ".x.x.", " ! ! ", 3}),
    [](const auto& info) { return std::string(info.param.name); });

struct StrictCase {
  const char* name;
  StreamDecodeOptions options;
  OwnedFrame first;
  const char* error;  // the strict configuration's error
};

TEST(StreamDecoder, WrongLayoutsFailInStrictModesAndWarnOnceByDefault) {
  auto table = FrameLayout::table(kRounds, kAncillas, std::vector<std::int64_t>{0, 1, 2, 3, 4, 5}, 6);
  ASSERT_TRUE(table.has_value());
  const std::vector<StrictCase> cases = {
      {"too shallow", options(true, 2), frame(0, 0, {0, 0}),
       "the window covers 2 rounds x 2 ancillas = 4 detectors, but the model has 6 detectors; pass window_depth or "
       "layout= to cover them"},
      {"inferred depth", options(true), frame(0, 0, {0, 0, 0, 0}),
       "the window covers 1 rounds x 4 ancillas = 4 detectors, but the model has 6 detectors; pass window_depth or "
       "layout= to cover them"},
      {"ancillas", options(false, 0, *table), frame(3, 0, {0, 0, 0}), "frame 3 has 3 ancillas, but the layout has 2 per round"},
      {"round", options(true, 0, *table), frame(4, 3, {0, 0}),
       "frame 4 has round 3, but the layout has 3 rounds (0 to 2)"},
  };
  for (const StrictCase& c : cases) {
    StreamDecoder stream = make(c.options);
    OwnedFrame f = c.first;
    auto pushed = stream.push(f);
    ASSERT_FALSE(pushed.has_value()) << c.name;
    EXPECT_EQ(pushed.error().to_string(), c.error);
  }
  EXPECT_FALSE(StreamDecoder::create(repetition_graph(), options(false, 2, *table)).has_value());

  // The default positional sliding mode decodes anyway and warns once for each kind of mismatch.
  StreamDecoder loose = make(options(false, 2));
  for (std::uint32_t i = 0; i < 4; ++i) {
    OwnedFrame f = frame(i, i, std::vector<std::uint8_t>(i < 2 ? 2 : 3, 1));
    ASSERT_TRUE(loose.push(f).has_value());
    EXPECT_EQ(f.prediction, FramePrediction::kDecoded);
  }
  const std::vector<std::string> warnings = loose.take_warnings();
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_NE(warnings[0].find("2 rounds x 2 ancillas = 4 detectors, but the model has 6"), std::string::npos);
  EXPECT_NE(warnings[1].find("frame 2 has 3 ancillas, but the layout has 2 per round"), std::string::npos);
}

}  // namespace
}  // namespace kelvane
