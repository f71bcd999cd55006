#include "kelvane/decoder/sliding_window.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "kelvane/decoder/sliding_pool.h"
#include "kelvane/decoder/sliding_test_graphs.h"

namespace kelvane {
namespace {
using namespace testing_graphs;

TEST(SlidingWindowModel, SplitsHeadRepeatingBlockAndTail) {
  const auto m = model_of(*repetition_graph(4, 9));
  EXPECT_EQ(m->round_count(), 9u);
  EXPECT_EQ(m->head_rounds(), 1u);
  EXPECT_EQ(m->tail_rounds(), 1u);
  EXPECT_EQ(m->period(), 1u);
  EXPECT_EQ(m->max_reach(), 1u);
  EXPECT_EQ(m->min_stream_rounds(), 3u);
  EXPECT_EQ(m->round_edges(4).size(), 5u + 4u);
  EXPECT_EQ(m->model_round(0, 100), 0u);
  EXPECT_EQ(m->model_round(50, 100), 1u);
  EXPECT_EQ(m->model_round(99, 100), 8u);
  EXPECT_EQ(m->model_round(99, std::nullopt), 1u);

  // Rounds 1, 3, 5, 7 measure worse than 2, 4, 6: the block is two rounds long; round 7's edges
  // lead into the last round, whose own edges differ.
  const auto alternating = model_of(*repetition_graph(4, 9, 0.01, 2));
  EXPECT_EQ(alternating->period(), 2u);
  EXPECT_EQ(alternating->head_rounds(), 1u);
  EXPECT_EQ(alternating->tail_rounds(), 1u);
  EXPECT_EQ(alternating->model_round(50, 101), 2u);
  EXPECT_EQ(alternating->model_round(51, 101), 1u);
  EXPECT_TRUE(alternating->fits(101));
  EXPECT_FALSE(alternating->fits(100));
}

// Every window feature on one thread (sliding windows) and on two (open core windows and closed
// seam windows): a buffer covering the shot, observables past 64, correlated windows, the
// detectors the commits flip, and model swaps.
class OnThreads : public testing::TestWithParam<unsigned> {};

TEST_P(OnThreads, BufferCoveringTheShotDecodesLikeTheWholeModel) {
  const auto g = repetition_graph(5, 7);
  auto sliding = SlidingWindowDecoder::create(model_of(*g), 2, 7, false, GetParam()).value();
  UnionFindDecoder whole(g);
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<std::uint32_t> pick(0, static_cast<std::uint32_t>(g->boundary) - 1);
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<std::uint32_t> fired;
    for (int k = trial % 9; k > 0; --k) fired.push_back(pick(rng));
    ASSERT_EQ(sliding.decode_shot(fired).value(), whole.decode_detectors(fired)) << "trial " << trial;
  }
  EXPECT_EQ(sliding.stats().windows, 300u);
}

// The same model with observable 0 renamed 200: windows commit the same edges, and every
// observable of them (the 64-bit mask holds none).
TEST_P(OnThreads, WideModelsCommitEveryObservable) {
  const auto g = repetition_graph(5, 9);
  auto wide = std::make_shared<SpacetimeGraph>(*g);
  for (SpacetimeEdge& e : wide->edges) {
    for (std::uint8_t& k : e.observables) k = 200;
  }
  wide->num_observables = 201;
  auto narrow_sliding = SlidingWindowDecoder::create(model_of(*g), 2, 3, false, GetParam()).value();
  auto wide_sliding = SlidingWindowDecoder::create(model_of(*wide), 2, 3, false, GetParam()).value();
  std::mt19937_64 rng(3);
  std::uniform_int_distribution<std::uint32_t> pick(0, static_cast<std::uint32_t>(g->boundary) - 1);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<std::uint32_t> fired;
    for (int k = trial % 11; k > 0; --k) fired.push_back(pick(rng));
    const std::uint64_t narrow = narrow_sliding.decode_shot(fired).value();
    EXPECT_EQ(wide_sliding.decode_shot(fired).value(), 0u);
    ObservableBits expected;
    if (narrow & 1) expected.flip(200);
    EXPECT_EQ(wide_sliding.committed_bits(), expected) << "trial " << trial;
  }
}

