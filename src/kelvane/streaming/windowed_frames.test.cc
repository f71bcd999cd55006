#include "kelvane/streaming/windowed_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "kelvane/streaming/stream_test_graphs.h"

namespace kelvane {
namespace {

// The chain of 3 detectors a round, every edge of probability 0.1.
SpacetimeGraph chain_graph(std::uint32_t rounds) {
  return testing_graphs::chain_graph(rounds, std::log(9.0f), std::log(9.0f));
}

// Frame ancilla a of round r is detector r * 3 + (2 - a): the slots in reverse.
std::vector<std::int64_t> reversed_layout(std::uint32_t rounds) {
  std::vector<std::int64_t> entries;
  for (std::uint32_t r = 0; r < rounds; ++r) {
    for (std::int64_t a = 0; a < 3; ++a) entries.push_back(3 * r + 2 - a);
  }
  return entries;
}

// Each shot commits what decoding it whole would; the detectors its commits flip, taken step by
// step and mapped back through the (reversed) layout, are the frames' fired ancillas, since every
// detector of the chain reaches the boundary and so every window's correction reproduces it.
TEST(WindowedFrames, FramesDecodeLikeTheShotTheyMakeUp) {
  constexpr std::uint32_t kRounds = 12;
  const SpacetimeGraph g = chain_graph(kRounds);
  const auto layout = FrameLayout::table(kRounds, 3, reversed_layout(kRounds), g.boundary).value();
  auto frames = WindowedFrames::create(g, layout, 2, 3, /*shots=*/true).value();
  frames.keep_detector_flips(true);
  std::vector<WindowedFrames::AncillaFlip> step_flips;
  auto model = std::make_shared<const SlidingWindowModel>(SlidingWindowModel::build(g, detector_rounds(g).value()).value());
  auto reference = SlidingWindowDecoder::create(model, 2, 3).value();
  std::mt19937 rng(5);
  for (int shot = 0; shot < 50; ++shot) {
    std::vector<std::uint32_t> fired;
    std::set<std::pair<RoundIndex, std::uint32_t>> fired_ancillas, flipped;
    frames.start();
    int steps = 0;
    for (std::uint32_t r = 0; r < kRounds; ++r) {
      OwnedFrame frame;
      frame.round = r;
      frame.detector_events.assign(3, 0);
      for (std::uint32_t a = 0; a < 3; ++a) {
        if (rng() % 7 == 0) {
          frame.detector_events[a] = 1;
          fired.push_back(3 * r + 2 - a);
          fired_ancillas.emplace(r, a);
        }
      }
      steps += frames.push(frame).value();
      frames.take_detector_flips(step_flips);
      for (const auto& f : step_flips) {
        if (!flipped.erase({f.round, f.ancilla})) flipped.emplace(f.round, f.ancilla);
      }
      EXPECT_EQ(frames.held_rounds(), r + 1 < kRounds ? r + 1 - 2 * steps : 0) << "round " << r;
    }
    EXPECT_EQ(steps, 5);  // windows [0, 5) to [6, 11), then the shot's end
    EXPECT_FALSE(frames.running());
    ASSERT_EQ(frames.committed_flips(), reference.decode_shot(fired).value()) << "shot " << shot;
    EXPECT_EQ(flipped, fired_ancillas) << "shot " << shot;
  }
}

// With two threads the frames are decoded in core and seam windows: each shot (quiet, every
// detector fired, then sampled) predicts what a two-thread decoder fed the same rounds predicts.
TEST(WindowedFrames, TwoThreadsDecodeLikeCoreAndSeamWindows) {
  constexpr std::uint32_t kRounds = 30;
  const SpacetimeGraph g = chain_graph(kRounds);
  const auto layout = FrameLayout::table(kRounds, 3, reversed_layout(kRounds), g.boundary).value();
  auto frames = WindowedFrames::create(g, layout, 2, 3, /*shots=*/true, false, 2).value();
  EXPECT_EQ(frames.threads(), 2u);
  auto model = std::make_shared<const SlidingWindowModel>(SlidingWindowModel::build(g, detector_rounds(g).value()).value());
  auto parallel = SlidingWindowDecoder::create(model, 2, 3, false, 2).value();
  auto sequential = SlidingWindowDecoder::create(model, 2, 3).value();
  std::mt19937 rng(9);
  int differ = 0;
  for (int shot = 0; shot < 60; ++shot) {
    std::vector<std::uint32_t> fired;
    frames.start();
    for (std::uint32_t r = 0; r < kRounds; ++r) {
      OwnedFrame frame;
      frame.round = r;
      frame.detector_events.assign(3, 0);
      for (std::uint32_t a = 0; a < 3; ++a) {
        if (shot == 1 || (shot > 1 && rng() % 5 == 0)) {
          frame.detector_events[a] = 1;
          fired.push_back(3 * r + 2 - a);
        }
      }
      ASSERT_TRUE(frames.push(frame).has_value());
    }
    EXPECT_FALSE(frames.running());
    std::sort(fired.begin(), fired.end());
    ASSERT_EQ(frames.committed_flips(), parallel.decode_shot(fired).value()) << "shot " << shot;
    differ += frames.committed_flips() != sequential.decode_shot(fired).value();
  }
  EXPECT_GT(differ, 0);  // the core and seam windows were in use, not one thread's
}

TEST(WindowedFrames, LayoutRowsMustBeTheModelsRounds) {
  const SpacetimeGraph g = chain_graph(6);
  const auto short_layout = FrameLayout::table(5, 3, reversed_layout(5), g.boundary).value();
  EXPECT_FALSE(WindowedFrames::create(g, short_layout, 2, 2, true).has_value());
  std::vector<std::int64_t> swapped = reversed_layout(6);
  std::swap(swapped[0], swapped[3]);  // a detector of round 1 in row 0
  const auto wrong = FrameLayout::table(6, 3, swapped, g.boundary).value();
  const auto error = WindowedFrames::create(g, wrong, 2, 2, true);
  ASSERT_FALSE(error.has_value());
  EXPECT_NE(error.error().to_string().find("layout entry [0, 0] is detector 5"), std::string::npos);
}

}  // namespace
}  // namespace kelvane
