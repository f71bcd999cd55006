#include "kelvane/core/rle.h"

#include <algorithm>
#include <cstring>

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
  if (!out.empty()) std::memset(out.data(), 0, out.size());
  set_fired_events(rle, out);
}

void set_fired_events(std::span<const std::uint8_t> rle, std::span<std::uint8_t> out) {
  // Detector events are sparse: most runs are 0, and most runs of 1 are one event long, which a
  // store handles better than a memset call. Runs past the end of `out` write nothing.
  const std::size_t n = out.size();
  std::size_t pos = 0;
  for (std::uint8_t byte : rle) {
    const std::size_t run = byte & kRleLengthMask;
    if ((byte & kRleValueBit) && pos < n) {
      if (run == 1) {
        out[pos] = 1;
      } else {
        std::memset(out.data() + pos, 1, std::min(run, n - pos));
      }
    }
    pos += run;
  }
}

std::vector<std::uint8_t> decode_rle_events(std::span<const std::uint8_t> rle, std::size_t n) {
  std::vector<std::uint8_t> out;
  decode_rle_events_into(rle, n, out);
  return out;
}

std::size_t rle_expanded_length(std::span<const std::uint8_t> rle) {
  std::size_t length = 0;
  for (std::uint8_t byte : rle) length += byte & kRleLengthMask;
  return length;
}

std::vector<std::uint8_t> encode_rle_events(std::span<const std::uint8_t> events) {
  std::vector<std::uint8_t> out;
  std::size_t i = 0;
  while (i < events.size()) {
    const bool fired = events[i] != 0;
    std::size_t run = 1;
    while (i + run < events.size() && (events[i + run] != 0) == fired) ++run;
    i += run;
    const std::uint8_t value_bit = fired ? kRleValueBit : 0;
    while (run > 0) {
      const std::size_t piece = run < kRleMaxRun ? run : kRleMaxRun;
      out.push_back(static_cast<std::uint8_t>(value_bit | piece));
      run -= piece;
    }
  }
  return out;
}

}  // namespace kelvane
