// Decoding in windows a stream of syndrome rounds that may never end (window_engine.h has the
// windows and what they commit).
//
// `SlidingWindowDecoder` checks the rounds and streams it is given against its model and hands
// them to a window engine: on one thread, sliding windows [s, s + c + b) committing c rounds at a
// time (c: commit rounds, b: buffer rounds), the rest decoded whole when the stream ends; on
// several, open core windows and closed seam windows, which decide other windows than one
// thread's (the same for any thread count above 1). Every feature works either way: observables
// beyond 64 (committed_bits), correlated windows, the detector flips of the commits and model
// swaps.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "kelvane/core/observable_bits.h"
#include "kelvane/decoder/sliding_window_model.h"
#include "kelvane/decoder/window_engine.h"

namespace kelvane {

class SlidingWindowDecoder {
 public:
  using ObservableMask = std::uint64_t;
  using StreamDetector = kelvane::StreamDetector;

  // Decodes windows of `commit + buffer` rounds committing `commit` (at least 1) at a time;
  // `correlated` decodes each window in two passes (UnionFindDecoder::decode_detectors), the
  // commits coming from the second. With `threads` above 1 the stream is decoded in open core
  // windows and closed seam windows on that many threads, or the usable cores if fewer. `method`
  // is the algorithm each window is decoded with (UnionFindDecoder::set_method; correlated
  // matching with `correlated`). Fails when commit is 0 or correlated decoding is asked of a
  // model without mechanisms.
  static SlidingResult<SlidingWindowDecoder> create(std::shared_ptr<const SlidingWindowModel> model,
                                                    std::uint32_t commit, std::uint32_t buffer,
                                                    bool correlated = false, unsigned threads = 1,
                                                    DecodeMethod method = DecodeMethod::kUnionFind);

  // Starts a new stream (dropping any unfinished one): `total` is its round count when known
  // (a shot of the model has model.round_count() rounds), or nullopt for a stream that ends when
  // `finish` is called. Fails when `total` is below the model's minimum.
  SlidingResult<void> start(std::optional<RoundIndex> total);

  // Adds the next round: the slots of its fired detectors (a slot listed twice cancels out).
  // Decodes and commits every window that has become complete; when the stream's known round
  // count is reached, finishes it. Returns true when the round closed at least one commit step.
  // Fails, adding nothing, when no stream is running or a slot is past the round's width.
  SlidingResult<bool> push_round(std::span<const RoundSlot> fired);

  // The detector slots stream round j of the running stream can have: its model round's size
  // (without a known length, a round past the head may end up as any of the tail's rounds, so
  // the largest of those sizes too); 0 past a known length.
  RoundSlot round_width(RoundIndex j) const;
  // push_round's checks: a stream is running, round j lies within its known length, and no
  // fired slot is at or past round_width(j).
  SlidingResult<void> check_round(RoundIndex j, std::span<const RoundSlot> fired) const;

  // Rounds about to be pushed in a block, all at once (from memory): with several threads, steps
  // then wait for many windows, so the threads meet rarely. end_block() runs what is ready and
  // returns true when that committed rounds; without a block (or with one thread) they do
  // nothing. start() ends a block too.
  void begin_block();
  bool end_block();

  // Ends the stream: decodes what is left and commits all of it. A stream with a known round
  // count must have all its rounds in. Fails when no stream is running, too few rounds came in,
  // or (known count) rounds are missing.
  SlidingResult<void> finish();

  // Decodes one whole shot of the model: the fired detector ids (ids of the model, each
  // occurrence toggles; ids past the model are ignored), streamed round by round. Returns the
  // committed observable flips.
  SlidingResult<ObservableMask> decode_shot(std::span<const std::uint32_t> fired);

  // Decodes every window from now on with `model`, which must have the current model's shape
  // (SlidingWindowModel::same_shape). Between two push_round calls the rounds before
  // committed_rounds() are settled: they and the committed flips stay, and the first window
  // decoded with the new model is the one starting at committed_rounds() (with several threads,
  // core windows decoded past it are decoded again). Fails, changing nothing, on another shape.
  SlidingResult<void> replace_model(std::shared_ptr<const SlidingWindowModel> model);

  // The observable flips committed so far in the current (or last) stream: observables 0 to 63,
  // and every observable (up to 256).
  ObservableMask committed_flips() const { return engine_.committed().low(); }
  const ObservableBits& committed_bits() const { return engine_.committed(); }

  // Keeps the detectors that committed correction edges flip, for take_detector_flips (off by
  // default: it costs a little per committed edge).
  void keep_detector_flips(bool on) { engine_.keep_detector_flips(on); }
  // Replaces `out` with the detectors the corrections committed since the last call flip, sorted,
  // each once (two committed edges meeting at a detector leave it unflipped). Over a whole
  // stream they are the fired detectors whenever every window's correction reproduced its
  // syndrome.
  void take_detector_flips(std::vector<StreamDetector>& out) { engine_.take_detector_flips(out); }
  // Rounds committed (the start of the next window) and rounds received.
  RoundIndex committed_rounds() const { return engine_.committed_rounds(); }
  RoundIndex received_rounds() const { return engine_.received_rounds(); }
  bool running() const { return running_; }

  const SlidingWindowStats& stats() const { return engine_.stats(); }
  void clear_stats() { engine_.clear_stats(); }
  // The threads asked for (1: one window after another).
  unsigned threads() const { return threads_; }
  std::uint32_t commit() const { return commit_; }
  std::uint32_t buffer() const { return buffer_; }
  bool correlated() const { return correlated_; }
  DecodeMethod method() const { return method_; }
  const SlidingWindowModel& model() const { return engine_.model(); }

 private:
  SlidingWindowDecoder(std::shared_ptr<const SlidingWindowModel> model, std::uint32_t commit,
                       std::uint32_t buffer, bool correlated, unsigned threads, DecodeMethod method);

  WindowEngine engine_;
  std::uint32_t commit_ = 1;
  std::uint32_t buffer_ = 0;
  bool correlated_ = false;
  DecodeMethod method_ = DecodeMethod::kUnionFind;
  unsigned threads_ = 1;
  RoundSlot max_tail_size_ = 0;  // the largest of the tail's rounds
  std::optional<RoundIndex> total_;
  bool running_ = false;
  // decode_shot's detectors sorted into rounds.
  std::vector<std::uint32_t> shot_round_start_;
  std::vector<RoundSlot> shot_slots_;
};

}  // namespace kelvane
