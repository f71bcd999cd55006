#include "kelvane/metrics/logical_error_accumulator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <thread>
#include <vector>

namespace kelvane {
namespace {

TEST(LogicalErrorAccumulator, CountsDisagreeingBits) {
  LogicalErrorAccumulator acc(3);
  acc.record(0b101, 0b001);
  EXPECT_EQ(acc.total_shots(), 1u);
  EXPECT_EQ(acc.error_count(0), 0u);
  EXPECT_EQ(acc.error_count(1), 0u);
  EXPECT_EQ(acc.error_count(2), 1u);
  EXPECT_DOUBLE_EQ(acc.logical_error_rate(2), 1.0);
  EXPECT_DOUBLE_EQ(acc.logical_error_rate(0), 0.0);
  EXPECT_DOUBLE_EQ(acc.mean_logical_error_rate(), 1.0 / 3.0);
}

TEST(LogicalErrorAccumulator, NoShotsGivesZeroRates) {
  LogicalErrorAccumulator acc(4);
  for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(acc.logical_error_rate(k), 0.0);
  EXPECT_EQ(acc.mean_logical_error_rate(), 0.0);
}

TEST(LogicalErrorAccumulator, CountAboveSixtyFourIsCut) {
  LogicalErrorAccumulator acc(100);
  EXPECT_EQ(acc.observable_count(), 64u);
  acc.record(~std::uint64_t{0}, 0);
  EXPECT_EQ(acc.logical_error_rate(70), 0.0);
  EXPECT_DOUBLE_EQ(acc.logical_error_rate(63), 1.0);
  EXPECT_DOUBLE_EQ(acc.mean_logical_error_rate(), 1.0);  // 64 rates of 1 divided by 64
  acc.record(1, 0);
  EXPECT_DOUBLE_EQ(acc.mean_logical_error_rate(), (1.0 + 63 * 0.5) / 64.0);
}

TEST(LogicalErrorAccumulator, ZeroObservablesStillCountsShots) {
  LogicalErrorAccumulator acc(0);
  acc.record(0xFF, 0);
  acc.record(0, 0);
  EXPECT_EQ(acc.total_shots(), 2u);
  EXPECT_EQ(acc.mean_logical_error_rate(), 0.0);
  EXPECT_EQ(acc.logical_error_rate(0), 0.0);
}

struct UntrackedCase {
  std::uint64_t flips;
  std::uint64_t truth;
};

class UntrackedBits : public ::testing::TestWithParam<UntrackedCase> {};

TEST_P(UntrackedBits, AreIgnored) {
  LogicalErrorAccumulator acc(3);
  acc.record(GetParam().flips, GetParam().truth);
  EXPECT_EQ(acc.total_shots(), 1u);
  for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(acc.error_count(k), 0u) << k;
  EXPECT_EQ(acc.logical_error_rate(3), 0.0);
  EXPECT_EQ(acc.mean_logical_error_rate(), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Masks, UntrackedBits,
                         ::testing::Values(UntrackedCase{0b1000, 0}, UntrackedCase{0, 0b1000},
                                           UntrackedCase{0b1111, 0b0111},
                                           UntrackedCase{std::uint64_t{1} << 63, 0},
                                           UntrackedCase{0b101, 0b101}));

TEST(LogicalErrorAccumulator, ResetZeroesCountersKeepsTrackedCount) {
  LogicalErrorAccumulator acc(5);
  for (int i = 0; i < 7; ++i) acc.record(0b11111, 0);
  acc.reset();
  EXPECT_EQ(acc.total_shots(), 0u);
  EXPECT_EQ(acc.observable_count(), 5u);
  for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(acc.error_count(k), 0u);
  acc.record(0b10, 0);
  EXPECT_DOUBLE_EQ(acc.logical_error_rate(1), 1.0);
  EXPECT_DOUBLE_EQ(acc.logical_error_rate(0), 0.0);
}

TEST(LogicalErrorAccumulator, RatesMatchNaiveTally) {
  std::mt19937_64 rng(7);
  for (std::size_t tracked : {1u, 3u, 17u, 64u}) {
    LogicalErrorAccumulator acc(tracked);
    std::vector<std::uint64_t> naive(tracked, 0);
    const int shots = 500;
    for (int s = 0; s < shots; ++s) {
      const std::uint64_t flips = rng() & rng();
      const std::uint64_t truth = rng() & rng();
      acc.record(flips, truth);
      for (std::size_t k = 0; k < tracked; ++k) naive[k] += ((flips ^ truth) >> k) & 1;
    }
    double sum = 0;
    for (std::size_t k = 0; k < tracked; ++k) {
      EXPECT_EQ(acc.error_count(k), naive[k]);
      EXPECT_EQ(acc.logical_error_rate(k), static_cast<double>(naive[k]) / shots);
      sum += static_cast<double>(naive[k]) / shots;
    }
    EXPECT_DOUBLE_EQ(acc.mean_logical_error_rate(), sum / static_cast<double>(tracked));
  }
}

TEST(LogicalErrorAccumulator, BatchMatchesOneByOne) {
  std::mt19937_64 rng(11);
  for (std::size_t tracked : {0u, 5u, 64u}) {
    LogicalErrorAccumulator one(tracked), batch(tracked);
    std::vector<std::uint64_t> flips(300), truth(300);
    for (std::size_t i = 0; i < flips.size(); ++i) {
      flips[i] = rng() & rng();
      truth[i] = rng() & rng();
      one.record(flips[i], truth[i]);
    }
    batch.record(1, 0);
    batch.reset();
    batch.record_batch(std::span(flips).first(100), truth);  // the shorter span bounds
    batch.record_batch(std::span(flips).subspan(100), std::span(truth).subspan(100));
    EXPECT_EQ(batch.total_shots(), one.total_shots());
    for (std::size_t k = 0; k < 64; ++k) EXPECT_EQ(batch.error_count(k), one.error_count(k)) << k;
  }
}

TEST(LogicalErrorAccumulator, ConcurrentRecordsLoseNoCount) {
  LogicalErrorAccumulator acc(4);
  constexpr int kThreads = 4;
  constexpr int kShotsPerThread = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    // Thread t disagrees on observable t every shot, and on observable 0 every other shot.
    threads.emplace_back([&acc, t] {
      for (int i = 0; i < kShotsPerThread; ++i) {
        std::uint64_t flips = std::uint64_t{1} << t;
        if (i % 2 == 0) flips ^= 1;
        acc.record(flips, 0);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(acc.total_shots(), static_cast<std::uint64_t>(kThreads * kShotsPerThread));
  // Observable 0: thread 0 hits it on odd shots only (the toggle cancels), every other thread
  // on even shots; each of those contributes kShotsPerThread / 2.
  EXPECT_EQ(acc.error_count(0), static_cast<std::uint64_t>(kThreads * kShotsPerThread / 2));
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(acc.error_count(t), static_cast<std::uint64_t>(kShotsPerThread));
}

}  // namespace
}  // namespace kelvane
