#include "kelvane/decoder/decoding_graph.h"

#include "kelvane/decoder/cancel_pairs.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace kelvane {
namespace {

using ObservableMask = DecodingGraph::ObservableMask;
using GrowthLength = DecodingGraph::GrowthLength;

// Probability that exactly one of two independent events with these probabilities occurs.
double xor_combine(double p, double q) { return p * (1.0 - q) + q * (1.0 - p); }

GrowthLength length_of(double weight) {
  if (!(weight > 0.0)) return 0;  // negative (and zero) weights grow at once
  const double units = 2.0 * std::round(weight * (DecodingGraph::kUnitsPerWeight / 2.0));
  if (!(units < static_cast<double>(DecodingGraph::kMaxLength))) {
    return DecodingGraph::kMaxLength;
  }
  return static_cast<GrowthLength>(units);
}

}  // namespace

DecodingGraph::DecodingGraph(std::shared_ptr<const SpacetimeGraph> graph) : source_(std::move(graph)) {
  if (!source_->keeps_mechanisms) {
    build(nullptr);
    return;
  }
  Mechanisms own;
  std::size_t total = 0;
  for (const SpacetimeMechanism& m : source_->mechanisms) total += m.edge_count;
  own.edges.reserve(total);  // once: reserving mechanism by mechanism copies the list each time
  for (const SpacetimeMechanism& m : source_->mechanisms) {
    for (std::uint32_t k = 0; k < m.edge_count; ++k) own.edges.push_back(m.first_edge + k);
    own.start.push_back(static_cast<std::uint32_t>(own.edges.size()));
    own.probability.push_back(m.probability);
  }
  build(&own);
}

DecodingGraph::DecodingGraph(std::shared_ptr<const SpacetimeGraph> graph, const Mechanisms& mechanisms)
    : source_(std::move(graph)) {
  build(&mechanisms);
}

