#include "kelvane/streaming/live_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "kelvane/streaming/stream_test_graphs.h"
#include "kelvane/streaming/windowed_frames.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;

// The stream decoder's tests' chain of 3 detectors a round.
std::shared_ptr<const SpacetimeGraph> chain_graph(std::uint32_t rounds) {
  return std::make_shared<const SpacetimeGraph>(testing_graphs::chain_graph(rounds, 2.0f, 1.5f));
}

// An endless stream decoder in windows of commit 2, buffer 2.
StreamDecoder windowed_decoder() {
  constexpr std::uint32_t kModelRounds = 8;
  auto graph = chain_graph(kModelRounds);
  std::vector<std::int64_t> entries(3 * kModelRounds);
  for (std::size_t k = 0; k < entries.size(); ++k) entries[k] = static_cast<std::int64_t>(k);
  StreamDecodeOptions o;
  o.layout = FrameLayout::table(kModelRounds, 3, entries, graph->boundary).value();
  o.windows = std::make_shared<WindowedFrames>(WindowedFrames::create(*graph, *o.layout, 2, 2, false).value());
  return StreamDecoder::create(graph, o).value();
}

// `count` frames with random events, round 10 missing.
std::vector<OwnedFrame> frames(std::uint32_t count) {
  std::mt19937 rng(5);
  std::vector<OwnedFrame> out;
  for (std::uint32_t r = 0; r <= count; ++r) {
    if (r == 10) continue;
    OwnedFrame f;
    f.frame_id = r;
    f.round = r;
    f.ancilla_count = 3;
    for (int a = 0; a < 3; ++a) f.detector_events.push_back(rng() % 4 == 0);
    out.push_back(std::move(f));
  }
  return out;
}

// Serves `frames`, then the end of the data or `error`.
FrameReaderThread::ReadFn serve(std::vector<OwnedFrame> frames, std::optional<KelvaneError> error = {}) {
  auto next = std::make_shared<std::size_t>(0);
  return [frames = std::move(frames), next, error](OwnedFrame& into, const std::atomic<bool>&) -> Result<bool> {
    if (*next < frames.size()) {
      into = frames[(*next)++];
      return true;
    }
    if (error) return fail(*error);
    return false;
  };
}

LiveTerms terms() {
  LiveTerms t;
  t.until = LiveClock::now() + 60s;
  return t;
}

TEST(LiveDecoder, DecidesWhatTheStreamDecoderDecidesFrameByFrameAndCountsItsLatencies) {
  const std::vector<OwnedFrame> input = frames(60);
  StreamDecoder reference = windowed_decoder();
  std::vector<std::tuple<std::uint64_t, std::uint32_t, bool, std::uint64_t>> expected;
  for (OwnedFrame f : input) {
    ASSERT_TRUE(reference.push(f).has_value());
    if (f.prediction == FramePrediction::kDecoded) expected.emplace_back(f.frame_id, f.round, f.window_incomplete, *f.observable_flips);
  }

  StreamDecoder decoder = windowed_decoder();
  LiveDecoder live(serve(input, KelvaneError::io("connection reset")), 4);
  std::vector<std::tuple<std::uint64_t, std::uint32_t, bool, std::uint64_t>> got;
  for (LiveOutcome o = LiveOutcome::kDecisions; o != LiveOutcome::kEnded;) {
    o = live.run(decoder, terms());
    ASSERT_NE(o, LiveOutcome::kRejected);
    for (const LiveDecision& d : live.take_decisions()) got.emplace_back(d.frame_id, d.round, d.window_incomplete, d.committed_flips);
    live.decisions_written();
  }
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(std::get<2>(expected[4]));  // a commit whose window held the missing round
  const std::optional<KelvaneError> error = live.take_error();
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->to_string().find("connection reset"), std::string::npos);

  const LiveStats s = live.stats(decoder);
  EXPECT_EQ(s.frames_arrived, input.size());
  EXPECT_EQ(s.frames_decoded, input.size());
  EXPECT_EQ(s.decisions, expected.size());
  EXPECT_EQ(s.closing.count(), expected.size());
  EXPECT_EQ(s.written.count(), expected.size());
  // Every round that arrived and was committed, the missing one left out.
  EXPECT_EQ(s.frame.count(), input.size() - s.backlog);
  EXPECT_EQ(s.backlog, decoder.windows()->held_rounds());
  EXPECT_GE(s.frame.worst_ns(), s.closing.median_ns());
}

