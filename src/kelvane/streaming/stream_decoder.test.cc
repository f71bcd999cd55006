#include "kelvane/streaming/stream_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kelvane/core/window.h"
#include "kelvane/dem/parser.h"
#include "kelvane/streaming/stream_test_graphs.h"

namespace kelvane {
namespace {

constexpr std::size_t kAncillas = 2;
constexpr std::size_t kRounds = 3;

// A distance-3 repetition code over three rounds: detector r * 2 + a, space edges along each
// round (L0 on the left boundary), time edges between rounds, one measurement-error edge per pair.
// `space` and `time` are the two kinds' probabilities.
// `logical` names the observable of the left boundary edges.
std::shared_ptr<const SpacetimeGraph> repetition_graph(const std::string& space = "0.1",
                                                       const std::string& time = "0.05",
                                                       const std::string& logical = "L0") {
  std::string text;
  for (std::size_t r = 0; r < kRounds; ++r) {
    const std::size_t d0 = r * kAncillas, d1 = d0 + 1;
    text += "error(" + space + ") D" + std::to_string(d0) + " " + logical + "\n";
    text += "error(" + space + ") D" + std::to_string(d0) + " D" + std::to_string(d1) + "\n";
    text += "error(" + space + ") D" + std::to_string(d1) + "\n";
    if (r + 1 < kRounds) {
      text += "error(" + time + ") D" + std::to_string(d0) + " D" + std::to_string(d0 + kAncillas) + "\n";
      text += "error(" + time + ") D" + std::to_string(d1) + " D" + std::to_string(d1 + kAncillas) + "\n";
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

// A model of more than 64 observables: the frame carrying a prediction has every observable
// (here L200, where the narrow model has L0) and the model's observable count; the 64-bit mask
// holds none of them.
TEST(StreamDecoder, PerShotPredictionsOfWideModelsHoldEveryObservable) {
  for (const bool per_shot : {true, false}) {
    auto narrow = StreamDecoder::create(repetition_graph(), options(per_shot, kRounds));
    auto wide = StreamDecoder::create(repetition_graph("0.1", "0.05", "L200"), options(per_shot, kRounds));
    ASSERT_TRUE(narrow && wide);
    std::mt19937 rng(11);
    for (std::uint64_t id = 0; id < 300; ++id) {
      std::vector<std::uint8_t> events(kAncillas);
      for (auto& e : events) e = rng() % 3 == 0;
      OwnedFrame a = frame(id, static_cast<std::uint32_t>(id % kRounds), events), b = a;
      ASSERT_TRUE(narrow->push(a) && wide->push(b));
      ASSERT_EQ(a.observable_flips.has_value(), b.observable_flips.has_value());
      if (!b.observable_flips) continue;
      EXPECT_EQ(a.model_observables, 1u);
      EXPECT_EQ(b.model_observables, 201u);
      EXPECT_EQ(*b.observable_flips, 0u);
      ObservableBits expected;
      if (*a.observable_flips & 1) expected.flip(200);
      EXPECT_EQ(b.observable_bits, expected) << id;
    }
  }
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

// Learning while decoding shot by shot: each block of shots' counts are the counts of those
// shots, offered on the frame that completes the block only; the model swapped in then decodes
// the next shots, and a model with other detectors is refused without disturbing the stream.
TEST(StreamDecoder, LearningBlocksAndModelSwapsBetweenShots) {
  StreamDecoder stream = make(options(true));
  const std::vector<CorrelationCounter::Pair> pairs = {{0, 1}, {0, 2}, {1, 3}, {4, 4}};
  stream.gather_for_learning(pairs, 4);
  CorrelationCounter reference(kRounds * kAncillas, pairs);
  const std::vector<std::shared_ptr<const SpacetimeGraph>> models = {repetition_graph(), repetition_graph("0.3", "0.01"),
                                                                     repetition_graph("0.02", "0.4")};
  std::size_t now = 0;
  std::mt19937 rng(3);
  std::uint64_t id = 0;
  for (int shot = 0; shot < 11; ++shot) {
    std::vector<std::uint32_t> fired;
    std::vector<std::uint8_t> bits(kRounds * kAncillas, 0);
    for (std::uint32_t d = 0; d < bits.size(); ++d) {
      // Shot 0 fires nothing, shot 1 everything.
      bits[d] = shot == 1 || (shot > 1 && rng() % 3 == 0);
      if (bits[d]) fired.push_back(d);
    }
    reference.add_fired(fired);
    for (std::uint32_t r = 0; r < kRounds; ++r) {
      OwnedFrame f = frame(id++, r, {bits[r * kAncillas], bits[r * kAncillas + 1]});
      ASSERT_TRUE(stream.push(f).has_value());
      const bool block_done = r + 1 == kRounds && shot % 4 == 3;
      ASSERT_EQ(stream.learning_block() != nullptr, block_done) << shot << " " << r;
      if (r + 1 == kRounds) {
        UnionFindDecoder decoder(models[now]);
        EXPECT_EQ(*f.observable_flips, fired.empty() ? 0 : decoder.decode_detectors(fired)) << shot;
      }
      if (!block_done) continue;
      const CorrelationCounter& block = *stream.learning_block();
      EXPECT_EQ(block.shots(), 4u);
      EXPECT_TRUE(std::ranges::equal(block.fired(), reference.fired()));
      EXPECT_TRUE(std::ranges::equal(block.both_fired(), reference.both_fired()));
      reference.reset();
      ASSERT_TRUE(stream.replace_graph(models[++now]).has_value());
    }
  }
  EXPECT_EQ(stream.graph_replacements(), 2u);
  // A shot cut short (round 1 missing) is not counted; the next complete one is.
  stream.gather_for_learning(pairs, 1);
  for (std::uint32_t r : {0u, 2u}) {
    OwnedFrame f = frame(id += 2, r, {1, 0});
    ASSERT_TRUE(stream.push(f).has_value());
    EXPECT_EQ(stream.learning_block(), nullptr);
  }
  for (std::uint32_t r : {0u, 1u, 2u}) {
    OwnedFrame f = frame(++id, r, {0, 1});
    ASSERT_TRUE(stream.push(f).has_value());
  }
  ASSERT_NE(stream.learning_block(), nullptr);
  EXPECT_EQ(stream.learning_block()->fired()[0], 0u);  // only the complete shot's detectors
  EXPECT_EQ(stream.learning_block()->fired()[1], 1u);
  auto wider = std::make_shared<SpacetimeGraph>(*repetition_graph());
  wider->nodes.insert(wider->nodes.end() - 1, SpacetimeNode{});
  ++wider->boundary;
  EXPECT_FALSE(stream.replace_graph(wider).has_value());
  EXPECT_EQ(stream.graph_replacements(), 2u);
}

// In the sliding schedule a swap keeps the ring: the next frame decodes the rounds received
// before the swap with the new model.
TEST(StreamDecoder, SlidingSwapKeepsTheRoundsHeld) {
  StreamDecoder stream = make(options(false));
  SyndromeWindow window(kAncillas, kRounds);
  std::mt19937 rng(5);
  auto graph = repetition_graph();
  for (std::uint32_t i = 0; i < 60; ++i) {
    if (i % 20 == 10) {
      graph = repetition_graph(i % 40 == 10 ? "0.01" : "0.2", "0.45");
      ASSERT_TRUE(stream.replace_graph(graph).has_value());
    }
    OwnedFrame f = frame(i, i % kRounds, {static_cast<std::uint8_t>(rng() % 2), static_cast<std::uint8_t>(rng() % 2)});
    window.push_owned(syndrome_round_of(f));
    ASSERT_TRUE(stream.push(f).has_value());
    UnionFindDecoder reference(graph);
    EXPECT_EQ(*f.observable_flips, reference.decode_window(window).observable_flips) << i;
  }
}

// The schedule rules, checked before anything is built: the first rule broken names itself.
TEST(StreamDecoder, ScheduleRefusals) {
  struct Case {
    bool commit, buffer, layout;
    const char* refusal;  // a word of the refusal, or nullptr for none
  };
  for (const Case& c : std::vector<Case>{{false, false, false, nullptr},
                                         {true, true, true, nullptr},
                                         {true, false, true, "both commit and buffer"},
                                         {false, true, false, "both commit and buffer"},
                                         {true, true, false, "needs layout="}}) {
    auto refused = schedule_refusal(c.commit, c.buffer, c.layout);
    ASSERT_EQ(refused.has_value(), c.refusal != nullptr) << c.commit << c.buffer << c.layout;
    if (refused) {
      EXPECT_NE(refused->find(c.refusal), std::string::npos) << *refused;
    }
  }
}

// Following a growing source, the end of the data leaves the shot open: the frames that arrive
// afterwards complete it, and it decodes as if the data had never paused.
TEST(StreamDecoder, EndOfDataLeavesAFollowedShotOpen) {
  for (bool follow : {false, true}) {
    StreamDecodeOptions o = options(true);
    o.follow = follow;
    StreamDecoder stream = make(std::move(o));
    std::string decoded;
    for (std::uint32_t round = 0; round < kRounds; ++round) {
      OwnedFrame f = frame(round, round, {1, 0});
      ASSERT_TRUE(stream.push(f).has_value());
      decoded += f.prediction == FramePrediction::kDecoded ? 'D' : f.prediction == FramePrediction::kAwaitingShotEnd ? '.' : 'x';
      if (round == 0) stream.end_of_data();
    }
    EXPECT_EQ(decoded, follow ? "..D" : ".xx") << follow;
    EXPECT_EQ(stream.incomplete_shots(), follow ? 0u : 2u) << follow;
  }
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

// Endless windowed decoding (commit 2, buffer 2) of a chain of 3 detectors per round whose model
// has a one-round tail: a window [s, s + 4) is decoded once round s + 4 is in, so frames of
// stream rounds 4, 6, 8, ... carry commits.
SpacetimeGraph timed_chain_graph(std::uint32_t rounds) { return testing_graphs::chain_graph(rounds, 2.0f, 1.5f); }

struct EndlessCase {
  const char* name;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> frames;  // (frame_id, round)
  std::string decoded;    // per frame: 'D' carries a commit, '.' awaits one
  std::string flagged;    // per frame: '!' where window_incomplete is set
  std::uint64_t missing;  // rounds counted missing
  bool restarts;          // without restarts, flips must equal a stream with the gaps filled in
  const char* warning = "";  // how the one warning starts, if any
};

class StreamDecoderEndlessWindows : public testing::TestWithParam<EndlessCase> {};

TEST_P(StreamDecoderEndlessWindows, PlaceFramesByRoundAndFlagCommitsMissingOne) {
  const EndlessCase& c = GetParam();
  constexpr std::uint32_t kModelRounds = 8;
  const auto graph = std::make_shared<const SpacetimeGraph>(timed_chain_graph(kModelRounds));
  std::vector<std::int64_t> entries(3 * kModelRounds);
  for (std::size_t k = 0; k < entries.size(); ++k) entries[k] = static_cast<std::int64_t>(k);
  const auto layout = FrameLayout::table(kModelRounds, 3, entries, graph->boundary).value();
  StreamDecodeOptions o = options(false, 0, layout);
  o.windows = std::make_shared<WindowedFrames>(WindowedFrames::create(*graph, layout, 2, 2, false).value());
  StreamDecoder stream = StreamDecoder::create(graph, o).value();
  // The same frames with every missing round pushed as a quiet frame.
  auto filled = WindowedFrames::create(*graph, layout, 2, 2, false).value();
  filled.start();
  std::mt19937 rng(3);
  std::string decoded, flagged;
  std::optional<std::uint32_t> previous;
  for (auto [id, round] : c.frames) {
    OwnedFrame f = frame(id, round, {static_cast<std::uint8_t>(rng() % 3 == 0), static_cast<std::uint8_t>(rng() % 3 == 0),
                                     static_cast<std::uint8_t>(rng() % 3 == 0)});
    ASSERT_TRUE(stream.push(f).has_value());
    decoded += f.prediction == FramePrediction::kDecoded ? 'D' : '.';
    flagged += f.window_incomplete ? '!' : ' ';
    if (c.restarts) continue;
    for (std::uint32_t k = previous ? round - *previous - 1 : 0; k > 0; --k) ASSERT_TRUE(filled.push_quiet().has_value());
    previous = round;
    ASSERT_TRUE(filled.push(f).has_value());
    if (f.observable_flips) {
      EXPECT_EQ(*f.observable_flips, filled.committed_flips()) << "frame " << id;
    }
  }
  EXPECT_EQ(decoded, c.decoded);
  EXPECT_EQ(flagged, c.flagged);
  EXPECT_EQ(stream.missing_rounds(), c.missing);
  const std::vector<std::string> warnings = stream.take_warnings();
  ASSERT_EQ(warnings.size(), c.missing ? 1u : 0u);  // once per stream
  if (c.missing) {
    EXPECT_TRUE(warnings[0].starts_with(c.warning)) << warnings[0];
  }
}

constexpr std::uint32_t kLast = 0xFFFFFFFF;  // the last round before the 32-bit round wraps

INSTANTIATE_TEST_SUITE_P(
    Sequences, StreamDecoderEndlessWindows,
    testing::Values(
        EndlessCase{"whole", {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}}, "....D.D", "       ", 0, false},
        EndlessCase{"round_missing",
                    {{0, 0}, {1, 1}, {2, 2}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}, {9, 9}, {10, 10}},
                    "...D.D.D.D", "   ! !    ", 1, false, "frame 4 has round 4 after round 2: 1 round missing"},
        EndlessCase{"two_gaps", {{0, 0}, {1, 2}, {2, 3}, {3, 5}, {4, 6}, {5, 7}, {6, 8}, {7, 9}, {8, 10}},
                    "...DD.D.D", "   !! !  ", 2, false, "frame 1 has round 2 after round 0: 1 round missing"},
        EndlessCase{"round_wraps", {{7, kLast - 2}, {8, kLast - 1}, {9, kLast}, {10, 0}, {11, 1}, {12, 2}, {13, 3}},
                    "....D.D", "       ", 0, false},
        EndlessCase{"gap_across_the_wrap", {{7, kLast - 2}, {8, kLast - 1}, {9, kLast}, {11, 1}, {12, 2}, {13, 3}, {14, 4}},
                    "...D.D.", "   ! ! ", 1, false, "frame 11 has round 1 after round 4294967295: 1 round"},
        // A restart drops the rounds received but not committed: 4 of 6 here, and 2 of 2.
        EndlessCase{"round_0_restarts", {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 0}, {7, 1}, {8, 2}, {9, 3}, {10, 4}},
                    "....D.....D", "           ", 4, true,
                    "frame 6 has round 0 after round 5, which restarts the endless stream: 4 rounds not yet"},
        EndlessCase{"round_0_after_the_last_without_the_next_id", {{0, kLast - 1}, {1, kLast}, {5, 0}}, "...", "   ", 2,
                    true, "frame 5 has round 0 after round 4294967295, which restarts"},
        EndlessCase{"round_backwards", {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 2}}, ".....", "     ", 4, true,
                    "frame 4 has round 2 after round 3, which restarts"},
        EndlessCase{"gap_too_long", {{0, 0}, {1, 1}, {2, StreamDecoder::kMaxQuietGap + 3}}, "...", "   ",
                    StreamDecoder::kMaxQuietGap + 1 + 2, true, "frame 2 has round 65539 after round 1: 65537 rounds missing, too many"}),
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

namespace kelvane {
namespace {

// Round-0 frames of a stream that describes itself name its layout by CRC-32 (the low half of
// their description hash): the decoder's own layout passes, another fails strict configurations
// and is warned about once by the positional one whose depth is inferred.
TEST(StreamDecoder, FramesNamingAnotherLayoutAreRefusedOrWarnedAbout) {
  const FrameLayout positional = FrameLayout::positional(kRounds, kAncillas);
  // As the Python writer stores it: zlib.crc32(struct.pack("<II6i", 3, 2, 0, 1, 2, 3, 4, 5)).
  ASSERT_EQ(layout_crc(positional), 0xf5b39535u);
  EXPECT_EQ(layout_crc(FrameLayout::positional(std::size_t{1} << 40, kAncillas)), std::nullopt);  // never stored
  const std::int64_t ids[] = {0, 1, 2, 3, 4, 5};
  ASSERT_EQ(layout_crc(*FrameLayout::table(kRounds, kAncillas, ids, 6)), 0xf5b39535u);
  const std::uint32_t own = 0xf5b39535u, other = own ^ 1;
  struct Case {
    StreamDecodeOptions o;
    std::uint32_t named;
    bool fails;
    std::size_t warnings;
  } cases[] = {
      {options(true), own, false, 0},           {options(true), other, true, 0},
      {options(false, 0, positional), other, true, 0},
      {options(false), other, false, 1},        // inferred depth: one warning for both frames
      {options(false, kRounds), other, false, 0},  // a chosen depth claims nothing
      {options(true), 0, false, 0},             // the stream stores no layout
  };
  for (const Case& c : cases) {
    StreamDecoder stream = make(c.o);
    for (std::uint64_t id : {0, 3}) {
      OwnedFrame f = frame(id, 0, {0, 0});
      f.description_hash = std::uint64_t{0x1234} << 32 | c.named;
      auto pushed = stream.push(f);
      EXPECT_EQ(!pushed, c.fails);
      if (!pushed) {
        EXPECT_EQ(pushed.error().kind, LayoutError::Kind::kDescriptionMismatch);
        EXPECT_NE(pushed.error().to_string().find("f5b39534 against CRC-32 f5b39535"), std::string::npos);
      }
    }
    const std::vector<std::string> warnings = stream.take_warnings();
    EXPECT_EQ(std::count_if(warnings.begin(), warnings.end(),
                            [](const std::string& w) { return w.find("another layout") != std::string::npos; }),
              static_cast<std::ptrdiff_t>(c.warnings));
  }
}

}  // namespace
}  // namespace kelvane

namespace kelvane {
namespace {

// Detectors two per time step: a positional rule over 3 ancillas mixes times, over 2 it does not.
// The warning comes when the width is known: at expect_ancillas, or else at the first frame.
TEST(StreamDecoder, PositionalRuleAgainstTimesIsWarnedWhenTheWidthIsKnown) {
  std::string text;
  for (int d = 0; d < 6; ++d) {
    text += "detector(" + std::to_string(d % 2) + ", " + std::to_string(d / 2) + ") D" + std::to_string(d) + "\n";
    text += "error(0.1) D" + std::to_string(d) + (d == 0 ? " L0\n" : "\n");
  }
  const auto graph = std::make_shared<const SpacetimeGraph>(SpacetimeGraph::from_dem(*DetectorErrorModel::parse(text)));
  struct Case {
    std::optional<std::size_t> expected;  // the width given before the first frame
    std::size_t frame_width;
    std::size_t at_expect, at_frame;  // warnings about the rule
  } cases[] = {{3, 3, 1, 0}, {std::nullopt, 3, 0, 1}, {2, 3, 0, 1}, {2, 2, 0, 0}};
  auto rule_warnings = [](StreamDecoder& d) {
    const std::vector<std::string> w = d.take_warnings();
    return static_cast<std::size_t>(std::count_if(w.begin(), w.end(), [](const std::string& s) {
      return s.find("positional rule") != std::string::npos;
    }));
  };
  for (const Case& c : cases) {
    StreamDecoder d = *StreamDecoder::create(graph, options(false));
    if (c.expected) d.expect_ancillas(*c.expected);
    EXPECT_EQ(rule_warnings(d), c.at_expect);
    OwnedFrame f = frame(0, 0, std::vector<std::uint8_t>(c.frame_width, 0));
    ASSERT_TRUE(d.push(f).has_value());
    EXPECT_EQ(rule_warnings(d), c.at_frame);
  }
}

}  // namespace
}  // namespace kelvane
