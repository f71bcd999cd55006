#include "kelvane/decoder/sliding_window.h"

#include <algorithm>
#include <string>
#include <utility>

#include "kelvane/decoder/cores.h"

namespace kelvane {
namespace {

std::unexpected<SlidingWindowError> fail_with(std::string message) {
  return std::unexpected(SlidingWindowError{std::move(message)});
}

// "a stream of 7 rounds does not fit the model (51 rounds: 1 first, 2 last, repeating every 2;
// streams of at least 5 rounds, a whole number of periods from 51)"
std::string misfit(const SlidingWindowModel& m, RoundIndex total) {
  std::string text = "a stream of " + std::to_string(total) + " rounds does not fit the model (" +
                     std::to_string(m.round_count()) + " rounds: " + std::to_string(m.head_rounds()) + " first, " +
                     std::to_string(m.tail_rounds()) + " last, repeating every " + std::to_string(m.period()) + "; ";
  if (!m.stretchable()) return text + "too few repeating rounds to stretch)";
  return text + "streams of at least " + std::to_string(m.min_stream_rounds()) +
         " rounds, a whole number of periods from " + std::to_string(m.round_count()) + ")";
}

}  // namespace

SlidingWindowDecoder::SlidingWindowDecoder(std::shared_ptr<const SlidingWindowModel> model, std::uint32_t commit,
                                           std::uint32_t buffer, bool correlated, unsigned threads,
                                           DecodeMethod method)
    : engine_(model, commit, buffer, correlated, threads > 1 ? std::min(threads, usable_cores()) : 1, threads > 1,
              method),
      commit_(commit),
      buffer_(buffer),
      correlated_(correlated),
      method_(method),
      threads_(threads) {
  const SlidingWindowModel& m = *model;
  shot_round_start_.resize(m.round_count() + 1);
  for (ModelRound r = m.round_count() - m.tail_rounds(); r < m.round_count(); ++r) {
    max_tail_size_ = std::max(max_tail_size_, m.round_size(r));
  }
}

SlidingResult<SlidingWindowDecoder> SlidingWindowDecoder::create(std::shared_ptr<const SlidingWindowModel> model,
                                                                 std::uint32_t commit, std::uint32_t buffer,
                                                                 bool correlated, unsigned threads,
                                                                 DecodeMethod method) {
  if (commit == 0) return fail_with("commit must be at least 1 round");
  if (!model) return fail_with("no model to decode with");
  if (correlated && !model->keeps_mechanisms()) {
    return fail_with("correlated decoding needs a model built keeping its decomposed mechanisms");
  }
  return SlidingWindowDecoder(std::move(model), commit, buffer, correlated, std::max(1u, threads), method);
}

RoundSlot SlidingWindowDecoder::round_width(RoundIndex j) const {
  const SlidingWindowModel& m = model();
  if (total_ && j >= *total_) return 0;
  const RoundSlot own = m.round_size(m.model_round(j, total_));
  // Without a known length, a round past the head may yet turn out to be one of the tail's.
  if (total_ || j < m.head_rounds()) return own;
  return std::max(own, max_tail_size_);
}

SlidingResult<void> SlidingWindowDecoder::check_round(RoundIndex j, std::span<const RoundSlot> fired) const {
  if (!running_) return fail_with("no stream is running: start one first");
  if (total_ && j >= *total_) {
    return fail_with("round " + std::to_string(j) + " is past the stream's " + std::to_string(*total_) + " rounds");
  }
  const RoundSlot width = round_width(j);
  for (RoundSlot slot : fired) {
    if (slot >= width) {
      return fail_with("round " + std::to_string(j) + " has " + std::to_string(width) +
                       " detector slots, but slot " + std::to_string(slot) + " fired");
    }
  }
  return {};
}

SlidingResult<void> SlidingWindowDecoder::start(std::optional<RoundIndex> total) {
  const SlidingWindowModel& m = model();
  if (total && !m.fits(*total)) return fail_with(misfit(m, *total));
  total_ = total;
  running_ = true;
  engine_.start(total);
  return {};
}

SlidingResult<bool> SlidingWindowDecoder::push_round(std::span<const RoundSlot> fired) {
  if (auto fits = check_round(received_rounds(), fired); !fits) return std::unexpected(fits.error());
  bool stepped = engine_.push_round(fired);
  if (total_ && received_rounds() == *total_) {
    if (auto done = finish(); !done) return std::unexpected(done.error());
    stepped = true;
  }
  return stepped;
}

void SlidingWindowDecoder::begin_block() {
  if (running_) engine_.block(true);
}

bool SlidingWindowDecoder::end_block() { return running_ && engine_.block(false); }

SlidingResult<void> SlidingWindowDecoder::finish() {
  if (!running_) return fail_with("no stream is running: start one first");
  const SlidingWindowModel& m = model();
  const RoundIndex received = received_rounds();
  if (total_ && received != *total_) {
    return fail_with("the stream ended after " + std::to_string(received) + " of its " + std::to_string(*total_) +
                     " rounds");
  }
  if (!total_ && !m.fits(received)) return fail_with(misfit(m, received));
  total_ = received;
  engine_.finish(received);
  running_ = false;
  return {};
}

SlidingResult<SlidingWindowDecoder::ObservableMask> SlidingWindowDecoder::decode_shot(
    std::span<const std::uint32_t> fired) {
  const SlidingWindowModel& m = model();
  const ModelRound rounds = m.round_count();
  // Sort the fired detectors into rounds (counting sort into reused lists).
  std::fill(shot_round_start_.begin(), shot_round_start_.end(), 0);
  std::size_t kept = 0;
  for (std::uint32_t d : fired) {
    if (d >= m.detector_count()) continue;
    ++shot_round_start_[m.round_of(d) + 1];
    ++kept;
  }
  for (ModelRound r = 0; r < rounds; ++r) shot_round_start_[r + 1] += shot_round_start_[r];
  shot_slots_.resize(kept);
  for (std::uint32_t d : fired) {
    if (d >= m.detector_count()) continue;
    shot_slots_[shot_round_start_[m.round_of(d)]++] = m.slot_of(d);
  }
  // shot_round_start_[r] now holds round r's end.
  if (auto started = start(rounds); !started) return std::unexpected(started.error());
  std::uint32_t begin = 0;
  for (ModelRound r = 0; r < rounds; ++r) {
    const std::uint32_t end = shot_round_start_[r];
    auto pushed = push_round(std::span<const RoundSlot>(shot_slots_.data() + begin, end - begin));
    if (!pushed) return std::unexpected(pushed.error());
    begin = end;
  }
  return committed_flips();
}

SlidingResult<void> SlidingWindowDecoder::replace_model(std::shared_ptr<const SlidingWindowModel> model) {
  if (!model || !this->model().same_shape(*model)) {
    return fail_with("the new model's rounds and edges differ from the model decoding now; only its "
                     "probabilities may change");
  }
  engine_.replace_model(std::move(model));
  return {};
}

}  // namespace kelvane
