#include "kelvane/streaming/live_decoder.h"

#include <algorithm>
#include <utility>

#include "kelvane/streaming/windowed_frames.h"

namespace kelvane {
namespace {

std::uint64_t ns_between(LiveClock::time_point from, LiveClock::time_point to) {
  return to > from ? static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count())
                   : 0;
}

constexpr LiveClock::time_point kNoArrival = LiveClock::time_point::min();

}  // namespace

FrameReaderThread::FrameReaderThread(ReadFn read, bool follow, std::size_t read_ahead)
    : read_(std::move(read)), read_ahead_(std::max<std::size_t>(read_ahead, 1)), follow_(follow) {
  thread_ = std::thread([this] { run(); });
}

std::size_t FrameReaderThread::queued_bytes(const ArrivedFrame& arrived) {
  // The deque's slot, and the frame's own arrays with the allocator's bookkeeping of each.
  constexpr std::size_t kPerAllocation = 16;
  const OwnedFrame& f = arrived.frame;
  return sizeof(ArrivedFrame) + f.detector_events.capacity() + f.meas_results.capacity() + 2 * kPerAllocation;
}

void FrameReaderThread::enqueue(ArrivedFrame arrived) {
  ahead_bytes_ += queued_bytes(arrived);
  queue_.push_back(std::move(arrived));
  if (waiting_) ready_.notify_one();
}

void FrameReaderThread::release(std::size_t bytes, std::vector<OwnedFrame>* done) {
  if (bytes == 0 && (!done || done->empty())) return;
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    ahead_bytes_ -= std::min(bytes, ahead_bytes_);
    if (full_ && ahead_bytes_ <= read_ahead_ / 2) {
      full_ = false;
      wake = true;
    }
    if (done) {
      // Spares for as many frames as the budget can hold; the rest are freed.
      const std::size_t max_spares = read_ahead_ / sizeof(ArrivedFrame) + 64;
      for (OwnedFrame& f : *done) {
        if (spares_.size() >= max_spares) break;
        spares_.push_back(std::move(f));
      }
      done->clear();
    }
  }
  if (wake) room_.notify_one();
}

std::size_t FrameReaderThread::ahead_bytes() {
  std::lock_guard lock(mutex_);
  return ahead_bytes_;
}

