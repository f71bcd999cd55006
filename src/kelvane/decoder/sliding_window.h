// Sliding-window (overlapping-window) decoding of a stream of syndrome rounds that may never end.
//
// A memory experiment's detector error model has a few first rounds, a block of rounds that
// repeats, and a few last rounds. `SlidingWindowModel` splits a model's decoding graph that way,
// given the round of every detector: each edge belongs to the earliest round among its
// detectors, and the round's edges are kept with their detectors written as (round offset,
// slot), the slot being a detector's rank by id among the detectors of its round. Two rounds
// match when they have the same size and the same edges in the same order (same slots, offsets,
// weights and observables). The repeating block is found around the middle round: the period P
// (1 to 4 rounds) whose run of rounds matching the round P later (or earlier) is longest, the
// shortest period on a tie (Stim may write a model whose rounds alternate between two
// decompositions, so its period is 2). The head is what precedes that run, the tail what
// follows it. A stream of N rounds is the model stretched to N rounds: stream round j takes the
// edges of model round j in the head, of model round j - N + T in the tail (T: the model's
// round count), and of the run's round of the same phase, head + (j - head) mod P, otherwise;
// N - T must be a multiple of P. The whole stream's graph is never built.
//
// A graph that keeps its decomposed mechanisms gives a model that keeps them too: each round
// edge that is a component of a mechanism names it by the round the mechanism starts in (its
// components' earliest round, given as rounds back from the edge's) and its rank there (the
// place, in that round's edge list, of its first component in that round), with its
// probability. Rounds match only when these agree too. A window's graph groups its edges into
// mechanisms by those names, so correlated decoding works on windows; a mechanism reaching
// rounds outside the window keeps the components inside it.
//
// `SlidingWindowDecoder` consumes rounds as they arrive. Once the window [s, s + c + b) is in
// (c: commit rounds, b: buffer rounds), it builds the window's graph from those rounds' edges,
// decodes the window with the Union-Find decoder, commits the correction edges that belong to
// rounds [s, s + c), flips the detectors of rounds at or after s + c that a committed edge
// touches, adds the committed edges' observables to the committed flips, and slides to s + c.
// Edges from the window's rounds to rounds past it end on the boundary instead (the unknown
// future is an open boundary); edges from rounds before s are left out (the past is settled).
// When the stream ends, the rest [s, N) is decoded whole and committed. When the stream's round
// count is not known ahead, a window is decoded only once the model's tail length of rounds past
// it has arrived too, so that the stream's last rounds can still take the tail's edges.
//
// Windows with the same rounds' edges (every window between the head and the tail) share one
// graph and one Union-Find decoder, built the first time such a window is decoded and kept; the
// round ring, the fired-detector list and the decoders' scratch are reused, so steady-state
// decoding does not allocate.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kelvane/decoder/latency_histogram.h"
#include "kelvane/decoder/union_find.h"
#include "kelvane/dem/graph.h"

namespace kelvane {

// Why a model or a stream cannot be decoded in windows; `to_string` is the display text.
struct SlidingWindowError {
  std::string message;
  const std::string& to_string() const { return message; }
};
template <typename T>
using SlidingResult = std::expected<T, SlidingWindowError>;

using RoundIndex = std::uint64_t;     // a round of the stream (unbounded)
using ModelRound = std::uint32_t;     // a round of the model
using RoundSlot = std::uint32_t;      // a detector's rank among the detectors of its round

// The rounds of a graph's detectors from their time coordinate, the last one each declared
// (Stim writes (x, t) for repetition codes and (x, y, t) for surface codes; of longer lists only
// the first three are kept, and the third stands in): the distinct times in increasing order
// are rounds 0, 1, ... Fails when a detector declared no coordinates.
SlidingResult<std::vector<ModelRound>> detector_rounds(const SpacetimeGraph& graph);

class SlidingWindowModel {
 public:
  // One edge of a round: from slot `a` of the round to slot `b` of the round `b_delta` rounds
  // later, or to the boundary.
  struct RoundEdge {
    RoundSlot a = 0;
    RoundSlot b = 0;
    std::uint32_t b_delta = 0;
    bool to_boundary = false;
    float weight = 0.0f;
    std::vector<std::uint8_t> observables;
    // The decomposed mechanism the edge is a component of (see above), or kNoMechanism.
    std::uint32_t mechanism = kNoMechanism;
    std::uint32_t mechanism_back = 0;  // rounds from the mechanism's first round to the edge's
    double mechanism_probability = 0.0;
  };
  static constexpr std::uint32_t kNoMechanism = ~std::uint32_t{0};

