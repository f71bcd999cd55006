// A weighted Union-Find decoder over a shared DecodingGraph.
//
// The decoder is the per-thread part: scratch state sized to the graph, allocated at
// construction and reused by every decode. Make one decoder per thread over one shared graph.
// A decode
//   1. seeds one cluster per defect (fired detector index below the node count),
//   2. grows every odd cluster that does not touch the boundary, all at the same rate, along
//      its frontier edges (an edge between two such clusters grows from both ends), so edges
//      become fully grown in order of their remaining length; a fully grown edge merges its two
//      ends' clusters (union by size, path compression). Growth is event driven on a shared clock:
//      a cluster's accumulated growth is a linear function of the clock, and a node's share of
//      it is kept as an offset in the union-find tree, so an edge's growth is the sum of its two
//      ends' shares and needs no state of its own. Frontier nodes carry their next edge
//      completion time in a priority queue; times that became stale because a cluster stopped
//      growing are corrected lazily when popped, and only a part that starts growing is
//      rescanned. Growth ends once every cluster is even or touches the boundary, or once no
//      odd cluster has an edge left to grow along. A sparse syndrome whose clusters provably
//      settle at once (isolated pairs, lone nodes beside the boundary) skips growth and takes
//      the same edges directly (see "Timing and ties"),
//   3. peels each cluster's spanning tree of merge edges from the leaves inward (the tree of a
//      cluster that touches the boundary is rooted at the boundary node, which absorbs any
//      leftover parity), which yields the correction edges; their observables' parity is the
//      decoded observable mask. With cluster matching on, each cluster of at most
//      match_limit() fired nodes is corrected instead by an exact minimum-weight matching of
//      its fired nodes along shortest paths inside the cluster (see cluster_matching.h), which
//      chooses by path lengths where the spanning tree chooses by the order of the merges;
//      larger clusters, and clusters no correction explains, are still peeled.
// A decode touches only the part of the graph its clusters reach; scratch state is allocated at
// construction and only the entries a decode touched are reset afterwards.
//
// Correlated decoding (graphs built keeping their decomposed mechanisms) runs two passes: a
// plain decode, then, when some edge of its correction shares a decomposed mechanism with other
// edges, a second decode in which those other edges are shortened to the lengths the decoding
// graph lists for them (the least over the correction's edges, never longer than their own).
// The first correction includes the graph's baseline correction (edges of p > 0.5), as decoded.
// The shortened lengths live in the decoder's own copy of the adjacency lengths, written for
// the edges the first correction implies and put back after the second pass; rows holding a
// shortened edge are no longer sorted by length, so they are scanned whole, and the sparse
// shortcut (whose path bounds assume the graph's lengths) is not taken in the second pass.
//
// Timing and ties. Every length is even and every growing cluster grows one unit per unit of
// time, so completion times are exact whole times: a lone edge end reaching an edge of length
// L completes it after L, two clusters that grew from the start meet on it after L / 2. The
// one exception is an edge grown from both ends whose remaining length is odd, which needs a
// cluster that stopped to start growing again with shares of the other parity: it completes
// half a unit late, at the next whole time.
//
// Edges that complete at the same time merge in this order. Each frontier node queues one
// event, for the first entry of its row (rows are lightest first, then in edge order) among its
// edges that complete soonest. Events of equal time are taken in the order they were queued,
// the seeds' first, in node order. When a node's event comes up, its queued edge merges if
// neither of the edge's two clusters stopped growing since the event was queued; otherwise the
// node chooses again by the same rule (an edge that sped up since, because the cluster at its
// far end started growing, was queued by that far end). This order depends only on the clusters
// of one connected part of the graph: the boundary node joins no cluster (a cluster that reaches
// it is marked as touching it), so defects elsewhere never change a correction. The sparse-
// syndrome shortcut accepts a syndrome only when every comparison it makes is strict, so nothing
// it decides depends on this order, and it gives exactly the correction that growth gives.

