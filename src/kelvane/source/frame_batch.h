// Frames read in bulk: the fields of many frames as columns, filled straight from the reader's
// frame views, with no per-frame record in between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"
#include "kelvane/kvlx/parser.h"
#include "kelvane/kvlx/stream.h"

namespace kelvane {

// Offset of the ancilla count in a frame header (after frame_id, round, timestamp_ns, qubit_count).
inline constexpr std::size_t kFrameAncillaCountOffset = 22;

// Every frame of a batch has the same ancilla count, so the detector events form a
// size() x ancilla_count row-major matrix.
struct FrameBatch {
  std::uint16_t ancilla_count = 0;
  std::vector<std::uint8_t> detector_events;  // 0 or 1, exactly ancilla_count per frame
  std::vector<std::uint64_t> frame_ids;
  std::vector<std::uint32_t> rounds;
  std::vector<std::uint64_t> timestamps_ns;
  std::vector<std::uint64_t> observable_flips;     // 0 where the frame carried none
  std::vector<std::uint8_t> has_observable_flips;  // 1 where the frame carried them

  std::size_t size() const { return frame_ids.size(); }
  // Empties every column, keeping the allocations.
  void clear();
  // Appends one frame; its ancilla count must be the batch's (set by the first frame).
  void append(const SyndromeFrame& frame);
};

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
