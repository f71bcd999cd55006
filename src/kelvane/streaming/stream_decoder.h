// Decoding a stream of frames, one frame per round: the frame-to-detector layout, the window of
// recent rounds and when to decode.
//
// Two schedules:
//   - sliding (the default): every frame is decoded together with the rounds before it, up to the
//     layout's depth; window row k (k = 0 the oldest round held) is layout round k. The rounds are
//     kept in a ring of their fired ancillas, so a frame costs its own events plus the decode.
//   - windowed (with `windows`): rounds are decoded in overlapping windows as they arrive (see
//     windowed_frames.h); a frame that closes a commit step carries the flips committed so far,
//     other frames none. With per shot, shots are checked as below and each shot's last frame
//     carries its prediction; without, the stream is endless, its rounds placed by `round`
//     (see below).
//   - endless windowed: the first frame starts the stream, and each later frame is the stream
//     round its `round` says, compared modulo 2^32 with the last frame's. A round skipped
//     (frames lost, or dropped by resynchronisation) is decoded as quiet, counted in
//     missing_rounds(), and flags (window_incomplete) the frames carrying the commits whose
//     windows held it. A round 0 restarts the stream, unless it follows round 2^32 - 1 with the
//     next frame_id (the 32-bit round wrapped); so does a round going backwards or a gap of over
//     kMaxQuietGap rounds. A restart drops the rounds received but not yet committed, which are
//     counted as missing too. The first such event of a stream is warned about.
//   - per shot: frames are grouped into shots of the layout's depth. A frame with round 0 starts a
//     shot; the shot is decoded once, when its last round arrives, and that frame carries the
//     prediction. A shot cut short (a new round 0 before its end, a jump in `round`, a forward
//     jump in `frame_id`, a round beyond the layout, or the end of the stream) is counted, reported
//     as a warning, flagged on the frame where it shows, and never decoded.
//
// A frame carrying the description hash of a stream that describes itself (round-0 frames) names
// the layout the stream was written with by its CRC-32 (layout_crc): a frame that names another
// layout than the decoder's is refused by strict configurations and warned about once by the
// positional one whose depth is inferred (a window_depth chosen makes no such claim), so that a reader that joined a stream without its description, or whose stream
// changed, is told instead of decoding it wrong. A stream that stores no layout names none.
//
// Without an explicit layout the layout is positional, its depth `window_depth` or, when that is
// 0, the model's detector count over the first frame's ancilla count. Strict configurations (per
// shot, or an explicit layout) fail on a layout that cannot serve the model or a frame; the
// default sliding positional one keeps decoding as before and warns once per stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kelvane/core/frame.h"
#include "kelvane/decoder/union_find.h"
#include "kelvane/dem/graph.h"
#include "kelvane/metrics/correlation_counter.h"
#include "kelvane/streaming/layout.h"
#include "kelvane/streaming/windowed_frames.h"

namespace kelvane {

struct StreamDecodeOptions {
  bool per_shot = false;
  std::size_t window_depth = 0;       // positional layouts: rounds per window; 0 infers
  std::optional<FrameLayout> layout;  // an explicit layout; positional when absent
  // Decode in overlapping windows (made for `layout`); copies of the options share it.
  std::shared_ptr<WindowedFrames> windows;
  // Decode in two passes (UnionFindDecoder::decode_detectors); the graph keeps its mechanisms.
  // Windows are made correlated or not themselves (WindowedFrames::create).
  bool correlated = false;
  // The decoding algorithm of every decode (UnionFindDecoder::set_method), kept across model
  // swaps. Windows are made with their method themselves (WindowedFrames::create).
  DecodeMethod method = DecodeMethod::kUnionFind;
  // The data's end is not the stream's: a file followed while it grows may yield the rest of a
  // shot later, so a shot cut by the end stays open instead of being counted as cut short.
  bool follow = false;
};

// Which schedule a stream may be asked for, before anything is built: windows need both commit
// and buffer, and a layout (one row per round of the model). The text of the first rule broken,
// or nothing.
std::optional<std::string> schedule_refusal(bool has_commit, bool has_buffer, bool has_layout);

class StreamDecoder {
 public:
  // Fails when an explicit layout does not fit the graph (a table is checked when it is made)
  // or window_depth disagrees with its depth.
  static std::expected<StreamDecoder, LayoutError> create(std::shared_ptr<const SpacetimeGraph> graph,
                                                          StreamDecodeOptions options);