#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "kelvane/decoder/cluster_matching.h"
#include "kelvane/decoder/decode_method.h"
#include "kelvane/decoder/decoder.h"
#include "kelvane/decoder/decoding_graph.h"
#include "kelvane/decoder/matching/matching_decoder.h"
#include "kelvane/decoder/radix_queue.h"
#include "kelvane/dem/graph.h"

namespace kelvane {

class UnionFindDecoder final : public Decoder {
 public:
  using NodeId = DecodingGraph::NodeId;
  using EdgeId = DecodingGraph::EdgeId;
  using GrowthLength = DecodingGraph::GrowthLength;
  using ObservableMask = DecodingGraph::ObservableMask;
  using GrowthTime = RadixQueue::Time;  // the shared growth clock, in growth units

  static constexpr double kUnitsPerWeight = DecodingGraph::kUnitsPerWeight;
  static constexpr GrowthLength kMaxLength = DecodingGraph::kMaxLength;
  static constexpr NodeId kNoNode = std::numeric_limits<NodeId>::max();
  static constexpr GrowthTime kNever = std::numeric_limits<GrowthTime>::max();

  // Shares `graph`. Never fails apart from memory exhaustion.
  explicit UnionFindDecoder(std::shared_ptr<const DecodingGraph> graph);
  // Compiles a decoding graph of its own from `graph` (for a single decoder).
  explicit UnionFindDecoder(std::shared_ptr<const SpacetimeGraph> graph);

  // Decodes the window's fired detectors (flat indices are node ids). An empty window or one
  // without a fired detector gives confidence 1.0 and no flips; otherwise confidence 0.9 and
  // one LogicalCorrection (Pauli code 3) per set bit of the mask, ascending. An unsatisfiable
  // syndrome gives valid = false and confidence 0.
  DecoderResult decode_window(const SyndromeWindow& window) override;

  // Decodes a list of fired detector indices and returns the observable mask. Each occurrence
  // of an index toggles that detector; indices at or beyond the node count, and the boundary
  // node's own index, are left out.
  // With `correlated`, decodes in two passes (see above); on a graph without correlations
  // that is a plain decode.
  ObservableMask decode_detectors(std::span<const std::uint32_t> fired, bool correlated = false);

  // The graph edge ids (positions in graph().edges) of the last decode's correction, in
  // peeling order (ascending instead on a graph with a baseline correction, which is included).
  // Each folded decoding edge is reported as the lowest-weight graph edge of its chosen
  // observable class.
  std::span<const std::uint32_t> last_correction_edges() const {
    return exact_on_ ? exact_->last_correction_edges() : std::span<const std::uint32_t>(correction_edges_);
  }
  // Every observable the last decode's correction flips, on graphs of any observable count (its
  // low word is what decode_detectors returned). Read from the correction's edges, so decodes of
  // graphs of at most 64 observables, which never ask, pay nothing for it.
  ObservableBits last_observables() const { return graph_->observables_of(last_correction_edges()); }
  // The last correction's weight: the sum of ln((1 - p) / p) over its decoding edges (parallel
  // edges folded, see decoding_graph.h), negative terms for baseline edges included.
  double last_weight() const { return graph_->weight_of(last_correction_edges()); }
  // True when every cluster of the last decode ended even or touching the boundary, so the
  // correction's syndrome equals the decoded syndrome. False means the syndrome is
  // unsatisfiable: some connected part of the graph without a boundary holds an odd number
  // of fired detectors, which no set of error mechanisms can flip.
  bool last_decode_neutral() const { return exact_on_ ? exact_->last_decode_neutral() : last_neutral_; }
  // True when the last decode took the sparse-syndrome shortcut instead of growing.
  bool last_decode_settled_at_once() const { return last_shortcut_; }
  // For analysing failures: with recording on, each decode keeps its final clusters, every node
  // it touched (the boundary left out) beside its cluster's root (a node the shortcut settled is
  // its own root). Off by default; recording costs a pass over the touched nodes.
  void record_clusters(bool on) { record_clusters_ = on; }
  std::span<const std::pair<NodeId, NodeId>> last_clusters() const { return clusters_; }

