#include "kelvane/decoder/parallel_windows.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace kelvane {

// Helper threads that run the jobs of one step with the calling thread, taking jobs from a
// shared counter so that a thread with cheaper windows takes more of them. The helpers start on
// first use and sleep between steps. The calling thread never waits for a helper to wake: once
// it has run out of jobs it closes the step, and a helper that wakes after that sleeps again;
// it waits only for helpers still decoding a job (on a loaded machine, where a woken thread may
// wait long for a core, the calling thread then simply does more of the work).
class WorkerTeam {
 public:
  explicit WorkerTeam(unsigned threads) : threads_(threads) {}
  ~WorkerTeam() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    helpers_.clear();  // joins
  }

  // Calls work(thread, job) for every job in [0, jobs), thread in [0, threads). May throw
  // std::bad_alloc (from any thread's work, rethrown here).
  void run(std::size_t jobs, const std::function<void(unsigned, std::size_t)>& work) {
    if (jobs < 2 || threads_ < 2) {
      for (std::size_t j = 0; j < jobs; ++j) work(0, j);
      return;
    }
    start_helpers();
    {
      std::lock_guard lock(mutex_);
      work_ = &work;
      jobs_ = jobs;
      next_.store(0, std::memory_order_relaxed);
      failed_ = false;
      open_ = true;
      ++generation_;
    }
    wake_.notify_all();
    take_jobs(0);
    std::unique_lock lock(mutex_);
    open_ = false;
    done_.wait(lock, [&] { return busy_ == 0; });
    work_ = nullptr;
    if (failed_) throw std::bad_alloc();
  }

 private:
  void start_helpers() {
    if (started_) return;
    started_ = true;
    for (unsigned t = 1; t < threads_; ++t) {
      try {
        helpers_.emplace_back([this, t] { helper(t); });
      } catch (const std::system_error&) {
        break;  // no thread to be had: the calling thread takes its share
      }
    }
  }

  void take_jobs(unsigned thread) {
    for (std::size_t j; (j = next_.fetch_add(1, std::memory_order_relaxed)) < jobs_;) {
      try {
        (*work_)(thread, j);
      } catch (const std::bad_alloc&) {
        std::lock_guard lock(mutex_);
        failed_ = true;
      }
    }
  }

  void helper(unsigned thread) {
    std::uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        if (!open_) continue;  // the calling thread has finished this step alone
        ++busy_;
      }
      take_jobs(thread);
      std::lock_guard lock(mutex_);
      if (--busy_ == 0) done_.notify_one();
    }
  }

  unsigned threads_;
  bool started_ = false;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  const std::function<void(unsigned, std::size_t)>* work_ = nullptr;
  std::size_t jobs_ = 0;
  std::atomic<std::size_t> next_{0};
  unsigned busy_ = 0;  // helpers inside the open step
  bool open_ = false;  // helpers may still join the step
  bool failed_ = false;
  bool stop_ = false;
  std::uint64_t generation_ = 0;
  std::vector<std::jthread> helpers_;  // last: joined before the members they use go
};

ParallelWindows::ParallelWindows(std::shared_ptr<const SlidingWindowModel> model, std::uint32_t commit,
                                 std::uint32_t buffer, unsigned threads)
    : model_(std::move(model)), commit_(commit), buffer_(buffer), threads_(std::max(1u, threads)) {
  gap_ = std::max(buffer_, model_->max_reach());
  period_ = std::uint64_t{commit_} + gap_;
  // Two windows a thread per step: fewer steps to wake the helpers for, at the price of a
  // commit delayed by a few blocks.
  batch_ = threads_ == 1 ? 1 : 2 * std::size_t{threads_};
  lanes_.resize(threads_);
  team_ = std::make_unique<WorkerTeam>(threads_);
  words_per_round_ = (model_->max_round_size() + 63) / 64;
  ring_rounds_ = 16;
  ring_.assign(ring_rounds_ * 2 * words_per_round_, 0);
}

ParallelWindows::~ParallelWindows() = default;

void ParallelWindows::start(std::optional<RoundIndex> total) {
  std::fill(ring_.begin(), ring_.end(), 0);
  total_ = total;
  received_ = 0;
  in_block_ = false;
  a_done_ = 0;
  a_ready_ = 0;
  b_next_ = 0;
  frontier_ = 0;
  low_ = 0;
  high_ = 0;
  committed_ = 0;
}

