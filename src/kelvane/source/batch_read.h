// Frames read in bulk from a KVLX stream into the columns of a FrameBatch.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"
#include "kelvane/kvlx/frame_columns.h"
#include "kelvane/kvlx/parser.h"
#include "kelvane/kvlx/stream.h"

namespace kelvane {

// Appends frames to `out` until it holds `max_frames`, validated as next_frame does. Stops
// early at the end of the data or before a frame whose ancilla count differs from the batch's
// first frame (that frame starts the next batch). Returns the error that stopped the batch,
// after the good frames read before it have been appended. A frame whose read failed (an I/O
// error or a wait that stopped) was not consumed: the next call reads it again.
// At most this many bytes of columns are set up for a batch in advance.
inline constexpr std::size_t kBatchReserveBytes = 64u << 20;

template <ByteSource Source>
Status read_frame_batch(KvlxStream<Source>& stream, std::size_t max_frames, FrameBatch& out) {
  if (out.size() >= max_frames) return {};
  BlockLimits limits;
  limits.max_frames = max_frames - out.size();
  if (out.size() > 0) limits.ancilla_count = out.ancilla_count;
  limits.one_ancilla_count = true;
  auto append = [&](const FrameView& frame) {
    // Columns that were handed on (read_batch moves them into its arrays) are set up for the
    // whole batch at its first frame, so that they do not grow (and copy) along the way.
    if (out.size() == 0 && out.frame_ids.capacity() == 0) {
      out.reserve(std::min(max_frames, kBatchReserveBytes / (frame.ancilla_count() + 40u)), frame.ancilla_count());
    }
    out.append(frame);
    return true;
  };
  Result<BlockEnd> end = stream.parse_block(limits, FrameSinkRef(append));
  if (!end) return fail(std::move(end.error()));
  return {};
}

}  // namespace kelvane