  // Cluster matching (see above): off by default. `max_defects` caps the fired nodes of a
  // cluster that is matched; matching k of them costs k shortest-path searches over the
  // cluster and a blossom matching on up to 2k nodes. Turning it on first allocates the
  // matcher's scratch (std::bad_alloc on memory exhaustion).
  // With `join_touching`, clusters that have neighbouring nodes are matched as one group, so
  // defects that growth left in two touching clusters can pair: fewer errors again, for larger
  // groups and more time.
  static constexpr std::size_t kDefaultMatchLimit = 256;
  void set_cluster_matching(bool on, std::size_t max_defects = kDefaultMatchLimit, bool join_touching = false);
  // Which of the matcher's two exact pairings a cluster gets (see cluster_matching.h): tests
  // set 0 to send every cluster to the blossom algorithm. Needs cluster matching turned on.
  void set_subset_limit(std::size_t limit) { matcher_->set_subset_limit(limit); }
  // How many path-tree entries the matcher keeps before it searches again instead (see
  // cluster_matching.h): tests set 0 to take the second way for every cluster.
  void set_path_table_limit(std::size_t entries) { matcher_->set_path_table_limit(entries); }
  bool cluster_matching() const { return match_limit_ != 0; }
  std::size_t match_limit() const { return match_limit_; }

  // The decoding method: Union-Find (the default), or exact minimum-weight matching, which
  // decode_detectors (correlated or not), decode_window and the last_* results above then run
  // and report through a MatchingDecoder over the same graph (made when first chosen;
  // std::bad_alloc on memory exhaustion). Cluster matching and the cluster record apply to
  // Union-Find only.
  void set_method(DecodeMethod method);
  DecodeMethod method() const { return exact_on_ ? DecodeMethod::kMatching : DecodeMethod::kUnionFind; }
  // The matching decoder once built (kept when Union-Find is chosen again), or null.
  const MatchingDecoder* matcher() const { return exact_.get(); }

  const SpacetimeGraph& graph() const { return graph_->source(); }
  const std::shared_ptr<const DecodingGraph>& decoding_graph() const { return graph_; }
  std::size_t node_count() const { return graph_->node_count(); }
  std::size_t decoding_edge_count() const { return graph_->edges().size(); }

 private:
  struct TreeLink {
    EdgeId edge = 0;
    NodeId other = 0;
    std::uint32_t next = 0;  // next link of the same node, or kNoNode
  };
  // An edge a frontier node grows along, seen from that node: its entry in the node's
  // adjacency row (the decoding edge is looked up only if it merges) and its far end.
  struct Step {
    std::uint32_t entry = 0;
    NodeId other = 0;
  };
  // A frontier node's queued event: when its next edge completes, which edge, and merge_count_
  // when it was queued. time is kNever when nothing is queued.
  struct Pending {
    GrowthTime time = kNever;
    std::uint64_t at_merge = 0;
    Step step;
  };
  enum NodeFlag : std::uint8_t {
    kTouched = 1,
    kOdd = 2,              // roots: the cluster holds an odd number of defects
    kTouchesBoundary = 4,  // roots: the cluster contains the boundary node
    kDefect = 8,           // any node: its detector is (still) flipped, used while peeling
    kVisited = 16,         // peeling
    kHasSeed = 32,         // roots: the cluster holds a node that was fired
    kPaused = 64,          // roots: some fired node of the cluster has stopped growing once
  };

