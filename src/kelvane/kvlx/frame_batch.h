// Frames as columns: the fields of many frames of one ancilla count, with no per-frame record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kelvane/core/frame.h"

namespace kelvane {

// Every frame of a batch has the same ancilla count, so the detector events form a
// size() x ancilla_count row-major matrix.
struct FrameBatch {
  std::uint16_t ancilla_count = 0;
  std::vector<std::uint8_t> detector_events;  // 0 or 1, exactly ancilla_count per frame
  std::vector<std::uint64_t> frame_ids;
  std::vector<std::uint32_t> rounds;
  std::vector<std::uint64_t> timestamps_ns;
  std::vector<std::uint64_t> observable_flips;     // 0 where the frame carried none
  std::vector<std::uint8_t> has_observable_flips;  // 1 where the frame carried them

  std::size_t size() const { return frame_ids.size(); }
  // Empties every column, keeping the allocations.
  void clear();
  // Appends one frame; its ancilla count must be the batch's (set by the first frame).
  void append(const SyndromeFrame& frame);
  void append(const FrameHeader& header, std::span<const std::uint8_t> detector_events_rle,
              std::optional<std::uint64_t> flips);
};

}  // namespace kelvane
