#include "kelvane/decoder/union_find.h"

#include "kelvane/decoder/cancel_pairs.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

namespace kelvane {

UnionFindDecoder::UnionFindDecoder(std::shared_ptr<const SpacetimeGraph> graph)
    : UnionFindDecoder(std::make_shared<const DecodingGraph>(std::move(graph))) {}

UnionFindDecoder::UnionFindDecoder(std::shared_ptr<const DecodingGraph> graph)
    : graph_(std::move(graph)),
      boundary_(graph_->boundary()),
      slot_count_(graph_->slot_count()),
      has_baseline_(graph_->has_baseline()) {
  nodes_.assign(slot_count_, NodeState{});
  touched_.assign(slot_count_, 0);
  roots_.assign(slot_count_, RootState{});
  frontier_next_.resize(slot_count_);
  frontier_head_.resize(slot_count_);
  frontier_tail_.resize(slot_count_);
  tree_head_.resize(slot_count_);
  peel_edge_.resize(slot_count_);
  peel_parent_.resize(slot_count_);
  pending_.assign(slot_count_, Pending{});

  touched_nodes_.reserve(slot_count_);
  active_roots_.reserve(slot_count_);
  tree_links_.reserve(2 * slot_count_);
  peel_order_.reserve(slot_count_);
  find_path_.reserve(64);
  correction_edges_.reserve(slot_count_);
  isolated_.reserve(slot_count_);
  std::size_t widest_row = 0;
  for (std::size_t node = 0; node < slot_count_; ++node) {
    widest_row = std::max<std::size_t>(
        widest_row, static_cast<std::size_t>(graph_->row_end(static_cast<NodeId>(node)) -
                                             graph_->row_begin(static_cast<NodeId>(node))));
  }
  row_scratch_.resize(widest_row);
  correction_decoding_edges_.reserve(slot_count_);
  if (graph_->has_correlations()) {
    entry_length_.resize(graph_->entry_count());
    for (std::uint32_t k = 0; k < entry_length_.size(); ++k) entry_length_[k] = graph_->entry(k).length;
    reweighted_.assign(slot_count_, 0);
  }
}

void UnionFindDecoder::touch(NodeId node) {
  if (touched_[node]) return;
  touched_[node] = 1;
  nodes_[node].parent = node;
  roots_[node].cluster_size = 1;
  roots_[node].acc = 0;
  roots_[node].acc_time = now_;
  nodes_[node].offset = 0;
  roots_[node].formed_at = 0;
  tree_head_[node] = kNoNode;
  frontier_next_[node] = kNoNode;
  if (node == boundary_) {
    nodes_[node].flags = kTouched | kTouchesBoundary;
    frontier_head_[node] = kNoNode;
    frontier_tail_[node] = kNoNode;
  } else {
    nodes_[node].flags = kTouched;
    frontier_head_[node] = node;
    frontier_tail_[node] = node;
  }
  touched_nodes_.push_back(node);
}

UnionFindDecoder::NodeId UnionFindDecoder::find_deep(NodeId node) {
  // Full path compression: every node on the path ends up a child of the root, its offset
  // becoming the sum of the offsets below the root along its old path.
  find_path_.clear();
  NodeId x = node;
  while (nodes_[x].parent != x) {
    find_path_.push_back(x);
    x = nodes_[x].parent;
  }
  const NodeId root = x;
  // find_path_.back() is a child of the root already; walk down from the one below it.
  for (std::size_t i = find_path_.size() - 1; i-- > 0;) {
    const NodeId z = find_path_[i];
    nodes_[z].offset += nodes_[nodes_[z].parent].offset;
    nodes_[z].parent = root;
  }
  return root;
}

UnionFindDecoder::NodeId UnionFindDecoder::unite(NodeId a, NodeId b, Step step, NodeId from) {
  // The boundary node stays a set of its own: a cluster that reaches it takes its flag and a
  // tree link to it. So clusters that reach the boundary in unrelated parts of the graph never
  // share a root, whose changes would re-time each other's queued events.
  const bool to_boundary = a == boundary_ || b == boundary_;
  if (a == boundary_ || (!to_boundary && roots_[a].cluster_size < roots_[b].cluster_size)) {
    std::swap(a, b);
  }
  const std::uint64_t merge = ++merge_count_;
  const auto accumulated = [&](NodeId root) {
    const RootState& r = roots_[root];
    return is_active_root(root) ? r.acc + static_cast<std::int64_t>(now_ - r.acc_time) : r.acc;
  };
  const std::int64_t acc_a = accumulated(a);
  roots_[a].acc = acc_a;
  roots_[a].acc_time = now_;
  const std::uint8_t fa = nodes_[a].flags;
  constexpr std::uint8_t kCarried = kTouchesBoundary | kHasSeed | kPaused;
  std::uint8_t merged;
  if (to_boundary) {
    merged = static_cast<std::uint8_t>((fa & (kOdd | kCarried)) | kTouchesBoundary);
  } else {
    roots_[a].formed_at = std::max(roots_[a].formed_at, roots_[b].formed_at);
    const std::int64_t acc_b = accumulated(b);
    // Keep every node's share unchanged across the merge: b's subtree moves under a.
    nodes_[b].offset += acc_a - acc_b - nodes_[a].offset;
    nodes_[b].parent = a;
    roots_[a].cluster_size += roots_[b].cluster_size;
    const std::uint8_t fb = nodes_[b].flags;
    merged = static_cast<std::uint8_t>(((fa ^ fb) & kOdd) | ((fa | fb) & kCarried));
  }
  // A cluster holding seeds that does not grow pauses them for good.
  if ((merged & kHasSeed) && (merged & (kOdd | kTouchesBoundary)) != kOdd) merged |= kPaused;
  nodes_[a].flags = static_cast<std::uint8_t>((fa & ~(kOdd | kCarried)) | merged);
  // A cluster that stops growing leaves its nodes' queued times early. One that keeps growing
  // changes no growth rate of the part that grew already, and the part that starts growing is
  // queued afresh by the caller.
  if (!is_active_root(a)) roots_[a].formed_at = merge;
  // The merge edge joins the spanning tree that peeling walks.
  const auto link_count = static_cast<std::uint32_t>(tree_links_.size());
  const EdgeId edge = graph_->edge_at(step.entry);
  tree_links_.push_back({edge, step.other, tree_head_[from]});
  tree_head_[from] = link_count;
  tree_links_.push_back({edge, from, tree_head_[step.other]});
  tree_head_[step.other] = link_count + 1;
  return a;
}

void UnionFindDecoder::join_frontiers(NodeId root, NodeId head, NodeId tail) {
  if (head == kNoNode) return;
  if (frontier_head_[root] == kNoNode) {
    frontier_head_[root] = head;
  } else {
    frontier_next_[frontier_tail_[root]] = head;
  }
  frontier_tail_[root] = tail;
}

template <bool kReweighted>
UnionFindDecoder::GrowthTime UnionFindDecoder::next_completion_of(NodeId node, Step& step,
                                                                  bool& on_frontier) {
  const NodeId root = find(node);
  const bool own_active = is_active_root(root);
  const std::int64_t own_share = share(node, root);
  const DecodingGraph& g = *graph_;
  const DecodingGraph::Neighbour* const row = g.row_begin(node);
  const auto count = static_cast<std::uint32_t>(g.row_end(node) - row);
  const std::uint8_t* const touched = touched_.data();
  const GrowthLength* const lengths = kReweighted ? entry_length_.data() + g.entry_of(row) : nullptr;
  auto length_at = [&](std::uint32_t i) -> GrowthLength {
    if constexpr (kReweighted) {
      return lengths[i];
    } else {
      return row[i].length;
    }
  };
  // In a row with shortened entries the lightest untouched entry (the first in row order among
  // equals) is found by a scan.
  auto lightest_of = [&](std::uint32_t i, auto&& next_untouched) {
    if constexpr (kReweighted) {
      std::uint32_t best_i = i;
      for (std::uint32_t j = next_untouched(i); j < count; j = next_untouched(j)) {
        if (lengths[j] < lengths[best_i]) best_i = j;
      }
      return best_i;
    } else {
      (void)next_untouched;
      return i;
    }
  };

  GrowthTime best = kNever;  // the growth still needed, relative to now, of the best edge
  std::uint32_t best_at = count;
  bool frontier = false;
  // Rows are sorted lightest first, so the first entry whose far end is untouched is the
  // lightest edge to an untouched node. An untouched node is a cluster of its own that does not
  // grow, so its edge leaves this cluster and grows from this end only.
  auto weigh_untouched = [&](std::uint32_t i) {
    frontier = true;
    if (!own_active) return;
    const std::int64_t remaining = static_cast<std::int64_t>(length_at(i)) - own_share;
    best = remaining > 0 ? static_cast<GrowthTime>(remaining) : 0;
    best_at = i;
  };
  // An entry whose far end is touched: an edge to another cluster, grown from either end, or
  // an edge inside this one. Called in row order.
  auto weigh_touched = [&](std::uint32_t i) {
    const NodeId other = row[i].other;
    const NodeId other_root = find(other);
    if (other_root == root) return;
    frontier = true;
    const bool other_active = is_active_root(other_root);
    if (!own_active && !other_active) return;
    const std::int64_t remaining =
        static_cast<std::int64_t>(length_at(i)) - own_share - share(other, other_root);
    GrowthTime need;
    if (remaining <= 0) {
      need = 0;
    } else if (own_active && other_active) {
      // Grown from both ends. The remaining length is even unless a cluster resumed growing
      // with a share of the other parity; then the completion is rounded up half a unit.
      need = static_cast<GrowthTime>(remaining + 1) / 2;
    } else {
      need = static_cast<GrowthTime>(remaining);
    }
    // Among equal needs the entry first in the row wins.
    if (need < best || (need == best && i < best_at)) {
      best = need;
      best_at = i;
    }
  };
  // Which far ends are touched is gathered first without a data-dependent branch (most are
  // untouched, and a branch on each would be mispredicted often): as a bit mask for rows of up
  // to 64 entries, as a list of positions otherwise.
  if (count <= 64) {
    const std::uint64_t touched_bits = touched_bits_of(row, count);
    const std::uint64_t all = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    if (const std::uint64_t untouched_bits = all & ~touched_bits) {
      weigh_untouched(lightest_of(static_cast<std::uint32_t>(std::countr_zero(untouched_bits)),
                                  [&](std::uint32_t j) -> std::uint32_t {
                                    const std::uint64_t rest = untouched_bits & ~((std::uint64_t{2} << j) - 1);
                                    return rest ? static_cast<std::uint32_t>(std::countr_zero(rest)) : count;
                                  }));
    }
    for (std::uint64_t bits = touched_bits; bits != 0; bits &= bits - 1) {
      weigh_touched(static_cast<std::uint32_t>(std::countr_zero(bits)));
    }
  } else {
    std::uint32_t* const touched_at = row_scratch_.data();
    std::uint32_t touched_count = 0;
    std::uint32_t untouched_at = count;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t t = touched[row[i].other];
      touched_at[touched_count] = i;
      touched_count += t;
      untouched_at = (!t && untouched_at == count) ? i : untouched_at;
    }
    if (untouched_at < count) {
      weigh_untouched(lightest_of(untouched_at, [&](std::uint32_t j) {
        for (++j; j < count && touched[row[j].other]; ++j) {
        }
        return j;
      }));
    }
    for (std::uint32_t k = 0; k < touched_count; ++k) weigh_touched(touched_at[k]);
  }
  on_frontier = frontier;
  if (best_at == count) return kNever;
  step = {g.entry_of(row + best_at), row[best_at].other};
  return now_ + best;
}

