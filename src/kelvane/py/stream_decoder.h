// The decoder state of a KelvaneStream: set_decoder's configuration and the per-frame decode.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>

#include "kelvane/core/frame.h"

namespace kelvane::py {

class StreamDecoder {
 public:
  StreamDecoder();
  ~StreamDecoder();
  StreamDecoder(StreamDecoder&&) noexcept;
  StreamDecoder& operator=(StreamDecoder&&) noexcept;

  // Configures the decoder from `dem` (anything dem_source.h accepts, a SpacetimeGraph
  // included) and drops the window. False with a Python exception set
  // on failure, leaving the previous configuration in place.
  bool configure(PyObject* dem, std::size_t window_depth);

  // With a decoder configured: pushes the frame into the window, decodes the window and sets
  // frame.observable_flips to the decoded mask. Without one, leaves the frame unchanged.
  void decode_frame(OwnedFrame& frame);
  // True once configure has succeeded.
  bool configured() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kelvane::py