// Commit and buffer far longer than any stream: the round ring grows with the rounds that
// arrive instead of being sized for commit + buffer rounds up front (2^33 rounds here).
TEST(SlidingWindowDecoder, HugeWindowsCostOnlyTheRoundsThatArrive) {
  const auto g = repetition_graph(5, 7);
  auto sliding = SlidingWindowDecoder::create(model_of(*g), ~0u, ~0u).value();
  UnionFindDecoder whole(g);
  std::mt19937_64 rng(3);
  for (int trial = 0; trial < 50; ++trial) {
    const Shot shot = sample(*g, rng);
    ASSERT_EQ(sliding.decode_shot(shot.fired).value(), whole.decode_detectors(shot.fired)) << "trial " << trial;
  }
}

// A stream far longer than the model: decoded in windows, and by a decoder holding the whole
// stream's graph; the logical failures must be about as rare.
class LongStreams : public testing::TestWithParam<std::uint32_t> {};

TEST_P(LongStreams, FailAboutAsOftenAsWholeDecoding) {
  constexpr std::uint32_t kWidth = 4, kRounds = 60;
  const std::uint32_t period = GetParam();
  const auto model = model_of(*repetition_graph(kWidth, 8, 0.05, period));
  const auto full = repetition_graph(kWidth, kRounds, 0.05, period);
  UnionFindDecoder whole(full);
  auto known = SlidingWindowDecoder::create(model, 3, 3).value();
  auto open = SlidingWindowDecoder::create(model, 3, 3).value();
  std::mt19937_64 rng(11);
  int sliding_failures = 0, whole_failures = 0, steps = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const Shot shot = sample(*full, rng);
    ASSERT_TRUE(known.start(kRounds).has_value());
    ASSERT_TRUE(open.start(std::nullopt).has_value());
    const std::vector<std::vector<RoundSlot>> rounds = fired_rounds(shot.fired, kWidth, kRounds);
    for (std::uint32_t r = 0; r < kRounds; ++r) {
      const std::vector<RoundSlot>& round = rounds[r];
      steps += known.push_round(round).value();
      ASSERT_TRUE(open.push_round(round).has_value());
    }
    ASSERT_TRUE(open.finish().has_value());
    EXPECT_FALSE(known.running());
    EXPECT_EQ(open.committed_flips(), known.committed_flips());
    sliding_failures += known.committed_flips() != shot.observables;
    whole_failures += whole.decode_detectors(shot.fired) != shot.observables;
  }
  EXPECT_GT(whole_failures, 5);  // the sample is large enough to tell
  EXPECT_LE(sliding_failures, whole_failures * 6 / 5 + 5);
  // Windows of the same rounds share one graph: the first, the middle ones (one per phase of the
  // block: windows start 3 rounds apart), the last.
  EXPECT_EQ(known.stats().window_graphs, 2u + period);
  EXPECT_EQ(known.stats().rounds, 400u * kRounds);
  EXPECT_EQ(steps, 400 * 19);  // 18 commit steps and the closing window per stream
  EXPECT_GE(known.stats().step.worst_ns(), known.stats().step.median_ns());
}

INSTANTIATE_TEST_SUITE_P(Periods, LongStreams, testing::Values(1u, 2u));

double probability_of(float weight) { return 1 / (1 + std::exp(double(weight))); }

