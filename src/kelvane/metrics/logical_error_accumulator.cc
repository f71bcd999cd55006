#include "kelvane/metrics/logical_error_accumulator.h"

#include <algorithm>
#include <bit>

namespace kelvane {

// Counters are independent tallies: no reader relies on an order between them, so relaxed
// atomic increments are enough for "no count is ever lost".

LogicalErrorAccumulator::LogicalErrorAccumulator(std::size_t observable_count)
    : observable_count_(std::min(observable_count, kMaxTrackedObservables)) {}

void LogicalErrorAccumulator::record(std::uint64_t observable_flips, std::uint64_t ground_truth) {
  total_shots_.fetch_add(1, std::memory_order_relaxed);
  std::uint64_t wrong = observable_flips ^ ground_truth;
  if (observable_count_ < kMaxTrackedObservables) wrong &= (std::uint64_t{1} << observable_count_) - 1;
  while (wrong != 0) {
    const int k = std::countr_zero(wrong);
    error_counts_[static_cast<std::size_t>(k)].fetch_add(1, std::memory_order_relaxed);
    wrong &= wrong - 1;
  }
}

void LogicalErrorAccumulator::record_batch(std::span<const std::uint64_t> observable_flips,
                                           std::span<const std::uint64_t> ground_truth) {
  const std::size_t shots = std::min(observable_flips.size(), ground_truth.size());
  const std::uint64_t tracked =
      observable_count_ < kMaxTrackedObservables ? (std::uint64_t{1} << observable_count_) - 1 : ~std::uint64_t{0};
  std::array<std::uint64_t, kMaxTrackedObservables> counts{};
  for (std::size_t i = 0; i < shots; ++i) {
    for (std::uint64_t wrong = (observable_flips[i] ^ ground_truth[i]) & tracked; wrong != 0; wrong &= wrong - 1) {
      ++counts[static_cast<std::size_t>(std::countr_zero(wrong))];
    }
  }
  total_shots_.fetch_add(shots, std::memory_order_relaxed);
  for (std::size_t k = 0; k < observable_count_; ++k) {
    if (counts[k]) error_counts_[k].fetch_add(counts[k], std::memory_order_relaxed);
  }
}

std::uint64_t LogicalErrorAccumulator::total_shots() const { return total_shots_.load(std::memory_order_relaxed); }

std::uint64_t LogicalErrorAccumulator::error_count(std::size_t observable) const {
  if (observable >= observable_count_) return 0;
  return error_counts_[observable].load(std::memory_order_relaxed);
}

double LogicalErrorAccumulator::logical_error_rate(std::size_t observable) const {
  const std::uint64_t shots = total_shots();
  if (shots == 0 || observable >= observable_count_) return 0.0;
  return static_cast<double>(error_count(observable)) / static_cast<double>(shots);
}

double LogicalErrorAccumulator::mean_logical_error_rate() const {
  if (observable_count_ == 0) return 0.0;
  const std::uint64_t shots = total_shots();
  double sum = 0.0;
  for (std::size_t k = 0; k < observable_count_; ++k) {
    sum += shots == 0 ? 0.0 : static_cast<double>(error_count(k)) / static_cast<double>(shots);
  }
  return sum / static_cast<double>(observable_count_);
}

void LogicalErrorAccumulator::reset() {
  total_shots_.store(0, std::memory_order_relaxed);
  for (auto& c : error_counts_) c.store(0, std::memory_order_relaxed);
}

}  // namespace kelvane
