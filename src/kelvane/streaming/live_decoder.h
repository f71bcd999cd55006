// Decoding a live stream in windows from arrival to decision without leaving C++: a reader
// thread takes frames from the source as fast as they come and stamps each with its arrival
// time, so that rounds the decoder has not reached yet are counted (the backlog) instead of
// waiting unseen in a socket's buffer; the decoding thread takes whatever has arrived, hands it
// to the stream decoder and keeps a decision per commit step, the commit latencies and the
// backlog's history.
//
// Latencies, each a histogram (median, p99.9, worst):
//   - closing: from the arrival of the frame that closed a commit step (the last round the
//     commit needed) to the commit;
//   - frame: from the arrival of every committed round's frame to the commit that took it in
//     (rounds decoded as quiet because they never arrived have no arrival and are left out);
//   - written: from the arrival of the closing frame to the moment the caller reports the
//     decision written out (decisions_written).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"
#include "kelvane/decoder/latency_histogram.h"
#include "kelvane/streaming/stream_decoder.h"
#include "kelvane/streaming/windowed_frames.h"

namespace kelvane {

using LiveClock = std::chrono::steady_clock;

struct ArrivedFrame {
  OwnedFrame frame;
  LiveClock::time_point arrived;
  // A damaged frame read past instead (its error, with its offset): in the queue where the
  // frame stood, `frame` unused.
  std::optional<KelvaneError> damaged;
};

// Reads frames on a thread of its own until the data ends, a read fails or stop() is called.
// A damaged frame (an error about one frame, which the next read goes past) does not end
// reading: its error is queued in the frame's place. With `follow`, the end of the data is not
// the end of reading either: a file that grows is read again every kFollowPoll.
//
// The frames read ahead of the decoder hold at most about `read_ahead` bytes: once they do, the
// thread reads on only when the decoder has released (release()) half of them. A file is then read no
// faster than it is decoded, and a sender faster than the decoder fills the socket's buffers
// until TCP's flow control holds it: memory does not grow with the backlog.
class FrameReaderThread {
 public:
  // Reads the next frame into `into` (a frame the decoder is done with, whose arrays it may
  // reuse): true, false at the end of the data, or the error. It must give up waiting
  // (returning an error) soon after `stop` is raised.
  using ReadFn = std::function<Result<bool>(OwnedFrame& into, const std::atomic<bool>& stop)>;
  static constexpr std::chrono::milliseconds kFollowPoll{10};
  static constexpr std::size_t kDefaultReadAhead = std::size_t{4} << 20;

  explicit FrameReaderThread(ReadFn read, bool follow = false, std::size_t read_ahead = kDefaultReadAhead);
  FrameReaderThread(const FrameReaderThread&) = delete;
  FrameReaderThread& operator=(const FrameReaderThread&) = delete;
  ~FrameReaderThread() { stop(); }

  // Moves the frames that have arrived into `out`, which must be empty (the two vectors trade
  // their memory, so that nothing is allocated once both have grown). With none there yet,
  // waits until one arrives, reading ends, or `until`. True when it moved frames.
  bool take(std::vector<ArrivedFrame>& out, LiveClock::time_point until);
  // True once reading has ended and every frame has been taken.
  bool drained();
  // After drained(): the error that ended reading, if any, handed out once.
  std::optional<KelvaneError> take_error();
  // Frames arrived so far (taken or not).
  std::uint64_t arrived() const { return arrived_.load(std::memory_order_acquire); }
  // Frames per second from the first arrival to the last (0 before two arrivals): what the
  // source delivered, to tell a source that fell behind its own pace from a slow decoder.
  double arrivals_per_second();
  // Asks the thread to stop and waits for it. Frames already queued stay takeable.
  void stop();

  // The bytes taken frames held (queued_bytes), now decoded: reading may go on; `done` are
  // those frames, whose memory the next reads reuse (emptied).
  void release(std::size_t bytes, std::vector<OwnedFrame>* done = nullptr);
  // Bytes of the frames read and not yet released: taken or not, not decoded.
  std::size_t ahead_bytes();
  std::size_t read_ahead() const { return read_ahead_; }
  // Frames read and not yet taken by the decoder.
  std::size_t queued_frames();
  // The memory an arrived frame holds in the queue, as counted against the read-ahead budget.
  static std::size_t queued_bytes(const ArrivedFrame& arrived);

 private:
  void run();
  // Queues one arrival (lock held).
  void enqueue(ArrivedFrame arrived);

