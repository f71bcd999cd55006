#include "kelvane/decoder/matching/matching_decoder.h"

#include "kelvane/decoder/cancel_pairs.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>

namespace kelvane {
namespace {

constexpr MatchingDecoder::Length kNotReached = std::numeric_limits<MatchingDecoder::Length>::max();
constexpr std::uint32_t kNoEntry = ~std::uint32_t{0};
constexpr MatchingDecoder::EdgeId kNoEdge = ~MatchingDecoder::EdgeId{0};
// Growth units of DecodingGraph (correlated lengths) to this decoder's units.
constexpr MatchingDecoder::Length kPerGrowthUnit =
    static_cast<MatchingDecoder::Length>(MatchingDecoder::kUnitsPerWeight / DecodingGraph::kUnitsPerWeight);

MatchingDecoder::Length fine_length(double weight) {
  const double units = std::fabs(weight) * MatchingDecoder::kUnitsPerWeight;
  if (!(units < static_cast<double>(MatchingDecoder::kMaxEdgeLength))) return MatchingDecoder::kMaxEdgeLength;
  return static_cast<MatchingDecoder::Length>(std::llround(units));
}

}  // namespace

MatchingDecoder::MatchingDecoder(std::shared_ptr<const DecodingGraph> graph)
    : graph_(std::move(graph)), boundary_(graph_->boundary()), node_count_(graph_->node_count()) {
  const DecodingGraph& g = *graph_;
  const std::size_t slots = g.slot_count();
  edge_length_.resize(g.edges().size());
  for (EdgeId e = 0; e < edge_length_.size(); ++e) edge_length_[e] = fine_length(g.weight(e));
  row_start_.resize(slots + 1);
  entries_.resize(g.entry_count());
  for (NodeId node = 0; node < slots; ++node) row_start_[node] = g.entry_of(g.row_begin(node));
  row_start_[slots] = static_cast<std::uint32_t>(g.entry_count());
  for (std::uint32_t k = 0; k < entries_.size(); ++k) {
    const EdgeId e = g.edge_at(k);
    entries_[k] = {g.entry(k).other, e, edge_length_[e]};
  }
  boundary_length_.assign(slots, kUnreachable);
  toward_boundary_.assign(slots, kNoEdge);
  boundary_saved_.assign(slots, 0);
  distance_.assign(slots, kNotReached);
  via_entry_.assign(slots, kNoEntry);
  defect_of_.assign(slots, -1);
  edge_parity_.assign(g.edges().size(), 0);
  for (EdgeId e = 0; e < g.edges().size(); ++e) {
    const DecodingGraph::Edge& edge = g.edge(e);
    if (edge.v != boundary_) continue;
    if (edge_length_[e] < boundary_length_[edge.u]) {
      boundary_length_[edge.u] = edge_length_[e];
      toward_boundary_[edge.u] = e;
    }
  }
  queue_.clear();
  for (NodeId node = 0; node < slots; ++node) {
    if (boundary_length_[node] < kUnreachable) queue_.push(static_cast<std::uint64_t>(boundary_length_[node]), node);
  }
  settle_boundary_lengths();
}

void MatchingDecoder::settle_boundary_lengths() {
  // A Dijkstra search outward from the boundary from the queued seeds; in a correlated pass
  // every length it lowers is saved first.
  const bool save = !shortened_.empty();
  while (!queue_.empty()) {
    const auto [time, x] = queue_.pop();
    const auto d = static_cast<Length>(time);
    if (d > boundary_length_[x]) continue;
    for (const Entry* e = row_begin(x); e != row_end(x); ++e) {
      const NodeId y = e->other;
      if (y == boundary_) continue;
      const Length nd = d + e->length;
      if (nd >= boundary_length_[y]) continue;
      if (save && !boundary_saved_[y]) {
        boundary_saved_[y] = 1;
        saved_boundary_.push_back({y, boundary_length_[y], toward_boundary_[y]});
      }
      boundary_length_[y] = nd;
      toward_boundary_[y] = e->edge;
      queue_.push(static_cast<std::uint64_t>(nd), y);
    }
  }
}

void MatchingDecoder::clear_search() {
  for (const NodeId node : reached_) {
    distance_[node] = kNotReached;
    via_entry_[node] = kNoEntry;
  }
  reached_.clear();
  queue_.clear();
}

bool MatchingDecoder::search_pairs(std::int32_t i, Search mode) {
  const NodeId u = defects_[i];
  const Length bu = boundary_length_[u];
  const Length ru = radius_[i];
  bool added = false;
  distance_[u] = 0;
  reached_.push_back(u);
  queue_.clear();  // a radix queue restarts its clock at zero only when cleared
  queue_.push(0, u);
  while (!queue_.empty()) {
    const auto [time, x] = queue_.pop();
    const auto d = static_cast<Length>(time);
    if (d > distance_[x]) continue;
    if (const std::int32_t j = defect_of_[x]; j >= 0 && x != u) {
      const bool wanted = mode == Search::kVerify ? 2 * d < ru + radius_[j] : d < bu + boundary_length_[x];
      if (wanted && (mode != Search::kAll || j > i)) added |= add_pair(i, j, d, x, u);
      if (mode == Search::kNearest) break;
    }
    for (const Entry* e = row_begin(x); e != row_end(x); ++e) {
      const NodeId y = e->other;
      if (y == boundary_) continue;
      const Length nd = d + e->length;
      // No pair through y is worth an edge (or, verifying, is short enough to matter): see the
      // header.
      if (mode == Search::kVerify) {
        if (2 * nd >= ru + std::min(2 * boundary_length_[y], longest_radius_)) continue;
      } else if (nd >= bu + boundary_length_[y]) {
        continue;
      }
      if (nd >= distance_[y]) continue;
      if (distance_[y] == kNotReached) reached_.push_back(y);
      distance_[y] = nd;
      via_entry_[y] = static_cast<std::uint32_t>(e - entries_.data());
      queue_.push(static_cast<std::uint64_t>(nd), y);
    }
  }
  clear_search();
  return added;
}

bool MatchingDecoder::add_pair(std::int32_t i, std::int32_t j, Length d, NodeId x, NodeId u) {
  const std::int32_t a = std::min(i, j), b = std::max(i, j);
  if (!listed_pairs_.insert((std::uint64_t(std::uint32_t(a)) << 32) | std::uint32_t(b)).second) return false;
  // The pair's path, kept for the correction.
  const auto first = static_cast<std::uint32_t>(pair_edges_.size());
  for (NodeId y = x; y != u;) {
    const EdgeId edge = entries_[via_entry_[y]].edge;
    pair_edges_.push_back(edge);
    const DecodingGraph::Edge& e = graph_->edge(edge);
    y = e.u == y ? e.v : e.u;
  }
  pairs_.push_back({a, b, d, first, static_cast<std::uint32_t>(pair_edges_.size())});
  dirty_[a] = dirty_[b] = 1;
  return true;
}

void MatchingDecoder::toggle_edge(EdgeId edge) {
  if (edge_parity_[edge] == 0) toggled_edges_.push_back(edge);
  edge_parity_[edge] ^= 1;
}

void MatchingDecoder::match_group(std::span<const std::int32_t> members, std::span<const Pair> pairs) {
  // A vertex's dual U (doubled, as blossom.h keeps them) gives its radius 2 b - U; a defect left
  // unpaired has U = 0.
  for (const std::int32_t m : members) {
    radius_[m] = 2 * boundary_length_[defects_[m]];
    partner_[m] = -1;
  }
  if (members.size() == 1) return;
  if (members.size() == 2 && pairs.size() == 1) {
    partner_[pairs[0].a] = pairs[0].b;
    partner_[pairs[0].b] = pairs[0].a;
    const Length w = boundary_length_[defects_[pairs[0].a]] + boundary_length_[defects_[pairs[0].b]] - pairs[0].length;
    radius_[pairs[0].a] -= w;
    radius_[pairs[0].b] -= w;
    return;
  }
  for (std::size_t k = 0; k < members.size(); ++k) local_of_[members[k]] = static_cast<std::int32_t>(k);
  blossom_.reset(members.size());
  // Without a path to the boundary every defect must be paired: weights C - d, C above the
  // total length of any matching, so that one pair more always outweighs shorter pairs.
  const bool boundless = boundary_length_[defects_[members[0]]] >= kUnreachable;
  Length c = 0;
  if (boundless) {
    Length longest = 0;
    for (const Pair& p : pairs) longest = std::max(longest, p.length);
    const auto half = static_cast<Length>(members.size() / 2 + 1);
    c = longest < (Length{1} << 58) / half ? half * longest + 1 : (Length{1} << 58);
  }
  for (const Pair& p : pairs) {
    const Length w = boundless ? c - p.length
                               : boundary_length_[defects_[p.a]] + boundary_length_[defects_[p.b]] - p.length;
    blossom_.add_edge(local_of_[p.a], local_of_[p.b], w);
  }
  blossom_.solve();
  for (std::size_t k = 0; k < members.size(); ++k) {
    const std::int32_t m = blossom_.mate(static_cast<std::int32_t>(k));
    partner_[members[k]] = m == matching::BlossomMatching::kNone ? -1 : members[m];
    if (!boundless) radius_[members[k]] -= blossom_.dual(static_cast<std::int32_t>(k));
  }
}

void MatchingDecoder::match_groups() {
  const auto k = static_cast<std::int32_t>(defects_.size());
  group_of_.resize(k);
  local_of_.resize(k);
  for (std::int32_t i = 0; i < k; ++i) group_of_[i] = i;
  auto find = [&](std::int32_t x) {
    while (group_of_[x] != x) x = group_of_[x] = group_of_[group_of_[x]];
    return x;
  };
  for (const Pair& p : pairs_) {
    const std::int32_t a = find(p.a), b = find(p.b);
    if (a != b) group_of_[std::max(a, b)] = std::min(a, b);
  }
  for (std::int32_t i = 0; i < k; ++i) group_of_[i] = find(i);
  order_.resize(k);
  for (std::int32_t i = 0; i < k; ++i) order_[i] = i;
  std::stable_sort(order_.begin(), order_.end(), [&](std::int32_t a, std::int32_t b) { return group_of_[a] < group_of_[b]; });
  std::stable_sort(pairs_.begin(), pairs_.end(),
                   [&](const Pair& a, const Pair& b) { return group_of_[a.a] < group_of_[b.a]; });
  std::size_t next_pair = 0;
  for (std::int32_t begin = 0; begin < k;) {
    std::int32_t end = begin + 1;
    const std::int32_t group = group_of_[order_[begin]];
    while (end < k && group_of_[order_[end]] == group) ++end;
    std::size_t pair_end = next_pair;
    while (pair_end < pairs_.size() && group_of_[pairs_[pair_end].a] == group) ++pair_end;
    // A group no new pair reaches keeps its matching and duals; a group a new pair reaches is
    // matched again, and all its defects are searched from again.
    const std::span<const std::int32_t> members = std::span<const std::int32_t>(order_).subspan(begin, end - begin);
    bool dirty = false;
    for (const std::int32_t m : members) dirty |= dirty_[m] != 0;
    if (dirty) {
      for (const std::int32_t m : members) dirty_[m] = 1;
      match_group(members, std::span<const Pair>(pairs_).subspan(next_pair, pair_end - next_pair));
    }
    next_pair = pair_end;
    begin = end;
  }
}

MatchingDecoder::ObservableMask MatchingDecoder::decode_pass(std::span<const std::uint32_t> fired) {
  const DecodingGraph& g = *graph_;
  correction_edges_.clear();
  last_neutral_ = true;

  // 1. Defects: fired detectors toggled by the baseline correction, in node order.
  defects_.clear();
  auto toggle = [&](std::uint32_t node) {
    if (node >= node_count_ || node == boundary_) return;
    defect_of_[node] = defect_of_[node] < 0 ? 0 : -1;
    if (defect_of_[node] == 0) defects_.push_back(node);
  };
  for (const std::uint32_t index : fired) toggle(index);
  for (const NodeId node : g.baseline_nodes()) toggle(node);
  std::sort(defects_.begin(), defects_.end());
  std::size_t kept = 0;
  for (const NodeId node : defects_) {
    if (defect_of_[node] == 0 && (kept == 0 || defects_[kept - 1] != node)) defects_[kept++] = node;
  }
  defects_.resize(kept);
  for (std::size_t i = 0; i < defects_.size(); ++i) defect_of_[defects_[i]] = static_cast<std::int32_t>(i);
  const auto k = static_cast<std::int32_t>(defects_.size());

  // 2 and 3. Pairs worth an edge, groups matched apart.
  pairs_.clear();
  pair_edges_.clear();
  listed_pairs_.clear();
  radius_.assign(k, 0);
  partner_.assign(k, -1);
  dirty_.assign(k, 1);
  bool boundless = false;
  for (const NodeId node : defects_) boundless |= boundary_length_[node] >= kUnreachable;
  if (boundless) {
    for (std::int32_t i = 0; i < k; ++i) search_pairs(i, Search::kAll);
    match_groups();
  } else {
    for (std::int32_t i = 0; i < k; ++i) search_pairs(i, Search::kNearest);
    for (;;) {
      match_groups();
      longest_radius_ = 0;
      for (std::int32_t i = 0; i < k; ++i) longest_radius_ = std::max(longest_radius_, radius_[i]);
      // Only defects whose group changed are searched from: a pair between two unchanged
      // groups was checked with the same duals already.
      searched_.clear();
      for (std::int32_t i = 0; i < k; ++i) {
        if (dirty_[i]) searched_.push_back(i);
        dirty_[i] = 0;
      }
      bool added = false;
      for (const std::int32_t i : searched_) added |= search_pairs(i, Search::kVerify);
      if (!added) break;
    }
  }

  // 4. The correction: pairs' paths and boundary paths, edges used twice cancelling.
  for (const Pair& p : pairs_) {
    if (partner_[p.a] != p.b) continue;
    for (std::uint32_t at = p.first_edge; at < p.end_edge; ++at) toggle_edge(pair_edges_[at]);
    partner_[p.a] = partner_[p.b] = -2;  // a pair listed twice (parallel lengths) is taken once
  }
  for (std::int32_t i = 0; i < k; ++i) {
    const std::int32_t j = partner_[i];
    if (j == -1) {
      NodeId x = defects_[i];
      if (boundary_length_[x] >= kUnreachable) {
        last_neutral_ = false;
        continue;
      }
      while (x != boundary_) {
        const EdgeId edge = toward_boundary_[x];
        toggle_edge(edge);
        const DecodingGraph::Edge& e = g.edge(edge);
        x = e.u == x ? e.v : e.u;
      }
    }
  }
  for (const NodeId node : defects_) defect_of_[node] = -1;

  ObservableMask mask = g.baseline_observables();
  for (const EdgeId edge : toggled_edges_) {
    if (edge_parity_[edge]) {
      mask ^= g.edge(edge).observables;
      correction_edges_.push_back(g.edge(edge).graph_edge);
    }
    edge_parity_[edge] = 0;
  }
  toggled_edges_.clear();
  if (g.has_baseline()) {
    const std::span<const std::uint32_t> baseline = g.baseline_edges();
    correction_edges_.insert(correction_edges_.end(), baseline.begin(), baseline.end());
  }
  cancel_pairs(correction_edges_);
  return mask;
}

MatchingDecoder::ObservableMask MatchingDecoder::decode_detectors(std::span<const std::uint32_t> fired,
                                                                  bool correlated) {
  const ObservableMask first = decode_pass(fired);
  if (!correlated || !graph_->has_correlations() || !reweigh()) return first;
  const ObservableMask second = decode_pass(fired);
  restore_lengths();
  return second;
}

bool MatchingDecoder::reweigh() {
  const DecodingGraph& g = *graph_;
  first_correction_.clear();
  for (const std::uint32_t graph_edge : correction_edges_) {
    const EdgeId e = g.decoding_edge_of(graph_edge);
    if (e != DecodingGraph::kNoEntry) first_correction_.push_back(e);
  }
  for (const EdgeId c : first_correction_) {
    for (const DecodingGraph::Correlated& a : g.correlated(c, correlation_scratch_)) {
      const Length length = std::min<Length>(Length{a.length} * kPerGrowthUnit, kMaxEdgeLength);
      const std::uint32_t at_u = g.entry_of_u(a.edge);
      if (length >= entries_[at_u].length) continue;
      if (entries_[at_u].length == edge_length_[a.edge]) shortened_.push_back(a.edge);
      entries_[at_u].length = length;
      if (const std::uint32_t at_v = g.entry_of_v(a.edge); at_v != DecodingGraph::kNoEntry) {
        entries_[at_v].length = length;
      }
    }
  }
  if (shortened_.empty()) return false;
  // Boundary lengths only fall: seed the search with the ends a shortened edge brings closer.
  queue_.clear();
  auto lower = [&](NodeId node, Length length, EdgeId edge) {
    if (length >= boundary_length_[node]) return;
    if (!boundary_saved_[node]) {
      boundary_saved_[node] = 1;
      saved_boundary_.push_back({node, boundary_length_[node], toward_boundary_[node]});
    }
    boundary_length_[node] = length;
    toward_boundary_[node] = edge;
    queue_.push(static_cast<std::uint64_t>(length), node);
  };
  for (const EdgeId a : shortened_) {
    const DecodingGraph::Edge& e = g.edge(a);
    const Length length = entries_[g.entry_of_u(a)].length;
    if (e.v == boundary_) {
      lower(e.u, length, a);
    } else {
      if (boundary_length_[e.v] < kUnreachable) lower(e.u, boundary_length_[e.v] + length, a);
      if (boundary_length_[e.u] < kUnreachable) lower(e.v, boundary_length_[e.u] + length, a);
    }
  }
  settle_boundary_lengths();
  return true;
}

void MatchingDecoder::restore_lengths() {
  const DecodingGraph& g = *graph_;
  for (const EdgeId a : shortened_) {
    entries_[g.entry_of_u(a)].length = edge_length_[a];
    if (const std::uint32_t at_v = g.entry_of_v(a); at_v != DecodingGraph::kNoEntry) {
      entries_[at_v].length = edge_length_[a];
    }
  }
  shortened_.clear();
  for (const Saved& s : saved_boundary_) {
    boundary_length_[s.node] = s.length;
    toward_boundary_[s.node] = s.toward;
    boundary_saved_[s.node] = 0;
  }
  saved_boundary_.clear();
}

}  // namespace kelvane