bool UnionFindDecoder::unchanged_since(NodeId node, NodeId other, std::uint64_t merges) {
  const NodeId root = find(node);
  if (roots_[root].formed_at > merges) return false;
  if (!touched_[other]) return true;
  const NodeId other_root = find(other);
  return other_root != root && roots_[other_root].formed_at <= merges;
}

void UnionFindDecoder::drop_seed_events(NodeId head) {
  for (NodeId z = head; z != kNoNode; z = frontier_next_[z]) {
    if (nodes_[z].flags & kDefect) pending_[z].time = kNever;
  }
}

void UnionFindDecoder::schedule(NodeId node, GrowthTime when, Step step) {
  Pending& pending = pending_[node];
  if (when >= pending.time) return;  // an earlier event is queued already
  pending = {when, merge_count_, step};
  events_.push(when, node);
}

void UnionFindDecoder::schedule_frontier(NodeId& head, NodeId& tail) {
  NodeId prev = kNoNode;
  NodeId x = head;
  while (x != kNoNode) {
    const NodeId next = frontier_next_[x];
    bool on_frontier = false;
    Step step;
    const GrowthTime when = next_completion(x, step, on_frontier);
    if (when != kNever) schedule(x, when, step);
    if (on_frontier) {
      prev = x;
    } else {
      if (prev == kNoNode) {
        head = next;
      } else {
        frontier_next_[prev] = next;
      }
      if (tail == x) tail = prev;
    }
    x = next;
  }
}

