// Frames read in bulk from a KVLX stream into the columns of a FrameBatch.
#pragma once

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
template <ByteSource Source>
Status read_frame_batch(KvlxStream<Source>& stream, std::size_t max_frames, FrameBatch& out) {
  while (out.size() < max_frames) {
    // Whole frames in the reader's buffer go straight into the columns; the frame they stop at
    // (damage, the end of the data, a frame across the end of the buffer) is read below.
    Result<BulkStop> stop = stream.read_buffered_frames(max_frames, out);
    if (!stop) return fail(std::move(stop.error()));
    if (*stop != BulkStop::kGeneral) break;
    if (out.size() > 0) {
      // The next header's ancilla count, unchecked: reading the frame checks it.
      Result<std::optional<std::uint16_t>> next_count = stream.peek_ancilla_count();
      if (!next_count) return fail(std::move(next_count.error()));
      if (!*next_count || **next_count != out.ancilla_count) break;
    }
    Result<std::optional<SyndromeFrame>> frame = stream.next_frame();
    if (!frame) return fail(std::move(frame.error()));
    if (!*frame) break;
    out.append(**frame);
    stream.recycle(std::move(**frame));
  }
  return {};
}

}  // namespace kelvane
