// An exact minimum-weight perfect-matching decoder over a shared DecodingGraph.
//
// A decode finds a correction of least total weight among those that explain the fired
// detectors: a set of decoding edges whose ends toggle exactly the fired detectors (the boundary
// absorbing any parity), weighing sum ln((1 - p) / p) over its edges. Pairing two fired
// detectors along a shortest path, or sending one to the boundary along its shortest path there,
// is how every such least correction decomposes, so the decoder solves
//   minimise  sum over pairs (u, v) of d(u, v) + sum over the others u of b(u)
// over matchings of the fired detectors, d the shortest-path length between two of them and b
// the length from one to the boundary, and writes out those paths. Equivalently (subtracting the
// constant sum of b over all of them) it finds a maximum-weight matching with the weight
// b(u) + b(v) - d(u, v) on a pair, and only pairs of positive weight need an edge.
//
// Steps of one decode:
//   1. The fired detectors, toggled by the graph's baseline correction (edges of p > 0.5, as
//      DecodingGraph describes), are the defects.
//   2. Pairs are found by Dijkstra searches from the defects over the detector graph (never
//      through the boundary). Only pairs with d(u, v) < b(u) + b(v) can be worth an edge, so a
//      search from u does not pass a node x with d(u, x) >= b(u) + b(x): every path on through
//      x is at least that long (b(v) <= d(x, v) + b(x)). Paths may pass other defects (three
//      partners' paths meeting at a defect need that). b comes from one search from the
//      boundary made when the decoder is built.
//      Searching that far from every defect reaches most of a large graph, so the pairs are
//      found in rounds instead: first each defect's nearest defect; then, after each matching
//      (step 3), the pairs its dual solution leaves short. The blossom algorithm's doubled
//      vertex duals U give each defect a radius R(u) = 2 b(u) - U(u), and a pair not listed yet
//      can only improve the matching if 2 d(u, v) < R(u) + R(v) (its slack without the
//      blossom duals, which only add to it, would be negative). A search for those stops at a
//      node x with 2 d(u, x) >= R(u) + min(2 b(x), the largest radius), by the same argument
//      as above since R(v) <= 2 b(v). When a round lists no new pair, the duals are feasible
//      for every pair, so the matching is a minimum over all of them. Only defects whose group
//      changed are searched from again: a pair between two unchanged groups was checked with
//      the same duals already. In a part of the graph with no path to the boundary every
//      defect searches the whole part once instead.
//   3. The pairs split the defects into groups that do not interact. A lone defect goes to the
//      boundary, a group of two with its one pair is paired, and any larger group is matched by
//      the blossom algorithm (blossom.h); a group no new pair reached keeps its matching. In a
//      part of the graph with no path to the boundary b is infinite; there the pair weight is
//      C - d(u, v) with C above any matching's total length, which pairs as many as possible
//      first. A defect left over there has no explanation: the decode is then not neutral, as
//      Union-Find's is not.
//   4. Each matched pair's path, kept when the search found it, and each boundary path, read
//      from the boundary search's tree, make the correction (an edge used twice cancels),
//      plus the baseline correction.
// Lengths are the graph's weights as integers with 2^20 units per unit of weight, so a
// correction's weight is exact to about 10^-6 per edge whatever the graph, and equal weights
// (integer weights with ties) stay exactly equal.
//
// Correlated decoding runs two passes as the Union-Find decoder's does (union_find.h): the
// edges that share a decomposed mechanism with the first correction's edges are shortened to
// the lengths the decoding graph lists, the boundary lengths that this shortens are brought
// down by a search from the shortened edges' ends, and the shot is decoded again; every change
// is put back afterwards.
//
// Scratch state is sized to the graph at construction and reused by every decode; make one
// decoder per thread over one shared graph.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_set>
#include <vector>

#include "kelvane/core/observable_bits.h"
#include "kelvane/decoder/decoding_graph.h"
#include "kelvane/decoder/matching/blossom.h"
#include "kelvane/decoder/radix_queue.h"

namespace kelvane {

class MatchingDecoder {
 public:
  using NodeId = DecodingGraph::NodeId;
  using EdgeId = DecodingGraph::EdgeId;
  using ObservableMask = DecodingGraph::ObservableMask;
  using Length = std::int64_t;

  static constexpr double kUnitsPerWeight = 1048576.0;  // 2^20
  // The longest edge length (weight 4096); longer ones are clamped to it. Path lengths stay
  // below 2^54 on the largest graphs.
  static constexpr Length kMaxEdgeLength = Length{1} << 32;
  static constexpr Length kUnreachable = Length{1} << 61;

  // Shares `graph`. Never fails apart from memory exhaustion.
  explicit MatchingDecoder(std::shared_ptr<const DecodingGraph> graph);

