// Parallel-window decoding: the windows of one stream decoded on several threads at once.
//
// Sliding windows are decoded one after another, each waiting for the commits of the one before.
// Here the stream is cut into blocks of P = c + g rounds (c: commit rounds, b: buffer rounds,
// g = max(b, the most rounds an edge reaches)): block k has a core [kP, kP + c) and a gap
// [kP + c, (k + 1)P). Two passes decode it:
//  - pass A, one window per core over [kP - b, kP + c + b), open at both ends: an edge from a
//    round inside to one outside ends on the boundary, since nothing outside is settled yet.
//    The window commits every correction edge with a detector in its core, and flips the
//    detectors outside the core that those edges touch; they lie in the neighbouring gaps, since
//    a gap is at least as long as an edge reaches. Pass-A windows read the syndrome as it
//    arrived, never each other's flips, so they may run in any order and on any thread.
//  - pass B, one window per gap, closed at both ends: edges leaving the gap are left out, since
//    the cores on either side are settled. It decodes the gap's syndrome with the pass-A flips
//    of both neighbours applied and commits all of its correction.
// A core whose window would reach past the stream's last round runs to the end instead, with
// no gap after it. With g = b every round is decoded about (c + 3b) / (c + b) times, twice at
// c = b as with sliding windows, but each pass's windows run at once.
//
// The decoded windows depend only on the stream, never on the thread count or on how the
// rounds were batched. A running stream is decoded in steps: a step runs the pass-A windows
// that have become complete (waiting for enough of them to keep every thread busy, unless the
// stream has ended) together with the pass-B windows whose neighbours were both decoded in
// earlier steps. Each thread has its own window graphs and Union-Find decoders; the calling
// thread is one of the threads, the others are started on first use and wait between steps.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kelvane/decoder/sliding_window.h"

namespace kelvane {

class WorkerTeam;

class ParallelWindows {
 public:
  using ObservableMask = UnionFindDecoder::ObservableMask;

  // Decodes with `threads` threads (at least 1; with 1 the same windows run on the calling
  // thread alone). The caller checks rounds and stream lengths (SlidingWindowDecoder does).
  ParallelWindows(std::shared_ptr<const SlidingWindowModel> model, std::uint32_t commit, std::uint32_t buffer,
                  unsigned threads);
  ~ParallelWindows();
  ParallelWindows(const ParallelWindows&) = delete;
  ParallelWindows& operator=(const ParallelWindows&) = delete;

  // Starts a stream of `total` rounds, or of a length told by finish().
  void start(std::optional<RoundIndex> total);
  // Adds the next round's fired slots and decodes what has become ready. Returns true when a
  // step committed rounds. May throw std::bad_alloc.
  bool push_round(std::span<const RoundSlot> fired);
  // The stream has ended after `total` rounds (all of them pushed): decodes the rest.
  void finish(RoundIndex total);
  // Decodes the windows not yet decoded with `model`, of the same shape as the one decoding now
  // (SlidingWindowModel::same_shape; the caller checks).
  void replace_model(std::shared_ptr<const SlidingWindowModel> model);
  // Rounds arrive in a block (from memory): until block(false), steps wait for many windows,
  // so that the threads meet rarely. Ending the block runs the steps that are ready; returns
  // true when one committed rounds. May throw std::bad_alloc.
  bool block(bool on);

  ObservableMask committed_flips() const { return committed_; }
  RoundIndex committed_rounds() const { return frontier_; }
  const SlidingWindowStats& stats() const { return stats_; }
  void clear_stats() { stats_ = SlidingWindowStats{}; }
  unsigned threads() const { return threads_; }
  // The rounds between two cores.
  std::uint32_t gap() const { return gap_; }

