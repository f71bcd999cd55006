// Exact minimum-weight matching of the fired nodes of one Union-Find cluster.
//
// Peeling corrects a cluster along the spanning tree its merges formed, so which fired node it
// sends to the boundary, and along which path it pairs the others, follows the order of the
// merges rather than the lengths of the paths. This matcher instead pairs the cluster's fired
// nodes (or sends them to the boundary) at the least total length, along shortest paths that
// stay inside the cluster:
//   1. one Dijkstra from the boundary (entered through the members' boundary edges) gives every
//      member's distance to it, when the cluster has a boundary edge;
//   2. a Dijkstra from each fired node over the cluster's nodes gives its distances to the later
//      fired nodes; it stops at its own boundary distance plus the largest later one, since a
//      pair that costs at least as much as sending both to the boundary is never needed;
//   3. a minimum-weight pairing: a pair costs the lesser of its path and sending both to the
//      boundary, a fired node alone goes to the boundary. Up to kSubsetLimit fired nodes, by a
//      recursion over subsets; above, by a minimum-weight perfect matching (LEMON's blossom
//      algorithm) on the fired nodes, plus one boundary node when their count is odd;
//   4. the paths of the pairing, as decoding edges (an edge on two paths cancels).
// Scratch is sized to the graph at construction and reused by every call. Memory is of the order
// of the cluster: distances are kept for the fired nodes alone (fired x fired), and each
// search's path tree (a predecessor per member) only while fired x members stays within
// kPathTableLimit entries; beyond, the searches of the pairs matched along a path run again,
// alike up to their target, one at a time in one tree.
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

  // Clusters of up to this many fired nodes are paired by the subset recursion, larger ones by
  // the blossom algorithm (both exact; the recursion is quicker on a few).
  static constexpr std::size_t kSubsetLimit = 10;
  void set_subset_limit(std::size_t limit) { subset_limit_ = limit; }
  // The most path-tree entries (fired x members, 4 bytes each) kept from the first searches.
  static constexpr std::size_t kPathTableLimit = std::size_t{1} << 20;
  void set_path_table_limit(std::size_t entries) { path_table_limit_ = entries; }

 private:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  static constexpr std::uint32_t kBoundaryMate = kNone - 1;
  static constexpr std::uint64_t kFar = ~std::uint64_t{0} / 4;  // sums of two stay below 2^64

  void push(std::uint64_t d, std::uint32_t x);
  std::pair<std::uint64_t, std::uint32_t> pop();
  // Every member's distance to the boundary, and its first edge on the way there.
  void boundary_distances(std::span<const NodeId> members, const GrowthLength* lengths);
  // Dijkstra from defects[source] over the members: row `source` of pair_ for later defects,
  // and the path tree in pred_row(source). With `stop_at` (a member), it stops once that member
  // is settled, having done exactly what the whole search did up to then.
  void shortest_paths(std::size_t source, std::span<const NodeId> members, std::span<const NodeId> defects,
                      const GrowthLength* lengths, bool has_boundary, std::uint32_t stop_at = kNone);
  EdgeId* pred_row(std::size_t source, std::size_t members) {
    return pred_.data() + (paths_kept_ ? source * members : 0);
  }
  // The cost of pairing defects i and j: their path, or both to the boundary if less.
  std::uint64_t pair_cost(std::size_t i, std::size_t j, bool has_boundary) const;
  // Fill mates_ (a defect index, or kBoundaryMate); false when no pairing exists.
  bool pair_by_subsets(bool has_boundary);
  bool pair_by_blossom(bool has_boundary);
  // Toggle the edges of the path from defects[source] to member `target`, or from member `from`
  // to the boundary.
  void add_path(std::size_t source, std::uint32_t target, std::span<const NodeId> members);
  void add_boundary_path(std::uint32_t from, std::span<const NodeId> members);
  void toggle(EdgeId edge);

  const DecodingGraph& graph_;
  std::vector<std::uint32_t> boundary_entry_;  // per node: its boundary edge's entry, or kNone
  std::vector<std::uint32_t> local_;           // per node: index among the members, or kNone
  std::vector<std::uint32_t> defect_index_;    // per member: index among the defects, or kNone
  std::vector<std::uint32_t> local_of_defect_;
  std::vector<std::uint64_t> dist_;            // per member, one Dijkstra at a time
  std::vector<std::uint64_t> boundary_dist_;   // per member
  std::vector<EdgeId> boundary_pred_;          // per member: its first edge toward the boundary
  std::vector<EdgeId> pred_;                   // defects x members, or one row: edge into a member from its predecessor
  std::vector<std::uint64_t> pair_;            // defects x defects, upper triangle: path lengths
  std::vector<std::pair<std::uint64_t, std::uint32_t>> heap_;
  std::vector<std::uint64_t> best_;            // the subset recursion
  std::vector<std::uint32_t> choice_;
  std::vector<std::uint32_t> mates_;           // per defect
  std::vector<std::uint8_t> edge_used_;        // per decoding edge: on an odd number of paths; listed
  std::vector<EdgeId> used_;
  MinWeightMatching blossom_;
  std::size_t subset_limit_ = kSubsetLimit;
  std::size_t path_table_limit_ = kPathTableLimit;
  bool paths_kept_ = true;  // this call keeps every search's path tree
};

}  // namespace kelvane
