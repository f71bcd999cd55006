#include "kelvane/source/frame_batch.h"

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
  const FrameHeader& h = frame.header;
  if (frame_ids.empty()) ancilla_count = h.ancilla_count;
  const std::size_t begin = detector_events.size();
  detector_events.resize(begin + ancilla_count);
  decode_rle_events_to(frame.detector_events_rle, std::span<std::uint8_t>(detector_events.data() + begin, ancilla_count));
  frame_ids.push_back(h.frame_id);
  rounds.push_back(h.round);
  timestamps_ns.push_back(h.timestamp_ns);
  const std::optional<std::uint64_t> flips = frame.metadata ? frame.metadata->observable_flips : std::nullopt;
  observable_flips.push_back(flips.value_or(0));
  has_observable_flips.push_back(flips ? 1 : 0);
}

}  // namespace kelvane