std::uint64_t* ParallelWindows::row(RoundIndex j) {
  if (j - low_ >= ring_rounds_) {
    // Every row in use lies in [low_, high_): move those to their places in a larger ring.
    const std::size_t rounds = std::max<std::size_t>(2 * ring_rounds_, static_cast<std::size_t>(j - low_) + 1);
    const std::size_t stride = 2 * words_per_round_;
    std::vector<std::uint64_t> grown(rounds * stride, 0);
    for (RoundIndex k = low_; k < high_; ++k) {
      std::copy_n(ring_.data() + (k % ring_rounds_) * stride, stride, grown.data() + (k % rounds) * stride);
    }
    ring_ = std::move(grown);
    ring_rounds_ = rounds;
  }
  high_ = std::max(high_, j + 1);
  return ring_.data() + (j % ring_rounds_) * 2 * words_per_round_;
}

void ParallelWindows::release_rows(RoundIndex below) {
  below = std::min(below, high_);
  for (; low_ < below; ++low_) {
    std::uint64_t* r = ring_.data() + (low_ % ring_rounds_) * 2 * words_per_round_;
    std::fill(r, r + 2 * words_per_round_, 0);
  }
}

bool ParallelWindows::push_round(std::span<const RoundSlot> fired) {
  std::uint64_t* bits = row(received_);
  for (RoundSlot slot : fired) bits[slot / 64] ^= std::uint64_t{1} << (slot % 64);
  ++received_;
  return advance(total_ && received_ == *total_);
}

void ParallelWindows::replace_model(std::shared_ptr<const SlidingWindowModel> model) {
  model_ = std::move(model);
  for (Lane& lane : lanes_) lane.windows.clear();  // built with the old weights
}

bool ParallelWindows::block(bool on) {
  in_block_ = on;
  return !on && advance(false);
}

void ParallelWindows::finish(RoundIndex total) {
  total_ = total;
  advance(true);
}

RoundIndex ParallelWindows::window_first(std::uint64_t k) const {
  const RoundIndex core = k * period_;
  return core > buffer_ ? core - buffer_ : 0;
}

bool ParallelWindows::a_exists(std::uint64_t k) const { return !total_ || k * period_ < *total_; }

RoundIndex ParallelWindows::window_end(std::uint64_t k) const {
  const RoundIndex end = k * period_ + commit_ + buffer_;
  return total_ && end > *total_ ? *total_ : end;
}

RoundIndex ParallelWindows::core_end(std::uint64_t k) const {
  const RoundIndex core = k * period_ + commit_;
  // The window reaching past the stream's end holds the whole rest as its core.
  return total_ && core + buffer_ > *total_ ? *total_ : core;
}

bool ParallelWindows::a_ready(std::uint64_t k) const {
  if (!a_exists(k)) return false;
  const RoundIndex end = window_end(k);
  const RoundIndex tail = model_->tail_rounds();
  // The model rounds of the window's rounds are known once the tail's length of rounds past it
  // has arrived, or the stream has ended.
  if (total_) return received_ >= end && (end + tail <= *total_ || received_ == *total_);
  return received_ >= end + tail;
}

bool ParallelWindows::gap_absent(std::uint64_t k) const {
  if (!total_) return false;
  const RoundIndex first = k * period_ + commit_;
  return core_end(k) != first || first >= *total_;
}

bool ParallelWindows::b_ready(std::uint64_t k) const {
  if (a_done_ <= k) return false;
  if (a_done_ > k + 1) return true;
  // No core follows: the gap runs to the stream's end, which must have come.
  return total_ && !a_exists(k + 1) && received_ == *total_;
}

