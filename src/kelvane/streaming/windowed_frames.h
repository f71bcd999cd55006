// Streamed frames decoded in overlapping windows: each frame's fired ancillas become the slots of
// its model round through the frame layout, and a SlidingWindowDecoder commits corrections as
// frames arrive (see kelvane/decoder/sliding_window.h).
//
// Layout row r must hold detectors of model round r only (the rounds the detectors' time
// coordinates give, as kelvane.layout_from_stim lays them out), one row per model round. With
// shots, a stream is a sequence of shots of the layout's depth, each frame mapped through its own
// row. Without shots the stream has no end: frame j of it (counted from a frame of round 0) maps
// through the row of the model round that stream round j stands for: the head rows first, then
// the repeating block's rows in turn; the model's last rows are never used. Which stream round a
// frame is, and what to do with rounds that never arrive, is the stream decoder's to say (see
// stream_decoder.h): it adds those as quiet rounds.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kelvane/core/frame.h"
#include "kelvane/decoder/sliding_window.h"
#include "kelvane/dem/graph.h"
#include "kelvane/streaming/layout.h"

namespace kelvane {

class WindowedFrames {
 public:
  // `correlated` decodes each window in two passes (the graph must keep its mechanisms);
  // `threads` above 1 decodes in core and seam windows, `method` is the windows' decoding
  // algorithm (SlidingWindowDecoder::create). Fails when
  // commit is 0, the graph's detectors have no time coordinate, the layout's rows are not the
  // model's rounds, or correlated decoding is asked of a graph without mechanisms.
  static SlidingResult<WindowedFrames> create(const SpacetimeGraph& graph, const FrameLayout& layout,
                                              std::uint32_t commit, std::uint32_t buffer, bool shots,
                                              bool correlated = false, unsigned threads = 1,
                                              DecodeMethod method = DecodeMethod::kUnionFind);

  // Starts a shot (or, without shots, a stream from its first round).
  void start();
  // Adds the next frame's round (ancillas past the layout's are ignored). Returns true when a
  // commit step closed, or the shot's last round finished it. Fails when no shot or stream was
  // started.
  SlidingResult<bool> push(const OwnedFrame& frame);
  // Decodes the windows closed from now on with `graph`'s weights, on this model's rounds and
  // repeating block (SlidingWindowModel::with_weights_of); the rounds held stay. Fails, changing
  // nothing, when `graph` has other detectors, rounds or edges than the model decoding now.
  SlidingResult<void> reweight(const SpacetimeGraph& graph);
  // Adds the next round as quiet (nothing fired): a round that never arrived.
  SlidingResult<bool> push_quiet() { return decoder_.push_round({}); }

  // The flips committed so far; after a shot's last frame, the shot's prediction.
  std::uint64_t committed_flips() const { return decoder_.committed_flips(); }
  const ObservableBits& committed_bits() const { return decoder_.committed_bits(); }
  bool running() const { return decoder_.running(); }
  // Rounds of the current stream committed and received, and the buffer rounds a window holds
  // past the rounds it commits.
  RoundIndex committed_rounds() const { return decoder_.committed_rounds(); }
  RoundIndex received_rounds() const { return decoder_.received_rounds(); }
  std::uint32_t buffer() const { return decoder_.buffer(); }
  std::uint32_t commit() const { return decoder_.commit(); }
  const SlidingWindowStats& stats() const { return decoder_.stats(); }
  // A detector a commit flipped: the stream round (from the shot's or stream's first round) and
  // the frame ancilla that carries it.
  struct AncillaFlip {
    RoundIndex round = 0;
    std::uint32_t ancilla = 0;
    bool operator==(const AncillaFlip&) const = default;
  };
  // The threads asked for (above 1: core and seam windows).
  unsigned threads() const { return decoder_.threads(); }
  // Keeps the detectors committed corrections flip, for take_detector_flips.
  void keep_detector_flips(bool on) { decoder_.keep_detector_flips(on); }
  // Replaces `out` with the detectors the commits since the last call flipped (in round order,
  // each once); a detector no layout entry carries is left out.
  void take_detector_flips(std::vector<AncillaFlip>& out);

  // Shots or streams started so far: a change means the rounds held before were dropped.
  std::uint64_t starts() const { return starts_; }
  // Rounds received and not yet committed (the decoder's backlog); 0 between shots.
  std::uint64_t held_rounds() const {
    return decoder_.running() ? decoder_.received_rounds() - decoder_.committed_rounds() : 0;
  }

 private:
  static constexpr RoundSlot kNoSlot = ~RoundSlot{0};
  static constexpr std::uint32_t kNoAncilla = ~std::uint32_t{0};
  explicit WindowedFrames(SlidingWindowDecoder decoder) : decoder_(std::move(decoder)) {}

  SlidingWindowDecoder decoder_;
  std::size_t ancillas_ = 0;
  std::vector<RoundSlot> slot_;  // rows x ancillas: the slot of each layout entry, or kNoSlot
  std::vector<RoundSlot> fired_;
  std::vector<std::uint32_t> ancilla_of_;  // rows x widest round: the ancilla of each slot, or kNoAncilla
  std::uint32_t row_width_ = 0;
  std::vector<SlidingWindowDecoder::StreamDetector> flipped_;
  bool shots_ = false;
  std::uint64_t starts_ = 0;
};

}  // namespace kelvane
