#include "kelvane/streaming/windowed_frames.h"

#include <algorithm>
#include <string>
#include <utility>

namespace kelvane {

SlidingResult<WindowedFrames> WindowedFrames::create(const SpacetimeGraph& graph, const FrameLayout& layout,
                                                     std::uint32_t commit, std::uint32_t buffer, bool shots,
                                                     bool correlated, unsigned threads, DecodeMethod method) {
  auto rounds = detector_rounds(graph);
  if (!rounds) return std::unexpected(rounds.error());
  auto model = SlidingWindowModel::build(graph, *rounds);
  if (!model) return std::unexpected(model.error());
  if (layout.rounds() != model->round_count()) {
    return std::unexpected(SlidingWindowError{
        "windowed decoding needs a layout row per round of the model: the layout has " +
        std::to_string(layout.rounds()) + " rows, the model " + std::to_string(model->round_count()) + " rounds"});
  }
  std::vector<RoundSlot> slots(layout.rounds() * layout.ancillas(), kNoSlot);
  const std::uint32_t width = model->max_round_size();
  std::vector<std::uint32_t> ancilla_of(layout.rounds() * width, kNoAncilla);
  for (std::size_t r = 0; r < layout.rounds(); ++r) {
    for (std::size_t a = 0; a < layout.ancillas(); ++a) {
      const LayoutDetector d = layout.detector(r, a);
      if (d >= model->detector_count()) continue;
      const auto id = static_cast<std::uint32_t>(d);
      if (model->round_of(id) != r) {
        return std::unexpected(SlidingWindowError{
            "layout entry [" + std::to_string(r) + ", " + std::to_string(a) + "] is detector " + std::to_string(d) +
            ", which the model's time coordinates put in round " + std::to_string(model->round_of(id)) +
            "; windowed decoding needs layout row r to hold round r"});
      }
      slots[r * layout.ancillas() + a] = model->slot_of(id);
      ancilla_of[r * width + model->slot_of(id)] = static_cast<std::uint32_t>(a);
    }
  }
  auto decoder = SlidingWindowDecoder::create(std::make_shared<const SlidingWindowModel>(std::move(*model)), commit,
                                              buffer, correlated, threads, method);
  if (!decoder) return std::unexpected(decoder.error());
  WindowedFrames w(std::move(*decoder));
  w.ancillas_ = layout.ancillas();
  w.slot_ = std::move(slots);
  w.ancilla_of_ = std::move(ancilla_of);
  w.row_width_ = width;
  w.fired_.reserve(w.ancillas_);
  w.shots_ = shots;
  return w;
}

SlidingResult<void> WindowedFrames::reweight(const SpacetimeGraph& graph) {
  auto rounds = detector_rounds(graph);
  if (!rounds) return std::unexpected(rounds.error());
  auto learned = SlidingWindowModel::build(graph, *rounds);
  if (!learned) return std::unexpected(learned.error());
  auto model = decoder_.model().with_weights_of(*learned);
  if (!model) return std::unexpected(model.error());
  return decoder_.replace_model(std::make_shared<const SlidingWindowModel>(std::move(*model)));
}

void WindowedFrames::start() {
  ++starts_;
  const SlidingWindowModel& m = decoder_.model();
  // A shot has the model's length, which always fits; an endless stream has no length yet.
  (void)decoder_.start(shots_ ? std::optional<RoundIndex>(m.round_count()) : std::nullopt);
}

void WindowedFrames::take_detector_flips(std::vector<AncillaFlip>& out) {
  out.clear();
  decoder_.take_detector_flips(flipped_);
  const SlidingWindowModel& m = decoder_.model();
  const std::optional<RoundIndex> total = shots_ ? std::optional<RoundIndex>(m.round_count()) : std::nullopt;
  for (const auto& [round, slot] : flipped_) {
    const ModelRound row = m.model_round(round, total);
    const std::uint32_t a = slot < row_width_ ? ancilla_of_[static_cast<std::size_t>(row) * row_width_ + slot] : kNoAncilla;
    if (a != kNoAncilla) out.push_back({round, a});
  }
}

SlidingResult<bool> WindowedFrames::push(const OwnedFrame& frame) {
  const SlidingWindowModel& m = decoder_.model();
  const RoundIndex j = decoder_.received_rounds();
  const ModelRound row = m.model_round(j, shots_ ? std::optional<RoundIndex>(m.round_count()) : std::nullopt);
  const RoundSlot* slots = slot_.data() + static_cast<std::size_t>(row) * ancillas_;
  fired_.clear();
  const std::size_t n = std::min(frame.detector_events.size(), ancillas_);
  for (std::size_t a = 0; a < n; ++a) {
    if (frame.detector_events[a] && slots[a] != kNoSlot) fired_.push_back(slots[a]);
  }
  return decoder_.push_round(fired_);
}

}  // namespace kelvane