  ReadFn read_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> arrived_{0};
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable room_;  // the decoder released bytes, or stop()
  std::vector<ArrivedFrame> queue_;
  std::size_t read_ahead_;
  std::size_t ahead_bytes_ = 0;
  bool full_ = false;  // the budget filled up: reading waits until half of it is free
  std::vector<OwnedFrame> spares_;  // decoded frames, for reads to reuse
  bool waiting_ = false;            // take() waits for a frame: notify it
  std::optional<LiveClock::time_point> first_arrival_;
  LiveClock::time_point last_arrival_{};
  bool ended_ = false;
  std::optional<KelvaneError> error_;
  bool follow_ = false;
  std::thread thread_;
};

// Whether the backlog keeps growing: sampled every quarter second or so, it warns (once) when
// the backlog has grown over more than a second, never falling back below where it stood then,
// by more than the jitter of arrivals (a window's rounds, at least 64, or a quarter second's
// arrivals: a loaded machine takes the core away for about that long). One sample that saw no
// growth, as when the reader or decoder lost the core for a moment, does not hide the trend.
// With the read-ahead bounded, a source faster than the decoder stops the backlog growing here
// and holds the rest in the socket (and the sender): a source held back in every sample for
// over a second (the read-ahead at least half full, bytes waiting in the socket) warns too.
class BacklogWatch {
 public:
  static constexpr std::chrono::milliseconds kInterval{250};

  explicit BacklogWatch(std::uint64_t window_rounds) : window_rounds_(window_rounds) {}
  // A sample: the backlog and the frames arrived by `now`. The warning text the first time the
  // rule is met, else nothing.
  // `source_held`: the reader waits on the read-ahead budget while the source has more to give.
  std::optional<std::string> sample(LiveClock::time_point now, std::uint64_t backlog, std::uint64_t arrived,
                                    bool source_held = false);

 private:
  struct Sample {
    LiveClock::time_point at;
    std::uint64_t backlog;
  };
  std::uint64_t window_rounds_;
  bool warned_ = false;
  std::deque<Sample> recent_;  // back to the last sample over a second old
  std::uint64_t last_arrived_ = 0;
  std::optional<LiveClock::time_point> held_since_;  // the first of the samples that saw the source held
};

// A commit step's decision: the frame that closed it and the observable flips committed so far.
struct LiveDecision {
  std::uint64_t frame_id = 0;
  std::uint32_t round = 0;
  bool window_incomplete = false;  // its window held rounds that never arrived
  std::uint64_t committed_flips = 0;
  LiveClock::time_point closing_arrived{};
  // With detector flips kept: the detectors the commits of this step flipped, as (frame round,
  // ancilla), in round order.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> detector_flips;
};

struct LiveStats {
  std::uint64_t frames_arrived = 0;
  std::uint64_t frames_decoded = 0;
  std::uint64_t decisions = 0;
  std::uint64_t backlog = 0;  // rounds arrived and not yet committed
  std::uint64_t largest_backlog = 0;
  std::size_t read_ahead_bytes = 0;  // held by frames read and not yet decoded
  std::size_t queued_frames = 0;     // read and not yet decoded
  double arrivals_per_second = 0;
  // Per shot: shots decoded whose last frame carried the true observable flips, and those whose
  // prediction differs from them.
  std::uint64_t shots_with_truth = 0;
  std::uint64_t shot_errors = 0;
  std::optional<LiveClock::time_point> first_arrival;
  LiveClock::time_point last_decode{};
  LatencyHistogram closing;
  LatencyHistogram frame;
  LatencyHistogram written;
  // Frames decoded per second from the first arrival to the last decode.
  double rounds_per_second() const;
};

// The terms of one decode call.
struct LiveTerms {
  LiveClock::time_point until;           // return by then at the latest
  std::chrono::nanoseconds flush{1'000'000};  // return decisions at most this long after the first is taken
  std::size_t max_decisions = 1 << 16;
  std::chrono::milliseconds tick{50};    // how often `interrupted` and `cancelled` are checked
  std::function<bool()> interrupted;     // true stops the call (a signal handler raised)
  const std::atomic<bool>* cancelled = nullptr;
};

enum class LiveOutcome {
  kDecisions,    // decisions are ready, or the deadline passed
  kEnded,        // every frame decoded and the source ended (its error, if any, in take_error())
  kInterrupted,  // `interrupted` said so
  kCancelled,
  kRejected,     // the stream decoder refused a frame (rejection()); that frame is dropped
  kDamaged,      // the next frame was damaged (its error in take_error()); decoding goes on after it
};

class LiveDecoder {
 public:
  // `keep_flips`: every decision carries the detectors its commits flipped; `follow`: the end
  // of the data is not the source's (FrameReaderThread).
  // `read_ahead`: the byte budget of the frames read ahead of the decoder (FrameReaderThread).
  LiveDecoder(FrameReaderThread::ReadFn read, std::uint64_t window_rounds, bool keep_flips = false,
              bool follow = false, std::size_t read_ahead = FrameReaderThread::kDefaultReadAhead)
      : reader_(std::move(read), follow, read_ahead), watch_(window_rounds), keep_flips_(keep_flips) {}
  bool keeps_flips() const { return keep_flips_; }
  // The bytes waiting in the source beyond what the reader has read (a socket's unread bytes),
  // where the source can tell; the backlog watch takes waiting bytes beside a read-ahead at
  // least half full as a source held back by the decoder.
  void set_waiting_bytes(std::function<std::optional<std::size_t>()> waiting) { waiting_ = std::move(waiting); }

