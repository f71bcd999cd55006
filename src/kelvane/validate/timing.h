// Per-frame timing check: every timing offset must be at most kMaxTimingOffsetNs.
#pragma once

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"

namespace kelvane {

inline constexpr std::uint16_t kMaxTimingOffsetNs = 10000;

// Success, or TimingOutOfBounds for the lowest offending ancilla index. Inline: the reader's
// bulk path runs it on every frame, most of which carry no timing offsets.
inline Status check_timing(const SyndromeFrame& frame) {
  for (std::size_t i = 0; i < frame.timing_offsets.size(); ++i) {
    if (frame.timing_offsets[i] > kMaxTimingOffsetNs) {
      return fail(errors::TimingOutOfBounds{i, frame.timing_offsets[i]});
    }
  }
  return {};
}

}  // namespace kelvane