std::size_t FrameReaderThread::queued_frames() {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

void FrameReaderThread::run() {
  OwnedFrame spare;  // read into; a spare from the decoder when there is one
  while (!stop_.load(std::memory_order_acquire)) {
    {
      // Backpressure: the next frame waits until the decoder has made room for it.
      std::unique_lock lock(mutex_);
      // Once the budget is full, reading resumes only when half of it is free again: the reader
      // then reads in long runs instead of waking for every frame decoded.
      if (ahead_bytes_ >= read_ahead_) full_ = true;
      room_.wait(lock, [this] { return !full_ || stop_.load(std::memory_order_acquire); });
      if (!spares_.empty() && spare.detector_events.capacity() == 0) {
        spare = std::move(spares_.back());
        spares_.pop_back();
      }
    }
    if (stop_.load(std::memory_order_acquire)) break;
    Result<bool> next = read_(spare, stop_);
    if (next && !*next && follow_) {  // the end of the data for now
      std::this_thread::sleep_for(kFollowPoll);
      continue;
    }
    const LiveClock::time_point now = LiveClock::now();
    std::lock_guard lock(mutex_);
    // A read given up because of stop() is no error of the source.
    if (!next && stop_.load(std::memory_order_acquire)) break;
    if (!next && next.error().offset && !next.error().is<errors::Io>()) {
      // A damaged frame: the next read resynchronises past it.
      enqueue({{}, now, std::move(next.error())});
      continue;
    }
    if (!next || !*next) {
      if (!next) error_ = std::move(next.error());
      break;
    }
    if (!first_arrival_) first_arrival_ = now;
    last_arrival_ = now;
    arrived_.fetch_add(1, std::memory_order_release);
    enqueue({std::move(spare), now, std::nullopt});
    spare = OwnedFrame{};
  }
  std::lock_guard lock(mutex_);
  ended_ = true;
  ready_.notify_one();
}

bool FrameReaderThread::take(std::vector<ArrivedFrame>& out, LiveClock::time_point until) {
  std::unique_lock lock(mutex_);
  if (queue_.empty() && !ended_) {
    waiting_ = true;
    ready_.wait_until(lock, until, [this] { return !queue_.empty() || ended_; });
    waiting_ = false;
  }
  if (queue_.empty()) return false;
  out.clear();
  out.swap(queue_);
  return true;
}

double FrameReaderThread::arrivals_per_second() {
  std::lock_guard lock(mutex_);
  if (!first_arrival_ || last_arrival_ <= *first_arrival_) return 0.0;
  return static_cast<double>(arrived() - 1) / std::chrono::duration<double>(last_arrival_ - *first_arrival_).count();
}

bool FrameReaderThread::drained() {
  std::lock_guard lock(mutex_);
  return ended_ && queue_.empty();
}

std::optional<KelvaneError> FrameReaderThread::take_error() {
  std::lock_guard lock(mutex_);
  std::optional<KelvaneError> e = std::move(error_);
  error_.reset();
  return e;
}

void FrameReaderThread::stop() {
  {
    std::lock_guard lock(mutex_);  // so that a reader about to wait for room sees it
    stop_.store(true, std::memory_order_release);
  }
  room_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::optional<std::string> BacklogWatch::sample(LiveClock::time_point now, std::uint64_t backlog,
                                                std::uint64_t arrived, bool source_held) {
  const std::uint64_t jitter = std::max({std::uint64_t{64}, 2 * window_rounds_, arrived - last_arrived_});
  last_arrived_ = arrived;
  const LiveClock::time_point second_ago = now - std::chrono::seconds(1);
  // Keep one sample from over a second ago: the latest such.
  while (recent_.size() >= 2 && recent_[1].at < second_ago) recent_.pop_front();
  std::optional<std::string> warning;
  if (!warned_ && !recent_.empty() && recent_.front().at < second_ago) {
    const std::uint64_t from = recent_.front().backlog;
    const bool held = std::ranges::all_of(recent_, [&](const Sample& s) { return s.backlog >= from; });
    if (held && backlog > from + jitter) {
      warned_ = true;
      warning = "the backlog has grown for over a second (" + std::to_string(backlog) +
                " rounds arrived and not yet committed): the decoder is not keeping up";
    }
  }
  if (!source_held) {
    held_since_.reset();
  } else if (!held_since_) {
    held_since_ = now;
  } else if (!warned_ && !warning && now - *held_since_ > std::chrono::seconds(1)) {
    warned_ = true;
    warning = "the backlog has grown for over a second (" + std::to_string(backlog) +
              " rounds arrived and not yet committed, the read-ahead full and more waiting in the source): "
              "the decoder is not keeping up";
  }
  recent_.push_back({now, backlog});
  return warning;
}

double LiveStats::rounds_per_second() const {
  if (!first_arrival || last_decode <= *first_arrival) return 0.0;
  return static_cast<double>(frames_decoded) / std::chrono::duration<double>(last_decode - *first_arrival).count();
}

std::uint64_t LiveDecoder::backlog(const StreamDecoder& decoder) const {
  const WindowedFrames* w = decoder.windows();
  return reader_.arrived() - frames_taken_ + (w ? w->held_rounds() : 0);
}

bool LiveDecoder::push(StreamDecoder& decoder, ArrivedFrame& arrived) {
  ++frames_taken_;
  if (auto pushed = decoder.push(arrived.frame); !pushed) {
    rejection_ = pushed.error();
    return false;
  }
  ++frames_decoded_;
  if (!first_arrival_) first_arrival_ = arrived.arrived;
  WindowedFrames* w = decoder.windows();
  if (!w) return true;
  if (w->starts() != streams_seen_) {  // a new shot or a restarted stream: what was held is dropped
    streams_seen_ = w->starts();
    round_arrivals_.clear();
    received_seen_ = 0;
    first_round_ = arrived.frame.round;
  }
  const RoundIndex received = w->received_rounds();
  if (received > received_seen_) {
    // Rounds before this frame's were missing and decoded as quiet.
    for (RoundIndex j = received_seen_ + 1; j < received; ++j) round_arrivals_.push_back(kNoArrival);
    round_arrivals_.push_back(arrived.arrived);
    received_seen_ = received;
  }
  const std::uint64_t held = w->held_rounds();
  const bool decided = arrived.frame.prediction == FramePrediction::kDecoded && arrived.frame.observable_flips;
  if (round_arrivals_.size() <= held && !decided) return true;
  const LiveClock::time_point now = LiveClock::now();
  last_decode_ = now;
  for (; round_arrivals_.size() > held; round_arrivals_.pop_front()) {
    if (round_arrivals_.front() != kNoArrival) frame_.record(ns_between(round_arrivals_.front(), now));
  }
  if (decided) {
    closing_.record(ns_between(arrived.arrived, now));
    const std::optional<FrameLayout>& layout = decoder.layout();
    if (decoder.per_shot() && layout && arrived.frame.round + 1 == layout->rounds() &&
        arrived.frame.source_observable_flips) {  // a shot's last frame, with its truth
      ++shots_with_truth_;
      if (*arrived.frame.source_observable_flips != *arrived.frame.observable_flips) ++shot_errors_;
    }
    if (decisions_.empty()) first_decision_at_ = now;
    decisions_.push_back({arrived.frame.frame_id, arrived.frame.round, arrived.frame.window_incomplete,
                          *arrived.frame.observable_flips, arrived.arrived, {}});
    ++decision_count_;
    if (flips_on_) {
      w->take_detector_flips(flips_);
      auto& out = decisions_.back().detector_flips;
      out.reserve(flips_.size());
      // Frame rounds count modulo 2^32 from the stream's first, as the stream decoder places them.
      for (const auto& f : flips_) out.emplace_back(static_cast<std::uint32_t>(first_round_ + f.round), f.ancilla);
    }
  }
  return true;
}

LiveOutcome LiveDecoder::run(StreamDecoder& decoder, const LiveTerms& terms) {
  if (keep_flips_ && !flips_on_ && decoder.windows()) {
    decoder.windows()->keep_detector_flips(true);
    flips_on_ = true;
  }
  LiveClock::time_point now = LiveClock::now();
  LiveClock::time_point next_tick = now + terms.tick;
  // Every tick: signals and cancellation; every BacklogWatch interval (across calls, which may
  // each last a millisecond), the backlog's sample.
  const auto on_tick = [&]() -> std::optional<LiveOutcome> {
    if (now >= next_sample_) {
      next_sample_ = now + BacklogWatch::kInterval;
      bool held = false;
      if (waiting_) {
        const std::optional<std::size_t> waiting = waiting_();
        held = waiting && *waiting > 0 && reader_.ahead_bytes() >= reader_.read_ahead() / 2;
      }
      if (auto w = watch_.sample(now, backlog(decoder), reader_.arrived(), held); w && !warning_) {
        warning_ = std::move(w);
      }
    }
    if (now < next_tick) return std::nullopt;
    next_tick = now + terms.tick;
    if (terms.interrupted && terms.interrupted()) return LiveOutcome::kInterrupted;
    if (terms.cancelled && terms.cancelled->load(std::memory_order_acquire)) return LiveOutcome::kCancelled;
    return std::nullopt;
  };
  const auto flush_due = [&] {
    return !decisions_.empty() &&
           (decisions_.size() >= terms.max_decisions || now - *first_decision_at_ >= terms.flush);
  };
  for (;;) {
    if (!pending_left()) {
      pending_.clear();
      pending_pos_ = 0;
      // Decisions waiting and nothing more arrived: hand them out rather than wait.
      const LiveClock::time_point until = decisions_.empty() ? std::min(terms.until, next_tick) : now;
      release();
      const bool took = reader_.take(pending_, until);
      now = LiveClock::now();
      if (took) {
        largest_backlog_ = std::max(largest_backlog_, backlog(decoder));
      } else {
        if (!decisions_.empty()) return LiveOutcome::kDecisions;
        if (reader_.drained()) return LiveOutcome::kEnded;
        if (auto stop = on_tick()) return *stop;
        if (now >= terms.until) return LiveOutcome::kDecisions;
        continue;
      }
    }
    std::uint32_t since_clock = 0;
    while (pending_left()) {
      ArrivedFrame& next = pending_[pending_pos_];
      if (next.damaged) {  // the decisions before it first
        if (!decisions_.empty()) return LiveOutcome::kDecisions;
        damaged_ = std::move(next.damaged);
        unreleased_ += FrameReaderThread::queued_bytes(next);
        ++pending_pos_;
        release();
        return LiveOutcome::kDamaged;
      }
      const std::uint64_t before = decision_count_;
      const bool pushed = push(decoder, next);
      unreleased_ += FrameReaderThread::queued_bytes(next);
      done_.push_back(std::move(next.frame));
      ++pending_pos_;
      if (!pushed) {
        release();
        return LiveOutcome::kRejected;
      }
      if (decision_count_ == before && ++since_clock < 64) continue;
      since_clock = 0;
      release();
      now = LiveClock::now();
      last_decode_ = now;
      if (flush_due()) return LiveOutcome::kDecisions;
      if (auto stop = on_tick()) return *stop;
      if (now >= terms.until) return LiveOutcome::kDecisions;
    }
    release();
    now = LiveClock::now();
    last_decode_ = now;
    if (auto stop = on_tick()) return *stop;
    if (flush_due()) return LiveOutcome::kDecisions;
  }
}

std::vector<LiveDecision> LiveDecoder::take_decisions() {
  // A caller that never reports writes gets no write latencies, and keeps no growing list.
  if (handed_out_.size() > (std::size_t{1} << 16)) handed_out_.clear();
  for (const LiveDecision& d : decisions_) handed_out_.push_back(d.closing_arrived);
  std::vector<LiveDecision> out;
  out.swap(decisions_);
  first_decision_at_.reset();
  return out;
}

void LiveDecoder::decisions_written(LiveClock::time_point now) {
  for (LiveClock::time_point t : handed_out_) written_.record(ns_between(t, now));
  handed_out_.clear();
}

LiveStats LiveDecoder::stats(const StreamDecoder& decoder) {
  LiveStats s;
  s.frames_arrived = reader_.arrived();
  s.arrivals_per_second = reader_.arrivals_per_second();
  s.frames_decoded = frames_decoded_;
  s.decisions = decision_count_;
  s.backlog = backlog(decoder);
  s.largest_backlog = std::max(largest_backlog_, s.backlog);
  s.read_ahead_bytes = reader_.ahead_bytes();
  s.queued_frames = reader_.queued_frames() + (pending_.size() - pending_pos_);
  s.shots_with_truth = shots_with_truth_;
  s.shot_errors = shot_errors_;
  s.first_arrival = first_arrival_;
  s.last_decode = last_decode_;
  s.closing = closing_;
  s.frame = frame_;
  s.written = written_;
  return s;
}

}  // namespace kelvane