void UnionFindDecoder::grow() {
  std::size_t active_count = active_roots_.size();
  for (NodeId root : active_roots_) {
    schedule_frontier(frontier_head_[root], frontier_tail_[root]);
  }
  while (active_count > 0 && !events_.empty()) {
    const RadixQueue::Event event = events_.pop();
    Pending& pending = pending_[event.id];
    if (event.time != pending.time) continue;  // superseded by an earlier event
    pending.time = kNever;
    now_ = event.time;
    const NodeId x = event.id;
    // If neither x's cluster nor the cluster at the far end of the queued edge changed since
    // the event was queued, that edge completes now. (An edge of x that sped up since belongs
    // to a cluster that started growing, whose own nodes were queued then.)
    Step step = pending.step;
    bool queued_edge_holds = unchanged_since(x, step.other, pending.at_merge);
    while (active_count > 0) {
      if (!queued_edge_holds) {
        bool on_frontier = false;
        const GrowthTime when = next_completion(x, step, on_frontier);
        if (when == kNever) break;  // nothing grows from this node any more
        if (when > now_) {
          // The queued time was early (a cluster stopped growing since): queue the true one.
          schedule(x, when, step);
          break;
        }
      }
      queued_edge_holds = false;
      touch(step.other);  // x itself is touched: it is on a frontier
      const NodeId a = find(x);
      const NodeId b = find(step.other);
      const bool a_active = is_active_root(a);
      const bool b_active = is_active_root(b);
      // A part grew without pause since decoding began when it is active and none of its
      // fired nodes ever stopped.
      const bool a_steady = a_active && !(nodes_[a].flags & kPaused);
      const bool b_steady = b_active && !(nodes_[b].flags & kPaused);
      NodeId a_head = frontier_head_[a], a_tail = frontier_tail_[a];
      NodeId b_head = frontier_head_[b], b_tail = frontier_tail_[b];
      const NodeId root = unite(a, b, step, x);
      const bool active = is_active_root(root);
      active_count = active_count + active - a_active - b_active;
      // A part that starts growing needs completion times; a part that stops keeps its
      // (now early) events, which are corrected when they come up.
      if (active && !a_active) schedule_frontier(a_head, a_tail);
      if (active && !b_active) schedule_frontier(b_head, b_tail);
      // When fired nodes that grew without pause since the start stop growing, every
      // neighbour that still grows looked at its edge to them while they grew, so the
      // neighbour's queued time is early enough: their own events can go. (The two parts'
      // frontier lists are still apart here.)
      const bool stop_x =
          !active && a_steady && (nodes_[x].flags & kDefect);
      if (!active) {
        if (a_steady) drop_seed_events(a_head);
        if (b_steady) drop_seed_events(b_head);
      }
      frontier_head_[root] = kNoNode;
      frontier_tail_[root] = kNoNode;
      join_frontiers(root, a_head, a_tail);
      join_frontiers(root, b_head, b_tail);
      if (stop_x) break;
    }
  }
}