  void touch(NodeId node);
  NodeId find(NodeId node) {
    const NodeId up = nodes_[node].parent;
    if (up == node || nodes_[up].parent == up) return up;
    return find_deep(node);
  }
  NodeId find_deep(NodeId node);
  bool is_active_root(NodeId root) const {
    return (nodes_[root].flags & (kOdd | kTouchesBoundary)) == kOdd;
  }
  // Merges the clusters of roots a and b across the edge `step` from node `from` at the
  // current time; returns the new root. Frontier lists are left to the caller.
  NodeId unite(NodeId a, NodeId b, Step step, NodeId from);
  void join_frontiers(NodeId root, NodeId head, NodeId tail);
  // Growth a touched node's side has contributed to its edges by now; `root` is its root, and
  // find(node) must have run since the last merge.
  std::int64_t share(NodeId node, NodeId root) const {
    const RootState& r = roots_[root];
    std::int64_t grown = r.acc - nodes_[root].offset;
    if (node != root) grown -= nodes_[node].offset;
    if (is_active_root(root)) grown += static_cast<std::int64_t>(now_ - r.acc_time);
    return grown;
  }
  // Bit i set where entry i of a row of at most 64 entries leads to a touched node. Gathered
  // without a data-dependent branch: most far ends are untouched, and a branch on each would
  // be mispredicted often.
  // Four entries a step, each at a fixed shift: rows hold about a dozen entries.
  std::uint64_t touched_bits_of(const DecodingGraph::Neighbour* row, std::uint32_t count) const {
    const std::uint8_t* const touched = touched_.data();
    std::uint64_t bits = 0;
    std::uint32_t i = 0;
    for (; i + 4 <= count; i += 4) {
      const std::uint64_t four = std::uint64_t{touched[row[i].other]} | std::uint64_t{touched[row[i + 1].other]} << 1 |
                                 std::uint64_t{touched[row[i + 2].other]} << 2 |
                                 std::uint64_t{touched[row[i + 3].other]} << 3;
      bits |= four << i;
    }
    for (; i < count; ++i) bits |= std::uint64_t{touched[row[i].other]} << i;
    return bits;
  }
  // The earliest completion time of the node's edges that leave its cluster and grow, or
  // kNever; `step` receives that edge. `on_frontier` tells whether any edge leaves the
  // cluster, growing or not.
  GrowthTime next_completion(NodeId node, Step& step, bool& on_frontier) {
    if (reweighting_ && reweighted_[node]) return next_completion_of<true>(node, step, on_frontier);
    return next_completion_of<false>(node, step, on_frontier);
  }
  // kReweighted: the node's row holds shortened edges, read from entry_length_ in row order.
  template <bool kReweighted>
  GrowthTime next_completion_of(NodeId node, Step& step, bool& on_frontier);
  // True when `other`, the far end of the node's queued edge, is in another cluster and no part of either
  // cluster stopped growing after `merges` merges.
  bool unchanged_since(NodeId node, NodeId other, std::uint64_t merges);
  // Forgets the queued events of the fired nodes in the frontier list starting at `head`.
  void drop_seed_events(NodeId head);
  // Queues an event for the node at `when`, when `step` completes, unless an earlier one is
  // queued already.
  void schedule(NodeId node, GrowthTime when, Step step);
  // Schedules every node of the frontier list [head, tail], dropping interior nodes from it.
  void schedule_frontier(NodeId& head, NodeId& tail);
  // When every fired node's cluster is settled before it can meet any other (see the .cc),
  // sets `mask` to the correction's observables, exactly as growth would, and returns true.
  bool decode_isolated(ObservableMask& mask);
  void grow();
  ObservableMask peel();
  // Corrects the clusters cluster matching takes, marking their nodes visited and clearing
  // their defects so that peel() passes them by; returns their observables.
  ObservableMask match_clusters();
  void reset_scratch();
  void save_clusters();
  // One decode of `fired` with the current lengths.
  ObservableMask decode_pass(std::span<const std::uint32_t> fired);
  // Adds the graph's baseline correction (there is one) to the last pass's correction and to
  // `mask`.
  ObservableMask add_baseline(ObservableMask mask);
  // Shortens the edges correlated with the last correction's edges; false when none shortens.
  bool reweigh();
  // Puts the lengths reweigh() changed back.
  void restore_lengths();

  std::shared_ptr<const DecodingGraph> graph_;
  NodeId boundary_ = 0;
  std::size_t slot_count_ = 0;
  bool has_baseline_ = false;  // the graph's, kept beside what every decode reads

