// The interface through which a stream object gets its frames, whatever the byte source.
#pragma once

#include <optional>

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"
#include "kelvane/kvlx/stream.h"

namespace kelvane {

class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // Blocks the calling thread until the next frame has been read, validated and converted.
  // Returns the frame, nothing at the end of the data (a later call may find more, e.g. in a
  // file that has grown), or the reader's error. Errors leave the source usable; what the next
  // call reads depends on how far the failing call got.
  virtual Result<std::optional<OwnedFrame>> next_owned() = 0;
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
