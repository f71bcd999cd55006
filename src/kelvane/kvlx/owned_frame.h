// The conversion of a reader's frame (views valid until its next call) into the self-contained
// `OwnedFrame`, which needs the detector events expanded from their run-length encoding.
#pragma once

#include "kelvane/core/frame.h"
#include "kelvane/core/rle.h"

namespace kelvane {

// Number of fired events in the frame's encoding (over the whole encoding).
inline std::uint32_t detector_event_count(const SyndromeFrame& f) { return detector_event_count(f.detector_events_rle); }

// Copies a reader's frame into an OwnedFrame, expanding the detector events to ancilla_count.
OwnedFrame to_owned_frame(const SyndromeFrame& frame);
// The same into `owned`, every field replaced, its arrays' memory reused (no allocation once
// they have held a frame as wide).
void to_owned_frame_into(const SyndromeFrame& frame, OwnedFrame& owned);

}  // namespace kelvane
