#include "kelvane/kvlx/frame_batch.h"

#include "kelvane/kvlx/rle.h"

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

void FrameBatch::append(const FrameHeader& header, std::span<const std::uint8_t> detector_events_rle,
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

}  // namespace kelvane
