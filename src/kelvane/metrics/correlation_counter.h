// Detector firing counts and pairwise co-firing counts over many shots.
//
// The counts behind a noise model learned from detection events: how often each detector fires
// and, for a fixed list of detector pairs, how often both fire in the same shot. Shots arrive as
// rows of a shots x width array, either one byte per detector (non-zero: fired) or bit-packed
// (bit d % 8 of byte d / 8, little bit order, as Stim and numpy.packbits(bitorder="little")
// pack them). A shot costs O(fired detectors x pairs per detector), not O(pairs).
//
// Nothing here fails: a pair naming a detector at or above detector_count is never counted, and a
// row narrower than detector_count reads the detectors it has. Counting reuses its scratch; only
// the constructor allocates. Not thread-safe: one counter per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace kelvane {

class CorrelationCounter {
 public:
  using Pair = std::pair<std::uint32_t, std::uint32_t>;

  CorrelationCounter(std::size_t detector_count, std::span<const Pair> pairs);

  // `shots` rows of `row_bytes` bytes each, one byte per detector (non-zero: fired).
  void add_unpacked(std::span<const std::uint8_t> data, std::size_t shots, std::size_t row_bytes);
  // `shots` rows of `row_bytes` bytes each, bit-packed in little bit order.
  void add_packed(std::span<const std::uint8_t> data, std::size_t shots, std::size_t row_bytes);

  // One shot given as the detectors that fired in it (a detector listed twice counts once).
  void add_fired(std::span<const std::uint32_t> fired);

  std::uint64_t shots() const { return shots_; }
  // Shots in which detector d fired, one entry per detector.
  std::span<const std::uint64_t> fired() const { return fired_; }
  // Shots in which both detectors of pair k fired, one entry per pair, in the pairs' order.
  std::span<const std::uint64_t> both_fired() const { return both_fired_; }
  std::size_t detector_count() const { return fired_.size(); }
  std::size_t pair_count() const { return both_fired_.size(); }
  // Zeroes every count; the pairs stay.
  void reset();

 private:
  // The detectors of the current shot are in `on_` (flags) and `shot_` (their list).
  void count_shot();

  std::vector<std::uint64_t> fired_;
  std::vector<std::uint64_t> both_fired_;
  // Pairs by their first detector: partner_[start_[d] .. start_[d + 1]) with pair ids in pair_id_.
  std::vector<std::uint32_t> start_;
  std::vector<std::uint32_t> partner_;
  std::vector<std::uint32_t> pair_id_;
  std::vector<std::uint8_t> on_;
  std::vector<std::uint32_t> shot_;
  std::uint64_t shots_ = 0;
};

}  // namespace kelvane
