// The immutable decoding graph that Union-Find decoders share: a SpacetimeGraph compiled once
// into integer growth lengths, observable masks and compressed adjacency rows.
//
// Parallel graph edges between one node pair are folded into one decoding edge, self-loops
// and edges whose weight is NaN or +infinity (p = 0) are left out, and edge ends at or beyond the node
// count are taken as the boundary node. A graph without a boundary node among its nodes gets
// a slot of its own for it.
//
// Folding parallel edges: the edges between one node pair act as one decoding edge whose flip
// probability is that of an odd number of them firing (each edge's probability taken from its
// weight, p = 1 / (1 + e^w)). Its observables are those of the most probable observable class
// among the folded edges; its growth length comes from the combined weight. A pair carried by a
// single edge keeps that edge's own weight.
//
// Correlations. When the source keeps its decomposed mechanisms (or is given them apart), the
// graph also lists, for each
// decoding edge c, the decoding edges a that share a decomposed mechanism with it and the length
// a takes once c is known to have fired: the length of weight w(min(0.5, joint(c, a) /
// marginal(c))), where joint(c, a) is the probability that at least one mechanism holding both
// fires and marginal(c) that at least one graph edge folded into c fires (mechanisms taken as
// independent events; w(p) = ln((1 - p) / p)). The clamp at 0.5 keeps the weight non-negative.
// Only pairs that shorten a are listed, so a decoder re-weighting after a first correction
// reads exactly the entries of that correction's edges. The graph keeps each mechanism's edges
// and each edge's mechanisms (memory and time linear in the mechanisms' sizes) and lists at
// construction the entries of edges whose mechanisms all have at most kListedMechanismEdges
// decoding edges; those of an edge of a larger mechanism (whose pairs grow as its size squared)
// are worked out, alike, when a decode asks for them. An edge in the baseline correction
// (below) is never listed as shortened: its weight is negative, below any w(p <= 0.5), so the
// rule leaves it as it is; as a correlating edge c it counts whenever it is in a correction,
// and it is whenever the decoded correction leaves it in the baseline.
//
// Edges more likely than not (p > 0.5, a negative weight, after folding) are handled as
// matching decoders handle them: each goes into a baseline correction, which every decode
// applies first (its detectors toggled, its observables flipped), and the edge is grown with
// the weight of its complement, |w|. An edge of p = 1 (weight -infinity) is in the baseline and
// then left out, as its complement (p = 0) is. Edges of p = 0.5 (weight 0) grow at once and are
// not in the baseline.
//
// Built once (construction is its only cost) and then only read, so any number of decoders on
// any number of threads can share one through std::shared_ptr<const DecodingGraph>.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "kelvane/core/observable_bits.h"
#include "kelvane/dem/graph.h"

namespace kelvane {

class DecodingGraph {
 public:
  using NodeId = std::uint32_t;
  using EdgeId = std::uint32_t;          // index of a decoding edge
  using GrowthLength = std::uint32_t;    // edge length in growth units
  // Bit k: observable k, for k below 64. Decodes accumulate this word alone; on graphs of more
  // than 64 observables the whole flips come from the correction's edges (bits_of below).
  using ObservableMask = std::uint64_t;

  // The observables a model edge's list flips (an observable listed twice cancels), and their
  // first 64.
  static ObservableBits bits_of(const std::vector<std::uint8_t>& observables) {
    ObservableBits bits;
    for (std::uint8_t id : observables) bits.flip(id);
    return bits;
  }
  static ObservableMask mask_of(const std::vector<std::uint8_t>& observables) { return bits_of(observables).low(); }

  // Growth units per unit of weight (natural-log odds). Weights are resolved to 1/4096 and
  // every length is even (a weight w is 2 * round(4096 w) units), so that two clusters growing
  // toward each other along an edge from the same time meet at a whole time, halfway.
  static constexpr double kUnitsPerWeight = 8192.0;
  // The longest growth length (even); larger weights are clamped to it. Growth times stay far
  // below 2^63: a decode grows for at most the sum of the lengths of a path through the graph.
  static constexpr GrowthLength kMaxLength = GrowthLength{1} << 29;