  static constexpr std::uint32_t kMaxPeriod = 4;

  // Splits `graph` into rounds. `detector_round` gives the round of each detector (one entry per
  // detector, graph.boundary of them). Fails when the counts differ, or when the model has no
  // detector.
  static SlidingResult<SlidingWindowModel> build(const SpacetimeGraph& graph,
                                                 std::span<const ModelRound> detector_round);

  ModelRound round_count() const { return static_cast<ModelRound>(round_size_.size()); }
  // Whether the graph kept its decomposed mechanisms, so that windows can decode correlated.
  bool keeps_mechanisms() const { return keeps_mechanisms_; }
  ModelRound head_rounds() const { return head_; }
  ModelRound tail_rounds() const { return tail_; }
  // The repeating block: `period` rounds starting at the head's end.
  std::uint32_t period() const { return period_; }
  // The most rounds an edge reaches past the round it belongs to.
  std::uint32_t max_reach() const { return max_reach_; }
  std::uint32_t round_size(ModelRound r) const { return round_size_[r]; }
  std::uint32_t max_round_size() const { return max_round_size_; }
  std::span<const RoundEdge> round_edges(ModelRound r) const {
    return {edges_.data() + edge_start_[r], edges_.data() + edge_start_[r + 1]};
  }
  // Where a detector of the model sits.
  ModelRound round_of(std::uint32_t detector) const { return detector_round_[detector]; }
  RoundSlot slot_of(std::uint32_t detector) const { return detector_slot_[detector]; }
  std::size_t detector_count() const { return detector_round_.size(); }
  // The model round whose edges stream round j of a stream of `total` rounds takes.
  ModelRound model_round(RoundIndex j, std::optional<RoundIndex> total) const;
  // The common start of every window graph over stream rounds [first, first + length): the model
  // round of each window round, where each one's detectors start among the window's nodes, and a
  // graph of those nodes plus the boundary without edges (which edges a window takes depends on
  // how it treats its ends).
  std::shared_ptr<SpacetimeGraph> window_nodes(RoundIndex first, std::size_t length,
                                               std::optional<RoundIndex> total,
                                               std::vector<ModelRound>& model_rounds,
                                               std::vector<std::uint32_t>& round_start) const;
  // True when the repeating rounds between head and tail exceed a period plus the rounds an
  // edge reaches, so that the model can stand for streams of other lengths than its own.
  bool stretchable() const;
  // The fewest rounds a stream other than the model's own length must have: the head, the
  // tail, and enough repeating rounds between them for the head's edges to land on them.
  RoundIndex min_stream_rounds() const;
  // Whether a stream of `total` rounds fits: the model's own length, or (stretchable) at least
  // min_stream_rounds() and a whole number of periods longer or shorter than the model.
  bool fits(RoundIndex total) const;

  // Whether `other` has this model's rounds and edges (slots, reach, boundary, observables, the
  // mechanisms they belong to) in the same order, whatever their weights and probabilities.
  bool same_shape(const SlidingWindowModel& other) const;
  // This model with the weights of `learned` (built from a graph with the same mechanisms but
  // new probabilities, e.g. one learned from detection events), keeping this model's head, tail
  // and repeating block: each round of the repeating run takes, edge by edge, the mean
  // probability over the run's rounds of its phase, so that the result repeats where this one
  // does (estimates from shots differ from round to round by their noise, which would otherwise
  // leave no repeating block); the probabilities of the mechanisms edges belong to are pooled
  // alike. Head and tail rounds take their own. Fails when the shapes differ.
  SlidingResult<SlidingWindowModel> with_weights_of(const SlidingWindowModel& learned) const;