// A model learned from shots has no repeating block of its own: with_weights_of puts its
// weights onto the given model's rounds, each repeating round taking the mean probability of
// the rounds of its phase (p > 0.5 included), the head and tail rounds their own.
TEST(SlidingWindowModel, WithWeightsOfPoolsTheRepeatingRounds) {
  constexpr std::uint32_t kWidth = 3, kRounds = 9;
  const auto given = model_of(*repetition_graph(kWidth, kRounds, 0.05, 2));
  ASSERT_EQ(given->period(), 2u);
  auto noisy = std::make_shared<SpacetimeGraph>(*repetition_graph(kWidth, kRounds, 0.05, 2));
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> u(0.001, 0.8);
  for (SpacetimeEdge& e : noisy->edges) e.weight = static_cast<float>(std::log((1 - u(rng)) / u(rng)));
  const auto learned = model_of(*noisy);
  const SlidingWindowModel pooled = given->with_weights_of(*learned).value();
  EXPECT_TRUE(given->same_shape(pooled));
  EXPECT_EQ(pooled.head_rounds(), given->head_rounds());
  EXPECT_EQ(pooled.tail_rounds(), given->tail_rounds());
  EXPECT_EQ(pooled.period(), 2u);
  const ModelRound run_end = kRounds - given->tail_rounds();
  for (ModelRound r = 0; r < kRounds; ++r) {
    for (std::size_t k = 0; k < pooled.round_edges(r).size(); ++k) {
      const float got = pooled.round_edges(r)[k].weight;
      if (r < given->head_rounds() || r >= run_end) {
        EXPECT_EQ(got, learned->round_edges(r)[k].weight);
        continue;
      }
      double sum = 0;
      int n = 0;
      for (ModelRound q = given->head_rounds() + (r - given->head_rounds()) % 2; q < run_end; q += 2, ++n) {
        sum += probability_of(learned->round_edges(q)[k].weight);
      }
      EXPECT_NEAR(probability_of(got), sum / n, 1e-6) << r << " " << k;
    }
  }
  // The model onto itself changes no weight, not even by rounding.
  const SlidingWindowModel same = given->with_weights_of(*given).value();
  for (ModelRound r = 0; r < kRounds; ++r) {
    for (std::size_t k = 0; k < same.round_edges(r).size(); ++k) {
      EXPECT_EQ(same.round_edges(r)[k].weight, given->round_edges(r)[k].weight);
    }
  }
  EXPECT_FALSE(given->with_weights_of(*model_of(*repetition_graph(kWidth + 1, kRounds))).has_value());
  EXPECT_FALSE(given->with_weights_of(*model_of(*repetition_graph(kWidth, kRounds + 1))).has_value());
}