void DecodingGraph::build(const Mechanisms* mechanisms) {
  const std::size_t n = source_->node_count();
  node_count_ = n;
  if (source_->boundary < n) {
    boundary_ = static_cast<NodeId>(source_->boundary);
    slot_count_ = n;
  } else {
    boundary_ = static_cast<NodeId>(n);
    slot_count_ = n + 1;
  }
  const auto& graph_edges = source_->edges;
  auto slot_of = [&](std::uint32_t node) -> NodeId {
    return node < n ? static_cast<NodeId>(node) : boundary_;
  };

  struct Candidate {
    NodeId u;
    NodeId v;
    std::uint32_t index;
  };
  std::vector<Candidate> candidates;
  candidates.reserve(graph_edges.size());
  for (std::size_t i = 0; i < graph_edges.size(); ++i) {
    const SpacetimeEdge& e = graph_edges[i];
    // NaN and +infinity (p = 0) never grow, so never merge or correct; -infinity is p = 1.
    if (std::isnan(e.weight) || e.weight == std::numeric_limits<float>::infinity()) continue;
    NodeId u = slot_of(e.node_a);
    NodeId v = slot_of(e.node_b);
    if (u == v) continue;  // a self-loop flips no detector parity
    if (u == boundary_ || (v != boundary_ && u > v)) std::swap(u, v);
    candidates.push_back({u, v, static_cast<std::uint32_t>(i)});
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) {
                     return a.u != b.u ? a.u < b.u : a.v < b.v;
                   });

  // Observable classes are told apart by every observable, not only the first 64.
  struct ObservableClass {
    ObservableBits mask;
    double probability;
    float best_weight;
    std::uint32_t best_index;
  };
  std::vector<ObservableClass> classes;
  std::vector<NodeId> toggled;  // ends of baseline edges, with repeats
  constexpr EdgeId kNoEdge = ~EdgeId{0};
  std::vector<EdgeId>& edge_of_graph_edge = edge_of_graph_edge_;
  edge_of_graph_edge.assign(graph_edges.size(), kNoEdge);
  for (std::size_t begin = 0; begin < candidates.size();) {
    std::size_t end = begin + 1;
    while (end < candidates.size() && candidates[end].u == candidates[begin].u &&
           candidates[end].v == candidates[begin].v) {
      ++end;
    }
    Edge edge;
    edge.u = candidates[begin].u;
    edge.v = candidates[begin].v;
    bool in_baseline = false;
    bool certain = false;  // p = 1: its complement never fires, so it never grows
    double weight = 0.0;
    if (end - begin == 1) {
      const SpacetimeEdge& e = graph_edges[candidates[begin].index];
      in_baseline = e.weight < 0.0f;
      certain = e.weight == -std::numeric_limits<float>::infinity();
      edge.length = length_of(std::fabs(e.weight));
      weight = e.weight;
      edge.observables = DecodingGraph::mask_of(e.observables);
      edge.graph_edge = candidates[begin].index;
    } else {
      classes.clear();
      double total = 0.0;
      for (std::size_t k = begin; k < end; ++k) {
        const SpacetimeEdge& e = graph_edges[candidates[k].index];
        const double p = probability_of_weight(e.weight);
        total = xor_combine(total, p);
        const ObservableBits mask = DecodingGraph::bits_of(e.observables);
        auto it = std::find_if(classes.begin(), classes.end(),
                               [&](const ObservableClass& c) { return c.mask == mask; });
        if (it == classes.end()) {
          classes.push_back({mask, p, e.weight, candidates[k].index});
        } else {
          it->probability = xor_combine(it->probability, p);
          if (e.weight < it->best_weight) {
            it->best_weight = e.weight;
            it->best_index = candidates[k].index;
          }
        }
      }
      const ObservableClass* best = &classes.front();
      for (const ObservableClass& c : classes) {
        if (c.probability > best->probability) best = &c;
      }
      edge.observables = best->mask.low();
      edge.graph_edge = best->best_index;
      // More likely than not: in the baseline, grown with the complement's weight.
      in_baseline = total > 0.5;
      certain = total >= 1.0;
      weight = weight_of_probability(total);
      edge.length = total > 0.0 ? length_of(std::fabs(weight)) : kMaxLength;
    }
    if (in_baseline) {
      baseline_observables_ ^= edge.observables;
      baseline_edges_.push_back(edge.graph_edge);
      toggled.push_back(edge.u);
      if (edge.v != boundary_) toggled.push_back(edge.v);
    }
    if (certain) {
      begin = end;
      continue;
    }
    if (in_baseline) baseline_decoding_edges_.push_back(static_cast<EdgeId>(edges_.size()));
    for (std::size_t k = begin; k < end; ++k) {
      edge_of_graph_edge[candidates[k].index] = static_cast<EdgeId>(edges_.size());
    }
    edges_.push_back(edge);
    weights_.push_back(weight);
    begin = end;
  }

  // A detector toggled an even number of times by the baseline is left as it is.
  cancel_pairs(toggled);
  baseline_nodes_.assign(toggled.begin(), toggled.end());

  // Adjacency in compressed rows. The boundary node never grows, so it needs no row entries.
  start_.assign(slot_count_ + 1, 0);
  for (const Edge& e : edges_) {
    ++start_[e.u + 1];
    if (e.v != boundary_) ++start_[e.v + 1];
  }
  for (std::size_t i = 0; i < slot_count_; ++i) start_[i + 1] += start_[i];
  adjacency_.resize(start_[slot_count_]);
  adjacency_edge_.resize(start_[slot_count_]);
  std::vector<std::uint32_t> fill(start_.begin(), start_.end() - 1);
  for (std::size_t i = 0; i < edges_.size(); ++i) {
    const Edge& e = edges_[i];
    adjacency_edge_[fill[e.u]] = static_cast<EdgeId>(i);
    adjacency_[fill[e.u]++] = {e.v, e.length};
    if (e.v != boundary_) {
      adjacency_edge_[fill[e.v]] = static_cast<EdgeId>(i);
      adjacency_[fill[e.v]++] = {e.u, e.length};
    }
  }
  // Each row lightest first (equal lengths keep edge order), so that a node's lightest edge to
  // an untouched node is the first such entry of its row.
  std::vector<std::pair<Neighbour, EdgeId>> row;
  for (std::size_t node = 0; node < slot_count_; ++node) {
    const std::uint32_t begin = start_[node], end = start_[node + 1];
    row.clear();
    for (std::uint32_t k = begin; k < end; ++k) row.emplace_back(adjacency_[k], adjacency_edge_[k]);
    std::stable_sort(row.begin(), row.end(),
                     [](const auto& a, const auto& b) { return a.first.length < b.first.length; });
    for (std::uint32_t k = begin; k < end; ++k) {
      adjacency_[k] = row[k - begin].first;
      adjacency_edge_[k] = row[k - begin].second;
    }
  }
  two_hop_.assign(slot_count_, 2 * kMaxLength + 1);
  for (std::size_t node = 0; node < slot_count_; ++node) {
    for (std::uint32_t k = start_[node]; k < start_[node + 1]; ++k) {
      const NodeId y = adjacency_[k].other;
      if (y == boundary_ || start_[y] == start_[y + 1]) continue;
      // Rows are sorted, so a row's first entry is its lightest edge.
      two_hop_[node] = std::min(two_hop_[node], adjacency_[k].length + adjacency_[start_[y]].length);
    }
  }
  if (mechanisms) build_correlations(edge_of_graph_edge, *mechanisms);
}

