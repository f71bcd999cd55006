// Exact minimum-weight matching of the fired nodes of one Union-Find cluster.
//
// Peeling corrects a cluster along the spanning tree its merges formed, so which fired node it
// sends to the boundary, and along which path it pairs the others, follows the order of the
// merges rather than the lengths of the paths. This matcher instead pairs the cluster's fired
// nodes (or sends them to the boundary) at the least total length, along shortest paths that
// stay inside the cluster:
//   1. from each fired node, Dijkstra over the cluster's nodes (any of their boundary edges
//      leads to the boundary), stopped once every later fired node and the boundary are
//      settled;
//   2. a minimum-weight perfect matching (LEMON's blossom algorithm) on the fired nodes, each
//      with a boundary copy when the cluster has a boundary edge: a fired node matched to its
//      copy goes to the boundary along its shortest path there, copies match each other at no
//      cost, and a pair that costs no less than sending both to the boundary is left out;
//   3. the paths of the matched pairs, as decoding edges (an edge on two paths cancels).
// Scratch is sized to the graph at construction and reused by every call.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kelvane/decoder/decoding_graph.h"
#include "kelvane/decoder/min_weight_matching.h"

namespace kelvane {

class ClusterMatcher {
 public:
  using NodeId = DecodingGraph::NodeId;
  using EdgeId = DecodingGraph::EdgeId;
  using GrowthLength = DecodingGraph::GrowthLength;

  // Keeps a reference to `graph`, which must outlive the matcher. Fails only on memory
  // exhaustion (std::bad_alloc).
  explicit ClusterMatcher(const DecodingGraph& graph);

  // `members`: the cluster's nodes (the boundary left out), each once; `defects`: its fired
  // nodes, each once and each a member. `lengths`: each adjacency entry's length, or nullptr
  // for the graph's own. Appends to `edges` the decoding edges of a minimum-weight correction
  // of `defects` whose paths stay among `members` and their boundary edges, each edge once, and
  // returns true; returns false, appending nothing, when there is none (an odd number of
  // defects and no boundary edge among the members). Fails only on memory exhaustion.
  bool match(std::span<const NodeId> members, std::span<const NodeId> defects, const GrowthLength* lengths,
             std::vector<EdgeId>& edges);

 private:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  static constexpr std::uint64_t kFar = ~std::uint64_t{0};

  // Dijkstra from defects[source] over the members; fills row `source` of pair_ and the
  // boundary distance (looked for only when `has_boundary`, some member has a boundary edge).
  void shortest_paths(std::size_t source, std::span<const NodeId> members, std::span<const NodeId> defects,
                      const GrowthLength* lengths, bool has_boundary);
  // Appends the path from defects[source] to `target` (a member) to the toggled edges.
  void add_path(std::size_t source, std::uint32_t target, std::span<const NodeId> members);
  void toggle(EdgeId edge);

  const DecodingGraph& graph_;
  std::vector<std::uint32_t> boundary_entry_;  // per node: its boundary edge's entry, or kNone
  std::vector<std::uint32_t> local_;           // per node: index among the members, or kNone
  std::vector<std::uint32_t> defect_index_;    // per member: index among the defects, or kNone
  std::vector<std::uint64_t> dist_;            // per member, one Dijkstra at a time
  std::vector<EdgeId> pred_;                   // defects x members: edge into a member from its predecessor
  std::vector<std::uint64_t> pair_;            // defects x defects: shortest path lengths
  std::vector<std::uint64_t> to_boundary_;     // per defect
  std::vector<std::uint32_t> boundary_via_;    // per defect: the member it leaves the cluster from
  std::vector<std::pair<std::uint64_t, std::uint32_t>> heap_;
  std::vector<std::uint8_t> edge_used_;  // per decoding edge: on an odd number of paths; listed
  std::vector<EdgeId> used_;
  MinWeightMatching blossom_;
};

}  // namespace kelvane
