#include "kelvane/decoder/window_engine.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <utility>

#include "kelvane/decoder/cancel_pairs.h"
#include "kelvane/decoder/worker_team.h"

namespace kelvane {
namespace {

std::uint64_t nanoseconds_since(std::chrono::steady_clock::time_point t) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t).count());
}

}  // namespace

std::span<const std::uint32_t> decode_window(WindowGraph& window, std::span<const std::uint32_t> fired,
                                             bool correlated) {
  if (fired.empty() && !window.decoder->decoding_graph()->has_baseline()) return {};
  window.decoder->decode_detectors(fired, correlated);
  return window.decoder->last_correction_edges();
}

WindowEngine::WindowEngine(std::shared_ptr<const SlidingWindowModel> model, std::uint32_t commit,
                           std::uint32_t buffer, bool correlated, unsigned threads, bool cores_and_seams,
                           DecodeMethod method)
    : model_(std::move(model)),
      commit_(commit),
      buffer_(buffer),
      correlated_(correlated),
      method_(method),
      cores_and_seams_(cores_and_seams) {
  threads = std::max(1u, threads);
  seam_ = std::max(buffer_, model_->max_reach());
  block_ = std::uint64_t{commit_} + seam_;
  // Two core windows a thread per step: fewer steps to wake the helpers for, at the price of a
  // commit delayed by a few blocks.
  batch_ = threads == 1 ? 1 : 2 * std::size_t{threads};
  threads_.resize(threads);
  team_ = std::make_unique<WorkerTeam>(threads);
  words_per_round_ = (model_->max_round_size() + 63) / 64;
  ring_rounds_ = 16;
  ring_.assign(ring_rounds_ * 2 * words_per_round_, 0);
}

WindowEngine::WindowEngine(WindowEngine&&) noexcept = default;
WindowEngine& WindowEngine::operator=(WindowEngine&&) noexcept = default;
WindowEngine::~WindowEngine() = default;

void WindowEngine::start(std::optional<RoundIndex> total) {
  std::fill(ring_.begin(), ring_.end(), 0);
  total_ = total;
  received_ = 0;
  in_block_ = false;
  next_window_ = 0;
  cores_decoded_ = 0;
  cores_complete_ = 0;
  next_seam_ = 0;
  unsealed_.clear();
  seams_planned_ = 0;
  committed_rounds_ = 0;
  low_ = 0;
  high_ = 0;
  committed_ = {};
  flipped_.clear();
}

