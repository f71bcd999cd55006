// The window engine: decodes a stream of syndrome rounds in windows of a SlidingWindowModel, on
// one thread or several. It holds the rounds not yet committed (a ring of bit rows), the window
// graphs it has built, the rule saying when a window's rounds are all known, and the commits;
// a schedule decides which windows to decode and what each one commits.
//
// A window covers stream rounds [first, end) and commits the correction edges with a detector in
// its commit rounds [commit_first, commit_end). Its ends are open or closed: at an open end an
// edge from a round inside to a round outside ends on the boundary (nothing outside is settled
// yet); at a closed end such edges are left out (the rounds outside are settled). A committed
// edge's detectors outside the commit rounds are flipped for the windows that decode those
// rounds later. Each round keeps two bit rows: its fired detectors as received, and the flips
// that commits left in it. A window with a closed start reads both (the syndrome the commits
// before it left); a window with an open start reads the syndrome as received, never another
// window's flips, so such windows may run in any order and on any thread.
//
// Two schedules:
//  - sliding windows (one thread): [s, s + c + b) with a closed start and an open end,
//    committing [s, s + c) and sliding to s + c (c: commit rounds, b: buffer rounds); when the
//    stream ends, the rest [s, N) is one window committing all of it.
//  - open core windows and closed seam windows (several threads): the stream is cut into blocks
//    of P = c + g rounds (g = max(b, the most rounds an edge reaches)); block k has a core
//    [kP, kP + c) and a seam [kP + c, (k + 1)P). The core's window [kP - b, kP + c + b) is open
//    at both ends and commits the core; the seam's window is closed at both ends and commits the
//    whole seam, reading the flips of the cores on either side (a seam is at least as long as an
//    edge reaches, so every flip a core leaves outside itself lies in a neighbouring seam). A
//    core whose window would reach past the stream's end runs to the end instead, with no seam
//    after it. A step decodes the core windows that have become complete (waiting for enough to
//    keep every thread busy, unless the stream has ended) together with the seams whose cores on
//    both sides were decoded in earlier steps. The windows depend only on the stream, never on
//    the thread count or on how the rounds were batched; they differ from sliding windows'.
//
// A window's rounds are known once the model's tail length of rounds past it has arrived (the
// stream's last rounds take the tail's edges), or the stream has ended. Rounds are committed in
// order: with cores and seams, a core's commits count once the seam before it is decoded (until
// then a model swap decodes the core again). Every window graph is built from the model's
// rounds (never a whole-shot graph) once per shape and kept, one set per thread; the ring, the
// fired lists and the decoders' scratch are reused, so steady-state decoding does not allocate.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "kelvane/core/observable_bits.h"
#include "kelvane/decoder/latency_histogram.h"
#include "kelvane/decoder/sliding_window_model.h"
#include "kelvane/decoder/union_find.h"

namespace kelvane {

class WorkerTeam;

// A detector of the stream: its round and its slot in that round.
struct StreamDetector {
  RoundIndex round = 0;
  RoundSlot slot = 0;
  auto operator<=>(const StreamDetector&) const = default;
};

// A window's graph over its rounds and what committing needs about each of its edges.
struct WindowGraph {
  // Where a graph edge runs, in rounds from the window's first: a_off may be negative (an edge
  // from before an open start), b_off may lie past the window (then it ends on the boundary).
  struct Edge {
    std::int64_t a_off = 0;
    std::int64_t b_off = 0;
    RoundSlot a = 0;
    RoundSlot b = 0;
    bool to_boundary = false;  // in the model
    std::uint64_t observables = 0;
  };
  struct Key {
    RoundIndex first = 0;     // the first round, or a mark for "far enough past the head"
    std::uint32_t phase = 0;  // past that: (first round - head) mod period
    std::uint64_t length = 0;
    std::uint64_t to_end = 0;  // rounds from the window's end to the stream's, or kNoTail
    bool open_start = false;
    bool open_end = false;
    bool operator==(const Key&) const = default;
  };
  static constexpr std::uint64_t kNoTail = ~std::uint64_t{0};