// Reading waits once the frames ahead of the decoder hold the budget, and the decoder releasing
// them lets it go on: the same decisions come out, read a few frames at a time.
TEST(LiveDecoder, ReadsNoFurtherAheadThanItsBudget) {
  const std::vector<OwnedFrame> input = frames(60);
  StreamDecoder reference = windowed_decoder();
  std::vector<std::uint64_t> expected;
  for (OwnedFrame f : input) {
    ASSERT_TRUE(reference.push(f).has_value());
    if (f.prediction == FramePrediction::kDecoded) expected.push_back(f.frame_id);
  }
  const std::size_t frame_bytes = FrameReaderThread::queued_bytes({input[0], {}, std::nullopt});
  auto reads = std::make_shared<std::atomic<std::size_t>>(0);
  FrameReaderThread::ReadFn counted = [read = serve(input), reads](OwnedFrame& into, const std::atomic<bool>& stop) {
    ++*reads;
    return read(into, stop);
  };
  LiveDecoder live(counted, 4, false, false, 3 * frame_bytes);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(reads->load(), 3u);  // the budget is full: nothing more is read until decoding
  StreamDecoder decoder = windowed_decoder();
  EXPECT_EQ(live.stats(decoder).read_ahead_bytes, 3 * frame_bytes);
  std::vector<std::uint64_t> got;
  for (LiveOutcome o = LiveOutcome::kDecisions; o != LiveOutcome::kEnded;) {
    o = live.run(decoder, terms());
    for (const LiveDecision& d : live.take_decisions()) got.push_back(d.frame_id);
  }
  EXPECT_EQ(got, expected);
  const LiveStats s = live.stats(decoder);
  EXPECT_EQ(s.frames_decoded, input.size());
  EXPECT_EQ(s.read_ahead_bytes, 0u);
  EXPECT_EQ(s.queued_frames, 0u);
}

TEST(LiveDecoder, StopsWaitingWhenInterruptedOrCancelled) {
  for (const bool cancel : {false, true}) {
    StreamDecoder decoder = windowed_decoder();
    // A source with nothing to send: it waits until the reader is stopped.
    LiveDecoder live([](OwnedFrame&, const std::atomic<bool>& stop) -> Result<bool> {
      while (!stop.load()) std::this_thread::sleep_for(1ms);
      return fail(KelvaneError::io("stopped"));
    }, 4);
    std::atomic<bool> cancelled{cancel};
    LiveTerms t = terms();
    t.tick = 1ms;
    t.interrupted = [&] { return !cancel; };
    t.cancelled = &cancelled;
    EXPECT_EQ(live.run(decoder, t), cancel ? LiveOutcome::kCancelled : LiveOutcome::kInterrupted);
    live.stop();
    EXPECT_FALSE(live.take_error().has_value());  // giving up on stop() is no error of the source
  }
}