  // Takes one frame: sets frame.prediction, frame.observable_flips (the prediction, or nothing
  // on a frame without one; with it frame.model_observables and, for a model of more than 64
  // observables, frame.observable_bits) and frame.shot_incomplete. Fails, leaving the frame and the state
  // as they were, when a strict configuration meets a frame that does not fit the layout.
  // Warnings raised meanwhile are queued (see take_warnings).
  std::expected<void, LayoutError> push(OwnedFrame& frame);

  // The frames' ancilla count, when known before the first frame (from the stream's stored
  // layout, or from frames read before the decoder was set): with a positional layout, the
  // warning about a rule that mixes detector times is queued now instead of at the first frame
  // (and again there only if that frame has another width). Does nothing otherwise.
  void expect_ancillas(std::size_t ancillas);

  // The end of the stream: a shot left unfinished is counted and reported. Idempotent.
  void finish();
  // The end of the data read so far: finish(), unless the options follow a growing source.
  void end_of_data() {
    if (!options_.follow) finish();
  }
  // Whether the end of the data is only the end of what has been written so far (options.follow).
  bool follows() const { return options_.follow; }

  // Decodes with `graph` from the next decode on (a model learned while the stream runs),
  // keeping what the stream holds: the rounds in the sliding ring or the windows (with the flips
  // earlier commits left in them), the shot being gathered, and the counters. With windows the
  // new weights go onto the current model's rounds and repeating block
  // (WindowedFrames::reweight), and every window closed after the call is decoded with them.
  // `graph` must have the model's detectors and observables (with windows, its rounds and edges
  // too: only probabilities may change) and, when decoding with correlations, keep its
  // mechanisms. Fails with the reason, changing nothing, otherwise.
  std::expected<void, std::string> replace_graph(std::shared_ptr<const SpacetimeGraph> graph);
  // Successful replace_graph calls so far.
  std::uint64_t graph_replacements() const { return graph_replacements_; }

  // Gathers detection events for learning the model, in blocks of `every` shots: frame round r
  // fills layout row r % rows of a shot (rows: the layout's depth), and the frame of the last
  // row ends it (in an endless stream, consecutive runs of as many rounds as the layout has
  // rows stand for shots; per shot, shots cut short are left out). Each shot is counted over
  // `pairs` (CorrelationCounter). The push
  // that completes a block leaves it in learning_block() until the next push, which starts
  // the next block. every = 0 stops gathering.
  void gather_for_learning(std::span<const CorrelationCounter::Pair> pairs, std::uint64_t every);
  // The counts of the block the last push completed, or nullptr.
  const CorrelationCounter* learning_block() const { return learn_ready_ ? learn_counter_.get() : nullptr; }

  // Warnings queued since the last call, oldest first.
  std::vector<std::string> take_warnings();

  // Shots (per shot) or frames (sliding) decoded so far.
  std::uint64_t decodes() const { return decodes_; }
  // Shots found cut short so far (per shot only).
  std::uint64_t incomplete_shots() const { return incomplete_shots_; }
  // Rounds of an endless windowed stream that never arrived, or were dropped uncommitted by a
  // restart, so far.
  std::uint64_t missing_rounds() const { return missing_rounds_; }
  // Restarts of a running endless windowed stream so far (a round 0, a round going backwards, a
  // gap too long to decode as quiet): each drops the rounds held, counted in missing_rounds().
  std::uint64_t restarts() const { return restarts_; }