  Key key;
  std::vector<std::uint32_t> round_start;  // node id of each window round's slot 0
  std::vector<ModelRound> model_rounds;
  std::vector<Edge> edges;  // one per graph edge
  bool wide = false;        // some edge flips an observable of 64 or more
  std::unique_ptr<UnionFindDecoder> decoder;
};

// Decodes a window: its graph's fired nodes in, the ids of the graph edges in the correction
// out (valid until the window is decoded again). The one place a window meets its decoder.
std::span<const std::uint32_t> decode_window(WindowGraph& window, std::span<const std::uint32_t> fired,
                                             bool correlated);

// What a decoder has measured since it was made (or since `clear_stats`).
struct SlidingWindowStats {
  std::uint64_t rounds = 0;        // rounds committed
  std::uint64_t windows = 0;       // windows decoded (final windows included)
  std::uint64_t window_graphs = 0; // distinct window graphs built
  std::uint64_t build_ns = 0;      // time spent building them (not part of any step)
  LatencyHistogram step;           // time per step: gather, decode and commit, in ns

  // Rounds committed per second of decoding time (window graph builds left out: each shape is
  // built once per decoder).
  double rounds_per_second() const {
    return step.total_ns() ? static_cast<double>(rounds) * 1e9 / static_cast<double>(step.total_ns()) : 0.0;
  }
};

class WindowEngine {
 public:
  // Sliding windows on the calling thread when `threads` is 1; open core windows and closed seam
  // windows on `threads` threads (the calling thread one of them) otherwise. `correlated`
  // decodes every window in two passes (the model must keep its mechanisms).
  // `method` is the algorithm every window's decoder runs (UnionFindDecoder::set_method).
  WindowEngine(std::shared_ptr<const SlidingWindowModel> model, std::uint32_t commit, std::uint32_t buffer,
               bool correlated, unsigned threads, bool cores_and_seams,
               DecodeMethod method = DecodeMethod::kUnionFind);
  WindowEngine(WindowEngine&&) noexcept;
  WindowEngine& operator=(WindowEngine&&) noexcept;
  ~WindowEngine();

  // Starts a stream of `total` rounds, or of a length told by finish().
  void start(std::optional<RoundIndex> total);
  // Adds the next round's fired slots (the caller checks them) and decodes what has become
  // ready. Returns true when a step committed rounds. May throw std::bad_alloc.
  bool push_round(std::span<const RoundSlot> fired);
  // The stream has ended after `total` rounds (all of them pushed): decodes the rest.
  void finish(RoundIndex total);
  // Rounds arrive in a block (from memory): until block(false), the core windows of a step wait
  // for many more, so that the threads meet rarely. Ending the block runs the steps that are
  // ready; returns true when one committed rounds.
  bool block(bool on);
  // Decodes every window from committed_rounds() on with `model` (of the same shape; the caller
  // checks): core windows decoded past the committed rounds are undone and decoded again at
  // once. May throw std::bad_alloc.
  void replace_model(std::shared_ptr<const SlidingWindowModel> model);

  const ObservableBits& committed() const { return committed_; }
  RoundIndex committed_rounds() const { return committed_rounds_; }
  RoundIndex received_rounds() const { return received_; }
  void keep_detector_flips(bool on) {
    keep_flips_ = on;
    flipped_.clear();
  }
  // The detectors the committed corrections flipped since the last call, sorted, each once.
  void take_detector_flips(std::vector<StreamDetector>& out);
  const SlidingWindowStats& stats() const { return stats_; }
  void clear_stats() { stats_ = SlidingWindowStats{}; }
  const SlidingWindowModel& model() const { return *model_; }

 private:
  // One window of a step and what it decided.
  struct Job {
    RoundIndex first = 0, end = 0;                // the window's rounds
    RoundIndex commit_first = 0, commit_end = 0;  // the rounds it commits
    bool open_start = false, open_end = false;
    std::uint64_t core = kNotACore;  // the core it decodes (cores and seams)
    ObservableBits flips;
    std::vector<StreamDetector> outside;  // committed edges' detectors outside the commit rounds
    std::vector<StreamDetector> touched;  // with detector flips kept: every committed edge's
  };
  static constexpr std::uint64_t kNotACore = ~std::uint64_t{0};
  // One thread's window graphs and scratch.
  struct ThreadWindows {
    std::vector<std::unique_ptr<WindowGraph>> windows;
    std::vector<std::uint32_t> fired;
    std::uint64_t graphs_built = 0;
    std::uint64_t build_ns = 0;
  };