  // Decodes what arrives with `decoder` (a windowed stream decoder) until one of the outcomes.
  LiveOutcome run(StreamDecoder& decoder, const LiveTerms& terms);

  // The decisions taken since the last call, oldest first; they count as handed out, awaiting
  // decisions_written().
  std::vector<LiveDecision> take_decisions();
  // The decisions handed out so far are written: their write latencies end now.
  void decisions_written(LiveClock::time_point now = LiveClock::now());
  // The backlog warning, once the backlog has grown for over a second (see BacklogWatch).
  const std::optional<std::string>& backlog_warning() const { return warning_; }
  // Why the last kRejected outcome happened.
  const LayoutError& rejection() const { return rejection_; }
  // After kDamaged, the damaged frame's error; after kEnded, the error that ended reading, if
  // any. Handed out once.
  std::optional<KelvaneError> take_error() {
    if (damaged_) return std::exchange(damaged_, std::nullopt);
    return reader_.take_error();
  }

  LiveStats stats(const StreamDecoder& decoder);
  // Stops reading (frames queued stay decodable).
  void stop() { reader_.stop(); }

 private:
  // Hands one frame to the decoder; false when it refused the frame.
  bool push(StreamDecoder& decoder, ArrivedFrame& arrived);
  std::uint64_t backlog(const StreamDecoder& decoder) const;

  FrameReaderThread reader_;
  std::function<std::optional<std::size_t>()> waiting_;
  std::vector<ArrivedFrame> pending_;  // taken from the reader; from pending_pos_ on not yet decoded
  std::size_t pending_pos_ = 0;
  bool pending_left() const { return pending_pos_ < pending_.size(); }
  std::size_t unreleased_ = 0;        // bytes of frames decoded since the last release to the reader
  std::vector<OwnedFrame> done_;      // those frames, handed back with the bytes
  // Hands the frames decoded since the last call back to the reader.
  void release() {
    reader_.release(std::exchange(unreleased_, 0), &done_);
  }
  BacklogWatch watch_;
  LiveClock::time_point next_sample_{};
  std::optional<std::string> warning_;
  LayoutError rejection_;
  std::optional<KelvaneError> damaged_;

  // The arrival of every round of the current window stream received and not yet committed
  // (LiveClock::time_point::min() for a round decoded as quiet), oldest first.
  std::deque<LiveClock::time_point> round_arrivals_;
  std::uint64_t streams_seen_ = 0;
  std::uint64_t received_seen_ = 0;
  std::uint32_t first_round_ = 0;  // the frame round of the current window stream's round 0
  bool keep_flips_ = false;
  bool flips_on_ = false;
  std::vector<WindowedFrames::AncillaFlip> flips_;

  std::vector<LiveDecision> decisions_;           // taken, not yet handed out
  std::vector<LiveClock::time_point> handed_out_;  // closing arrivals of decisions not yet written
  std::optional<LiveClock::time_point> first_decision_at_;  // when decisions_ last became non-empty
  std::uint64_t frames_taken_ = 0;  // decoded or refused
  std::uint64_t frames_decoded_ = 0;
  std::uint64_t decision_count_ = 0;
  std::uint64_t largest_backlog_ = 0;
  std::uint64_t shots_with_truth_ = 0;
  std::uint64_t shot_errors_ = 0;
  std::optional<LiveClock::time_point> first_arrival_;
  LiveClock::time_point last_decode_{};
  LatencyHistogram closing_;
  LatencyHistogram frame_;
  LatencyHistogram written_;
};

}  // namespace kelvane
