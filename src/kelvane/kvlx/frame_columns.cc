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

void FrameBatch::append(const SyndromeFrame& frame) {
  append(frame.header, frame.detector_events_rle,
         frame.metadata ? frame.metadata->observable_flips : std::nullopt);
}

}  // namespace kelvane