  // Decodes a list of fired detector indices and returns the observable mask. Each occurrence of
  // an index toggles that detector; indices at or beyond the node count, and the boundary's own
  // index, are left out. `correlated` decodes in two passes (see above); on a graph without
  // correlations that is a plain decode.
  ObservableMask decode_detectors(std::span<const std::uint32_t> fired, bool correlated = false);

  // The graph edge ids of the last decode's correction, ascending, the baseline correction
  // included; each decoding edge is reported by the graph edge that stands for it.
  std::span<const std::uint32_t> last_correction_edges() const { return correction_edges_; }
  // Every observable the last decode's correction flips (its low word is what decode_detectors
  // returned).
  ObservableBits last_observables() const { return graph_->observables_of(correction_edges_); }
  // False when the last syndrome is unsatisfiable: some part of the graph without a path to the
  // boundary held an odd number of defects, one of which is left uncorrected.
  bool last_decode_neutral() const { return last_neutral_; }

  const std::shared_ptr<const DecodingGraph>& decoding_graph() const { return graph_; }
  // A decoding edge's length in this decoder's units (the graph's, not a correlated pass's).
  Length length_of_edge(EdgeId edge) const { return edge_length_[edge]; }
  // The shortest-path length from a node to the boundary, kUnreachable when there is none.
  Length boundary_length(NodeId node) const { return boundary_length_[node]; }

 private:
  struct Entry {
    NodeId other;
    EdgeId edge;
    Length length;
  };
  struct Pair {
    std::int32_t a, b;
    Length length;
    std::uint32_t first_edge, end_edge;  // its path's edges in pair_edges_
  };
  struct Saved {
    NodeId node;
    Length length;
    EdgeId toward;
  };

  const Entry* row_begin(NodeId node) const { return entries_.data() + row_start_[node]; }
  const Entry* row_end(NodeId node) const { return entries_.data() + row_start_[node + 1]; }
  ObservableMask decode_pass(std::span<const std::uint32_t> fired);
  // Step 2 for defect i (see the header): kAll appends its pairs with defects of higher index,
  // kNearest its pair with the nearest defect, kVerify its pairs with any defect that the
  // current duals leave short. Returns whether it listed a pair not listed before.
  enum class Search { kAll, kNearest, kVerify };
  bool search_pairs(std::int32_t i, Search mode);
  // Lists the pair (i, j) of length d, its path read back from the search from node u that
  // reached x; false when it is listed already.
  bool add_pair(std::int32_t i, std::int32_t j, Length d, NodeId x, NodeId u);
  // Step 3 over the pairs listed so far: partner_ and radius_ for every defect.
  void match_groups();
  void toggle_edge(EdgeId edge);
  // Matches the defects of one group (indices into defects_), writing partner_.
  void match_group(std::span<const std::int32_t> members, std::span<const Pair> pairs);
  void clear_search();
  // The boundary search, from scratch (construction) or from changed nodes (correlated pass).
  void settle_boundary_lengths();
  bool reweigh();
  void restore_lengths();

  std::shared_ptr<const DecodingGraph> graph_;
  NodeId boundary_ = 0;
  std::size_t node_count_ = 0;
  std::vector<std::uint32_t> row_start_;
  std::vector<Entry> entries_;
  std::vector<Length> edge_length_;
  std::vector<Length> boundary_length_;
  std::vector<EdgeId> toward_boundary_;  // per node: the first edge of its path to the boundary

  // Search scratch.
  std::vector<Length> distance_;
  std::vector<std::uint32_t> via_entry_;  // the entry a node was reached through
  std::vector<NodeId> reached_;
  RadixQueue queue_;

  // Per decode.
  std::vector<std::int32_t> defect_of_;  // per node: index into defects_, or -1
  std::vector<NodeId> defects_;
  std::vector<Pair> pairs_;
  std::vector<EdgeId> pair_edges_;
  std::unordered_set<std::uint64_t> listed_pairs_;
  std::vector<Length> radius_;  // per defect: twice its boundary length less its dual
  Length longest_radius_ = 0;
  std::vector<std::uint8_t> dirty_;  // per defect: its group changed since it was last searched from
  std::vector<std::int32_t> searched_;
  std::vector<std::int32_t> group_of_;  // union-find over defects
  std::vector<std::int32_t> partner_;
  std::vector<std::int32_t> order_;
  std::vector<Pair> group_pairs_;
  std::vector<std::int32_t> local_of_;
  std::vector<std::uint8_t> edge_parity_;
  std::vector<EdgeId> toggled_edges_;
  std::vector<std::uint32_t> correction_edges_;
  matching::BlossomMatching blossom_;
  bool last_neutral_ = true;

  // Correlated decoding: the first correction's decoding edges, and what reweigh() changed.
  std::vector<EdgeId> first_correction_;
  std::vector<EdgeId> shortened_;
  DecodingGraph::CorrelationScratch correlation_scratch_;  // entries of edges of large mechanisms
  std::vector<Saved> saved_boundary_;
  std::vector<std::uint8_t> boundary_saved_;
};

}  // namespace kelvane
