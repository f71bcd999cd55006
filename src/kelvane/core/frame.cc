#include "kelvane/core/frame.h"

#include <cstring>

#include "kelvane/core/rle.h"

namespace kelvane {

std::uint32_t detector_event_count(std::span<const std::uint8_t> rle) {
  std::uint32_t count = 0;
  for (std::uint8_t byte : rle) {
    if (byte & kRleValueBit) count += byte & kRleLengthMask;
  }
  return count;
}

void decode_rle_events_into(std::span<const std::uint8_t> rle, std::size_t n, std::vector<std::uint8_t>& out) {
  out.clear();
  out.reserve(n);
  for (std::uint8_t byte : rle) {
    if (out.size() >= n) break;  // everything further would be cut anyway
    const std::size_t run = byte & kRleLengthMask;
    const std::uint8_t value = (byte & kRleValueBit) ? 1 : 0;
    const std::size_t take = run < n - out.size() ? run : n - out.size();
    out.insert(out.end(), take, value);
  }
  out.resize(n, 0);
}

void decode_rle_events_to(std::span<const std::uint8_t> rle, std::span<std::uint8_t> out) {
  std::size_t pos = 0;
  const std::size_t n = out.size();
  for (std::uint8_t byte : rle) {
    if (pos >= n) break;
    const std::size_t run = byte & kRleLengthMask;
    const std::size_t take = run < n - pos ? run : n - pos;
    std::memset(out.data() + pos, (byte & kRleValueBit) ? 1 : 0, take);
    pos += take;
  }
  if (pos < n) std::memset(out.data() + pos, 0, n - pos);
}

OwnedFrame to_owned_frame(const SyndromeFrame& frame) {
  OwnedFrame owned;
  const std::uint16_t ancilla_count = frame.header.ancilla_count;
  owned.detector_event_count = detector_event_count(frame);
  owned.meas_results.assign(frame.meas_results.begin(), frame.meas_results.end());
  decode_rle_events_into(frame.detector_events_rle, ancilla_count, owned.detector_events);
  if (frame.metadata) {
    owned.observable_flips = frame.metadata->observable_flips;
    owned.source_observable_flips = frame.metadata->observable_flips;
  }
  owned.frame_id = frame.header.frame_id;
  owned.round = frame.header.round;
  owned.timestamp_ns = frame.header.timestamp_ns;
  owned.qubit_count = frame.header.qubit_count;
  owned.ancilla_count = ancilla_count;
  owned.code_type = frame.header.code_type;
  owned.distance = frame.header.distance;
  return owned;
}

}  // namespace kelvane
