// Maximum-weight matching of a small general graph: Edmonds' primal-dual blossom algorithm with
// integer weights.
//
// The matching decoder hands it one connected group of fired detectors at a time, with an edge
// for each pair worth pairing and a positive weight (the length saved by pairing the two instead
// of sending both to the boundary, see matching_decoder.h), and takes a maximum-weight matching,
// not necessarily perfect.
//
// The algorithm keeps a dual solution feasible and grows alternating trees from every exposed
// vertex: vertex duals U (all starting at the largest weight) and, for each odd blossom, a dual Z,
// both stored doubled so that every step is a whole number; an edge's slack is
// U(u) + U(v) - 2 w(u, v) (edges inside a blossom are tight and never looked at). Passes over
// the edges take every step the duals allow, then one more pass finds the least dual change
// that allows another:
//   1. an outer vertex's dual reaches zero: the matching is of maximum weight, stop;
//   2. an edge from an outer vertex to a vertex in no tree becomes tight: the vertex's blossom
//      joins the tree as inner, its mate as outer;
//   3. an edge between two outer blossoms becomes tight: in one tree it closes an odd cycle,
//      which becomes a new outer blossom; across two trees it is an augmenting path, and the
//      matching grows by one edge along it (ending the stage);
//   4. an inner blossom's dual reaches zero: it is split into its children, those on the
//      even path from where the tree enters it to its base taking alternating labels.
// At the end of a stage every top-level blossom of dual zero is split. Each stage costs
// O(n (n + m)) and there are at most n stages: meant for groups of tens to a few hundred
// vertices, which the decoder's groups are.
//
// Scratch state is kept between calls; solve() allocates only when a graph is larger than any
// before (std::bad_alloc on memory exhaustion).
#pragma once

#include <cstdint>
#include <vector>

namespace kelvane::matching {

class BlossomMatching {
 public:
  using Weight = std::int64_t;
  static constexpr std::int32_t kNone = -1;

  // Starts a graph of `vertices` vertices and no edges.
  void reset(std::size_t vertices);
  // Adds the edge u - v (u != v, both below the vertex count) of weight w > 0. Weights must stay
  // below 2^60. Parallel edges are allowed (the heavier one counts).
  void add_edge(std::int32_t u, std::int32_t v, Weight w);
  // Finds a maximum-weight matching of the graph.
  void solve();
  // The vertex matched to v, or kNone.
  std::int32_t mate(std::int32_t v) const { return mate_[v]; }
  // After solve() on a graph with edges: vertex v's dual, doubled (see above). With the blossom
  // duals, every edge's slack U(u) + U(v) + (duals of blossoms holding both) - 2 w is at least
  // zero, zero on matched edges, and U is zero on unmatched vertices.
  Weight dual(std::int32_t v) const { return dual_[v]; }

 private:
  enum Label : std::uint8_t { kFree = 0, kOuter = 1, kInner = 2 };
  struct Edge {
    std::int32_t u, v;
    Weight w;
  };
  // A link between two consecutive children of a blossom: `from` in child i, `to` in child i + 1
  // (the last child's link leads to child 0).
  struct Link {
    std::int32_t from, to;
  };

  bool run_stage();
  // Splits the top-level blossoms of dual zero after an augmentation; returns true.
  bool finish_stage();
  void assign_label(std::int32_t vertex, Label label, std::int32_t from);
  // The outer blossom holding vertex `v`'s tree parent's parent, or kNone at a tree root.
  std::int32_t outer_parent(std::int32_t b) const;
  // The lowest outer blossom the trees of v and w share, or kNone when they are two trees.
  std::int32_t common_outer(std::int32_t v, std::int32_t w);
  void add_blossom(std::int32_t top, std::int32_t v, std::int32_t w);
  void augment(std::int32_t v, std::int32_t w);
  // Rematches blossom b's inside so that vertex v becomes its base.
  void rebase(std::int32_t b, std::int32_t v);
  // Splits top-level blossom b into its children; `relabel` labels them as a split inner
  // blossom's (see above).
  void expand(std::int32_t b, bool relabel);
  // The child of blossom b holding vertex v.
  std::int32_t child_of(std::int32_t b, std::int32_t v) const;
  void set_top(std::int32_t b, std::int32_t top);  // every vertex under b now lies in top

  std::size_t n_ = 0;
  std::vector<Edge> edges_;
  std::vector<std::int32_t> mate_;
  std::vector<Weight> dual_;          // 2n slots: vertices, then blossoms
  std::vector<std::int32_t> top_;     // per vertex: its top-level blossom (itself when none)
  std::vector<std::int32_t> parent_;  // per slot: the blossom holding it, or kNone
  std::vector<std::int32_t> base_;    // per slot
  std::vector<Label> label_;          // per top-level slot
  std::vector<std::int32_t> label_from_;  // the vertex outside the blossom it was labelled from
  std::vector<std::int32_t> label_to_;    // the vertex inside it the label came through
  std::vector<std::vector<std::int32_t>> children_;  // per blossom, base child first
  std::vector<std::vector<Link>> links_;
  std::vector<std::int32_t> free_blossoms_;
  std::vector<std::uint32_t> mark_;
  std::uint32_t stamp_ = 0;
  std::vector<std::int32_t> scratch_, scratch2_;
};

}  // namespace kelvane::matching
