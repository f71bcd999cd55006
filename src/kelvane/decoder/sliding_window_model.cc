#include "kelvane/decoder/sliding_window_model.h"


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

}  // namespace kelvane