ObservableBits DecodingGraph::observables_of(std::span<const std::uint32_t> graph_edges) const {
  ObservableBits bits;
  for (const std::uint32_t id : graph_edges) {
    for (const std::uint8_t k : source_->edges[id].observables) bits.flip(k);
  }
  return bits;
}

double DecodingGraph::weight_of(std::span<const std::uint32_t> graph_edges) const {
  double total = 0.0;
  for (const std::uint32_t id : graph_edges) {
    const EdgeId e = edge_of_graph_edge_[id];
    total += e != kNoEntry ? weights_[e] : -std::numeric_limits<double>::infinity();
  }
  return total;
}

void DecodingGraph::build_correlations(const std::vector<EdgeId>& edge_of_graph_edge, const Mechanisms& mechanisms) {
  constexpr EdgeId kNoEdge = ~EdgeId{0};
  has_correlations_ = true;
  const auto& graph_edges = source_->edges;
  const std::size_t edge_total = edges_.size();
  // ln P(no graph edge folded into c fires), per decoding edge.
  log_none_.assign(edge_total, 0.0);
  for (std::size_t i = 0; i < graph_edges.size(); ++i) {
    const EdgeId c = edge_of_graph_edge[i];
    if (c != kNoEdge) log_none_[c] += std::log1p(-probability_of_weight(graph_edges[i].weight));
  }
  // Each mechanism's decoding edges (each once) and ln(1 - p); each edge's mechanisms. Both are
  // as large as the mechanisms: no table of pairs is built.
  mechanism_start_.assign(1, 0);
  for (std::size_t m = 0; m + 1 < mechanisms.start.size(); ++m) {
    const std::size_t first = mechanism_edges_.size();
    for (std::uint32_t k = mechanisms.start[m]; k < mechanisms.start[m + 1]; ++k) {
      const EdgeId e = edge_of_graph_edge[mechanisms.edges[k]];
      if (e != kNoEdge) mechanism_edges_.push_back(e);
    }
    std::sort(mechanism_edges_.begin() + first, mechanism_edges_.end());
    mechanism_edges_.erase(std::unique(mechanism_edges_.begin() + first, mechanism_edges_.end()),
                           mechanism_edges_.end());
    mechanism_start_.push_back(static_cast<std::uint32_t>(mechanism_edges_.size()));
    mechanism_log_none_.push_back(std::log1p(-mechanisms.probability[m]));
  }
  edge_mechanism_start_.assign(edge_total + 1, 0);
  for (const EdgeId e : mechanism_edges_) ++edge_mechanism_start_[e + 1];
  for (std::size_t i = 0; i < edge_total; ++i) edge_mechanism_start_[i + 1] += edge_mechanism_start_[i];
  edge_mechanisms_.resize(mechanism_edges_.size());
  std::vector<std::uint32_t> fill(edge_mechanism_start_.begin(), edge_mechanism_start_.end() - 1);
  computed_.assign(edge_total, 0);
  for (std::uint32_t m = 0; m + 1 < mechanism_start_.size(); ++m) {
    const bool large = mechanism_start_[m + 1] - mechanism_start_[m] > kListedMechanismEdges;
    for (std::uint32_t k = mechanism_start_[m]; k < mechanism_start_[m + 1]; ++k) {
      edge_mechanisms_[fill[mechanism_edges_[k]]++] = m;
      if (large) computed_[mechanism_edges_[k]] = 1;
    }
  }
  for (std::size_t e = 0; e < edge_total; ++e) {
    std::sort(edge_mechanisms_.begin() + edge_mechanism_start_[e], edge_mechanisms_.begin() + edge_mechanism_start_[e + 1],
              [&](std::uint32_t x, std::uint32_t y) {
                // NaN (a NaN probability) last, so that the order is a strict weak one.
                const double tx = mechanism_log_none_[x], ty = mechanism_log_none_[y];
                return std::isnan(ty) ? !std::isnan(tx) || x < y : !std::isnan(tx) && (tx < ty || (tx == ty && x < y));
              });
  }
  in_baseline_.assign(edge_total, 0);
  for (const EdgeId e : baseline_decoding_edges_) in_baseline_[e] = 1;
  // The lists of edges of small mechanisms only: each holds at most kListedMechanismEdges
  // entries per mechanism of its edge.
  CorrelationScratch scratch;
  correlated_start_.assign(edge_total + 1, 0);
  for (EdgeId c = 0; c < edge_total; ++c) {
    if (!computed_[c]) {
      compute_correlated(c, scratch);
      correlated_.insert(correlated_.end(), scratch.listed.begin(), scratch.listed.end());
    }
    correlated_start_[c + 1] = static_cast<std::uint32_t>(correlated_.size());
  }

  edge_entries_.assign(2 * edges_.size(), kNoEntry);
  for (std::size_t node = 0; node < slot_count_; ++node) {
    for (std::uint32_t k = start_[node]; k < start_[node + 1]; ++k) {
      const EdgeId e = adjacency_edge_[k];
      edge_entries_[2 * std::size_t{e} + (edges_[e].u == node ? 0 : 1)] = k;
    }
  }
}

