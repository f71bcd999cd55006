// The interface through which a stream object gets its frames, whatever the byte source.
#pragma once

#include <optional>

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"

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

}  // namespace kelvane
