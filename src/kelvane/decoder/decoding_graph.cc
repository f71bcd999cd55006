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
  for (const SpacetimeMechanism& m : source_->mechanisms) {
    own.edges.reserve(own.edges.size() + m.edge_count);
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
  // ln P(no graph edge folded into c fires), per decoding edge.
  std::vector<double> log_none(edges_.size(), 0.0);
  for (std::size_t i = 0; i < graph_edges.size(); ++i) {
    const EdgeId c = edge_of_graph_edge[i];
    if (c != kNoEdge) log_none[c] += std::log1p(-probability_of_weight(graph_edges[i].weight));
  }
  // ln P(no mechanism holding both c and a fires), per ordered pair (c, a), from the list of
  // (pair, ln(1 - p)) terms summed by pair.
  std::vector<std::pair<std::uint64_t, double>> terms;
  std::vector<EdgeId> members;
  for (std::size_t m = 0; m + 1 < mechanisms.start.size(); ++m) {
    members.clear();
    for (std::uint32_t k = mechanisms.start[m]; k < mechanisms.start[m + 1]; ++k) {
      const EdgeId e = edge_of_graph_edge[mechanisms.edges[k]];
      if (e != kNoEdge) members.push_back(e);
    }
    std::sort(members.begin(), members.end());
    members.erase(std::unique(members.begin(), members.end()), members.end());
    const double term = std::log1p(-mechanisms.probability[m]);
    for (EdgeId c : members) {
      for (EdgeId a : members) {
        if (a != c) terms.emplace_back((std::uint64_t{c} << 32) | a, term);
      }
    }
  }
  // Sorted by term too, so that each pair's terms are summed in one order whatever the order of
  // the mechanisms.
  std::sort(terms.begin(), terms.end());
  std::vector<std::uint8_t> in_baseline(edges_.size(), 0);
  for (EdgeId e : baseline_decoding_edges_) in_baseline[e] = 1;
  correlated_start_.assign(edges_.size() + 1, 0);
  for (std::size_t begin = 0; begin < terms.size();) {
    const std::uint64_t key = terms[begin].first;
    double log_neither = 0.0;
    std::size_t end = begin;
    for (; end < terms.size() && terms[end].first == key; ++end) log_neither += terms[end].second;
    begin = end;
    const auto c = static_cast<EdgeId>(key >> 32);
    const auto a = static_cast<EdgeId>(key & 0xffffffffu);
    if (in_baseline[a]) continue;
    const double joint = -std::expm1(log_neither);
    const double marginal = -std::expm1(log_none[c]);
    const double p = marginal > 0.0 ? std::min(0.5, joint / marginal) : 0.5;
    const GrowthLength length = p > 0.0 ? length_of(weight_of_probability(p)) : kMaxLength;
    if (length >= edges_[a].length) continue;
    correlated_.push_back({a, length});
    ++correlated_start_[c + 1];
  }
  for (std::size_t i = 0; i < edges_.size(); ++i) correlated_start_[i + 1] += correlated_start_[i];

  edge_entries_.assign(2 * edges_.size(), kNoEntry);
  for (std::size_t node = 0; node < slot_count_; ++node) {
    for (std::uint32_t k = start_[node]; k < start_[node + 1]; ++k) {
      const EdgeId e = adjacency_edge_[k];
      edge_entries_[2 * std::size_t{e} + (edges_[e].u == node ? 0 : 1)] = k;
    }
  }
}

}  // namespace kelvane