UnionFindDecoder::ObservableMask UnionFindDecoder::peel() {
  ObservableMask mask = 0;
  auto peel_tree = [&](NodeId root) {
    peel_order_.clear();
    peel_order_.push_back(root);
    nodes_[root].flags |= kVisited;
    for (std::size_t i = 0; i < peel_order_.size(); ++i) {
      const NodeId x = peel_order_[i];
      for (std::uint32_t link = tree_head_[x]; link != kNoNode; link = tree_links_[link].next) {
        const NodeId y = tree_links_[link].other;
        if (nodes_[y].flags & kVisited) continue;
        nodes_[y].flags |= kVisited;
        peel_parent_[y] = x;
        peel_edge_[y] = tree_links_[link].edge;
        peel_order_.push_back(y);
      }
    }
    // Leaves inward: a node still flipped hands its flip to its parent across the tree edge.
    for (std::size_t i = peel_order_.size(); i-- > 1;) {
      const NodeId y = peel_order_[i];
      if (!(nodes_[y].flags & kDefect)) continue;
      nodes_[y].flags &= static_cast<std::uint8_t>(~kDefect);
      nodes_[peel_parent_[y]].flags ^= kDefect;
      const DecodingGraph::Edge& e = graph_->edge(peel_edge_[y]);
      mask ^= e.observables;
      correction_edges_.push_back(e.graph_edge);
      correction_decoding_edges_.push_back(peel_edge_[y]);
    }
    if (root != boundary_ && (nodes_[root].flags & kDefect)) last_neutral_ = false;
  };
  peel_tree(boundary_);
  for (std::size_t i = 0; i < touched_nodes_.size(); ++i) {
    const NodeId node = touched_nodes_[i];
    if (!(nodes_[node].flags & kVisited)) peel_tree(node);
  }
  return mask;
}

