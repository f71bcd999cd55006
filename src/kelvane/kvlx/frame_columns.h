// Frames as columns: the fields of many frames of one ancilla count, with no per-frame record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kelvane/core/frame.h"
#include "kelvane/core/rle.h"
#include "kelvane/kvlx/frame_view.h"

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
  // Room for `frames` frames of `ancillas` ancillas in every column.
  void reserve(std::size_t frames, std::uint16_t ancillas);
  // Appends one frame; its ancilla count must be the batch's (set by the first frame).
  void append(const SyndromeFrame& frame);
  void append(const FrameView& frame) { append(frame.header, frame.detector_events_rle, frame.observable_flips); }
  void append(const FrameHeader& header, std::span<const std::uint8_t> detector_events_rle,
              std::optional<std::uint64_t> flips) {
    if (frame_ids.empty()) ancilla_count = header.ancilla_count;
    const std::size_t begin = detector_events.size();
    detector_events.resize(begin + ancilla_count);  // zeroed: only the fired events are written
    set_fired_events(detector_events_rle, std::span<std::uint8_t>(detector_events.data() + begin, ancilla_count));
    frame_ids.push_back(header.frame_id);
    rounds.push_back(header.round);
    timestamps_ns.push_back(header.timestamp_ns);
    observable_flips.push_back(flips.value_or(0));
    has_observable_flips.push_back(flips ? 1 : 0);
  }
};

}  // namespace kelvane
