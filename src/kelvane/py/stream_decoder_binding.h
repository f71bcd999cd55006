// The Python binding of a KelvaneStream's decoder: converts set_decoder's arguments into a configured
// kelvane::StreamDecoder, hands it each frame and turns its warnings and errors into Python's.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kelvane/core/frame.h"

namespace kelvane {
class WindowedFrames;
class StreamDecoder;
}

namespace kelvane::py {

class StreamDecoderBinding {
 public:
  StreamDecoderBinding();
  ~StreamDecoderBinding();
  StreamDecoderBinding(StreamDecoderBinding&&) noexcept;
  StreamDecoderBinding& operator=(StreamDecoderBinding&&) noexcept;

  // Configures the decoder from `dem` (anything dem_source.h accepts, a SpacetimeGraph
  // included), `layout` (nullptr or None: positional; a 2-D integer array
  // of rounds x ancillas with -1 for no detector; or the path of a .npy file holding one) and
  // `per_shot`; `commit` and `buffer` (nullptr or None: off; both ints, with a layout: decode in
  // overlapping windows); `correlated`: decode in two passes, building the graph with its
  // decomposed mechanisms; `threads` (nullptr or None: 1; 0: one per core): above 1, decode the
  // windows in parallel windows; `method` (nullptr: "union-find"; or "matching") the decoding
  // algorithm, kept across model swaps. False with a Python exception set on failure, leaving
  // the previous configuration in place.
  bool configure(PyObject* dem, std::size_t window_depth, PyObject* layout = nullptr, bool per_shot = false,
                 PyObject* commit = nullptr, PyObject* buffer = nullptr, bool correlated = false,
                 bool follow = false, PyObject* threads = nullptr, PyObject* method = nullptr);

  // With a decoder configured: decodes or records the frame (see kelvane/streaming/stream_decoder.h)
  // and emits any warnings as RuntimeWarning. Without one, leaves the frame unchanged. False
  // with a Python exception set when the frame does not fit a strict layout or a warning was
  // turned into an error.
  bool decode_frame(OwnedFrame& frame);

  // The frames' ancilla count, known before the first frame (kelvane::StreamDecoder::
  // expect_ancillas); emits the warnings that queues. False when a warning was turned into an
  // error.
  bool expect_ancillas(std::size_t ancillas);

  // The end of the data: reports a shot left unfinished, unless configured to follow a growing
  // source. False when a warning was turned into an error.
  bool end_of_data();

  // Decodes with `dem` (anything dem_source.h accepts) from the next decode on, keeping what
  // the stream holds (kelvane::StreamDecoder::replace_graph). False with ValueError set when
  // no decoder is configured or the model does not fit the one decoding now.
  bool replace_model(PyObject* dem);
  // Successful replace_model calls since configure.
  std::uint64_t model_swaps() const;
  // Gathers blocks of `every` shots' counts over `pairs` (a (k, 2) array of detector ids); 0
  // stops. With `on_block` (a callable; nullptr or None: none), decode_frame calls it with
  // (shots, fired, both_fired) on the frame completing a block and swaps in the model it
  // returns (None: no swap), its errors propagating. False with an exception set when no
  // decoder is configured, a pair is out of range or on_block is not callable.
  bool gather_for_learning(PyObject* pairs, std::uint64_t every, PyObject* on_block = nullptr);
  // (shots, fired, both_fired) of the block the last frame completed (NumPy uint64 arrays), or
  // None; nullptr with an exception set on failure.
  PyObject* learning_block() const;

  std::uint64_t incomplete_shots() const;
  std::uint64_t missing_rounds() const;
  std::uint64_t unsatisfiable_decodes() const;
  // The windows (statistics and backlog) when decoding in them, else nullptr.
  const WindowedFrames* windows() const;
  // True once configure has succeeded.
  bool configured() const;
  // The configured decoder, else nullptr.
  kelvane::StreamDecoder* native();
  // Emits the decoder's queued warnings as RuntimeWarning; false when one was turned into an error.
  bool emit_warnings();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kelvane::py
