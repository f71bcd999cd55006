// The interface through which a stream object gets its frames, whatever the byte source.
#pragma once

#include <optional>

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"
#include "kelvane/kvlx/owned_frame.h"
#include "kelvane/kvlx/stream.h"
#include "kelvane/source/frame_batch.h"

namespace kelvane {

class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // Blocks the calling thread until the next frame has been read, validated and converted.
  // Returns the frame, nothing at the end of the data (a later call may find more, e.g. in a
  // file that has grown), or the reader's error. Errors leave the source usable; what the next
  // call reads depends on how far the failing call got.
  virtual Result<std::optional<OwnedFrame>> next_owned() = 0;

  // Reads up to max_frames frames into `out` (see read_frame_batch): the error that stopped the
  // batch is returned after the good frames before it are in `out`. Blocks like next_owned.
  virtual Status read_batch(std::size_t max_frames, FrameBatch& out) = 0;
};

// Batches from a source such that an error met after some good frames is held back: the call
// returns those frames and the next call returns the error (and reads nothing).
class BatchReader {
 public:
  // The number of frames put in `out` (0 at the end of the data), or the error.
  Result<std::size_t> next(FrameSource& source, std::size_t max_frames, FrameBatch& out) {
    out.clear();
    if (held_) {
      KelvaneError e = std::move(*held_);
      held_.reset();
      return fail(std::move(e));
    }
    Status s = source.read_batch(max_frames, out);
    if (!s) {
      if (out.size() == 0) return fail(std::move(s.error()));
      held_ = std::move(s.error());
    }
    return out.size();
  }

 private:
  std::optional<KelvaneError> held_;
};

// One next_owned step over any reader: the next frame, converted while its sections are still
// valid, after which the frame's storage goes back to the reader for reuse.
template <ByteSource Source>
Result<std::optional<OwnedFrame>> next_owned_frame(KvlxStream<Source>& stream) {
  Result<std::optional<SyndromeFrame>> frame = stream.next_frame();
  if (!frame) return fail(std::move(frame.error()));
  if (!*frame) return std::nullopt;
  std::optional<OwnedFrame> owned(to_owned_frame(**frame));
  stream.recycle(std::move(**frame));
  return owned;
}

}  // namespace kelvane
