#include "kelvane/kvlx/owned_frame.h"

namespace kelvane {

OwnedFrame to_owned_frame(const SyndromeFrame& frame) {
  OwnedFrame owned;
  to_owned_frame_into(frame, owned);
  return owned;
}

void to_owned_frame_into(const SyndromeFrame& frame, OwnedFrame& owned) {
  std::vector<std::uint8_t> events = std::move(owned.detector_events);
  std::vector<std::int8_t> meas = std::move(owned.meas_results);
  owned = OwnedFrame{};
  owned.detector_events = std::move(events);
  owned.meas_results = std::move(meas);
  const std::uint16_t ancilla_count = frame.header.ancilla_count;
  owned.detector_event_count = detector_event_count(frame);
  owned.meas_results.assign(frame.meas_results.begin(), frame.meas_results.end());
  decode_rle_events_into(frame.detector_events_rle, ancilla_count, owned.detector_events);
  if (frame.metadata) {
    owned.observable_flips = frame.metadata->observable_flips;
    owned.source_observable_flips = frame.metadata->observable_flips;
    owned.source_high_observable_flips = frame.metadata->high_observable_flips;
    owned.description_hash = frame.metadata->description_hash;
  }
  owned.frame_id = frame.header.frame_id;
  owned.round = frame.header.round;
  owned.timestamp_ns = frame.header.timestamp_ns;
  owned.qubit_count = frame.header.qubit_count;
  owned.ancilla_count = ancilla_count;
  owned.code_type = frame.header.code_type;
  owned.distance = frame.header.distance;
}

}  // namespace kelvane