void UnionFindDecoder::set_cluster_matching(bool on, std::size_t max_defects, bool join_touching) {
  if (on && !matcher_) matcher_ = std::make_unique<ClusterMatcher>(*graph_);
  if (on && join_touching) joined_.resize(slot_count_);
  match_limit_ = on ? max_defects : 0;
  join_touching_ = on && join_touching;
}

UnionFindDecoder::ObservableMask UnionFindDecoder::match_clusters() {
  ObservableMask mask = 0;
  by_root_.clear();
  if (join_touching_) {
    // Clusters with neighbouring nodes are joined (a union-find over their roots, flat enough
    // at these sizes with path halving) and matched as one group.
    for (NodeId node : touched_nodes_) joined_[find(node)] = find(node);
    auto top = [&](NodeId x) {
      while (joined_[x] != x) x = joined_[x] = joined_[joined_[x]];
      return x;
    };
    for (NodeId node : touched_nodes_) {
      if (node == boundary_) continue;
      for (const DecodingGraph::Neighbour* p = graph_->row_begin(node); p != graph_->row_end(node); ++p) {
        if (p->other == boundary_ || !touched_[p->other]) continue;
        const NodeId a = top(find(node)), b = top(find(p->other));
        if (a != b) joined_[b] = a;
      }
    }
    for (NodeId node : touched_nodes_) {
      if (node != boundary_) by_root_.emplace_back(top(find(node)), node);
    }
  } else {
    for (NodeId node : touched_nodes_) {
      if (node != boundary_) by_root_.emplace_back(find(node), node);
    }
  }
  std::sort(by_root_.begin(), by_root_.end());
  const GrowthLength* const lengths = reweighting_ ? entry_length_.data() : nullptr;
  for (std::size_t i = 0; i < by_root_.size();) {
    cluster_nodes_.clear();
    cluster_defects_.clear();
    const NodeId root = by_root_[i].first;
    for (; i < by_root_.size() && by_root_[i].first == root; ++i) {
      const NodeId node = by_root_[i].second;
      cluster_nodes_.push_back(node);
      if (nodes_[node].flags & kDefect) cluster_defects_.push_back(node);
    }
    if (cluster_defects_.empty() || cluster_defects_.size() > match_limit_) continue;
    matched_edges_.clear();
    if (!matcher_->match(cluster_nodes_, cluster_defects_, lengths, matched_edges_)) continue;
    for (const EdgeId id : matched_edges_) {
      const DecodingGraph::Edge& e = graph_->edge(id);
      mask ^= e.observables;
      correction_edges_.push_back(e.graph_edge);
      correction_decoding_edges_.push_back(id);
    }
    for (const NodeId node : cluster_nodes_) {
      nodes_[node].flags = static_cast<std::uint8_t>((nodes_[node].flags | kVisited) & ~kDefect);
    }
  }
  return mask;
}

