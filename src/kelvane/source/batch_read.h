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

// The ancilla count in the next frame header of `stream`, without consuming it, or nothing when
// a whole header is not available (end of data) or the reader must first do something else
// (see KvlxReaderCore::peek_ancilla_count). The header's CRC is not checked here: reading the
// frame does that.
template <ByteSource Source>
Result<std::optional<std::uint16_t>> peek_ancilla_count(KvlxStream<Source>& stream) {
  return stream.peek_ancilla_count();
}

// Appends frames to `out` until it holds `max_frames`, validated as next_frame does. Stops
// early at the end of the data or before a frame whose ancilla count differs from the batch's
// first frame (that frame starts the next batch). Returns the error that stopped the batch,
// after the good frames read before it have been appended. A frame whose read failed (the
// source's read_failed(): an I/O error or a wait that stopped) is undone, to be read again.
template <ByteSource Source>
Status read_frame_batch(KvlxStream<Source>& stream, std::size_t max_frames, FrameBatch& out) {
  while (out.size() < max_frames) {
    // Whole frames in the reader's buffer go straight into the columns; the frame they stop at
    // (damage, the end of the data, a frame across the end of the buffer) is read below.
    Result<BulkStop> stop = stream.read_buffered_frames(max_frames, out);
    if (!stop) {
      if (stream.reader().read_failed()) stream.rewind();
      return fail(std::move(stop.error()));
    }
    if (*stop != BulkStop::kGeneral) break;
    if (out.size() > 0) {
      Result<std::optional<std::uint16_t>> next_count = peek_ancilla_count(stream);
      if (!next_count) return fail(std::move(next_count.error()));
      if (!*next_count || **next_count != out.ancilla_count) break;
    }
    Result<std::optional<SyndromeFrame>> frame = stream.next_frame();
    if (!frame) {
      if (stream.reader().read_failed()) stream.rewind();
      return fail(std::move(frame.error()));
    }
    if (!*frame) break;
    out.append(**frame);
    stream.recycle(std::move(**frame));
  }
  return {};
}

}  // namespace kelvane