  // Per-node scratch. A root's accumulated growth is `acc` at time `acc_time`, rising by 1 per
  // time unit while the cluster is active; a node's share is that accumulated growth minus the
  // sum of `offset` along its path to the root (root included). What the growth loop reads for
  // every edge is kept small and apart from what only roots use.
  struct NodeState {
    NodeId parent = 0;
    std::uint8_t flags = 0;  // NodeFlag bits
    std::int64_t offset = 0;
  };
  struct RootState {
    std::int64_t acc = 0;
    GrowthTime acc_time = 0;
    std::uint64_t formed_at = 0;  // merge_count_ when some part of the cluster last stopped growing
    std::uint32_t cluster_size = 0;
  };
  std::vector<NodeState> nodes_;
  // 1 for the nodes this decode touched (also kTouched in their flags): a byte per node, so
  // that the growth loop's test of every neighbour reads a small array.
  std::vector<std::uint8_t> touched_;
  std::vector<RootState> roots_;  // meaningful for roots only
  std::vector<NodeId> frontier_next_;  // intrusive list of a cluster's frontier nodes
  std::vector<NodeId> frontier_head_;  // roots
  std::vector<NodeId> frontier_tail_;  // roots
  std::vector<std::uint32_t> tree_head_;
  std::vector<EdgeId> peel_edge_;     // edge to the BFS parent while peeling
  std::vector<NodeId> peel_parent_;
  std::vector<Pending> pending_;  // per node
  std::uint64_t merge_count_ = 0;     // merges so far (never reset: only compared)
  GrowthTime now_ = 0;
  RadixQueue events_;  // frontier nodes by next completion time

  // Lists reused by every decode.
  std::vector<NodeId> touched_nodes_;
  std::vector<NodeId> active_roots_;
  std::vector<TreeLink> tree_links_;
  std::vector<NodeId> peel_order_;
  std::vector<NodeId> find_path_;
  std::vector<std::uint32_t> correction_edges_;
  std::vector<std::uint32_t> window_fired_;
  std::vector<std::uint32_t> row_scratch_;  // positions within one adjacency row
  struct Isolated {
    NodeId partner;         // the fired neighbour it pairs with, or the boundary
    std::uint32_t entry;    // the row entry of the edge it settles along
    std::uint64_t settled;  // twice the growth time at which its cluster stops
  };
  std::vector<Isolated> isolated_;  // per fired node of decode_isolated
  bool last_neutral_ = true;

  // Correlated decoding. The decoding edges of the last correction; the adjacency lengths with
  // this shot's shortenings (sized only on graphs with correlations); which nodes' rows hold a
  // shortened entry; and what to put back.
  std::vector<EdgeId> correction_decoding_edges_;
  std::vector<EdgeId> first_correction_;  // with the baseline: the grown and baseline edges' sum
  std::vector<GrowthLength> entry_length_;
  std::vector<std::uint8_t> reweighted_;
  std::vector<NodeId> reweighted_nodes_;
  std::vector<EdgeId> reweighted_edges_;
  DecodingGraph::CorrelationScratch correlation_scratch_;  // entries of edges of large mechanisms
  bool reweighting_ = false;  // in the second pass
  bool last_shortcut_ = false;
  bool record_clusters_ = false;
  std::vector<std::pair<NodeId, NodeId>> clusters_;

  // Cluster matching: the matcher (made when first turned on), the cap (0: off), and touched
  // nodes by root, one cluster's nodes and fired nodes, and its matched edges.
  std::unique_ptr<ClusterMatcher> matcher_;
  std::size_t match_limit_ = 0;
  std::vector<std::pair<NodeId, NodeId>> by_root_;
  std::vector<NodeId> cluster_nodes_;
  std::vector<NodeId> cluster_defects_;
  std::vector<EdgeId> matched_edges_;
  bool join_touching_ = false;
  std::vector<NodeId> joined_;

  // The exact matching decoder, when chosen (set_method).
  std::unique_ptr<MatchingDecoder> exact_;
  bool exact_on_ = false;  // join_touching_: a union-find over cluster roots
};

}  // namespace kelvane
