// The decoder state of a KelvaneStream: building the Union-Find decoder from set_decoder's
// model argument, and decoding every frame through a sliding window.
#include "kelvane/py/stream_decoder.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "kelvane/core/window.h"
#include "kelvane/decoder/union_find.h"
#include "kelvane/dem/graph.h"
#include "kelvane/py/dem_source.h"
#include "kelvane/py/exception.h"

namespace kelvane::py {

struct StreamDecoder::State {
  std::optional<SyndromeWindow> window;      // born on the first frame after configure
  std::unique_ptr<UnionFindDecoder> decoder;
  std::size_t window_depth = 0;              // 0: infer from num_detectors / ancilla_count
  std::uint64_t num_detectors = 0;
};

StreamDecoder::StreamDecoder() : state_(std::make_unique<State>()) {}
StreamDecoder::~StreamDecoder() = default;
StreamDecoder::StreamDecoder(StreamDecoder&&) noexcept = default;
StreamDecoder& StreamDecoder::operator=(StreamDecoder&&) noexcept = default;

bool StreamDecoder::configure(PyObject* dem, std::size_t window_depth) {
  GraphHandle graph = graph_from_object(dem);
  if (!graph) return false;
  std::unique_ptr<UnionFindDecoder> decoder;
  try {
    decoder = std::make_unique<UnionFindDecoder>(graph);
    if (!state_) state_ = std::make_unique<State>();  // a moved-from StreamDecoder
  } catch (const std::bad_alloc&) {
    raise_no_memory("the decoder (set_decoder)");
    return false;
  }

  // Nothing can fail from here on: install everything at once.
  state_->decoder = std::move(decoder);
  state_->window_depth = window_depth;
  state_->num_detectors = graph->boundary;
  state_->window.reset();
  return true;
}

bool StreamDecoder::configured() const { return state_ && state_->decoder; }

void StreamDecoder::decode_frame(OwnedFrame& frame) {
  if (!state_ || !state_->decoder) return;
  State& s = *state_;
  if (!s.window) {
    const std::size_t ancillas = frame.ancilla_count;
    std::size_t depth = s.window_depth;
    if (depth == 0) {
      const std::uint64_t rows = s.num_detectors / std::max<std::size_t>(ancillas, 1);
      depth = static_cast<std::size_t>(std::max<std::uint64_t>(rows, 1));
    }
    // The constructor skips a reservation it cannot make; the window then grows as it fills.
    s.window.emplace(ancillas, depth);
  }
  s.window->push_owned(syndrome_round_of(frame));
  frame.observable_flips = s.decoder->decode_window(*s.window).observable_flips;
}

}  // namespace kelvane::py
