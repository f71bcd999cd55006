#include "kelvane/core/window.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

namespace kelvane {

std::string WindowSizeError::to_string() const {
  std::string text = "syndrome window of " + std::to_string(window_depth) + " rounds x " +
                     std::to_string(ancilla_count) + " ancillas is too large to reserve";
  if (!allocation_failed) text += " (more than 4294967296 detectors)";
  return text;
}

SyndromeWindow::SyndromeWindow(std::size_t ancilla_count, std::size_t window_depth)
    : window_depth_(window_depth), ancilla_count_(ancilla_count) {
  // A refused reservation only costs growth later; the window itself works at any size.
  (void)reserve_matrix();
}

std::expected<SyndromeWindow, WindowSizeError> SyndromeWindow::create(std::size_t ancilla_count,
                                                                      std::size_t window_depth) {
  SyndromeWindow window(0, 0);
  window.ancilla_count_ = ancilla_count;
  window.window_depth_ = window_depth;
  switch (window.reserve_matrix()) {
    case Reservation::kDone:
      return window;
    case Reservation::kTooLarge:
      return std::unexpected(WindowSizeError{ancilla_count, window_depth, false});
    case Reservation::kAllocationFailed:
      break;
  }
  return std::unexpected(WindowSizeError{ancilla_count, window_depth, true});
}

SyndromeWindow::Reservation SyndromeWindow::reserve_matrix() {
  std::size_t entries = 0;
  // A single row must be addressable too, even when depth 0 reserves nothing.
  if (ancilla_count_ > kMaxWindowEntries || __builtin_mul_overflow(ancilla_count_, window_depth_, &entries) ||
      entries > kMaxWindowEntries) {
    return Reservation::kTooLarge;
  }
  try {
    detector_matrix_.reserve(entries);
  } catch (const std::bad_alloc&) {
    return Reservation::kAllocationFailed;
  } catch (const std::length_error&) {
    return Reservation::kAllocationFailed;
  }
  return Reservation::kDone;
}

void SyndromeWindow::push_owned(OwnedSyndromeData data) {
  // Equality, tested before the append: a depth-0 window never evicts.
  const bool evict = rounds_.size() == window_depth_ && !rounds_.empty();
  if (evict) rounds_.pop_front();
  rounds_.push_back(std::move(data));
  if (evict) {
    rebuild_matrix();
    return;
  }
  // Without an eviction the rows already held stay where they are: only the new one is
  // written, so a window that never evicts costs O(ancilla_count) per push (amortised).
  const std::size_t start = detector_matrix_.size();
  detector_matrix_.resize(start + ancilla_count_, 0);
  write_row(detector_matrix_.data() + start, rounds_.back());
}

void SyndromeWindow::write_row(std::uint8_t* row, const OwnedSyndromeData& round) const {
  const std::size_t kept = std::min(ancilla_count_, round.detector_events.size());
  const std::uint8_t* events = round.detector_events.data();
  // Any non-zero event counts as fired; the matrix itself holds only 0 and 1.
  for (std::size_t a = 0; a < kept; ++a) row[a] = events[a] != 0;
}

void SyndromeWindow::rebuild_matrix() {
  // clear + resize keeps the reserved storage and leaves every entry 0 (the padding).
  detector_matrix_.clear();
  detector_matrix_.resize(rounds_.size() * ancilla_count_, 0);
  std::uint8_t* row = detector_matrix_.data();
  for (const OwnedSyndromeData& round : rounds_) {
    write_row(row, round);
    row += ancilla_count_;
  }
}

void SyndromeWindow::active_detectors(std::vector<std::uint32_t>& out) const {
  out.clear();
  const std::uint8_t* m = detector_matrix_.data();
  const std::size_t n = detector_matrix_.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (m[i]) out.push_back(static_cast<std::uint32_t>(i));
  }
}

std::vector<std::uint32_t> SyndromeWindow::active_detectors() const {
  std::vector<std::uint32_t> out;
  active_detectors(out);
  return out;
}

OwnedSyndromeData syndrome_round_of(const OwnedFrame& frame) {
  OwnedSyndromeData round;
  round.detector_events = frame.detector_events;
  round.meas_results = frame.meas_results;
  round.frame_id = frame.frame_id;
  round.timestamp_ns = frame.timestamp_ns;
  round.round = frame.round;
  return round;
}

}  // namespace kelvane