void UnionFindDecoder::reset_scratch() {
  for (NodeId node : touched_nodes_) {
    nodes_[node].flags = 0;
    touched_[node] = 0;
    pending_[node].time = kNever;
  }
  events_.clear();
  touched_nodes_.clear();
  tree_links_.clear();
  active_roots_.clear();
}

// Sparse syndromes often settle at once: each fired node either pairs with its only fired
// neighbour, the two clusters meeting halfway along their edge at half its length, or, with no
// fired neighbour, grows alone into the boundary along its boundary edge. Growth does exactly
// that when nothing else reaches a cluster before it settles, and then nothing grows after:
//  - a pair (a, b) with edge length L settles at L/2 (a whole time: lengths are even): a
//    boundary edge of a or b must be longer than L/2, and every path of two or more edges from
//    a or b longer than L (the two-hop bound), so that no other route joins them or reaches
//    the boundary first;
//  - a lone node a with boundary edge length B settles at B: every longer route to the
//    boundary (two or more edges) must be longer than B;
//  - clusters that settle at times T and T' can only meet if some path between their fired
//    nodes is at most T + T' long; fired nodes of different clusters are not neighbours here,
//    so the two-hop bound of either must exceed T + T'.
// Every comparison is strict: a tie falls back to growth, which then orders the events.
bool UnionFindDecoder::decode_isolated(ObservableMask& mask) {
  const DecodingGraph& g = *graph_;
  isolated_.clear();
  std::uint64_t latest = 0, second = 0;  // the two largest settling times (doubled)
  for (NodeId a : touched_nodes_) {
    if (!(nodes_[a].flags & kDefect)) continue;
    const DecodingGraph::Neighbour* const row = g.row_begin(a);
    const auto count = static_cast<std::uint32_t>(g.row_end(a) - row);
    if (count > 64) return false;
    const std::uint64_t touched_bits = touched_bits_of(row, count);
    std::uint32_t partner_at = count, boundary_at = count;
    for (std::uint64_t bits = touched_bits; bits != 0; bits &= bits - 1) {
      const auto i = static_cast<std::uint32_t>(std::countr_zero(bits));
      const NodeId other = row[i].other;
      if (other == boundary_) {
        boundary_at = i;
      } else if (nodes_[other].flags & kDefect) {
        if (partner_at != count) return false;  // two fired neighbours
        partner_at = i;
      }
    }
    const std::uint64_t two_hop = g.two_hop(a);
    Isolated item;
    if (partner_at != count) {
      const std::uint64_t length = row[partner_at].length;
      if (boundary_at != count && 2 * std::uint64_t{row[boundary_at].length} <= length) return false;
      if (two_hop <= length) return false;
      item = {row[partner_at].other, g.entry_of(row + partner_at), length};
    } else {
      if (boundary_at == count) return false;
      const std::uint64_t length = row[boundary_at].length;
      if (two_hop <= length) return false;
      item = {boundary_, g.entry_of(row + boundary_at), 2 * length};
    }
    // Against the clusters seen so far (checked both ways below; this side now, to give up
    // early on large syndromes).
    if (2 * two_hop <= item.settled + latest) return false;
    if (item.settled > latest) {
      second = latest;
      latest = item.settled;
    } else if (item.settled > second) {
      second = item.settled;
    }
    isolated_.push_back(item);
  }
  std::size_t k = 0;
  for (NodeId a : touched_nodes_) {
    if (!(nodes_[a].flags & kDefect)) continue;
    const Isolated& item = isolated_[k++];
    const std::uint64_t other = item.settled == latest ? second : latest;
    // Doubled times: the two-hop bound must exceed T + T'.
    if (2 * std::uint64_t{g.two_hop(a)} <= item.settled + other) return false;
  }
  mask = 0;
  k = 0;
  for (NodeId a : touched_nodes_) {
    if (!(nodes_[a].flags & kDefect)) continue;
    const Isolated& item = isolated_[k++];
    if (item.partner != boundary_ && item.partner < a) continue;  // each pair once
    const EdgeId id = g.edge_at(item.entry);
    const DecodingGraph::Edge& e = g.edge(id);
    mask ^= e.observables;
    correction_edges_.push_back(e.graph_edge);
    correction_decoding_edges_.push_back(id);
  }
  return true;
}