 private:
  // Where an edge of a window graph runs, in rounds from the window's first (a_off may be
  // negative, b_off past the window: the edge then ends on the boundary in the graph).
  struct EdgeInfo {
    std::int64_t a_off = 0;
    std::int64_t b_off = 0;
    RoundSlot a = 0;
    RoundSlot b = 0;
    bool to_boundary = false;  // in the model
    ObservableMask observables = 0;
  };
  struct WindowKey {
    RoundIndex first = 0;     // the first round, or a mark for "far enough past the head"
    std::uint32_t phase = 0;  // past that: (first round - head) mod period
    std::uint64_t length = 0;
    std::uint64_t to_end = 0;  // rounds from the window's end to the stream's, or kNoTail
    bool open = false;         // pass A (open at both ends) or pass B (closed)
    bool operator==(const WindowKey&) const = default;
  };
  struct Window {
    WindowKey key;
    std::vector<std::uint32_t> round_start;  // local node id of each window round's slot 0
    std::vector<ModelRound> model_rounds;
    std::vector<EdgeInfo> edges;  // one per graph edge
    std::unique_ptr<UnionFindDecoder> decoder;
  };
  // One thread's windows and scratch.
  struct Lane {
    std::vector<std::unique_ptr<Window>> windows;
    std::vector<std::uint32_t> fired;
    std::uint64_t graphs_built = 0;
    std::uint64_t build_ns = 0;
  };
  // One window of a step and what it decided.
  struct Job {
    RoundIndex first = 0, end = 0;            // the window's rounds
    RoundIndex core_first = 0, core_end = 0;  // pass A: the rounds it commits
    bool pass_a = true;
    ObservableMask flips = 0;
    std::vector<std::pair<RoundIndex, RoundSlot>> detector_flips;  // pass A: outside the core
  };
  static constexpr std::uint64_t kNoTail = ~std::uint64_t{0};

  Window& window_for(Lane& lane, RoundIndex first, RoundIndex end, bool open);
  void decode(Lane& lane, Job& job);
  // Runs every step that is ready; `flush` when no more rounds will come.
  bool advance(bool flush);

  // The layout of block k.
  RoundIndex window_first(std::uint64_t k) const;
  RoundIndex window_end(std::uint64_t k) const;
  RoundIndex core_end(std::uint64_t k) const;
  bool a_exists(std::uint64_t k) const;
  bool a_ready(std::uint64_t k) const;
  // Whether gap k is known to have no pass-B window (the stream ends in or before it).
  bool gap_absent(std::uint64_t k) const;
  bool b_ready(std::uint64_t k) const;

  // Round j's two bit planes (as received, then the pass-A flips), growing the ring as needed.
  std::uint64_t* row(RoundIndex j);
  // A row in use, for reading (what the threads of a step do).
  const std::uint64_t* row_at(RoundIndex j) const { return ring_.data() + (j % ring_rounds_) * 2 * words_per_round_; }
  void release_rows(RoundIndex below);

  std::shared_ptr<const SlidingWindowModel> model_;
  std::uint32_t commit_ = 1;
  std::uint32_t buffer_ = 0;
  std::uint32_t gap_ = 0;
  std::uint64_t period_ = 1;  // commit + gap
  unsigned threads_ = 1;
  std::size_t batch_ = 1;     // pass-A windows a running stream waits for before a step
  bool in_block_ = false;
  std::vector<Lane> lanes_;
  std::vector<Job> jobs_;
  std::unique_ptr<WorkerTeam> team_;

  std::size_t words_per_round_ = 0;
  std::size_t ring_rounds_ = 0;
  std::vector<std::uint64_t> ring_;
  RoundIndex low_ = 0;   // rows below are released
  RoundIndex high_ = 0;  // rows at or past are untouched

  std::optional<RoundIndex> total_;
  RoundIndex received_ = 0;
  std::uint64_t a_done_ = 0;  // pass-A windows decoded: blocks [0, a_done_)
  std::uint64_t a_ready_ = 0; // blocks [a_done_, a_ready_) have complete pass-A windows
  std::uint64_t b_next_ = 0;  // gaps before it are decoded or absent
  RoundIndex frontier_ = 0;
  ObservableMask committed_ = 0;
  SlidingWindowStats stats_;
};

}  // namespace kelvane