ParallelWindows::Window& ParallelWindows::window_for(Lane& lane, RoundIndex first, RoundIndex end, bool open) {
  const SlidingWindowModel& m = *model_;
  const RoundIndex reach = m.max_reach();
  // Rounds from `reach` before the window on may lie in the head; past that, the period's phase
  // and the distance to the stream's end fix every round's model round.
  const RoundIndex settled = RoundIndex{m.head_rounds()} + reach;
  WindowKey key;
  key.first = first < settled ? first : settled;
  key.phase = first < settled ? 0 : static_cast<std::uint32_t>((first - m.head_rounds()) % m.period());
  key.length = end - first;
  key.to_end = total_ && end + m.tail_rounds() > *total_ ? *total_ - end : kNoTail;
  key.open = open;
  for (const auto& w : lane.windows) {
    if (w->key == key) return *w;
  }

  const auto started_at = std::chrono::steady_clock::now();
  auto w = std::make_unique<Window>();
  w->key = key;
  const std::size_t length = static_cast<std::size_t>(end - first);
  auto graph = m.window_nodes(first, length, total_, w->model_rounds, w->round_start);
  const std::uint32_t nodes = w->round_start[length];
  // A window round's detector, or nodes when (offset, slot) is not one.
  auto node_of = [&](std::int64_t offset, RoundSlot slot) -> std::uint32_t {
    if (offset < 0 || offset >= static_cast<std::int64_t>(length)) return nodes;
    if (slot >= m.round_size(w->model_rounds[offset])) return nodes;
    return w->round_start[offset] + slot;
  };
  auto add = [&](const SlidingWindowModel::RoundEdge& re, const EdgeInfo& info, std::uint32_t near,
                 std::uint32_t far) {
    SpacetimeEdge& edge = graph->edges.emplace_back();
    edge.observables = re.observables;
    edge.node_a = near;
    edge.node_b = far;
    edge.weight = re.weight;
    w->edges.push_back(info);
  };
  if (open) {
    // Edges from the rounds before the window into it end on the boundary at their window end.
    for (RoundIndex j = first > reach ? first - reach : 0; j < first; ++j) {
      for (const SlidingWindowModel::RoundEdge& re : m.round_edges(m.model_round(j, total_))) {
        if (re.to_boundary) continue;
        EdgeInfo info{static_cast<std::int64_t>(j) - static_cast<std::int64_t>(first),
                      static_cast<std::int64_t>(j + re.b_delta) - static_cast<std::int64_t>(first), re.a, re.b, false,
                      DecodingGraph::mask_of(re.observables)};
        const std::uint32_t near = node_of(info.b_off, re.b);
        if (near != nodes) add(re, info, near, nodes);
      }
    }
  }
  for (std::size_t i = 0; i < length; ++i) {
    for (const SlidingWindowModel::RoundEdge& re : m.round_edges(w->model_rounds[i])) {
      EdgeInfo info{static_cast<std::int64_t>(i), static_cast<std::int64_t>(i + re.b_delta), re.a, re.b,
                    re.to_boundary, DecodingGraph::mask_of(re.observables)};
      std::uint32_t far = nodes;
      if (!re.to_boundary) {
        if (info.b_off < static_cast<std::int64_t>(length)) {
          far = node_of(info.b_off, re.b);
          if (far == nodes) continue;  // a slot the round does not have (a stretched model)
        } else if (!open) {
          continue;  // closed: the rounds past the window are settled
        }
      }
      add(re, info, w->round_start[i] + re.a, far);
    }
  }
  w->decoder = std::make_unique<UnionFindDecoder>(std::move(graph));
  ++lane.graphs_built;
  lane.build_ns += static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started_at).count());
  lane.windows.push_back(std::move(w));
  return *lane.windows.back();
}

void ParallelWindows::decode(Lane& lane, Job& job) {
  Window& w = window_for(lane, job.first, job.end, job.pass_a);
  const std::size_t length = static_cast<std::size_t>(job.end - job.first);
  lane.fired.clear();
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint64_t* bits = row_at(job.first + i);
    const std::uint64_t* flips = bits + words_per_round_;
    const std::uint32_t size = model_->round_size(w.model_rounds[i]);
    for (std::size_t word = 0; word < words_per_round_; ++word) {
      // Pass A reads the syndrome as received; pass B with its neighbours' flips.
      std::uint64_t rest = job.pass_a ? bits[word] : bits[word] ^ flips[word];
      for (; rest != 0; rest &= rest - 1) {
        const auto slot = static_cast<std::uint32_t>(word * 64 + std::countr_zero(rest));
        if (slot < size) lane.fired.push_back(w.round_start[i] + slot);
      }
    }
  }
  job.flips = 0;
  job.detector_flips.clear();
  if (lane.fired.empty() && !w.decoder->decoding_graph()->has_baseline()) return;
  w.decoder->decode_detectors(lane.fired);
  const auto core_first = static_cast<std::int64_t>(job.core_first - job.first);
  const auto core_end = static_cast<std::int64_t>(job.core_end - job.first);
  auto in_core = [&](std::int64_t offset) { return offset >= core_first && offset < core_end; };
  for (std::uint32_t id : w.decoder->last_correction_edges()) {
    const EdgeInfo& info = w.edges[id];
    if (!job.pass_a) {
      job.flips ^= info.observables;
      continue;
    }
    const bool a_in = in_core(info.a_off), b_in = !info.to_boundary && in_core(info.b_off);
    if (!a_in && !b_in) continue;
    job.flips ^= info.observables;
    // The ends outside the core lie in gaps, decoded in pass B with these flips.
    if (!a_in) job.detector_flips.emplace_back(job.first + info.a_off, info.a);
    if (!info.to_boundary && !b_in) job.detector_flips.emplace_back(job.first + info.b_off, info.b);
  }
}