  struct Edge {
    NodeId u = 0;
    NodeId v = 0;  // may be the boundary node; never equal to u
    GrowthLength length = 0;
    ObservableMask observables = 0;
    std::uint32_t graph_edge = 0;  // the SpacetimeGraph edge standing for it
  };
  // One entry of a node's adjacency row. The boundary node never grows and has no row.
  struct Neighbour {
    NodeId other = 0;
    GrowthLength length = 0;  // the edge's, kept here for the growth loop
  };

  // A decoding edge that shares a decomposed mechanism with another, and its length given that
  // the other fired.
  struct Correlated {
    EdgeId edge = 0;
    GrowthLength length = 0;
  };
  static constexpr std::uint32_t kNoEntry = ~std::uint32_t{0};

  // Decomposed mechanisms given apart from a graph: mechanism k fires the graph edges
  // edges[start[k]], ..., edges[start[k + 1] - 1] together, with probability probability[k].
  struct Mechanisms {
    std::vector<std::uint32_t> start{0};
    std::vector<std::uint32_t> edges;
    std::vector<double> probability;
    void add(std::span<const std::uint32_t> graph_edges, double p) {
      edges.insert(edges.end(), graph_edges.begin(), graph_edges.end());
      start.push_back(static_cast<std::uint32_t>(edges.size()));
      probability.push_back(p);
    }
  };

  // Takes shared ownership of `graph`, with the graph's own mechanisms when it keeps them.
  // Never fails apart from memory exhaustion.
  explicit DecodingGraph(std::shared_ptr<const SpacetimeGraph> graph);
  // With correlations from `mechanisms` (edges of `graph`) instead of the graph's own: for a
  // graph whose mechanisms' edges are not consecutive, as in a decoding window.
  DecodingGraph(std::shared_ptr<const SpacetimeGraph> graph, const Mechanisms& mechanisms);

  const SpacetimeGraph& source() const { return *source_; }
  // True when the source has more than the 64 observables an ObservableMask holds.
  bool wide_observables() const { return source_->num_observables > 64; }
  // The observables flipped by the source graph edges `graph_edges` (with repeats), all of them.
  ObservableBits observables_of(std::span<const std::uint32_t> graph_edges) const;
  const std::shared_ptr<const SpacetimeGraph>& source_handle() const { return source_; }
  // Detector nodes of the source graph (fired indices at or beyond it are ignored).
  std::size_t node_count() const { return node_count_; }
  // Node slots: the source's nodes plus the boundary slot when the source has none.
  std::size_t slot_count() const { return slot_count_; }
  NodeId boundary() const { return boundary_; }

  std::span<const Edge> edges() const { return edges_; }
  const Edge& edge(EdgeId id) const { return edges_[id]; }
  // The matching weight ln((1 - p) / p) of a decoding edge, p its folded flip probability (a
  // single edge's own weight): negative for an edge more likely than not, which the baseline
  // correction holds. What a correction weighs is the sum of its edges' weights.
  double weight(EdgeId id) const { return weights_[id]; }
  // The decoding edge a source graph edge was folded into, or kNoEntry for an edge left out (a
  // self-loop, p = 0, p = 1, NaN).
  EdgeId decoding_edge_of(std::uint32_t graph_edge) const { return edge_of_graph_edge_[graph_edge]; }
  // The weight of a correction given by graph edges, each standing for its decoding edge: the sum
  // of their decoding edges' weights, -infinity when it holds an edge of p = 1.
  double weight_of(std::span<const std::uint32_t> graph_edges) const;
  // The adjacency row of `node`, lightest edge first (equal lengths in edge order), and, entry
  // for entry, the decoding edge of each entry.
  const Neighbour* row_begin(NodeId node) const { return adjacency_.data() + start_[node]; }
  const Neighbour* row_end(NodeId node) const { return adjacency_.data() + start_[node + 1]; }
  // A lower bound on every path of two or more edges from `node` (through nodes other than the
  // boundary): the least, over the node's neighbours, of the edge to it plus its lightest edge.
  // kMaxLength * 2 + 1 for a node with no such path (below 2^31).
  std::uint32_t two_hop(NodeId node) const { return two_hop_[node]; }
  // The baseline correction: the detectors it toggles (each an odd number of times, never the
  // boundary), the observables it flips, and its graph edges (one per folded decoding edge).
  bool has_baseline() const { return !baseline_edges_.empty(); }
  std::span<const NodeId> baseline_nodes() const { return baseline_nodes_; }
  ObservableMask baseline_observables() const { return baseline_observables_; }
  std::span<const std::uint32_t> baseline_edges() const { return baseline_edges_; }
  // The decoding edges of the baseline correction, ascending (edges of p = 1 are not decoding
  // edges and are left out).
  std::span<const EdgeId> baseline_decoding_edges() const { return baseline_decoding_edges_; }
  // Entries by position in the whole adjacency array.
  std::uint32_t entry_of(const Neighbour* entry) const {
    return static_cast<std::uint32_t>(entry - adjacency_.data());
  }
  EdgeId edge_at(std::uint32_t entry) const { return adjacency_edge_[entry]; }
  std::size_t entry_count() const { return adjacency_.size(); }
  const Neighbour& entry(std::uint32_t at) const { return adjacency_[at]; }