// Replacing the model between rounds keeps the rounds held and the commits: the same model again,
// every few rounds of a long stream, changes no commit; a new model between shots decodes as a
// decoder made with it (window graphs built with the old weights are dropped). Another shape
// is refused.
// With two threads, core windows decoded past the committed rounds are undone at each swap and
// decoded again: the same model again must then commit exactly what it did.
TEST_P(OnThreads, ReplaceModelKeepsTheStreamAndUsesTheNewWeights) {
  constexpr std::uint32_t kWidth = 4, kLong = 120;
  const unsigned threads = GetParam();
  const auto a = model_of(*repetition_graph(kWidth, 8, 0.05));
  const auto b = model_of(*repetition_graph(kWidth, 8, 0.3));
  auto swapped = SlidingWindowDecoder::create(a, 2, 3, false, threads).value();
  auto plain = SlidingWindowDecoder::create(a, 2, 3, false, threads).value();
  auto fresh = SlidingWindowDecoder::create(b, 2, 3, false, threads).value();
  const auto full = repetition_graph(kWidth, kLong, 0.1);
  std::mt19937_64 rng(9);
  for (int trial = 0; trial < 20; ++trial) {
    const Shot shot = sample(*full, rng);
    ASSERT_TRUE(swapped.start(std::nullopt).has_value());
    ASSERT_TRUE(plain.start(std::nullopt).has_value());
    const std::vector<std::vector<RoundSlot>> rounds = fired_rounds(shot.fired, kWidth, kLong);
    for (std::uint32_t r = 0; r < kLong; ++r) {
      const std::vector<RoundSlot>& round = rounds[r];
      if (r % 7 == 3) ASSERT_TRUE(swapped.replace_model(std::make_shared<const SlidingWindowModel>(*a)).has_value());
      ASSERT_TRUE(swapped.push_round(round).has_value() && plain.push_round(round).has_value());
      ASSERT_EQ(swapped.committed_rounds(), plain.committed_rounds()) << trial << " " << r;
      ASSERT_EQ(swapped.committed_flips(), plain.committed_flips()) << trial << " " << r;
    }
    ASSERT_TRUE(swapped.finish().has_value() && plain.finish().has_value());
    ASSERT_EQ(swapped.committed_flips(), plain.committed_flips()) << trial;
  }
  // Two threads: swaps found decoded cores past the committed rounds and decoded them again.
  EXPECT_EQ(swapped.stats().windows > plain.stats().windows, threads > 1);
  const auto shots = repetition_graph(kWidth, 8, 0.2);
  int differ = 0;
  for (int trial = 0; trial < 200; ++trial) {
    const Shot shot = sample(*shots, rng);
    if (trial == 100) ASSERT_TRUE(swapped.replace_model(b).has_value());
    const auto want = (trial < 100 ? plain : fresh).decode_shot(shot.fired).value();
    differ += trial >= 100 && want != plain.decode_shot(shot.fired).value();
    ASSERT_EQ(swapped.decode_shot(shot.fired).value(), want) << trial;
  }
  EXPECT_GT(differ, 0);  // the two models decode some shots differently
  EXPECT_FALSE(swapped.replace_model(model_of(*repetition_graph(kWidth + 1, 8))).has_value());
  EXPECT_FALSE(swapped.replace_model(nullptr).has_value());
}

// The repetition memory with decomposed mechanisms spanning two rounds: each fires the pair
// (r, k)-(r, k + 1) and detector (r + 1, k) with the boundary and observable 0, with
// probability `pm`.
std::shared_ptr<const SpacetimeGraph> correlated_repetition_graph(std::uint32_t width, std::uint32_t rounds, double p,
                                                                  double pm) {
  auto g = std::make_shared<SpacetimeGraph>(*repetition_graph(width, rounds, p));
  g->keeps_mechanisms = true;
  const auto w = static_cast<float>(std::log((1 - pm) / pm));
  for (std::uint32_t r = 0; r + 1 < rounds; ++r) {
    for (std::uint32_t k = 0; k + 1 < width; ++k) {
      g->mechanisms.push_back({static_cast<std::uint32_t>(g->edges.size()), 2, pm});
      g->edges.push_back({{}, r * width + k, r * width + k + 1, w});
      g->edges.push_back({{0}, (r + 1) * width + k, width * rounds, w});
    }
  }
  return g;
}

// With a buffer covering the shot, correlated windows decode as the whole model does in two
// passes, on sampled, empty and full syndromes, with likely (p > 0.5) first-round edges too. The
// mechanisms' names keep the repeating block (a round after the head names mechanisms of a
// head round, so the head grows by that round).
TEST_P(OnThreads, CorrelatedWindowsCoveringTheShotDecodeLikeTheWholeModel) {
  for (double p : {0.03, 0.3}) {
    const auto g = correlated_repetition_graph(5, 9, p, p / 1.5);
    const auto model = model_of(*g);
    EXPECT_TRUE(model->keeps_mechanisms());
    EXPECT_EQ(model->head_rounds(), 2u);
    EXPECT_EQ(model->tail_rounds(), 1u);
    EXPECT_EQ(model->period(), 1u);
    auto sliding = SlidingWindowDecoder::create(model, 2, 9, true, GetParam()).value();
    UnionFindDecoder whole(g);
    EXPECT_EQ(whole.decoding_graph()->has_baseline(), p > 0.25);
    std::mt19937_64 rng(5);
    int changed = 0;
    for (int trial = 0; trial < 300; ++trial) {
      std::vector<std::uint32_t> fired = sample(*g, rng).fired;
      if (trial == 0) fired.clear();
      if (trial == 1) {
        for (std::uint32_t k = 0; k < g->boundary; ++k) fired.push_back(k);
      }
      const std::uint64_t expected = whole.decode_detectors(fired, true);
      changed += expected != whole.decode_detectors(fired);
      ASSERT_EQ(sliding.decode_shot(fired).value(), expected) << "p " << p << " trial " << trial;
    }
    EXPECT_GT(changed, 10) << p;
  }
  const auto plain = model_of(*repetition_graph(5, 9));
  EXPECT_FALSE(plain->keeps_mechanisms());
  EXPECT_FALSE(SlidingWindowDecoder::create(plain, 2, 2, true).has_value());
}

