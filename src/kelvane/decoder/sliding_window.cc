#include "kelvane/decoder/sliding_window.h"

#include "kelvane/decoder/cancel_pairs.h"
#include "kelvane/decoder/cores.h"
#include "kelvane/decoder/parallel_windows.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

namespace kelvane {
namespace {

std::unexpected<SlidingWindowError> fail_with(std::string message) {
  return std::unexpected(SlidingWindowError{std::move(message)});
}

bool same_edges(std::span<const SlidingWindowModel::RoundEdge> x, std::span<const SlidingWindowModel::RoundEdge> y) {
  return std::equal(x.begin(), x.end(), y.begin(), y.end(), [](const auto& p, const auto& q) {
    return p.a == q.a && p.b == q.b && p.b_delta == q.b_delta && p.to_boundary == q.to_boundary &&
           std::bit_cast<std::uint32_t>(p.weight) == std::bit_cast<std::uint32_t>(q.weight) &&
           p.observables == q.observables && p.mechanism == q.mechanism && p.mechanism_back == q.mechanism_back &&
           std::bit_cast<std::uint64_t>(p.mechanism_probability) == std::bit_cast<std::uint64_t>(q.mechanism_probability);
  });
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

SlidingResult<std::vector<ModelRound>> detector_rounds(const SpacetimeGraph& graph) {
  const std::size_t n = static_cast<std::size_t>(graph.boundary);
  std::vector<double> times(n);
  for (std::size_t k = 0; k < n; ++k) {
    const SpacetimeNode& node = graph.nodes[k];
    if (!node.coords || node.coord_count == 0) {
      return fail_with("detector D" + std::to_string(k) + " has no time coordinate to place it in a round");
    }
    times[k] = (*node.coords)[std::min<std::size_t>(node.coord_count, node.coords->size()) - 1];
  }
  std::vector<double> distinct = times;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<ModelRound> rounds(n);
  for (std::size_t k = 0; k < n; ++k) {
    rounds[k] = static_cast<ModelRound>(std::lower_bound(distinct.begin(), distinct.end(), times[k]) -
                                        distinct.begin());
  }
  return rounds;
}

SlidingResult<SlidingWindowModel> SlidingWindowModel::build(const SpacetimeGraph& graph,
                                                            std::span<const ModelRound> detector_round) {
  const std::size_t n = static_cast<std::size_t>(graph.boundary);
  if (detector_round.size() != n) {
    return fail_with("the round list has " + std::to_string(detector_round.size()) + " entries, expected " +
                     std::to_string(n) + " (one per detector)");
  }
  if (n == 0) return fail_with("the model has no detector to decode in windows");
  SlidingWindowModel m;
  m.detector_round_.assign(detector_round.begin(), detector_round.end());
  const ModelRound rounds = *std::max_element(detector_round.begin(), detector_round.end()) + 1;
  m.round_size_.assign(rounds, 0);
  m.detector_slot_.resize(n);
  for (std::size_t k = 0; k < n; ++k) m.detector_slot_[k] = m.round_size_[detector_round[k]]++;
  m.max_round_size_ = *std::max_element(m.round_size_.begin(), m.round_size_.end());

  // Each edge belongs to its earliest round; a round's edges keep the graph's order.
  auto is_boundary = [&](std::uint32_t node) { return node >= n; };
  constexpr ModelRound kNoOwner = ~ModelRound{0};
  std::vector<ModelRound> owner(graph.edges.size(), kNoOwner);
  m.edge_start_.assign(rounds + 1, 0);
  for (std::size_t i = 0; i < graph.edges.size(); ++i) {
    const SpacetimeEdge& e = graph.edges[i];
    if (is_boundary(e.node_a) && is_boundary(e.node_b)) continue;  // touches no detector
    ModelRound r = is_boundary(e.node_a) ? detector_round[e.node_b] : detector_round[e.node_a];
    if (!is_boundary(e.node_a) && !is_boundary(e.node_b)) r = std::min(r, detector_round[e.node_b]);
    owner[i] = r;
    ++m.edge_start_[r + 1];
  }
  for (ModelRound r = 0; r < rounds; ++r) m.edge_start_[r + 1] += m.edge_start_[r];
  m.edges_.resize(m.edge_start_[rounds]);
  std::vector<std::uint32_t> fill(m.edge_start_.begin(), m.edge_start_.end() - 1);
  std::vector<std::uint32_t> position(graph.edges.size());  // in m.edges_
  for (std::size_t i = 0; i < graph.edges.size(); ++i) {
    const SpacetimeEdge& e = graph.edges[i];
    if (owner[i] == kNoOwner) continue;
    std::uint32_t a = e.node_a, b = e.node_b;
    if (is_boundary(a)) std::swap(a, b);
    // The earlier detector goes first; within one round the graph's orientation is kept.
    if (!is_boundary(b) && detector_round[b] < detector_round[a]) std::swap(a, b);
    position[i] = fill[owner[i]];
    RoundEdge& out = m.edges_[fill[owner[i]]++];
    out.a = m.detector_slot_[a];
    out.weight = e.weight;
    out.observables = e.observables;
    if (is_boundary(b)) {
      out.to_boundary = true;
    } else {
      out.b = m.detector_slot_[b];
      out.b_delta = detector_round[b] - detector_round[a];
      m.max_reach_ = std::max(m.max_reach_, out.b_delta);
    }
  }
  // Each mechanism's name: its first round, and its first component's place in that round.
  m.keeps_mechanisms_ = graph.keeps_mechanisms;
  for (const SpacetimeMechanism& mech : graph.mechanisms) {
    const std::uint32_t end = mech.first_edge + mech.edge_count;
    ModelRound first = kNoOwner;
    std::uint32_t at = 0;
    for (std::uint32_t i = mech.first_edge; i < end; ++i) {
      if (owner[i] == kNoOwner) continue;
      if (first == kNoOwner || owner[i] < first || (owner[i] == first && position[i] < at)) {
        first = owner[i];
        at = position[i];
      }
    }
    for (std::uint32_t i = mech.first_edge; i < end; ++i) {
      if (owner[i] == kNoOwner) continue;
      RoundEdge& out = m.edges_[position[i]];
      out.mechanism = at - m.edge_start_[first];
      out.mechanism_back = owner[i] - first;
      out.mechanism_probability = mech.probability;
    }
  }

  // The repeating block: for each period, the run around the middle round whose rounds match
  // the round one period later (or earlier); the longest run wins, the shorter period on a tie.
  auto matches = [&](ModelRound x, ModelRound y) {
    return m.round_size_[x] == m.round_size_[y] && same_edges(m.round_edges(x), m.round_edges(y));
  };
  const ModelRound middle = (rounds - 1) / 2;
  ModelRound best_first = middle, best_last = middle;
  for (std::uint32_t period = 1; period <= kMaxPeriod; ++period) {
    ModelRound first = middle;
    while (first > 0 && first - 1 + period < rounds && matches(first - 1, first - 1 + period)) --first;
    ModelRound last = middle;
    while (last + 1 < rounds && last + 1 >= period && matches(last + 1, last + 1 - period)) ++last;
    if (last - first > best_last - best_first) {
      best_first = first;
      best_last = last;
      m.period_ = period;
    }
  }
  m.head_ = best_first;
  m.tail_ = rounds - 1 - best_last;
  return m;
}

bool SlidingWindowModel::stretchable() const {
  return round_count() - head_ - tail_ > period_ + max_reach_;
}

RoundIndex SlidingWindowModel::min_stream_rounds() const {
  if (!stretchable()) return round_count();
  RoundIndex least = RoundIndex{head_} + tail_ + std::max<std::uint32_t>(max_reach_, period_);
  while (least % period_ != round_count() % period_) ++least;  // whole periods from the model
  return std::min<RoundIndex>(round_count(), least);
}

bool SlidingWindowModel::fits(RoundIndex total) const {
  if (total == round_count()) return true;
  const RoundIndex gap = total > round_count() ? total - round_count() : round_count() - total;
  return stretchable() && total >= min_stream_rounds() && gap % period_ == 0;
}

ModelRound SlidingWindowModel::model_round(RoundIndex j, std::optional<RoundIndex> total) const {
  if (j < head_) return static_cast<ModelRound>(j);
  if (total && j + tail_ >= *total) return static_cast<ModelRound>(j + round_count() - *total);
  return head_ + static_cast<ModelRound>((j - head_) % period_);
}

std::shared_ptr<SpacetimeGraph> SlidingWindowModel::window_nodes(RoundIndex first, std::size_t length,
                                                                 std::optional<RoundIndex> total,
                                                                 std::vector<ModelRound>& model_rounds,
                                                                 std::vector<std::uint32_t>& round_start) const {
  model_rounds.resize(length);
  round_start.assign(length + 1, 0);
  for (std::size_t i = 0; i < length; ++i) {
    model_rounds[i] = model_round(first + i, total);
    round_start[i + 1] = round_start[i] + round_size(model_rounds[i]);
  }
  const std::uint32_t nodes = round_start[length];
  auto graph = std::make_shared<SpacetimeGraph>();
  graph->nodes.resize(nodes + 1);
  for (std::uint32_t k = 0; k < nodes; ++k) graph->nodes[k].index = k;
  graph->nodes[nodes].index = kBoundaryIndex;
  graph->boundary = nodes;
  return graph;
}

bool SlidingWindowModel::same_shape(const SlidingWindowModel& other) const {
  if (round_size_ != other.round_size_ || edge_start_ != other.edge_start_ || detector_round_ != other.detector_round_ ||
      keeps_mechanisms_ != other.keeps_mechanisms_) {
    return false;
  }
  return std::equal(edges_.begin(), edges_.end(), other.edges_.begin(), other.edges_.end(), [](const auto& p, const auto& q) {
    return p.a == q.a && p.b == q.b && p.b_delta == q.b_delta && p.to_boundary == q.to_boundary &&
           p.observables == q.observables && p.mechanism == q.mechanism && p.mechanism_back == q.mechanism_back;
  });
}

SlidingResult<SlidingWindowModel> SlidingWindowModel::with_weights_of(const SlidingWindowModel& learned) const {
  if (!same_shape(learned)) {
    return fail_with("the new model's rounds and edges differ from the model decoding now; only its "
                     "probabilities may change");
  }
  SlidingWindowModel out = *this;
  for (std::size_t i = 0; i < edges_.size(); ++i) {
    out.edges_[i].weight = learned.edges_[i].weight;
    out.edges_[i].mechanism_probability = learned.edges_[i].mechanism_probability;
  }
  // The repeating run [head, rounds - tail): per phase and edge, the mean probability of its rounds.
  const ModelRound run_end = round_count() - tail_;
  for (std::uint32_t phase = 0; phase < period_ && head_ + phase < run_end; ++phase) {
    const std::uint32_t first = edge_start_[head_ + phase];
    const std::uint32_t count = edge_start_[head_ + phase + 1] - first;
    for (std::uint32_t k = 0; k < count; ++k) {
      const float own = learned.edges_[first + k].weight;
      double sum = 0.0, mechanism_sum = 0.0;
      std::uint32_t rounds = 0;
      const double own_mechanism = learned.edges_[first + k].mechanism_probability;
      bool same = true, same_mechanism = true;
      for (ModelRound r = head_ + phase; r < run_end; r += period_, ++rounds) {
        const RoundEdge& e = learned.edges_[edge_start_[r] + k];
        same = same && std::bit_cast<std::uint32_t>(e.weight) == std::bit_cast<std::uint32_t>(own);
        same_mechanism = same_mechanism && e.mechanism_probability == own_mechanism;
        sum += probability_of_weight(e.weight);
        mechanism_sum += e.mechanism_probability;
      }
      const double p = sum / rounds;
      // Weights that agree already are kept exactly (the round trip through p would round them).
      const float weight = same ? own : static_cast<float>(weight_of_probability(p));
      for (ModelRound r = head_ + phase; r < run_end; r += period_) {
        RoundEdge& e = out.edges_[edge_start_[r] + k];
        e.weight = weight;
        // The mechanism's probability (for correlated windows), pooled the same way.
        e.mechanism_probability = same_mechanism ? own_mechanism : mechanism_sum / rounds;
      }
    }
  }
  return out;
}

SlidingWindowDecoder::SlidingWindowDecoder(std::shared_ptr<const SlidingWindowModel> model, std::uint32_t commit,
                                           std::uint32_t buffer, bool correlated)
    : model_(std::move(model)), commit_(commit), buffer_(buffer), correlated_(correlated) {
  words_per_round_ = (model_->max_round_size() + 63) / 64;
  // The most rounds live at once: a window, the tail's rounds that must arrive past it, and the
  // rounds its edges reach beyond it. The ring starts small and grows to that as rounds arrive,
  // so that a commit or buffer far longer than any stream costs nothing up front.
  max_ring_rounds_ = std::size_t{commit_} + buffer_ + model_->tail_rounds() + model_->max_reach() + 1;
  ring_rounds_ = std::min<std::size_t>(max_ring_rounds_, kFirstRingRounds);
  ring_.assign(ring_rounds_ * words_per_round_, 0);
  shot_round_start_.resize(model_->round_count() + 1);
  const SlidingWindowModel& m = *model_;
  for (ModelRound r = m.round_count() - m.tail_rounds(); r < m.round_count(); ++r) {
    max_tail_size_ = std::max(max_tail_size_, m.round_size(r));
  }
}

std::uint64_t* SlidingWindowDecoder::round_bits(RoundIndex j) {
  if (j - start_ >= ring_rounds_) grow_ring(j);
  return ring_.data() + (j % ring_rounds_) * words_per_round_;
}

void SlidingWindowDecoder::grow_ring(RoundIndex j) {
  // Every round touched so far lies in [start_, start_ + ring_rounds_): move those to their
  // places in the larger ring.
  const std::size_t rounds =
      std::min(max_ring_rounds_, std::max<std::size_t>(2 * ring_rounds_, static_cast<std::size_t>(j - start_) + 1));
  std::vector<std::uint64_t> grown(rounds * words_per_round_, 0);
  for (RoundIndex k = start_; k < start_ + ring_rounds_; ++k) {
    std::copy_n(ring_.data() + (k % ring_rounds_) * words_per_round_, words_per_round_,
                grown.data() + (k % rounds) * words_per_round_);
  }
  ring_ = std::move(grown);
  ring_rounds_ = rounds;
}

RoundSlot SlidingWindowDecoder::round_width(RoundIndex j) const {
  const SlidingWindowModel& m = *model_;
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

SlidingResult<SlidingWindowDecoder> SlidingWindowDecoder::create(std::shared_ptr<const SlidingWindowModel> model,
                                                                 std::uint32_t commit, std::uint32_t buffer,
                                                                 bool correlated, unsigned threads) {
  if (commit == 0) return fail_with("commit must be at least 1 round");
  if (!model) return fail_with("no model to decode with");
  if (correlated && !model->keeps_mechanisms()) {
    return fail_with("correlated decoding needs a model built keeping its decomposed mechanisms");
  }
  if (correlated && threads > 1) {
    return fail_with("correlated decoding runs on one thread: parallel windows do not take correlations");
  }
  SlidingWindowDecoder decoder(std::move(model), commit, buffer, correlated);
  if (threads > 1) {
    decoder.parallel_ =
        std::make_unique<ParallelWindows>(decoder.model_, commit, buffer, std::min(threads, usable_cores()));
    decoder.threads_ = threads;
  }
  return decoder;
}

SlidingWindowDecoder::SlidingWindowDecoder(SlidingWindowDecoder&&) noexcept = default;
SlidingWindowDecoder& SlidingWindowDecoder::operator=(SlidingWindowDecoder&&) noexcept = default;
SlidingWindowDecoder::~SlidingWindowDecoder() = default;

SlidingWindowDecoder::ObservableMask SlidingWindowDecoder::committed_flips() const {
  return parallel_ ? parallel_->committed_flips() : committed_;
}
RoundIndex SlidingWindowDecoder::committed_rounds() const {
  return parallel_ ? parallel_->committed_rounds() : start_;
}
const SlidingWindowStats& SlidingWindowDecoder::stats() const { return parallel_ ? parallel_->stats() : stats_; }
void SlidingWindowDecoder::clear_stats() {
  if (parallel_) parallel_->clear_stats();
  stats_ = SlidingWindowStats{};
}

SlidingResult<void> SlidingWindowDecoder::start(std::optional<RoundIndex> total) {
  const SlidingWindowModel& m = *model_;
  if (total && !m.fits(*total)) return fail_with(misfit(m, *total));
  std::fill(ring_.begin(), ring_.end(), 0);
  total_ = total;
  start_ = 0;
  received_ = 0;
  committed_ = 0;
  committed_high_ = {};
  flipped_.clear();
  running_ = true;
  if (parallel_) parallel_->start(total);
  return {};
}

void SlidingWindowDecoder::take_detector_flips(std::vector<StreamDetector>& out) {
  cancel_pairs(flipped_);
  out.swap(flipped_);
  flipped_.clear();
}

bool SlidingWindowDecoder::window_ready() const {
  const RoundIndex end = start_ + commit_ + buffer_;
  const RoundIndex tail = model_->tail_rounds();
  if (total_) return received_ >= end && end + tail <= *total_;
  return received_ >= end + tail;
}

void SlidingWindowDecoder::clear_round(RoundIndex j) {
  std::uint64_t* bits = round_bits(j);
  std::fill(bits, bits + words_per_round_, 0);
}

SlidingResult<bool> SlidingWindowDecoder::push_round(std::span<const RoundSlot> fired) {
  if (auto fits = check_round(received_, fired); !fits) return std::unexpected(fits.error());
  if (parallel_) {
    ++received_;
    const bool stepped = parallel_->push_round(fired);
    if (total_ && received_ == *total_) running_ = false;  // decoded to the end by the push
    return stepped;
  }
  std::uint64_t* bits = round_bits(received_);
  for (RoundSlot slot : fired) bits[slot / 64] ^= std::uint64_t{1} << (slot % 64);
  ++received_;
  bool stepped = false;
  while (window_ready()) {
    decode_and_commit(start_ + commit_ + buffer_, commit_);
    stepped = true;
  }
  if (total_ && received_ == *total_) {
    if (auto done = finish(); !done) return std::unexpected(done.error());
    stepped = true;
  }
  return stepped;
}

void SlidingWindowDecoder::begin_block() {
  if (parallel_ && running_) parallel_->block(true);
}

bool SlidingWindowDecoder::end_block() {
  if (!parallel_ || !running_) return false;
  return parallel_->block(false);
}

SlidingResult<void> SlidingWindowDecoder::finish() {
  if (!running_) return fail_with("no stream is running: start one first");
  const SlidingWindowModel& m = *model_;
  if (total_ && received_ != *total_) {
    return fail_with("the stream ended after " + std::to_string(received_) + " of its " + std::to_string(*total_) +
                     " rounds");
  }
  if (!total_ && !m.fits(received_)) return fail_with(misfit(m, received_));
  total_ = received_;
  if (parallel_) {
    parallel_->finish(received_);
  } else if (start_ < received_) {
    decode_and_commit(received_, received_ - start_);
  }
  running_ = false;
  std::fill(ring_.begin(), ring_.end(), 0);
  return {};
}

SlidingResult<SlidingWindowDecoder::ObservableMask> SlidingWindowDecoder::decode_shot(
    std::span<const std::uint32_t> fired) {
  const SlidingWindowModel& m = *model_;
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
  if (!model || !model_->same_shape(*model)) {
    return fail_with("the new model's rounds and edges differ from the model decoding now; only its "
                     "probabilities may change");
  }
  model_ = std::move(model);
  windows_.clear();  // built with the old weights
  if (parallel_) parallel_->replace_model(model_);
  return {};
}

SlidingWindowDecoder::Window& SlidingWindowDecoder::window_for(RoundIndex s, RoundIndex e) {
  const SlidingWindowModel& m = *model_;
  WindowKey key;
  key.head_start = s < m.head_rounds() ? static_cast<ModelRound>(s) : m.head_rounds();
  key.phase = s < m.head_rounds() ? 0 : static_cast<std::uint32_t>((s - m.head_rounds()) % m.period());
  key.length = e - s;
  key.to_end = total_ && e + m.tail_rounds() > *total_ ? *total_ - e : kNoTail;
  for (const auto& w : windows_) {
    if (w->key == key) return *w;
  }

  auto w = std::make_unique<Window>();
  w->key = key;
  const std::size_t length = static_cast<std::size_t>(e - s);
  auto graph = m.window_nodes(s, length, total_, w->model_rounds, w->round_start);
  const std::uint32_t nodes = w->round_start[length];
  // Correlated: each window edge that is a mechanism's component, under the mechanism's name.
  struct Component {
    std::int64_t first;
    std::uint32_t rank;
    std::uint32_t edge;
    double probability;
  };
  std::vector<Component> components;
  for (std::size_t i = 0; i < length; ++i) {
    for (const SlidingWindowModel::RoundEdge& re : m.round_edges(w->model_rounds[i])) {
      EdgeInfo info;
      info.a_round = static_cast<std::uint32_t>(i);
      info.a = re.a;
      info.to_boundary = re.to_boundary;
      info.observables = DecodingGraph::mask_of(re.observables);
      std::uint32_t far = nodes;  // the boundary, or past the window's end
      if (!re.to_boundary) {
        info.b_round = static_cast<std::uint32_t>(i + re.b_delta);
        info.b = re.b;
        if (info.b_round < length) {
          // A stretched model keeps slots in range (checked when the stream starts); an edge
          // that would still leave its round is dropped rather than tied to a wrong detector.
          if (re.b >= m.round_size(w->model_rounds[info.b_round])) continue;
          far = w->round_start[info.b_round] + re.b;
        }
      }
      if (correlated_ && re.mechanism != SlidingWindowModel::kNoMechanism) {
        // Named by its first round in the window (negative: before it) and its rank there.
        const std::int64_t first = static_cast<std::int64_t>(i) - re.mechanism_back;
        components.push_back({first, re.mechanism, static_cast<std::uint32_t>(graph->edges.size()),
                              re.mechanism_probability});
      }
      SpacetimeEdge& edge = graph->edges.emplace_back();
      edge.observables = re.observables;
      for (const std::uint8_t k : re.observables) w->wide |= k >= 64;
      edge.node_a = w->round_start[i] + re.a;
      edge.node_b = far;
      edge.weight = re.weight;
      w->edges.push_back(info);
    }
  }
  if (correlated_) {
    std::sort(components.begin(), components.end(), [](const Component& x, const Component& y) {
      return x.first != y.first ? x.first < y.first : x.rank != y.rank ? x.rank < y.rank : x.edge < y.edge;
    });
    DecodingGraph::Mechanisms mechanisms;
    std::vector<std::uint32_t> edges;
    for (std::size_t k = 0; k < components.size();) {
      std::size_t end = k;
      edges.clear();
      for (; end < components.size() && components[end].first == components[k].first &&
             components[end].rank == components[k].rank;
           ++end) {
        edges.push_back(components[end].edge);
      }
      if (edges.size() >= 2) mechanisms.add(edges, components[k].probability);
      k = end;
    }
    w->decoder = std::make_unique<UnionFindDecoder>(
        std::make_shared<const DecodingGraph>(std::shared_ptr<const SpacetimeGraph>(std::move(graph)), mechanisms));
  } else {
    w->decoder = std::make_unique<UnionFindDecoder>(std::move(graph));
  }
  ++stats_.window_graphs;
  windows_.push_back(std::move(w));
  return *windows_.back();
}

void SlidingWindowDecoder::decode_and_commit(RoundIndex end, RoundIndex commit_rounds) {
  auto started_at = std::chrono::steady_clock::now();
  const std::uint64_t built = stats_.window_graphs;
  Window& w = window_for(start_, end);
  if (stats_.window_graphs != built) {
    const auto now = std::chrono::steady_clock::now();
    stats_.build_ns += static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now - started_at).count());
    started_at = now;
  }
  const std::size_t length = static_cast<std::size_t>(end - start_);
  fired_.clear();
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint64_t* bits = round_bits(start_ + i);
    const std::uint32_t size = model_->round_size(w.model_rounds[i]);
    for (std::size_t word = 0; word < words_per_round_; ++word) {
      for (std::uint64_t rest = bits[word]; rest != 0; rest &= rest - 1) {
        const auto slot = static_cast<std::uint32_t>(word * 64 + std::countr_zero(rest));
        if (slot < size) fired_.push_back(w.round_start[i] + slot);
      }
    }
  }
  if (!fired_.empty() || w.decoder->decoding_graph()->has_baseline()) {
    w.decoder->decode_detectors(fired_, correlated_);
    for (std::uint32_t id : w.decoder->last_correction_edges()) {
      const EdgeInfo& info = w.edges[id];
      if (info.a_round >= commit_rounds) continue;
      committed_ ^= info.observables;
      if (w.wide) {
        for (const std::uint8_t k : w.decoder->graph().edges[id].observables) {
          if (k >= 64) committed_high_.flip(k);
        }
      }
      if (keep_flips_) {
        flipped_.push_back({start_ + info.a_round, info.a});
        if (!info.to_boundary) flipped_.push_back({start_ + info.b_round, info.b});
      }
      // A committed edge reaching past the commit region leaves its flip to later windows.
      if (!info.to_boundary && info.b_round >= commit_rounds) {
        round_bits(start_ + info.b_round)[info.b / 64] ^= std::uint64_t{1} << (info.b % 64);
      }
    }
  }
  for (RoundIndex j = start_; j < start_ + commit_rounds; ++j) clear_round(j);
  start_ += commit_rounds;
  stats_.rounds += commit_rounds;
  ++stats_.windows;
  const auto elapsed = std::chrono::steady_clock::now() - started_at;
  stats_.step.record(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()));
}

}  // namespace kelvane