bool ParallelWindows::advance(bool flush) {
  bool stepped = false;
  for (;;) {
    // A window once complete stays so: count on from the last one found.
    a_ready_ = std::max(a_ready_, a_done_);
    while (a_ready(a_ready_)) ++a_ready_;
    std::size_t a_count = static_cast<std::size_t>(a_ready_ - a_done_);
    // A running stream waits until its step keeps every thread busy.
    const bool more_to_come = !flush && !(total_ && received_ == *total_);
    // In a block, 64 windows a thread: a few hundred microseconds of work between meetings.
    if (more_to_come && a_count < (in_block_ ? 32 * batch_ : batch_)) break;
    std::size_t jobs = 0;
    auto next_job = [&]() -> Job& {
      if (jobs_.size() == jobs) jobs_.emplace_back();
      return jobs_[jobs++];
    };
    for (std::uint64_t k = a_done_; k < a_done_ + a_count; ++k) {
      Job& job = next_job();
      job.first = window_first(k);
      job.end = window_end(k);
      job.core_first = k * period_;
      job.core_end = core_end(k);
      job.pass_a = true;
    }
    std::uint64_t b_end = b_next_;
    for (; b_end < a_done_; ++b_end) {
      if (gap_absent(b_end)) continue;
      if (!b_ready(b_end)) break;
      Job& job = next_job();
      job.first = b_end * period_ + commit_;
      job.end = total_ ? std::min((b_end + 1) * period_, *total_) : (b_end + 1) * period_;
      job.pass_a = false;
    }
    if (jobs == 0 && b_end == b_next_) break;

    const auto started_at = std::chrono::steady_clock::now();
    std::uint64_t built_ns = 0;
    for (const Lane& lane : lanes_) built_ns = std::max(built_ns, lane.build_ns);
    std::uint64_t graphs = 0;
    for (const Lane& lane : lanes_) graphs += lane.graphs_built;
    team_->run(jobs, [this](unsigned thread, std::size_t j) { decode(lanes_[thread], jobs_[j]); });
    for (std::size_t j = 0; j < jobs; ++j) {
      const Job& job = jobs_[j];
      committed_ ^= job.flips;
      for (const auto& [round, slot] : job.detector_flips) {
        row(round)[words_per_round_ + slot / 64] ^= std::uint64_t{1} << (slot % 64);
      }
    }
    a_done_ += a_count;
    b_next_ = b_end;
    while (b_next_ < a_done_ && gap_absent(b_next_)) ++b_next_;

    // Committed: everything before the first gap still to decode, or before the first core.
    RoundIndex frontier = b_next_ < a_done_ ? b_next_ * period_ + commit_ : a_done_ * period_;
    if (total_) frontier = std::min(frontier, *total_);
    stats_.rounds += frontier - frontier_;
    frontier_ = frontier;
    stats_.windows += jobs;
    release_rows(std::min(b_next_ < a_done_ ? b_next_ * period_ + commit_ : ~RoundIndex{0},
                          a_exists(a_done_) ? window_first(a_done_) : ~RoundIndex{0}));

    std::uint64_t built_after = 0, graphs_after = 0;
    for (const Lane& lane : lanes_) {
      built_after = std::max(built_after, lane.build_ns);
      graphs_after += lane.graphs_built;
    }
    stats_.window_graphs += graphs_after - graphs;
    // Window graphs are built once per shape: their time is kept apart from the steps'.
    const std::uint64_t build = built_after - built_ns;
    stats_.build_ns += build;
    const auto elapsed = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started_at).count());
    stats_.step.record(elapsed > build ? elapsed - build : 0);
    stepped = true;
  }
  return stepped;
}

}  // namespace kelvane