  // Whether the source keeps its decomposed mechanisms, so that correlated() is available.
  bool has_correlations() const { return has_correlations_; }
  // Where correlated() works out the entries of an edge of a large mechanism: a decoder's own,
  // reused by every decode.
  struct CorrelationScratch {
    std::vector<double> log_neither;  // per edge, for the edges in `touched`
    std::vector<std::uint8_t> seen;   // per edge: in `touched`
    std::vector<EdgeId> touched;
    std::vector<Correlated> listed;
  };
  static constexpr std::size_t kListedMechanismEdges = 16;
  // The edges correlated with `edge` (see above), ascending by edge id: the graph's list, or,
  // for an edge of a mechanism of more than kListedMechanismEdges edges, the same entries
  // worked out in `scratch` (valid until its next use). Empty without correlations.
  std::span<const Correlated> correlated(EdgeId edge, CorrelationScratch& scratch) const;
  // The adjacency entries of an edge: in its u row, and in its v row (kNoEntry when v is the
  // boundary, which has no row). Only with correlations.
  std::uint32_t entry_of_u(EdgeId edge) const { return edge_entries_[2 * std::size_t{edge}]; }
  std::uint32_t entry_of_v(EdgeId edge) const { return edge_entries_[2 * std::size_t{edge} + 1]; }

 private:
  std::shared_ptr<const SpacetimeGraph> source_;
  std::size_t node_count_ = 0;
  std::size_t slot_count_ = 0;
  NodeId boundary_ = 0;
  std::vector<Edge> edges_;
  std::vector<double> weights_;  // per decoding edge
  std::vector<EdgeId> edge_of_graph_edge_;  // per source graph edge
  std::vector<std::uint32_t> start_;  // slot_count_ + 1 offsets into adjacency_
  std::vector<Neighbour> adjacency_;
  std::vector<EdgeId> adjacency_edge_;
  std::vector<std::uint32_t> two_hop_;
  std::vector<NodeId> baseline_nodes_;
  ObservableMask baseline_observables_ = 0;
  std::vector<std::uint32_t> baseline_edges_;
  std::vector<EdgeId> baseline_decoding_edges_;
  bool has_correlations_ = false;
  std::vector<std::uint32_t> correlated_start_;  // edges + 1 offsets into correlated_
  std::vector<Correlated> correlated_;
  std::vector<std::uint32_t> mechanism_start_;       // mechanisms + 1 offsets into mechanism_edges_
  std::vector<EdgeId> mechanism_edges_;              // each mechanism's decoding edges, ascending
  std::vector<double> mechanism_log_none_;           // ln(1 - p) per mechanism
  std::vector<std::uint32_t> edge_mechanism_start_;  // edges + 1 offsets into edge_mechanisms_
  std::vector<std::uint32_t> edge_mechanisms_;       // each edge's mechanisms
  std::vector<double> log_none_;                     // ln P(no graph edge folded into it fires)
  std::vector<std::uint8_t> in_baseline_;            // per edge
  std::vector<std::uint8_t> computed_;               // per edge: of a large mechanism, not listed
  std::vector<std::uint32_t> edge_entries_;  // two per edge

  void build(const Mechanisms* mechanisms);
  void build_correlations(const std::vector<EdgeId>& edge_of_graph_edge, const Mechanisms& mechanisms);
  // correlated(c)'s entries, worked out into scratch.listed.
  void compute_correlated(EdgeId c, CorrelationScratch& scratch) const;
};

}  // namespace kelvane