 private:
  std::vector<std::uint32_t> round_size_;
  std::vector<std::uint32_t> edge_start_;  // round_count + 1 offsets into edges_
  std::vector<RoundEdge> edges_;
  std::vector<ModelRound> detector_round_;
  std::vector<RoundSlot> detector_slot_;
  ModelRound head_ = 0;
  ModelRound tail_ = 0;
  std::uint32_t period_ = 1;
  std::uint32_t max_reach_ = 0;
  std::uint32_t max_round_size_ = 0;
  bool keeps_mechanisms_ = false;
};

// What a decoder has measured since it was made (or since `clear_stats`).
struct SlidingWindowStats {
  std::uint64_t rounds = 0;        // rounds committed
  std::uint64_t windows = 0;       // windows decoded (commit steps, final windows included)
  std::uint64_t window_graphs = 0; // distinct window graphs built
  std::uint64_t build_ns = 0;      // time spent building them (not part of any step)
  LatencyHistogram step;           // time per commit step: gather, decode and commit, in ns

  // Rounds committed per second of decoding time (window graph builds left out: each shape is
  // built once per decoder).
  double rounds_per_second() const {
    return step.total_ns() ? static_cast<double>(rounds) * 1e9 / static_cast<double>(step.total_ns()) : 0.0;
  }
};

class ParallelWindows;

class SlidingWindowDecoder {
 public:
  using ObservableMask = UnionFindDecoder::ObservableMask;

  // Decodes windows of `commit + buffer` rounds committing `commit` (at least 1) at a time;
  // `correlated` decodes each window in two passes (UnionFindDecoder::decode_detectors), the
  // commits coming from the second. With `threads` above 1 the stream is decoded in parallel
  // windows instead, on that many threads or the usable cores if fewer (parallel_windows.h:
  // other windows, so other predictions than one thread's, the same for any thread count above
  // 1). Fails when commit is 0, correlated decoding is asked of a model without mechanisms, or
  // with more than one thread.
  static SlidingResult<SlidingWindowDecoder> create(std::shared_ptr<const SlidingWindowModel> model,
                                                    std::uint32_t commit, std::uint32_t buffer,
                                                    bool correlated = false, unsigned threads = 1);
  SlidingWindowDecoder(SlidingWindowDecoder&&) noexcept;
  SlidingWindowDecoder& operator=(SlidingWindowDecoder&&) noexcept;
  ~SlidingWindowDecoder();

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

  // Ends the stream: decodes what is left as one window and commits it. A stream with a known
  // round count must have all its rounds in. Fails when no stream is running, too few rounds
  // came in, or (known count) rounds are missing.
  SlidingResult<void> finish();

  // Decodes one whole shot of the model: the fired detector ids (ids of the model, each
  // occurrence toggles; ids past the model are ignored), streamed round by round. Returns the
  // committed observable flips.
  SlidingResult<ObservableMask> decode_shot(std::span<const std::uint32_t> fired);

  // Decodes every window closed from now on with `model`, which must have the current model's
  // shape (SlidingWindowModel::same_shape). Between two push_round calls every complete window
  // has been decoded, so this is a commit boundary: the rounds held (with the flips earlier
  // commits left in them) and the committed flips stay, and the first window decoded with the
  // new model is the one starting at committed_rounds(). Fails, changing nothing, on another
  // shape.
  SlidingResult<void> replace_model(std::shared_ptr<const SlidingWindowModel> model);

  // The observable flips committed so far in the current (or last) stream: observables 0 to 63,
  // and every observable (up to 256; parallel windows commit the first 64 only).
  ObservableMask committed_flips() const;
  ObservableBits committed_bits() const {
    ObservableBits bits = committed_high_;
    bits.words[0] = committed_flips();
    return bits;
  }

  // A detector of the stream: its round and its slot in that round.
  struct StreamDetector {
    RoundIndex round = 0;
    RoundSlot slot = 0;
    auto operator<=>(const StreamDetector&) const = default;
  };
  // Keeps the detectors that committed correction edges flip, for take_detector_flips (off by
  // default: it costs a little per committed edge).
  void keep_detector_flips(bool on) {
    keep_flips_ = on;
    flipped_.clear();
  }
  // Replaces `out` with the detectors the corrections committed since the last call flip, sorted,
  // each once (two committed edges meeting at a detector leave it unflipped). Over a whole
  // stream they are the fired detectors whenever every window's correction reproduced its
  // syndrome.
  void take_detector_flips(std::vector<StreamDetector>& out);
  // Rounds committed (the start of the next window) and rounds received.
  RoundIndex committed_rounds() const;
  RoundIndex received_rounds() const { return received_; }
  bool running() const { return running_; }