// Over a whole stream the detectors the commits flip are the fired ones (every window's
// correction reproduces its syndrome on this model), correlated windows or not, in windows too
// short to cover the shot.
TEST_P(OnThreads, DetectorFlipsOfAStreamAreItsFiredDetectors) {
  constexpr std::uint32_t kWidth = 5, kRounds = 40;
  const auto g = correlated_repetition_graph(kWidth, kRounds, 0.04, 0.03);
  for (const bool correlated : {false, true}) {
    auto d = SlidingWindowDecoder::create(model_of(*g), 2, 2, correlated, GetParam()).value();
    d.keep_detector_flips(true);
    std::mt19937_64 rng(13);
    std::vector<SlidingWindowDecoder::StreamDetector> flips;
    for (int trial = 0; trial < 40; ++trial) {
      std::vector<std::uint32_t> fired = sample(*g, rng).fired;
      if (trial == 1) fired.clear();
      if (trial == 2) {
        fired.clear();
        for (std::uint32_t k = 0; k < g->boundary; ++k) fired.push_back(k);
      }
      ASSERT_TRUE(d.decode_shot(fired).has_value());
      d.take_detector_flips(flips);
      std::vector<SlidingWindowDecoder::StreamDetector> expected;
      for (std::uint32_t k : fired) expected.push_back({k / kWidth, k % kWidth});
      ASSERT_EQ(flips, expected) << "trial " << trial << (correlated ? ", correlated" : "");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, OnThreads, testing::Values(1u, 2u));

TEST(SlidingDecoderPool, BatchesDecodeLikeFreshDecodersOnAnyThreadCount) {
  const auto g = repetition_graph(5, 12, 0.03);
  std::mt19937_64 rng(17);
  const std::size_t width = g->boundary, shots = 200;
  std::vector<std::uint8_t> bytes(shots * width, 0);
  for (std::size_t s = 0; s < shots; ++s) {
    for (std::uint32_t k : sample(*g, rng).fired) bytes[s * width + k] = 1;
  }
  const ShotRows rows{bytes.data(), shots, width, static_cast<std::ptrdiff_t>(width), 1, false, width};
  SlidingDecoderPool pool(g);
  std::vector<std::uint32_t> fired;
  for (unsigned threads : {1u, 2u, 3u, 1u}) {
    for (auto [commit, buffer] : {std::pair{2u, 2u}, std::pair{1u, 0u}}) {
      auto fresh = SlidingWindowDecoder::create(model_of(*g), commit, buffer).value();
      std::vector<std::uint64_t> masks(shots, ~std::uint64_t{0});
      ASSERT_TRUE(decode_sliding_batch(pool, rows, masks, commit, buffer, threads));
      for (std::size_t s = 0; s < shots; ++s) {
        rows.fired_of(s, fired);
        ASSERT_EQ(masks[s], fresh.decode_shot(fired).value()) << "shot " << s << ", " << threads << " threads";
      }
    }
  }
  std::vector<std::uint64_t> masks(shots);
  EXPECT_FALSE(decode_sliding_batch(pool, rows, masks, 0, 1, 2));
}

TEST(SlidingWindowDecoder, RefusesWhatItCannotDecode) {
  const auto g = repetition_graph(4, 9);
  const auto model = model_of(*g);
  EXPECT_FALSE(SlidingWindowDecoder::create(model, 0, 4).has_value());
  auto d = SlidingWindowDecoder::create(model, 2, 2).value();
  const std::vector<RoundSlot> none;
  EXPECT_FALSE(d.push_round(none).has_value());  // not started
  EXPECT_FALSE(d.start(2).has_value());           // shorter than head + tail + reach
  ASSERT_TRUE(d.start(5).has_value());
  EXPECT_FALSE(d.push_round(std::vector<RoundSlot>{4}).has_value());
  ASSERT_TRUE(d.push_round(none).has_value());
  EXPECT_FALSE(d.finish().has_value());  // 1 of 5 rounds
  ASSERT_TRUE(d.start(std::nullopt).has_value());
  ASSERT_TRUE(d.push_round(none).has_value());
  EXPECT_FALSE(d.finish().has_value());  // too short for the model
  EXPECT_FALSE(SlidingWindowModel::build(*g, std::vector<ModelRound>(3, 0)).has_value());
  SpacetimeGraph bare = *g;
  bare.nodes[3].coords.reset();
  EXPECT_FALSE(detector_rounds(bare).has_value());
}

// Rounds of different sizes: a round takes slots below its own size only (without a known
// length, a round past the head may still become a tail round, so the tail's sizes count too).
TEST(SlidingWindowDecoder, RefusesSlotsARoundDoesNotHave) {
  // Rounds 0-5 of two detectors (2r, 2r + 1), round 6 of one (12); every detector has a boundary
  // edge and an edge to its own slot one round later.
  SpacetimeGraph g;
  std::vector<ModelRound> round;
  for (std::uint32_t k = 0; k < 13; ++k) {
    g.nodes.push_back({std::nullopt, k});
    round.push_back(k / 2);
    g.edges.push_back({{}, k, 13, 2.0f});
    if (k + 2 < 13) g.edges.push_back({{}, k, k + 2, 1.0f});
  }
  g.nodes.push_back({std::nullopt, kBoundaryIndex});
  g.boundary = 13;
  const auto model = std::make_shared<const SlidingWindowModel>(SlidingWindowModel::build(g, round).value());
  ASSERT_EQ(model->round_size(6), 1u);
  auto d = SlidingWindowDecoder::create(model, 2, 1).value();
  const std::vector<RoundSlot> none, slot1{1}, slot2{2};
  ASSERT_TRUE(d.start(7).has_value());
  for (int r = 0; r < 6; ++r) {
    EXPECT_FALSE(d.push_round(slot2).has_value()) << r;
    ASSERT_TRUE(d.push_round(slot1).has_value()) << r;
  }
  EXPECT_EQ(d.round_width(6), 1u);
  EXPECT_FALSE(d.push_round(slot1).has_value());  // the last round has one detector
  EXPECT_EQ(d.received_rounds(), 6u);              // a refused round adds nothing
  ASSERT_TRUE(d.push_round(none).has_value());
  EXPECT_FALSE(d.running());
  EXPECT_FALSE(d.check_round(7, none).has_value());  // past the stream's end
  ASSERT_TRUE(d.start(std::nullopt).has_value());
  EXPECT_EQ(d.round_width(6), 2u);  // may be a middle round or the last
}

TEST(LatencyHistogram, MedianWithinABucketAndExactWorst) {
  LatencyHistogram h;
  for (std::uint64_t v : {5u, 1000u, 1000u, 1010u, 2000000u}) h.record(v);
  EXPECT_EQ(h.count(), 5u);
  EXPECT_EQ(h.worst_ns(), 2000000u);
  EXPECT_LE(h.median_ns(), 1010u);
  EXPECT_GE(h.median_ns(), 1000u * 31 / 32);
  EXPECT_GE(h.quantile_ns(0.99), 2000000u * 31 / 32);
  EXPECT_EQ(h.quantile_ns(0.0), 5u);
}

}  // namespace
}  // namespace kelvane
