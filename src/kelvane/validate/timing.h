// Per-frame timing check: every timing offset must be at most kMaxTimingOffsetNs.
#pragma once

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"

namespace kelvane {

inline constexpr std::uint16_t kMaxTimingOffsetNs = 10000;

// Success, or TimingOutOfBounds for the lowest offending ancilla index.
Status check_timing(const SyndromeFrame& frame);

}  // namespace kelvane