UnionFindDecoder::ObservableMask UnionFindDecoder::decode_detectors(std::span<const std::uint32_t> fired,
                                                                    bool correlated) {
  if (exact_on_) return exact_->decode_detectors(fired, correlated);
  const ObservableMask first = decode_pass(fired);
  if (!correlated || !reweigh()) return first;
  reweighting_ = true;
  const ObservableMask second = decode_pass(fired);
  reweighting_ = false;
  restore_lengths();
  return second;
}

void UnionFindDecoder::set_method(DecodeMethod method) {
  if (method == DecodeMethod::kMatching && !exact_) exact_ = std::make_unique<MatchingDecoder>(graph_);
  exact_on_ = method == DecodeMethod::kMatching;
}

bool UnionFindDecoder::reweigh() {
  const DecodingGraph& g = *graph_;
  if (!g.has_correlations()) return false;
  std::span<const EdgeId> first = correction_decoding_edges_;
  if (has_baseline_) {
    // The first correction is the grown one and the baseline together, an edge in both
    // cancelling.
    const std::span<const EdgeId> baseline = g.baseline_decoding_edges();
    first_correction_.assign(correction_decoding_edges_.begin(), correction_decoding_edges_.end());
    first_correction_.insert(first_correction_.end(), baseline.begin(), baseline.end());
    cancel_pairs(first_correction_);
    first = first_correction_;
  }
  for (const EdgeId c : first) {
    for (const DecodingGraph::Correlated& a : g.correlated(c, correlation_scratch_)) {
      const std::uint32_t at_u = g.entry_of_u(a.edge);
      if (a.length >= entry_length_[at_u]) continue;
      if (entry_length_[at_u] == g.entry(at_u).length) reweighted_edges_.push_back(a.edge);
      entry_length_[at_u] = a.length;
      const DecodingGraph::Edge& e = g.edge(a.edge);
      if (!reweighted_[e.u]) {
        reweighted_[e.u] = 1;
        reweighted_nodes_.push_back(e.u);
      }
      if (const std::uint32_t at_v = g.entry_of_v(a.edge); at_v != DecodingGraph::kNoEntry) {
        entry_length_[at_v] = a.length;
        if (!reweighted_[e.v]) {
          reweighted_[e.v] = 1;
          reweighted_nodes_.push_back(e.v);
        }
      }
    }
  }
  return !reweighted_edges_.empty();
}