// Live decoding goes on where reading can: past a damaged frame (its error handed out once, in
// its place among the decisions) and, when following, past the end of the data for now.
TEST(LiveDecoder, GoesOnPastADamagedFrameAndTheEndOfAFollowedSource) {
  for (const bool follow : {false, true}) {
    std::vector<OwnedFrame> input = frames(60);
    StreamDecoder reference = windowed_decoder();
    std::vector<std::uint64_t> expected;  // the frame ids of the commit steps, frame 30 left out
    for (OwnedFrame f : input) {
      if (f.frame_id == 30) continue;
      ASSERT_TRUE(reference.push(f).has_value());
      if (f.prediction == FramePrediction::kDecoded) expected.push_back(f.frame_id);
    }
    KelvaneError damaged = errors::CrcMismatch{1, 2};
    damaged.offset = 777;
    // Frames up to 29, the damaged frame 30, frames up to 45; then, when following, nothing
    // until `more` is raised, and the rest.
    auto more = std::make_shared<std::atomic<bool>>(false);
    auto next = std::make_shared<std::size_t>(0);
    LiveDecoder live([input, next, damaged, more, follow](OwnedFrame& into, const std::atomic<bool>&) -> Result<bool> {
      if (*next == input.size()) return false;
      if (follow && input[*next].frame_id == 46 && !more->load()) return false;
      const OwnedFrame& f = input[(*next)++];
      if (f.frame_id == 30) return fail(damaged);
      into = f;
      return true;
    }, 4, false, follow);
    StreamDecoder decoder = windowed_decoder();
    const auto before_gap = static_cast<std::size_t>(std::ranges::count_if(expected, [](std::uint64_t id) { return id <= 45; }));
    std::vector<std::uint64_t> got;
    int damaged_seen = 0;
    for (LiveOutcome o = LiveOutcome::kDecisions; o != LiveOutcome::kEnded && got.size() < expected.size();) {
      o = live.run(decoder, terms());
      ASSERT_NE(o, LiveOutcome::kRejected);
      for (const LiveDecision& d : live.take_decisions()) got.push_back(d.frame_id);
      if (o == LiveOutcome::kDamaged) {
        ++damaged_seen;
        const std::optional<KelvaneError> e = live.take_error();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->offset, 777u);
        EXPECT_TRUE(got.empty() || got.back() < 30);  // the decisions before it came first
      }
      if (follow && !more->load() && got.size() == before_gap) {
        // The end of the data for now does not end reading: nothing more, and no end.
        LiveTerms quick = terms();
        quick.until = LiveClock::now() + 30ms;
        EXPECT_EQ(live.run(decoder, quick), LiveOutcome::kDecisions);
        EXPECT_TRUE(live.take_decisions().empty());
        more->store(true);
      }
    }
    live.stop();
    EXPECT_EQ(damaged_seen, 1);
    EXPECT_EQ(got, expected);
    EXPECT_FALSE(live.take_error().has_value());  // handed out once
    EXPECT_EQ(live.stats(decoder).frames_arrived, input.size() - 1);
  }
}

struct BacklogCase {
  const char* name;
  std::vector<std::uint64_t> backlog;  // one sample every 250 ms
  std::uint64_t arrivals;              // frames arrived between samples
  int warns_at;                        // the sample that warns, or -1
  std::vector<bool> held = {};         // the source held back by the read-ahead, per sample
};

class BacklogWatchRule : public testing::TestWithParam<BacklogCase> {};

TEST_P(BacklogWatchRule, WarnsOnceWhenTheBacklogGrowsForOverASecondBeyondTheJitter) {
  const BacklogCase& c = GetParam();
  BacklogWatch watch(10);
  const LiveClock::time_point t0{};
  int warned_at = -1;
  for (std::size_t k = 0; k < c.backlog.size(); ++k) {
    const bool held = k < c.held.size() && c.held[k];
    if (auto w = watch.sample(t0 + k * BacklogWatch::kInterval, c.backlog[k], k * c.arrivals, held)) {
      EXPECT_EQ(warned_at, -1) << "warned twice";
      EXPECT_NE(w->find("the backlog has grown for over a second"), std::string::npos);
      warned_at = static_cast<int>(k);
    }
  }
  EXPECT_EQ(warned_at, c.warns_at);
}

INSTANTIATE_TEST_SUITE_P(
    Histories, BacklogWatchRule,
    testing::Values(BacklogCase{"steady_growth", {100, 300, 500, 700, 900, 1100, 1300, 1500, 1700}, 400, 5},
                    BacklogCase{"falls_back_every_second", {100, 300, 500, 700, 0, 300, 600, 900, 0, 200}, 400, -1},
                    // A sample that saw no growth (the core taken away) does not hide the trend.
                    BacklogCase{"one_flat_sample", {100, 300, 500, 500, 900, 1100, 1300}, 400, 5},
                    BacklogCase{"grows_within_the_jitter", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 10, -1},
                    BacklogCase{"grows_within_a_quarter_seconds_arrivals", {100, 300, 500, 700, 900, 1100}, 5000, -1},
                    // The read-ahead caps the backlog: a source held back for over a second warns.
                    BacklogCase{"held_back_at_a_capped_backlog", {900, 900, 900, 900, 900, 900, 900}, 0, 5,
                                {true, true, true, true, true, true, true}},
                    BacklogCase{"held_back_with_a_break", {900, 900, 900, 900, 900, 900, 900, 900, 900}, 0, -1,
                                {true, true, true, true, false, true, true, true, true}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvane
