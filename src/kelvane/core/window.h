// A bounded sliding window over the most recent syndrome rounds and its flat detector matrix.
// Flat detector index = row * ancilla_count + ancilla, row 0 the oldest round held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <string>
#include <vector>

#include "kelvane/core/frame.h"

namespace kelvane {

// One round, owned by the window once pushed. List lengths are whatever the producer gave.
struct OwnedSyndromeData {
  std::vector<std::uint8_t> detector_events;  // one 0/1 entry per ancilla
  std::vector<std::int8_t> meas_results;
  std::uint64_t frame_id = 0;
  std::uint64_t timestamp_ns = 0;
  std::uint32_t round = 0;
};

// Most matrix entries a window reserves: flat detector indices are 32-bit.
inline constexpr std::uint64_t kMaxWindowEntries = std::uint64_t{1} << 32;

// Why SyndromeWindow::create refused a size.
struct WindowSizeError {
  std::size_t ancilla_count = 0;
  std::size_t window_depth = 0;
  bool allocation_failed = false;  // false: the product overflows or exceeds kMaxWindowEntries
  // "syndrome window of {depth} rounds x {ancillas} ancillas is too large to reserve"
  std::string to_string() const;
};

// A round holding copies of a frame's detector events, measurement results, id, timestamp and
// round index.
OwnedSyndromeData syndrome_round_of(const OwnedFrame& frame);

class SyndromeWindow {
 public:
  // Reserves room for window_depth rounds and ancilla_count * window_depth matrix entries.
  // Zero is accepted for both; a depth of 0 never evicts. Never fails: when the reservation
  // is beyond kMaxWindowEntries or cannot be allocated, the window is made without it and its
  // matrix grows as rounds arrive.
  SyndromeWindow(std::size_t ancilla_count, std::size_t window_depth);

  // Like the constructor, but reports a size whose reservation cannot be made instead of
  // skipping it: ancilla_count or ancilla_count * window_depth above kMaxWindowEntries
  // (overflow included), or an allocation failure.
  static std::expected<SyndromeWindow, WindowSizeError> create(std::size_t ancilla_count,
                                                               std::size_t window_depth);

  // Evicts the oldest round when the window holds window_depth (> 0) rounds, appends `data`,
  // and updates the matrix; rows are padded with 0 or cut to ancilla_count. A push without an
  // eviction (always, at depth 0) writes only the new row: O(ancilla_count), amortised.
  void push_owned(OwnedSyndromeData data);

  // Ascending flat indices of all set matrix entries.
  std::vector<std::uint32_t> active_detectors() const;
  // The same, appended to `out` after clearing it (no allocation once `out` has grown).
  void active_detectors(std::vector<std::uint32_t>& out) const;

  std::size_t rounds_held() const { return rounds_.size(); }
  std::size_t window_depth() const { return window_depth_; }
  std::size_t ancilla_count() const { return ancilla_count_; }
  const std::vector<std::uint8_t>& detector_matrix() const { return detector_matrix_; }
  const std::deque<OwnedSyndromeData>& rounds() const { return rounds_; }
  bool is_full() const { return rounds_.size() == window_depth_; }
  bool is_empty() const { return rounds_.empty(); }

 private:
  enum class Reservation { kDone, kTooLarge, kAllocationFailed };
  // Reserves ancilla_count * window_depth matrix entries unless that size is refused.
  Reservation reserve_matrix();
  void rebuild_matrix();
  // Writes a round's events into a zeroed row of ancilla_count entries.
  void write_row(std::uint8_t* row, const OwnedSyndromeData& round) const;

  std::deque<OwnedSyndromeData> rounds_;
  std::vector<std::uint8_t> detector_matrix_;  // 0/1 entries, row-major
  std::size_t window_depth_;
  std::size_t ancilla_count_;
};

}  // namespace kelvane