  WindowGraph& window_for(ThreadWindows& thread, const Job& job);
  void decode(ThreadWindows& thread, Job& job);
  // Runs every step that is ready; `flush` once no more rounds will come.
  bool advance(bool flush);
  // The next step's jobs (none: nothing is ready).
  std::size_t plan_sliding(bool flush);
  std::size_t plan_cores_and_seams(bool flush);
  // Jobs from `jobs` on for the core windows [cores_decoded_, cores_complete_); the job count.
  std::size_t plan_cores(std::size_t jobs);
  void run_step(std::size_t jobs);
  // Whether every round of a window ending at `end` has its model round known.
  bool rounds_known(RoundIndex end) const;

  // Cores and seams: the layout of block k.
  RoundIndex core_window_first(std::uint64_t k) const;
  RoundIndex core_window_end(std::uint64_t k) const;
  RoundIndex core_end(std::uint64_t k) const;
  bool core_exists(std::uint64_t k) const;
  bool core_ready(std::uint64_t k) const;
  // Whether seam k is known to have no window (the stream ends in or before it).
  bool seam_absent(std::uint64_t k) const;
  bool seam_ready(std::uint64_t k) const;
  // Cores before `below`, whose seams before them are decoded, commit what they decided.
  void seal_cores(std::uint64_t below);
  void commit(Job& job);

  // Round j's two bit rows (as received, then the flips commits left), growing the ring as needed.
  std::uint64_t* row(RoundIndex j) {
    if (j - low_ >= ring_rounds_) grow_ring(j);
    if (j >= high_) high_ = j + 1;
    return ring_.data() + (j % ring_rounds_) * 2 * words_per_round_;
  }
  void grow_ring(RoundIndex j);
  const std::uint64_t* row_at(RoundIndex j) const { return ring_.data() + (j % ring_rounds_) * 2 * words_per_round_; }
  void flip(const StreamDetector& d) { row(d.round)[words_per_round_ + d.slot / 64] ^= std::uint64_t{1} << (d.slot % 64); }
  void release_rows(RoundIndex below);

  std::shared_ptr<const SlidingWindowModel> model_;
  std::uint32_t commit_ = 1;
  std::uint32_t buffer_ = 0;
  bool correlated_ = false;
  DecodeMethod method_ = DecodeMethod::kUnionFind;
  bool cores_and_seams_ = false;
  std::uint32_t seam_ = 0;    // cores and seams: the rounds of a seam
  std::uint64_t block_ = 1;   // cores and seams: commit + seam
  std::size_t batch_ = 1;     // core windows a running stream waits for before a step
  bool in_block_ = false;
  std::vector<ThreadWindows> threads_;
  std::vector<Job> jobs_;
  std::unique_ptr<WorkerTeam> team_;

  std::size_t words_per_round_ = 0;
  std::size_t ring_rounds_ = 0;
  std::vector<std::uint64_t> ring_;
  RoundIndex low_ = 0;   // rows below are released
  RoundIndex high_ = 0;  // rows at or past are untouched

  std::optional<RoundIndex> total_;
  RoundIndex received_ = 0;
  RoundIndex next_window_ = 0;            // sliding: the next window's first round
  std::uint64_t cores_decoded_ = 0;       // core windows decoded: blocks [0, cores_decoded_)
  std::uint64_t cores_complete_ = 0;      // blocks [cores_decoded_, this) have complete windows
  std::uint64_t next_seam_ = 0;           // seams before it are decoded or absent
  std::uint64_t seams_planned_ = 0;       // the step's seams: [next_seam_, this)
  std::vector<Job> unsealed_;             // decoded cores past the committed rounds, in order
  std::vector<Job> spare_;                // sealed jobs, their lists' memory kept
  RoundIndex committed_rounds_ = 0;
  ObservableBits committed_;
  bool keep_flips_ = false;
  std::vector<StreamDetector> flipped_;  // kept detector flips, unsorted, repeats not cancelled
  SlidingWindowStats stats_;
};

}  // namespace kelvane