void UnionFindDecoder::restore_lengths() {
  const DecodingGraph& g = *graph_;
  for (const EdgeId a : reweighted_edges_) {
    const std::uint32_t at_u = g.entry_of_u(a);
    entry_length_[at_u] = g.entry(at_u).length;
    if (const std::uint32_t at_v = g.entry_of_v(a); at_v != DecodingGraph::kNoEntry) {
      entry_length_[at_v] = g.entry(at_v).length;
    }
  }
  for (const NodeId node : reweighted_nodes_) reweighted_[node] = 0;
  reweighted_edges_.clear();
  reweighted_nodes_.clear();
}

UnionFindDecoder::ObservableMask UnionFindDecoder::decode_pass(std::span<const std::uint32_t> fired) {
  correction_edges_.clear();
  correction_decoding_edges_.clear();
  last_neutral_ = true;
  now_ = 0;
  const std::size_t n = graph_->node_count();

  touch(boundary_);
  for (std::uint32_t index : fired) {
    if (index >= n || index == boundary_) continue;
    touch(index);
    nodes_[index].flags ^= static_cast<std::uint8_t>(kDefect | kOdd | kHasSeed);
  }
  // The baseline correction's detectors, toggled as if fired; the rest of the graph explains
  // what remains, and the two corrections are added at the end.
  if (has_baseline_) {
    for (NodeId node : graph_->baseline_nodes()) {
      touch(node);
      nodes_[node].flags ^= static_cast<std::uint8_t>(kDefect | kOdd | kHasSeed);
    }
  }
  ObservableMask isolated_mask = 0;
  last_shortcut_ = !reweighting_ && decode_isolated(isolated_mask);
  if (record_clusters_) clusters_.clear();
  if (last_shortcut_) {
    if (record_clusters_) save_clusters();
    reset_scratch();
    return has_baseline_ ? add_baseline(isolated_mask) : isolated_mask;
  }
  for (NodeId node : touched_nodes_) {
    if (nodes_[node].parent == node && is_active_root(node)) active_roots_.push_back(node);
  }
  // Growth is queued in node order, whatever the order of `fired`: events of equal time come
  // out in an order that follows from the queueing order, so this keeps ties, and with them
  // the correction, independent of how the fired list is ordered.
  std::sort(active_roots_.begin(), active_roots_.end());
  grow();
  const ObservableMask mask = (match_limit_ != 0 ? match_clusters() : 0) ^ peel();
  if (record_clusters_) save_clusters();
  reset_scratch();
  return has_baseline_ ? add_baseline(mask) : mask;
}

UnionFindDecoder::ObservableMask UnionFindDecoder::add_baseline(ObservableMask mask) {
  // An edge in both corrections cancels: the correction is their symmetric difference.
  const std::span<const std::uint32_t> baseline = graph_->baseline_edges();
  correction_edges_.insert(correction_edges_.end(), baseline.begin(), baseline.end());
  cancel_pairs(correction_edges_);
  return mask ^ graph_->baseline_observables();
}

void UnionFindDecoder::save_clusters() {
  for (NodeId node : touched_nodes_) {
    if (node != boundary_) clusters_.emplace_back(node, find(node));
  }
}

DecoderResult UnionFindDecoder::decode_window(const SyndromeWindow& window) {
  DecoderResult result;
  if (window.is_empty() && !graph_->has_baseline()) return result;
  window.active_detectors(window_fired_);
  if (window_fired_.empty() && !graph_->has_baseline()) return result;
  result.observable_flips = decode_detectors(window_fired_);
  result.valid = last_decode_neutral();
  result.confidence = result.valid ? kConfidenceDecoded : kConfidenceUnsatisfiable;
  for (ObservableMask rest = result.observable_flips; rest != 0; rest &= rest - 1) {
    result.corrections.push_back(
        {static_cast<std::uint8_t>(std::countr_zero(rest)), kPauliCorrection});
  }
  return result;
}

}  // namespace kelvane
