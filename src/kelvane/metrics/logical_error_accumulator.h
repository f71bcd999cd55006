// Per-observable logical error counting over many decoded shots.
//
// record() compares a decoder's observable flips with the ground truth and counts, per tracked
// observable, the shots where they disagree. Every counter is atomic, so record, reset and the
// reads may run concurrently on a shared accumulator without losing a count; a rate read while
// others record is built from counters loaded one at a time. Nothing here fails or allocates
// after construction; 64-bit counters wrap silently.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kelvane {

// Observable k is bit k of a 64-bit flip mask, so at most 64 observables can be tracked.
inline constexpr std::size_t kMaxTrackedObservables = 64;

class LogicalErrorAccumulator {
 public:
  // Tracks min(observable_count, 64) observables, every counter at 0.
  explicit LogicalErrorAccumulator(std::size_t observable_count);

  LogicalErrorAccumulator(const LogicalErrorAccumulator&) = delete;
  LogicalErrorAccumulator& operator=(const LogicalErrorAccumulator&) = delete;

  // One shot: bit k of (observable_flips XOR ground_truth), for k below observable_count,
  // counts an error of observable k. Higher bits are ignored.
  void record(std::uint64_t observable_flips, std::uint64_t ground_truth);
  // Many shots at once, as record(observable_flips[i], ground_truth[i]) for each i, with one
  // atomic update per counter. The spans must have the same length (the shorter one bounds).
  void record_batch(std::span<const std::uint64_t> observable_flips, std::span<const std::uint64_t> ground_truth);

  std::uint64_t total_shots() const;
  // Errors of `observable` so far; 0 for an untracked observable.
  std::uint64_t error_count(std::size_t observable) const;
  // error_count / total_shots; 0.0 with no shots or for an untracked observable.
  double logical_error_rate(std::size_t observable) const;
  // Mean of the per-observable rates over the tracked observables; 0.0 when none is tracked.
  double mean_logical_error_rate() const;
  // Zeroes every counter; the tracked count stays.
  void reset();

  std::size_t observable_count() const { return observable_count_; }

 private:
  std::array<std::atomic<std::uint64_t>, kMaxTrackedObservables> error_counts_{};
  std::atomic<std::uint64_t> total_shots_{0};
  std::size_t observable_count_;
};

}  // namespace kelvane