  const SlidingWindowStats& stats() const;
  void clear_stats();
  // The threads asked for (1: one window after another).
  unsigned threads() const { return threads_; }
  std::uint32_t commit() const { return commit_; }
  std::uint32_t buffer() const { return buffer_; }
  bool correlated() const { return correlated_; }
  const SlidingWindowModel& model() const { return *model_; }

 private:
  // A window graph and what committing needs about each of its edges.
  struct EdgeInfo {
    std::uint32_t a_round = 0;  // window rounds; the edge belongs to a_round
    std::uint32_t b_round = 0;  // may lie past the window (then it ends on the boundary here)
    RoundSlot a = 0;
    RoundSlot b = 0;
    bool to_boundary = false;  // in the model
    ObservableMask observables = 0;
  };
  struct WindowKey {
    ModelRound head_start = 0;  // the window's first round, or the head length when past it
    std::uint32_t phase = 0;    // past the head: (first round - head) mod period
    std::uint64_t length = 0;
    std::uint64_t to_end = 0;   // rounds from the window's end to the stream's, or kNoTail
    bool operator==(const WindowKey&) const = default;
  };
  struct Window {
    WindowKey key;
    std::vector<std::uint32_t> round_start;  // local node id of each window round's slot 0
    std::vector<ModelRound> model_rounds;
    std::vector<EdgeInfo> edges;             // one per graph edge
    bool wide = false;                       // some edge flips an observable of 64 or more
    std::unique_ptr<UnionFindDecoder> decoder;
  };
  static constexpr std::uint64_t kNoTail = ~std::uint64_t{0};

  SlidingWindowDecoder(std::shared_ptr<const SlidingWindowModel> model, std::uint32_t commit,
                       std::uint32_t buffer, bool correlated);

  // The window over stream rounds [s, e), built on first use.
  Window& window_for(RoundIndex s, RoundIndex e);
  // Decodes [start_, end) and commits rounds [start_, start_ + commit_rounds).
  void decode_and_commit(RoundIndex end, RoundIndex commit_rounds);
  bool window_ready() const;
  // Round j's bits (j at or after start_), growing the ring when j lies past it.
  std::uint64_t* round_bits(RoundIndex j);
  void grow_ring(RoundIndex j);
  void clear_round(RoundIndex j);

  std::shared_ptr<const SlidingWindowModel> model_;
  std::uint32_t commit_ = 1;
  std::uint32_t buffer_ = 0;
  bool correlated_ = false;
  std::vector<std::unique_ptr<Window>> windows_;

  // Fired detectors of the uncommitted rounds, one bit per slot, a ring of rounds.
  static constexpr std::size_t kFirstRingRounds = 8;
  std::size_t words_per_round_ = 0;
  std::size_t ring_rounds_ = 0;      // rounds the ring holds now
  std::size_t max_ring_rounds_ = 0;  // the most it may need
  RoundSlot max_tail_size_ = 0;      // the largest of the tail's rounds
  std::vector<std::uint64_t> ring_;
  std::vector<std::uint32_t> fired_;  // a window's fired local node ids
  // decode_shot's detectors sorted into rounds.
  std::vector<std::uint32_t> shot_round_start_;
  std::vector<RoundSlot> shot_slots_;

  std::optional<RoundIndex> total_;
  RoundIndex start_ = 0;
  RoundIndex received_ = 0;
  ObservableMask committed_ = 0;
  ObservableBits committed_high_;  // observables 64 and up (word 0 unused)
  bool keep_flips_ = false;
  std::vector<StreamDetector> flipped_;  // kept detector flips, unsorted, repeats not cancelled
  bool running_ = false;
  SlidingWindowStats stats_;
  // Set with more than one thread: it decodes, this object checks and counts the rounds.
  std::unique_ptr<ParallelWindows> parallel_;
  unsigned threads_ = 1;
};

}  // namespace kelvane