std::span<const DecodingGraph::Correlated> DecodingGraph::correlated(EdgeId edge, CorrelationScratch& scratch) const {
  if (!has_correlations_) return {};
  if (!computed_[edge]) {
    return {correlated_.data() + correlated_start_[edge], correlated_.data() + correlated_start_[edge + 1]};
  }
  compute_correlated(edge, scratch);
  return scratch.listed;
}

void DecodingGraph::compute_correlated(EdgeId c, CorrelationScratch& scratch) const {
  // ln P(no mechanism holding both c and a fires) for every a sharing a mechanism with c. An
  // edge's mechanisms are kept by ascending ln(1 - p), so each pair's terms are summed from the
  // smallest, in one order whatever the order of the mechanisms.
  scratch.listed.clear();
  const double marginal = -std::expm1(log_none_[c]);
  const auto length_given = [&](double log_neither) -> GrowthLength {
    const double joint = -std::expm1(log_neither);
    const double p = marginal > 0.0 ? std::min(0.5, joint / marginal) : 0.5;
    return p > 0.0 ? length_of(weight_of_probability(p)) : kMaxLength;
  };
  if (edge_mechanism_start_[c + 1] - edge_mechanism_start_[c] == 1) {
    // One mechanism (most edges of a large one): one term for every other edge, in edge order.
    const std::uint32_t m = edge_mechanisms_[edge_mechanism_start_[c]];
    const GrowthLength length = length_given(0.0 + mechanism_log_none_[m]);
    for (std::uint32_t j = mechanism_start_[m]; j < mechanism_start_[m + 1]; ++j) {
      const EdgeId a = mechanism_edges_[j];
      if (a != c && !in_baseline_[a] && length < edges_[a].length) scratch.listed.push_back({a, length});
    }
    return;
  }
  if (scratch.log_neither.size() != edges_.size()) {
    scratch.log_neither.assign(edges_.size(), 0.0);
    scratch.seen.assign(edges_.size(), 0);
  }
  auto& touched = scratch.touched;
  touched.clear();
  for (std::uint32_t k = edge_mechanism_start_[c]; k < edge_mechanism_start_[c + 1]; ++k) {
    const std::uint32_t m = edge_mechanisms_[k];
    const double term = mechanism_log_none_[m];
    for (std::uint32_t j = mechanism_start_[m]; j < mechanism_start_[m + 1]; ++j) {
      const EdgeId a = mechanism_edges_[j];
      if (a == c || in_baseline_[a]) continue;
      if (!scratch.seen[a]) {
        scratch.seen[a] = 1;
        scratch.log_neither[a] = 0.0;
        touched.push_back(a);
      }
      scratch.log_neither[a] += term;
    }
  }
  // In edge order: sorted, or read off the marks when they cover much of the graph.
  if (touched.size() * 8 < edges_.size()) {
    std::sort(touched.begin(), touched.end());
  } else {
    touched.clear();
    for (EdgeId a = 0; a < edges_.size(); ++a) {
      if (scratch.seen[a]) touched.push_back(a);
    }
  }
  for (const EdgeId a : touched) {
    scratch.seen[a] = 0;
    const GrowthLength length = length_given(scratch.log_neither[a]);
    if (length < edges_[a].length) scratch.listed.push_back({a, length});
  }
}

}  // namespace kelvane
