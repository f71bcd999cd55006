#include "kelvane/decoder/sliding_window.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

#include "kelvane/decoder/sliding_test_graphs.h"

namespace kelvane {
namespace {
using namespace testing_graphs;

// The graph's weights rounded to whole numbers: many equal weights, so the decoder's ties decide.
std::shared_ptr<const SpacetimeGraph> whole_weights(const SpacetimeGraph& g) {
  auto rounded = std::make_shared<SpacetimeGraph>(g);
  for (SpacetimeEdge& e : rounded->edges) e.weight = std::round(e.weight);
  return rounded;
}

// Pushes a shot of the model round by round into a stream of unknown length, then finishes it.
std::uint64_t stream_shot(SlidingWindowDecoder& d, const std::vector<std::uint32_t>& fired, std::uint32_t width) {
  EXPECT_TRUE(d.start(std::nullopt).has_value());
  const auto rounds = static_cast<std::uint32_t>(d.model().detector_count()) / width;
  for (const std::vector<RoundSlot>& round : fired_rounds(fired, width, rounds)) {
    EXPECT_TRUE(d.push_round(round).has_value());
  }
  EXPECT_TRUE(d.finish().has_value());
  return d.committed_flips();
}

// The windows depend only on the stream: two threads, three threads, a known or unknown length
// (rounds arriving one by one, steps batched differently) decode every shot alike. Shots
// include the empty and the full syndrome, on weights with ties and on p > 0.5 (negative
// weights, decoded through the baseline correction).
TEST(CoreAndSeamWindows, PredictionsDependOnlyOnTheStream) {
  constexpr std::uint32_t kWidth = 5, kRounds = 31;
  for (auto [p, period, ties] : {std::tuple{0.03, 1u, false}, std::tuple{0.03, 2u, true}, std::tuple{0.6, 1u, false},
                                 std::tuple{0.2, 2u, true}}) {
    auto g = repetition_graph(kWidth, kRounds, p, period);
    if (ties) g = whole_weights(*g);
    const auto model = model_of(*g);
    std::mt19937_64 rng(5);
    std::vector<Shot> shots{Shot{}, Shot{}};
    for (std::uint32_t k = 0; k < g->boundary; ++k) shots[1].fired.push_back(k);
    for (int s = 0; s < 60; ++s) shots.push_back(sample(*g, rng));
    for (auto [commit, buffer] : {std::pair{3u, 3u}, std::pair{2u, 4u}, std::pair{1u, 0u}, std::pair{5u, 1u}}) {
      auto two = SlidingWindowDecoder::create(model, commit, buffer, false, 2).value();
      auto three = SlidingWindowDecoder::create(model, commit, buffer, false, 3).value();
      ASSERT_EQ(two.threads(), 2u);
      for (std::size_t s = 0; s < shots.size(); ++s) {
        const std::uint64_t expected = two.decode_shot(shots[s].fired).value();
        EXPECT_EQ(two.committed_rounds(), kRounds);
        ASSERT_EQ(three.decode_shot(shots[s].fired).value(), expected)
            << "p " << p << ", c " << commit << ", b " << buffer << ", shot " << s;
        ASSERT_EQ(stream_shot(three, shots[s].fired, kWidth), expected)
            << "p " << p << ", c " << commit << ", b " << buffer << ", shot " << s;
        if (s == 0 && p < 0.5) {
          EXPECT_EQ(expected, 0u);
        }
      }
      EXPECT_EQ(two.stats().rounds, shots.size() * kRounds);
    }
  }
}

// A single error anywhere, across the seams between cores too, is put right as one thread's
// sliding windows put it right: the windows do not disagree where they do not interact.
TEST(CoreAndSeamWindows, SingleErrorsDecodeLikeOneThread) {
  const auto g = repetition_graph(4, 25);
  const auto model = model_of(*g);
  for (auto [commit, buffer] : {std::pair{3u, 3u}, std::pair{4u, 2u}, std::pair{2u, 0u}}) {
    auto one = SlidingWindowDecoder::create(model, commit, buffer).value();
    auto two = SlidingWindowDecoder::create(model, commit, buffer, false, 2).value();
    for (const SpacetimeEdge& e : g->edges) {
      std::vector<std::uint32_t> fired;
      for (std::uint32_t node : {e.node_a, e.node_b}) {
        if (node < g->boundary) fired.push_back(node);
      }
      const std::uint64_t truth = DecodingGraph::mask_of(e.observables);
      ASSERT_EQ(one.decode_shot(fired).value(), truth);
      ASSERT_EQ(two.decode_shot(fired).value(), truth) << "c " << commit << ", b " << buffer << ", error "
                                                       << e.node_a << "-" << e.node_b;
    }
  }
}

// A stream far longer than the model: on two threads the logical failures are about as rare
// as on one (the bound is 1.1 times, with room for the sample's noise).
class CoreAndSeamLongStreams : public testing::TestWithParam<std::uint32_t> {};

TEST_P(CoreAndSeamLongStreams, FailAboutAsOftenAsOneThread) {
  constexpr std::uint32_t kWidth = 4, kRounds = 80;
  const std::uint32_t period = GetParam();
  const auto model = model_of(*repetition_graph(kWidth, 8, 0.03, period));
  const auto full = repetition_graph(kWidth, kRounds, 0.03, period);
  auto one = SlidingWindowDecoder::create(model, 3, 3).value();
  auto two = SlidingWindowDecoder::create(model, 3, 3, false, 2).value();
  std::mt19937_64 rng(11);
  int one_failures = 0, two_failures = 0;
  for (int trial = 0; trial < 600; ++trial) {
    const Shot shot = sample(*full, rng);
    ASSERT_TRUE(one.start(kRounds).has_value());
    ASSERT_TRUE(two.start(std::nullopt).has_value());
    const std::vector<std::vector<RoundSlot>> rounds = fired_rounds(shot.fired, kWidth, kRounds);
    for (std::uint32_t r = 0; r < kRounds; ++r) {
      const std::vector<RoundSlot>& round = rounds[r];
      ASSERT_TRUE(one.push_round(round).has_value());
      ASSERT_TRUE(two.push_round(round).has_value());
    }
    ASSERT_TRUE(two.finish().has_value());
    EXPECT_EQ(two.committed_rounds(), kRounds);
    one_failures += one.committed_flips() != shot.observables;
    two_failures += two.committed_flips() != shot.observables;
  }
  EXPECT_GT(one_failures, 20);  // the sample is large enough to tell
  EXPECT_LE(two_failures, one_failures * 11 / 10 + 8) << one_failures;
}

INSTANTIATE_TEST_SUITE_P(Periods, CoreAndSeamLongStreams, testing::Values(1u, 2u));

}  // namespace
}  // namespace kelvane
