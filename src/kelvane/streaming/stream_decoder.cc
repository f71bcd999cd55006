#include "kelvane/streaming/stream_decoder.h"

#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kelvane/core/observable_bits.h"

namespace kelvane {
namespace {

// A layout that does not fit: `value` (of frame `frame_id`, if any) against the layout's shape.
LayoutError layout_misfit(LayoutError::Kind kind, std::int64_t value, std::uint64_t frame_id, const FrameLayout& layout) {
  LayoutError err;
  err.kind = kind;
  err.value = value;
  err.frame_id = frame_id;
  err.rounds = layout.rounds();
  err.ancillas = layout.ancillas();
  return err;
}

}  // namespace

std::optional<std::string> schedule_refusal(bool has_commit, bool has_buffer, bool has_layout) {
  if (!has_commit && !has_buffer) return std::nullopt;
  if (!has_commit || !has_buffer) return "windowed decoding needs both commit and buffer";
  if (!has_layout) {
    return "windowed decoding (commit, buffer) needs layout=, one row per round of the model, "
           "e.g. kelvane.layout_from_stim(circuit)";
  }
  return std::nullopt;
}

std::expected<StreamDecoder, LayoutError> StreamDecoder::create(std::shared_ptr<const SpacetimeGraph> graph,
                                                                StreamDecodeOptions options) {
  if (options.layout && options.window_depth != 0 && options.window_depth != options.layout->rounds()) {
    return std::unexpected(
        layout_misfit(LayoutError::Kind::kDepthMismatch, static_cast<std::int64_t>(options.window_depth), 0, *options.layout));
  }
  return StreamDecoder(std::move(graph), std::move(options));
}

StreamDecoder::StreamDecoder(std::shared_ptr<const SpacetimeGraph> graph, StreamDecodeOptions options)
    : graph_(std::move(graph)), options_(std::move(options)) {
  num_detectors_ = graph_->boundary;
  num_observables_ = static_cast<std::uint16_t>(graph_->num_observables);
  wide_ = graph_->num_observables > 64;
  decoder_ = std::make_unique<UnionFindDecoder>(graph_);
  decoder_->set_method(options_.method);
}

std::expected<void, LayoutError> StreamDecoder::start(const OwnedFrame& frame) {
  if (options_.layout) {
    layout_ = options_.layout;
  } else {
    const std::size_t ancillas = frame.ancilla_count;
    std::size_t depth = options_.window_depth;
    if (depth == 0) depth = static_cast<std::size_t>(std::max<std::uint64_t>(num_detectors_ / std::max<std::size_t>(ancillas, 1), 1));
    FrameLayout positional = FrameLayout::positional(depth, ancillas);
    if (auto covers = positional.check_covers(num_detectors_); !covers) {
      if (strict()) return covers;
      warn(covers.error().to_string() + "; detectors beyond the window are never decoded");
    }
    if (expected_ancillas_ != ancillas) warn_if_positional_mixes_times(ancillas);
    layout_ = positional;
  }
  return {};
}

namespace {

// A time as the model wrote it: whole numbers without a fraction.
std::string time_text(double t) {
  if (t == static_cast<double>(static_cast<std::int64_t>(t))) return std::to_string(static_cast<std::int64_t>(t));
  std::ostringstream out;
  out << t;
  return out.str();
}

}  // namespace

void StreamDecoder::expect_ancillas(std::size_t ancillas) {
  if (options_.layout || layout_) return;
  expected_ancillas_ = ancillas;
  warn_if_positional_mixes_times(ancillas);
}

void StreamDecoder::warn_if_positional_mixes_times(std::size_t ancillas) {
  std::vector<std::optional<double>> times(num_detectors_);
  for (std::size_t d = 0; d < num_detectors_ && d < graph_->nodes.size(); ++d) {
    const SpacetimeNode& node = graph_->nodes[d];
    // Only the first three coordinates are kept: a longer list's time is not known here.
    if (node.coords && node.coord_count >= 1 && node.coord_count <= 3) times[d] = (*node.coords)[node.coord_count - 1];
  }
  const std::optional<MixedTimes> mixed = positional_mixed_times(times, ancillas);
  if (!mixed) return;
  warn("the positional rule (ancilla a of frame r is detector r * " + std::to_string(ancillas) + " + a) puts D" +
       std::to_string(mixed->first) + " (time " + time_text(mixed->first_time) + ") and D" +
       std::to_string(mixed->second) + " (time " + time_text(mixed->second_time) +
       ") into one frame, against the model's detector coordinates: pass layout= (for a Stim circuit, "
       "kelvane.layout_from_stim(circuit)); frames are decoded against the wrong detectors");
}

void StreamDecoder::add_fired(const OwnedFrame& frame, std::size_t round) {
  const std::size_t n = std::min(frame.detector_events.size(), layout_->ancillas());
  for (std::size_t a = 0; a < n; ++a) {
    if (!frame.detector_events[a]) continue;
    const LayoutDetector d = layout_->detector(round, a);
    if (d < num_detectors_) fired_.push_back(static_cast<std::uint32_t>(d));
  }
}

void StreamDecoder::decode_fired(OwnedFrame& frame) {
  ++decodes_;
  frame.model_observables = num_observables_;
  if (fired_.empty() && !decoder_->decoding_graph()->has_baseline()) {
    frame.observable_flips = 0;
    frame.observable_bits = {};
    return;
  }
  frame.observable_flips = decoder_->decode_detectors(fired_, options_.correlated);
  if (wide_) frame.observable_bits = decoder_->last_observables();
  if (!decoder_->last_decode_neutral()) ++unsatisfiable_;
}

std::expected<void, LayoutError> StreamDecoder::push(OwnedFrame& frame) {
  if (!layout_) {
    if (auto started = start(frame); !started) return started;
    layout_crc_.reset();
  }
  // The CRC-32 of no layout bytes is 0: a stream that stores no layout names none. A window depth
  // the caller chose makes no claim to be the stream's layout.
  const std::uint32_t named = frame.description_hash ? static_cast<std::uint32_t>(*frame.description_hash) : 0;
  if (named != 0 && (strict() || options_.window_depth == 0)) {
    if (!layout_crc_) layout_crc_ = layout_crc(*layout_);
    if (*layout_crc_ != named) {
      LayoutError err = layout_misfit(LayoutError::Kind::kDescriptionMismatch, named, frame.frame_id, *layout_);
      err.other_round = layout_crc_->value_or(0);
      if (strict()) return std::unexpected(err);
      if (!warned_description_) {
        warned_description_ = true;
        warn(err.to_string());
      }
    }
  }
  if (learn_ready_) {
    learn_ready_ = false;
    learn_counter_->reset();
  }
  if (frame.ancilla_count != layout_->ancillas()) {
    const LayoutError err = layout_misfit(LayoutError::Kind::kAncillaMismatch, frame.ancilla_count, frame.frame_id, *layout_);
    if (strict()) return std::unexpected(err);
    if (!warned_ancillas_) {
      warned_ancillas_ = true;
      warn(err.to_string() + "; extra ancillas are ignored and missing ones read as quiet");
    }
  }
  if (options_.per_shot && frame.round >= layout_->rounds()) {
    return std::unexpected(layout_misfit(LayoutError::Kind::kRoundOutOfRange, frame.round, frame.frame_id, *layout_));
  }
  if (options_.per_shot) {
    push_per_shot(frame);
  } else if (options_.windows) {
    push_windowed(frame);
  } else {
    push_sliding(frame);
  }
  if (learn_counter_) gather(frame);
  return {};
}

std::expected<void, std::string> StreamDecoder::replace_graph(std::shared_ptr<const SpacetimeGraph> graph) {
  if (!graph) return std::unexpected(std::string("no model to decode with"));
  if (graph->boundary != graph_->boundary || graph->num_observables != graph_->num_observables) {
    return std::unexpected("the new model has " + std::to_string(graph->boundary) + " detectors and " +
                           std::to_string(graph->num_observables) + " observables, the model decoding now " +
                           std::to_string(graph_->boundary) + " and " + std::to_string(graph_->num_observables));
  }
  if (options_.correlated && !graph->keeps_mechanisms) {
    return std::unexpected(std::string("decoding with correlations needs a graph that keeps its mechanisms"));
  }
  if (options_.windows) {
    if (auto swapped = options_.windows->reweight(*graph); !swapped) return std::unexpected(swapped.error().message);
  }
  auto decoder = std::make_unique<UnionFindDecoder>(graph);
  decoder->set_method(options_.method);
  decoder_ = std::move(decoder);
  graph_ = std::move(graph);
  ++graph_replacements_;
  return {};
}

void StreamDecoder::gather_for_learning(std::span<const CorrelationCounter::Pair> pairs, std::uint64_t every) {
  learn_every_ = every;
  learn_ready_ = false;
  learn_shot_.clear();
  learn_counter_ = every == 0 ? nullptr : std::make_unique<CorrelationCounter>(num_detectors_, pairs);
}

void StreamDecoder::gather(const OwnedFrame& frame) {
  const std::size_t rows = layout_->rounds();
  if (rows == 0) return;
  const std::size_t row = frame.round % rows;
  if (row == 0) learn_shot_.clear();
  const std::size_t n = std::min(frame.detector_events.size(), layout_->ancillas());
  for (std::size_t a = 0; a < n; ++a) {
    if (!frame.detector_events[a]) continue;
    const LayoutDetector d = layout_->detector(row, a);
    if (d < num_detectors_) learn_shot_.push_back(static_cast<std::uint32_t>(d));
  }
  if (row + 1 != rows) return;
  if (frame.shot_incomplete) {  // per shot: a shot cut short is not decoded, nor learned from
    learn_shot_.clear();
    return;
  }
  learn_counter_->add_fired(learn_shot_);
  learn_shot_.clear();
  learn_ready_ = learn_counter_->shots() == learn_every_;
}

void StreamDecoder::push_sliding(OwnedFrame& frame) {
  const std::size_t depth = layout_->rounds();
  frame.prediction = FramePrediction::kDecoded;
  if (depth == 0) {  // a window of no rounds: nothing to decode
    frame.observable_flips = 0;
    frame.model_observables = num_observables_;
    return;
  }
  // The ring grows to the depth as rounds arrive (a depth no memory could hold never fills);
  // until it first fills, its head is row 0.
  if (ring_held_ == depth) {
    ring_head_ = ring_head_ + 1 == ring_.size() ? 0 : ring_head_ + 1;
    --ring_held_;
  } else if (ring_held_ == ring_.size()) {
    ring_.emplace_back();
  }
  const std::size_t size = ring_.size();
  std::size_t slot = ring_head_ + ring_held_;
  if (slot >= size) slot -= size;
  std::vector<std::uint32_t>& row = ring_[slot];
  row.clear();
  const std::size_t n = std::min(frame.detector_events.size(), layout_->ancillas());
  for (std::size_t a = 0; a < n; ++a) {
    if (frame.detector_events[a]) row.push_back(static_cast<std::uint32_t>(a));
  }
  ++ring_held_;

  fired_.clear();
  for (std::size_t k = 0, s = ring_head_; k < ring_held_; ++k, s = s + 1 == size ? 0 : s + 1) {
    for (std::uint32_t a : ring_[s]) {
      const LayoutDetector d = layout_->detector(k, a);
      if (d < num_detectors_) fired_.push_back(static_cast<std::uint32_t>(d));
    }
  }
  decode_fired(frame);
}

void StreamDecoder::cut_short(OwnedFrame& frame, std::string why) {
  ++incomplete_shots_;
  frame.shot_incomplete = true;
  warn("shot cut short: " + why + "; it is not decoded");
}

void StreamDecoder::push_per_shot(OwnedFrame& frame) {
  const std::uint32_t r = frame.round;
  const std::size_t depth = layout_->rounds();
  const std::optional<std::uint64_t> previous_id = last_frame_id_;
  const bool id_jump = previous_id && frame.frame_id > *previous_id + 1;
  last_frame_id_ = frame.frame_id;
  frame.observable_flips.reset();

  // The texts are built only for a shot that is cut short.
  const auto at = [&] { return "frame " + std::to_string(frame.frame_id) + " (round " + std::to_string(r) + ")"; };
  const auto missing = [&] {
    return "frame ids " + std::to_string(*previous_id + 1) + " to " + std::to_string(frame.frame_id - 1) +
           " are missing before " + at();
  };
  const auto and_missing = [&] { return id_jump ? " (" + missing() + ")" : std::string(); };
  if (r == 0) {
    if (shot_open_ && !shot_broken_) {
      cut_short(frame, at() + " starts a new shot after round " + std::to_string(next_round_ - 1) + " of " +
                           std::to_string(depth) + and_missing());
    } else if (id_jump) {
      cut_short(frame, missing());
    }
    shot_open_ = true;
    shot_broken_ = false;
    next_round_ = 0;
    fired_.clear();
    if (options_.windows) options_.windows->start();
  } else if (!shot_open_) {
    cut_short(frame, at() + " arrived without the round 0 that starts its shot" + and_missing());
    shot_open_ = true;
    shot_broken_ = true;
  } else if (!shot_broken_ && (r != next_round_ || id_jump)) {
    cut_short(frame, id_jump ? missing()
                             : at() + " follows round " + std::to_string(next_round_ - 1) + " (expected round " +
                                   std::to_string(next_round_) + ")");
    shot_broken_ = true;
  } else if (shot_broken_) {
    frame.shot_incomplete = true;
  }

  const bool last = r + 1 == depth;
  if (shot_broken_) {
    frame.prediction = FramePrediction::kShotIncomplete;
    if (last) shot_open_ = false;
    return;
  }
  next_round_ = r + 1;
  if (options_.windows) {
    push_to_windows(frame, last);
    if (last) shot_open_ = false;
    return;
  }
  add_fired(frame, r);
  if (!last) {
    frame.prediction = FramePrediction::kAwaitingShotEnd;
    return;
  }
  decode_fired(frame);
  frame.prediction = FramePrediction::kDecoded;
  shot_open_ = false;
  fired_.clear();
}

void StreamDecoder::lose_rounds(std::uint64_t count, const std::string& what) {
  if (count == 0) return;
  missing_rounds_ += count;
  if (warned_missing_) return;
  warned_missing_ = true;
  warn(what + "; missing rounds are decoded as quiet, the frames carrying commits whose windows held one are "
              "flagged (frame.window_incomplete), and stream.missing_rounds counts them (warned once per stream)");
}

void StreamDecoder::push_windowed(OwnedFrame& frame) {
  WindowedFrames& w = *options_.windows;
  const std::uint32_t r = frame.round;
  const std::uint32_t previous = last_round_;
  const auto at = [&] {
    return "frame " + std::to_string(frame.frame_id) + " has round " + std::to_string(r) + " after round " +
           std::to_string(previous);
  };
  const auto rounds = [](std::uint64_t n) { return std::to_string(n) + (n == 1 ? " round" : " rounds"); };
  // Rounds are compared modulo 2^32: `ahead` is how far past the expected round this one is.
  const std::uint32_t expected = last_round_ + 1;
  const std::uint32_t ahead = r - expected;
  bool restart = !w.running();
  std::uint32_t gap = 0;
  if (!restart) {
    const bool wrapped = r == 0 && expected == 0 && last_frame_id_ && frame.frame_id == *last_frame_id_ + 1;
    if (r == 0 && !wrapped) {
      restart = true;
    } else if (ahead >= (1u << 31)) {  // behind the expected round: it cannot be placed
      restart = true;
    } else if (ahead > kMaxQuietGap) {
      lose_rounds(ahead, at() + ": " + rounds(ahead) + " missing, too many to decode as quiet, so the endless "
                                     "stream restarts");
      restart = true;
    } else {
      gap = ahead;
    }
  }
  last_round_ = r;
  last_frame_id_ = frame.frame_id;
  frame.window_incomplete = false;
  if (restart) {
    if (w.running()) {
      ++restarts_;
      const RoundIndex dropped = w.received_rounds() - w.committed_rounds();
      lose_rounds(dropped, at() + ", which restarts the endless stream: " + rounds(dropped) +
                               " not yet committed dropped");
    }
    missing_.clear();
    w.start();
    push_to_windows(frame, false);
    return;
  }

  const RoundIndex committed_before = w.committed_rounds();
  bool stepped = false;
  if (gap != 0) {
    lose_rounds(gap, at() + ": " + rounds(gap) + " missing from the endless stream");
    missing_.emplace_back(w.received_rounds(), w.received_rounds() + gap);
    for (std::uint32_t k = 0; k < gap; ++k) stepped |= w.push_quiet().value_or(false);
  }
  stepped |= w.push(frame).value_or(false);  // cannot fail: the stream is running
  if (!stepped) {
    frame.observable_flips.reset();
    frame.prediction = FramePrediction::kAwaitingCommit;
    return;
  }
  ++decodes_;
  frame.observable_flips = w.committed_flips();
  if (wide_) frame.observable_bits = w.committed_bits();
  frame.model_observables = num_observables_;
  frame.prediction = FramePrediction::kDecoded;
  // The windows decoded meanwhile held rounds [committed_before, the last one's end).
  const RoundIndex committed = w.committed_rounds();
  const RoundIndex held_end = std::min(committed + w.buffer(), w.received_rounds());
  for (const auto& [begin, end] : missing_) {
    if (begin < held_end && end > committed_before) frame.window_incomplete = true;
  }
  std::erase_if(missing_, [&](const auto& run) { return run.second <= committed; });
}

void StreamDecoder::push_to_windows(OwnedFrame& frame, bool last_of_shot) {
  WindowedFrames& w = *options_.windows;
  const auto stepped = w.push(frame);  // cannot fail: the windows were started for this frame
  if (last_of_shot || (stepped && *stepped)) {
    ++decodes_;
    frame.observable_flips = w.committed_flips();
    if (wide_) frame.observable_bits = w.committed_bits();
    frame.model_observables = num_observables_;
    frame.prediction = FramePrediction::kDecoded;
  } else {
    frame.observable_flips.reset();
    frame.prediction = FramePrediction::kAwaitingCommit;
  }
}

void StreamDecoder::finish() {
  if (!options_.per_shot || !shot_open_) return;
  if (!shot_broken_) {
    ++incomplete_shots_;
    warn("shot cut short: the stream ended after round " + std::to_string(next_round_ - 1) + " of " +
         std::to_string(layout_->rounds()) + "; it is not decoded");
  }
  shot_open_ = false;
}

std::vector<std::string> StreamDecoder::take_warnings() {
  std::vector<std::string> out;
  out.swap(warnings_);
  return out;
}

}  // namespace kelvane