  // The longest run of missing rounds decoded as quiet; a longer gap restarts the stream.
  static constexpr std::uint32_t kMaxQuietGap = 1u << 16;
  // Decodes whose correction could not reproduce the syndrome (a cluster left odd with no
  // boundary to reach).
  std::uint64_t unsatisfiable_decodes() const { return unsatisfiable_; }
  // The model's detector count.
  std::uint64_t detector_count() const { return num_detectors_; }
  // The layout in use; none before the first frame when it is inferred from it.
  const std::optional<FrameLayout>& layout() const { return layout_; }
  bool per_shot() const { return options_.per_shot; }
  // The windows when decoding in them, else nullptr.
  const WindowedFrames* windows() const { return options_.windows.get(); }
  WindowedFrames* windows() { return options_.windows.get(); }

 private:
  StreamDecoder(std::shared_ptr<const SpacetimeGraph> graph, StreamDecodeOptions options);

  bool strict() const { return options_.per_shot || options_.layout.has_value(); }
  // Fixes the layout on the first frame.
  std::expected<void, LayoutError> start(const OwnedFrame& frame);
  void push_sliding(OwnedFrame& frame);
  void push_per_shot(OwnedFrame& frame);
  void push_windowed(OwnedFrame& frame);
  // Endless windowed: counts rounds lost, warning about the first loss of the stream.
  void lose_rounds(std::uint64_t count, const std::string& what);
  // Hands a round of the current shot or stream to the windows and sets the frame's flips.
  void push_to_windows(OwnedFrame& frame, bool last_of_shot);
  // Appends the detectors of the frame's fired ancillas in layout round `round`.
  void add_fired(const OwnedFrame& frame, std::size_t round);
  // Decodes fired_ and sets the frame's prediction fields.
  void decode_fired(OwnedFrame& frame);
  void warn(std::string text) { warnings_.push_back(std::move(text)); }
  // Warns when the positional rule over `ancillas` ancillas mixes detectors of different times
  // (their last coordinate in the model) in one frame.
  void warn_if_positional_mixes_times(std::size_t ancillas);
  void cut_short(OwnedFrame& frame, std::string why);

  // Learning: the detectors of the shot being gathered and the counts of the block.
  void gather(const OwnedFrame& frame);

  std::shared_ptr<const SpacetimeGraph> graph_;
  std::unique_ptr<UnionFindDecoder> decoder_;
  StreamDecodeOptions options_;
  std::optional<FrameLayout> layout_;
  std::uint64_t num_detectors_ = 0;
  std::uint16_t num_observables_ = 0;
  bool wide_ = false;  // more than 64 observables
  std::vector<std::string> warnings_;
  bool warned_ancillas_ = false;
  std::optional<std::size_t> expected_ancillas_;  // checked against the model's times already
  // layout_crc of layout_, once a frame names a layout (nothing inside: none can be stored).
  std::optional<std::optional<std::uint32_t>> layout_crc_;
  bool warned_description_ = false;

  // Sliding: the fired ancillas of the rounds held, in a ring of layout-depth rows.
  std::vector<std::vector<std::uint32_t>> ring_;
  std::size_t ring_head_ = 0;  // the oldest row
  std::size_t ring_held_ = 0;

  // Per shot.
  bool shot_open_ = false;    // a shot has started and not reached its last round
  bool shot_broken_ = false;  // ... and was found cut short
  std::uint32_t next_round_ = 0;
  std::optional<std::uint64_t> last_frame_id_;  // per shot and endless windowed

  // Endless windowed: the last frame's round, and the runs [begin, end) of stream rounds that
  // never arrived and are not yet committed.
  std::uint32_t last_round_ = 0;
  std::vector<std::pair<RoundIndex, RoundIndex>> missing_;
  std::uint64_t missing_rounds_ = 0;
  std::uint64_t restarts_ = 0;
  bool warned_missing_ = false;

  std::vector<std::uint32_t> fired_;  // detector ids of the window or shot being built
  std::uint64_t decodes_ = 0;
  std::uint64_t incomplete_shots_ = 0;
  std::uint64_t unsatisfiable_ = 0;
  std::uint64_t graph_replacements_ = 0;

  std::unique_ptr<CorrelationCounter> learn_counter_;
  std::uint64_t learn_every_ = 0;
  std::vector<std::uint32_t> learn_shot_;
  bool learn_ready_ = false;
};

}  // namespace kelvane