void WindowEngine::grow_ring(RoundIndex j) {
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

void WindowEngine::release_rows(RoundIndex below) {
  below = std::min(below, high_);
  for (; low_ < below; ++low_) {
    std::uint64_t* r = ring_.data() + (low_ % ring_rounds_) * 2 * words_per_round_;
    std::fill(r, r + 2 * words_per_round_, 0);
  }
}

bool WindowEngine::push_round(std::span<const RoundSlot> fired) {
  std::uint64_t* bits = row(received_);
  for (RoundSlot slot : fired) bits[slot / 64] ^= std::uint64_t{1} << (slot % 64);
  ++received_;
  // Sliding windows: nothing is ready before the next window's rounds are all in.
  if (!cores_and_seams_ && received_ < next_window_ + commit_ + buffer_) return false;
  return advance(false);
}

void WindowEngine::finish(RoundIndex total) {
  total_ = total;
  advance(true);
}

bool WindowEngine::block(bool on) {
  in_block_ = on;
  return !on && advance(false);
}

void WindowEngine::take_detector_flips(std::vector<StreamDetector>& out) {
  cancel_pairs(flipped_);
  out.swap(flipped_);
  flipped_.clear();
}

void WindowEngine::replace_model(std::shared_ptr<const SlidingWindowModel> model) {
  model_ = std::move(model);
  for (ThreadWindows& t : threads_) t.windows.clear();  // built with the old weights
  if (unsealed_.empty()) return;
  // Core windows decoded past the committed rounds: their flips out, and decoded again at once
  // with the new model, so that the schedule goes on as it would have.
  for (const Job& job : unsealed_) {
    for (const StreamDetector& d : job.outside) flip(d);
  }
  const std::uint64_t first = unsealed_.front().core, end = cores_decoded_;
  for (Job& job : unsealed_) spare_.push_back(std::move(job));
  unsealed_.clear();
  cores_decoded_ = first;
  cores_complete_ = end;
  seams_planned_ = next_seam_;
  run_step(plan_cores(0));
}

bool WindowEngine::rounds_known(RoundIndex end) const {
  const RoundIndex tail = model_->tail_rounds();
  if (total_) return received_ >= end && (end + tail <= *total_ || received_ == *total_);
  return received_ >= end + tail;
}

RoundIndex WindowEngine::core_window_first(std::uint64_t k) const {
  const RoundIndex core = k * block_;
  return core > buffer_ ? core - buffer_ : 0;
}

bool WindowEngine::core_exists(std::uint64_t k) const { return !total_ || k * block_ < *total_; }

RoundIndex WindowEngine::core_window_end(std::uint64_t k) const {
  const RoundIndex end = k * block_ + commit_ + buffer_;
  return total_ && end > *total_ ? *total_ : end;
}

RoundIndex WindowEngine::core_end(std::uint64_t k) const {
  const RoundIndex core = k * block_ + commit_;
  // The window reaching past the stream's end holds the whole rest as its core.
  return total_ && core + buffer_ > *total_ ? *total_ : core;
}

bool WindowEngine::core_ready(std::uint64_t k) const { return core_exists(k) && rounds_known(core_window_end(k)); }

bool WindowEngine::seam_absent(std::uint64_t k) const {
  if (!total_) return false;
  const RoundIndex first = k * block_ + commit_;
  return core_end(k) != first || first >= *total_;
}

bool WindowEngine::seam_ready(std::uint64_t k) const {
  if (cores_decoded_ <= k) return false;
  if (cores_decoded_ > k + 1) return true;
  // No core follows: the seam runs to the stream's end, which must have come.
  return total_ && !core_exists(k + 1) && received_ == *total_;
}

std::size_t WindowEngine::plan_sliding(bool flush) {
  RoundIndex end = next_window_ + commit_ + buffer_, commit_end = next_window_ + commit_;
  if ((total_ && end + model_->tail_rounds() > *total_) || !rounds_known(end)) {
    // The stream has ended: the rest is one window.
    if (!flush || next_window_ >= *total_) return 0;
    end = commit_end = *total_;
  }
  if (jobs_.empty()) jobs_.emplace_back();
  Job& job = jobs_[0];
  job.first = job.commit_first = next_window_;
  job.end = end;
  job.commit_end = commit_end;
  job.open_start = false;
  job.open_end = true;
  job.core = kNotACore;
  return 1;
}

std::size_t WindowEngine::plan_cores(std::size_t jobs) {
  for (std::uint64_t k = cores_decoded_; k < cores_complete_; ++k, ++jobs) {
    if (jobs_.size() == jobs) jobs_.emplace_back();
    Job& job = jobs_[jobs];
    job.first = core_window_first(k);
    job.end = core_window_end(k);
    job.commit_first = k * block_;
    job.commit_end = core_end(k);
    job.open_start = job.open_end = true;
    job.core = k;
  }
  return jobs;
}

std::size_t WindowEngine::plan_cores_and_seams(bool flush) {
  // A window once complete stays so: count on from the last one found.
  cores_complete_ = std::max(cores_complete_, cores_decoded_);
  while (core_ready(cores_complete_)) ++cores_complete_;
  const std::size_t cores = static_cast<std::size_t>(cores_complete_ - cores_decoded_);
  // A running stream waits until its step keeps every thread busy; in a block, until 64
  // windows a thread (a few hundred microseconds of work between meetings).
  const bool more_to_come = !flush && !(total_ && received_ == *total_);
  if (more_to_come && cores < (in_block_ ? 32 * batch_ : batch_)) {
    seams_planned_ = next_seam_;
    return 0;
  }
  std::size_t jobs = plan_cores(0);
  auto next_job = [&]() -> Job& {
    if (jobs_.size() == jobs) jobs_.emplace_back();
    return jobs_[jobs++];
  };
  std::uint64_t k = next_seam_;
  for (; k < cores_decoded_; ++k) {
    if (seam_absent(k)) continue;
    if (!seam_ready(k)) break;
    Job& job = next_job();
    job.first = job.commit_first = k * block_ + commit_;
    job.end = job.commit_end = total_ ? std::min((k + 1) * block_, *total_) : (k + 1) * block_;
    job.open_start = job.open_end = false;
    job.core = kNotACore;
  }
  seams_planned_ = k;
  return jobs;
}

bool WindowEngine::advance(bool flush) {
  bool stepped = false;
  for (;;) {
    const std::size_t jobs = cores_and_seams_ ? plan_cores_and_seams(flush) : plan_sliding(flush);
    // A step without windows may still pass seams the stream's end left without any.
    if (jobs == 0 && seams_planned_ == next_seam_) break;
    run_step(jobs);
    stepped = true;
  }
  return stepped;
}

void WindowEngine::run_step(std::size_t jobs) {
  const auto started_at = std::chrono::steady_clock::now();
  std::uint64_t built_before = 0, graphs_before = 0;
  for (const ThreadWindows& t : threads_) {
    built_before = std::max(built_before, t.build_ns);
    graphs_before += t.graphs_built;
  }
  if (jobs == 1) {
    decode(threads_[0], jobs_[0]);
  } else if (jobs > 1) {
    team_->run(jobs, [this](unsigned thread, std::size_t j) { decode(threads_[thread], jobs_[j]); });
  }
  // Commits in window order: cores wait for the seam before them, the rest count now.
  for (std::size_t j = 0; j < jobs; ++j) {
    Job& job = jobs_[j];
    for (const StreamDetector& d : job.outside) flip(d);
    if (job.core == kNotACore) {
      commit(job);
    } else {
      unsealed_.push_back(std::move(job));
      // Its place takes a sealed job's lists, so that their memory is used again.
      if (spare_.empty()) {
        job = Job{};
      } else {
        job = std::move(spare_.back());
        spare_.pop_back();
      }
    }
  }
  stats_.windows += jobs;

  RoundIndex committed = 0, keep_from = 0;
  if (cores_and_seams_) {
    cores_decoded_ = cores_complete_;
    next_seam_ = seams_planned_;
    while (next_seam_ < cores_decoded_ && seam_absent(next_seam_)) ++next_seam_;
    seal_cores(next_seam_ + 1);
    // Committed: everything before the first seam still to decode, or before the first core.
    committed = next_seam_ < cores_decoded_ ? next_seam_ * block_ + commit_ : cores_decoded_ * block_;
    keep_from = std::min(next_seam_ < cores_decoded_ ? next_seam_ * block_ + commit_ : ~RoundIndex{0},
                         core_exists(cores_decoded_) ? core_window_first(cores_decoded_) : ~RoundIndex{0});
  } else {
    next_window_ = jobs_[0].commit_end;
    committed = keep_from = next_window_;
  }
  if (total_) committed = std::min(committed, *total_);
  stats_.rounds += committed - committed_rounds_;
  committed_rounds_ = committed;
  release_rows(keep_from);

  std::uint64_t built_after = 0, graphs_after = 0;
  for (const ThreadWindows& t : threads_) {
    built_after = std::max(built_after, t.build_ns);
    graphs_after += t.graphs_built;
  }
  stats_.window_graphs += graphs_after - graphs_before;
  // Window graphs are built once per shape: their time is kept apart from the steps'.
  const std::uint64_t build = built_after - built_before;
  stats_.build_ns += build;
  const std::uint64_t elapsed = nanoseconds_since(started_at);
  stats_.step.record(elapsed > build ? elapsed - build : 0);
}

void WindowEngine::commit(Job& job) {
  committed_ ^= job.flips;
  if (keep_flips_) flipped_.insert(flipped_.end(), job.touched.begin(), job.touched.end());
}

void WindowEngine::seal_cores(std::uint64_t below) {
  std::size_t sealed = 0;
  for (; sealed < unsealed_.size() && unsealed_[sealed].core < below; ++sealed) {
    commit(unsealed_[sealed]);
    spare_.push_back(std::move(unsealed_[sealed]));
  }
  unsealed_.erase(unsealed_.begin(), unsealed_.begin() + static_cast<std::ptrdiff_t>(sealed));
}

WindowGraph& WindowEngine::window_for(ThreadWindows& thread, const Job& job) {
  const SlidingWindowModel& m = *model_;
  const RoundIndex reach = m.max_reach();
  const RoundIndex first = job.first, end = job.end;
  // Rounds from `reach` before the window on may lie in the head; past that, the period's phase
  // and the distance to the stream's end fix every round's model round.
  const RoundIndex settled = RoundIndex{m.head_rounds()} + reach;
  WindowGraph::Key key;
  key.first = first < settled ? first : settled;
  key.phase = first < settled ? 0 : static_cast<std::uint32_t>((first - m.head_rounds()) % m.period());
  key.length = end - first;
  key.to_end = total_ && end + m.tail_rounds() > *total_ ? *total_ - end : WindowGraph::kNoTail;
  key.open_start = job.open_start;
  key.open_end = job.open_end;
  for (const auto& w : thread.windows) {
    if (w->key == key) return *w;
  }

  const auto started_at = std::chrono::steady_clock::now();
  auto w = std::make_unique<WindowGraph>();
  w->key = key;
  const std::size_t length = static_cast<std::size_t>(end - first);
  auto graph = m.window_nodes(first, length, total_, w->model_rounds, w->round_start);
  const std::uint32_t nodes = w->round_start[length];
  // A window round's detector, or `nodes` when (offset, slot) is not one (a stretched model
  // keeps slots in range, checked when the stream starts; an edge that would still leave its
  // round is dropped rather than tied to a wrong detector).
  auto node_of = [&](std::int64_t offset, RoundSlot slot) -> std::uint32_t {
    if (offset < 0 || offset >= static_cast<std::int64_t>(length)) return nodes;
    if (slot >= m.round_size(w->model_rounds[offset])) return nodes;
    return w->round_start[offset] + slot;
  };
  // Correlated: each window edge that is a mechanism's component, under the mechanism's name:
  // its first round from the window's (negative: before it) and its rank there.
  struct Component {
    std::int64_t first;
    std::uint32_t rank;
    std::uint32_t edge;
    double probability;
  };
  std::vector<Component> components;
  auto add = [&](const SlidingWindowModel::RoundEdge& re, std::int64_t a_off, std::uint32_t near,
                 std::uint32_t far) {
    if (correlated_ && re.mechanism != SlidingWindowModel::kNoMechanism) {
      components.push_back({a_off - re.mechanism_back, re.mechanism, static_cast<std::uint32_t>(graph->edges.size()),
                            re.mechanism_probability});
    }
    SpacetimeEdge& edge = graph->edges.emplace_back();
    edge.observables = re.observables;
    for (const std::uint8_t k : re.observables) w->wide |= k >= 64;
    edge.node_a = near;
    edge.node_b = far;
    edge.weight = re.weight;
    w->edges.push_back({a_off, a_off + re.b_delta, re.a, re.b, re.to_boundary, DecodingGraph::mask_of(re.observables)});
  };
  if (job.open_start) {
    // Edges from the rounds before the window into it end on the boundary at their window end.
    for (RoundIndex j = first > reach ? first - reach : 0; j < first; ++j) {
      for (const SlidingWindowModel::RoundEdge& re : m.round_edges(m.model_round(j, total_))) {
        if (re.to_boundary) continue;
        const std::int64_t a_off = static_cast<std::int64_t>(j) - static_cast<std::int64_t>(first);
        const std::uint32_t near = node_of(a_off + re.b_delta, re.b);
        if (near != nodes) add(re, a_off, near, nodes);
      }
    }
  }
  for (std::size_t i = 0; i < length; ++i) {
    for (const SlidingWindowModel::RoundEdge& re : m.round_edges(w->model_rounds[i])) {
      const auto a_off = static_cast<std::int64_t>(i);
      std::uint32_t far = nodes;  // the boundary, or past the window's end
      if (!re.to_boundary) {
        if (a_off + re.b_delta < static_cast<std::int64_t>(length)) {
          far = node_of(a_off + re.b_delta, re.b);
          if (far == nodes) continue;
        } else if (!job.open_end) {
          continue;  // closed: the rounds past the window are settled
        }
      }
      add(re, a_off, w->round_start[i] + re.a, far);
    }
  }
  if (correlated_) {
    std::sort(components.begin(), components.end(), [](const Component& x, const Component& y) {
      return x.first != y.first ? x.first < y.first : x.rank != y.rank ? x.rank < y.rank : x.edge < y.edge;
    });
    DecodingGraph::Mechanisms mechanisms;
    std::vector<std::uint32_t> edges;
    for (std::size_t k = 0; k < components.size();) {
      std::size_t next = k;
      edges.clear();
      for (; next < components.size() && components[next].first == components[k].first &&
             components[next].rank == components[k].rank;
           ++next) {
        edges.push_back(components[next].edge);
      }
      if (edges.size() >= 2) mechanisms.add(edges, components[k].probability);
      k = next;
    }
    w->decoder = std::make_unique<UnionFindDecoder>(
        std::make_shared<const DecodingGraph>(std::shared_ptr<const SpacetimeGraph>(std::move(graph)), mechanisms));
  } else {
    w->decoder = std::make_unique<UnionFindDecoder>(std::move(graph));
  }
  w->decoder->set_method(method_);
  ++thread.graphs_built;
  thread.build_ns += nanoseconds_since(started_at);
  thread.windows.push_back(std::move(w));
  return *thread.windows.back();
}

void WindowEngine::decode(ThreadWindows& thread, Job& job) {
  WindowGraph& w = window_for(thread, job);
  const std::size_t length = static_cast<std::size_t>(job.end - job.first);
  // An open start reads the syndrome as received; a closed one with the flips commits left.
  const std::uint64_t reads_flips = job.open_start ? 0 : ~std::uint64_t{0};
  thread.fired.clear();
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint64_t* bits = row_at(job.first + i);
    const std::uint64_t* flips = bits + words_per_round_;
    const std::uint32_t size = model_->round_size(w.model_rounds[i]);
    for (std::size_t word = 0; word < words_per_round_; ++word) {
      for (std::uint64_t rest = bits[word] ^ (flips[word] & reads_flips); rest != 0; rest &= rest - 1) {
        const auto slot = static_cast<std::uint32_t>(word * 64 + std::countr_zero(rest));
        if (slot < size) thread.fired.push_back(w.round_start[i] + slot);
      }
    }
  }
  job.flips = {};
  job.outside.clear();
  job.touched.clear();
  const auto commit_first = static_cast<std::int64_t>(job.commit_first - job.first);
  const auto commit_end = static_cast<std::int64_t>(job.commit_end - job.first);
  auto commits = [&](std::int64_t offset) { return offset >= commit_first && offset < commit_end; };
  for (std::uint32_t id : decode_window(w, thread.fired, correlated_)) {
    const WindowGraph::Edge& e = w.edges[id];
    const bool a_in = commits(e.a_off), b_in = !e.to_boundary && commits(e.b_off);
    if (!a_in && !b_in) continue;
    job.flips.words[0] ^= e.observables;
    if (w.wide) {
      for (const std::uint8_t k : w.decoder->graph().edges[id].observables) {
        if (k >= 64) job.flips.flip(k);
      }
    }
    const StreamDetector a{job.first + e.a_off, e.a}, b{job.first + e.b_off, e.b};
    // The detectors outside the commit rounds are flipped for the windows that decode them.
    if (!a_in) job.outside.push_back(a);
    if (!e.to_boundary && !b_in) job.outside.push_back(b);
    if (keep_flips_) {
      job.touched.push_back(a);
      if (!e.to_boundary) job.touched.push_back(b);
    }
  }
}

}  // namespace kelvane
