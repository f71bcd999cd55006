#include "kelvane/kvlx/frame_columns.h"

#include "kelvane/core/rle.h"

namespace kelvane {

void FrameBatch::clear() {
  ancilla_count = 0;
  detector_events.clear();
  frame_ids.clear();
  rounds.clear();
  timestamps_ns.clear();
  observable_flips.clear();
  has_observable_flips.clear();
}

void FrameBatch::reserve(std::size_t frames, std::uint16_t ancillas) {
  detector_events.reserve(frames * ancillas);
  frame_ids.reserve(frames);
  rounds.reserve(frames);
  timestamps_ns.reserve(frames);
  observable_flips.reserve(frames);
  has_observable_flips.reserve(frames);
}

void FrameBatch::append(const SyndromeFrame& frame) {
  append(frame.header, frame.detector_events_rle,
         frame.metadata ? frame.metadata->observable_flips : std::nullopt);
}

}  // namespace kelvane
