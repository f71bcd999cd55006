#include "kelvane/decoder/cluster_matching.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <utility>

namespace kelvane {

ClusterMatcher::ClusterMatcher(const DecodingGraph& graph) : graph_(graph) {
  const std::size_t slots = graph_.slot_count();
  boundary_entry_.assign(slots, kNone);
  for (NodeId node = 0; node < slots; ++node) {
    if (node == graph_.boundary()) continue;
    for (const DecodingGraph::Neighbour* p = graph_.row_begin(node); p != graph_.row_end(node); ++p) {
      // Parallel edges are folded, so a node has at most one edge to the boundary.
      if (p->other == graph_.boundary()) boundary_entry_[node] = graph_.entry_of(p);
    }
  }
  local_.assign(slots, kNone);
  defect_index_.assign(slots, kNone);
  dist_.assign(slots, kFar);
  boundary_dist_.assign(slots, kFar);
  boundary_pred_.assign(slots, 0);
  edge_used_.assign(graph_.edges().size(), 0);
}

void ClusterMatcher::push(std::uint64_t d, std::uint32_t x) {
  heap_.emplace_back(d, x);
  std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
}

std::pair<std::uint64_t, std::uint32_t> ClusterMatcher::pop() {
  std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
  const auto top = heap_.back();
  heap_.pop_back();
  return top;
}

void ClusterMatcher::boundary_distances(std::span<const NodeId> members, const GrowthLength* lengths) {
  const std::size_t m = members.size();
  std::fill_n(boundary_dist_.begin(), m, kFar);
  heap_.clear();
  for (std::size_t x = 0; x < m; ++x) {
    const std::uint32_t at = boundary_entry_[members[x]];
    if (at == kNone) continue;
    boundary_dist_[x] = lengths ? lengths[at] : graph_.entry(at).length;
    boundary_pred_[x] = graph_.edge_at(at);
    push(boundary_dist_[x], static_cast<std::uint32_t>(x));
  }
  while (!heap_.empty()) {
    const auto [d, x] = pop();
    if (d != boundary_dist_[x]) continue;  // a stale entry
    const NodeId node = members[x];
    for (const DecodingGraph::Neighbour* p = graph_.row_begin(node); p != graph_.row_end(node); ++p) {
      const std::uint32_t y = local_[p->other];  // kNone outside the cluster and at the boundary
      if (y == kNone) continue;
      const std::uint32_t at = graph_.entry_of(p);
      const std::uint64_t nd = d + (lengths ? lengths[at] : p->length);
      if (nd < boundary_dist_[y]) {
        boundary_dist_[y] = nd;
        boundary_pred_[y] = graph_.edge_at(at);
        push(nd, y);
      }
    }
  }
}

void ClusterMatcher::shortest_paths(std::size_t source, std::span<const NodeId> members,
                                    std::span<const NodeId> defects, const GrowthLength* lengths,
                                    bool has_boundary, std::uint32_t stop_at) {
  const std::size_t m = members.size();
  const std::size_t k = defects.size();
  std::fill_n(dist_.begin(), m, kFar);
  EdgeId* const pred = pred_row(source, m);
  std::size_t later_left = k - 1 - source;  // later defects not settled yet
  // A pair that costs at least as much as sending both to the boundary is never needed, so the
  // search can stop at the source's boundary distance plus the largest of the later ones.
  std::uint64_t horizon = kFar;
  if (has_boundary) {
    std::uint64_t farthest = 0;
    for (std::size_t j = source + 1; j < k; ++j) farthest = std::max(farthest, boundary_dist_[local_[defects[j]]]);
    horizon = boundary_dist_[local_[defects[source]]] + farthest;
  }
  heap_.clear();
  const std::uint32_t start = local_[defects[source]];
  dist_[start] = 0;
  push(0, start);
  while (later_left > 0 && !heap_.empty()) {
    const auto [d, x] = pop();
    if (d >= horizon) break;
    if (d != dist_[x]) continue;  // a stale entry
    if (x == stop_at) break;  // its path is settled: every node on it was settled before it
    if (const std::uint32_t j = defect_index_[x]; j != kNone && j > source) {
      pair_[source * k + j] = d;
      --later_left;
    }
    const NodeId node = members[x];
    for (const DecodingGraph::Neighbour* p = graph_.row_begin(node); p != graph_.row_end(node); ++p) {
      const std::uint32_t y = local_[p->other];
      if (y == kNone) continue;
      const std::uint32_t at = graph_.entry_of(p);
      const std::uint64_t nd = d + (lengths ? lengths[at] : p->length);
      if (nd < dist_[y]) {
        dist_[y] = nd;
        pred[y] = graph_.edge_at(at);
        push(nd, y);
      }
    }
  }
}

void ClusterMatcher::toggle(EdgeId edge) {
  // Bit 0: on an odd number of paths; bit 1: listed in used_.
  if (!(edge_used_[edge] & 2)) used_.push_back(edge);
  edge_used_[edge] = static_cast<std::uint8_t>((edge_used_[edge] ^ 1) | 2);
}

void ClusterMatcher::add_path(std::size_t source, std::uint32_t target, std::span<const NodeId> members) {
  const EdgeId* const pred = pred_row(source, members.size());
  for (std::uint32_t x = target; defect_index_[x] != source;) {
    const EdgeId e = pred[x];
    toggle(e);
    const DecodingGraph::Edge& edge = graph_.edge(e);
    x = local_[edge.u == members[x] ? edge.v : edge.u];
  }
}

void ClusterMatcher::add_boundary_path(std::uint32_t from, std::span<const NodeId> members) {
  for (std::uint32_t x = from;;) {
    const EdgeId e = boundary_pred_[x];
    toggle(e);
    const DecodingGraph::Edge& edge = graph_.edge(e);
    const NodeId next = edge.u == members[x] ? edge.v : edge.u;
    if (next == graph_.boundary()) return;
    x = local_[next];
  }
}

std::uint64_t ClusterMatcher::pair_cost(std::size_t i, std::size_t j, bool has_boundary) const {
  const std::size_t k = mates_.size();
  const std::uint64_t direct = pair_[std::min(i, j) * k + std::max(i, j)];
  if (!has_boundary) return direct;
  return std::min(direct, boundary_dist_[local_of_defect_[i]] + boundary_dist_[local_of_defect_[j]]);
}

bool ClusterMatcher::pair_by_subsets(bool has_boundary) {
  // best_[bits]: the least cost of the defects in `bits`, the lowest of them paired first.
  const std::size_t k = mates_.size();
  const std::size_t full = (std::size_t{1} << k) - 1;
  best_.assign(full + 1, kFar);
  choice_.assign(full + 1, kNone);
  best_[0] = 0;
  for (std::size_t bits = 1; bits <= full; ++bits) {
    const auto i = static_cast<std::size_t>(std::countr_zero(bits));
    const std::size_t rest = bits & (bits - 1);
    std::uint64_t b = kFar;
    std::uint32_t with = kNone;
    if (has_boundary && best_[rest] != kFar) {
      b = boundary_dist_[local_of_defect_[i]] + best_[rest];
      with = kBoundaryMate;
    }
    for (std::size_t r = rest; r != 0; r &= r - 1) {
      const auto j = static_cast<std::size_t>(std::countr_zero(r));
      const std::uint64_t w = pair_[i * k + j];
      const std::uint64_t after = best_[rest & ~(std::size_t{1} << j)];
      if (w == kFar || after == kFar) continue;
      if (w + after < b) {
        b = w + after;
        with = static_cast<std::uint32_t>(j);
      }
    }
    best_[bits] = b;
    choice_[bits] = with;
  }
  if (best_[full] == kFar) return false;
  for (std::size_t bits = full; bits != 0;) {
    const auto i = static_cast<std::size_t>(std::countr_zero(bits));
    const std::uint32_t with = choice_[bits];
    mates_[i] = with;
    bits &= bits - 1;
    if (with != kBoundaryMate) {
      mates_[with] = static_cast<std::uint32_t>(i);
      bits &= ~(std::size_t{1} << with);
    }
  }
  return true;
}

bool ClusterMatcher::pair_by_blossom(bool has_boundary) {
  // Nodes: the defects, and one for the boundary when their count is odd. A pair's edge
  // costs the lesser of its path and sending both to the boundary.
  const std::size_t k = mates_.size();
  const bool odd = k % 2 == 1;
  blossom_.reset(odd ? k + 1 : k);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = i + 1; j < k; ++j) {
      const std::uint64_t w = pair_cost(i, j, has_boundary);
      if (w == kFar) continue;
      blossom_.add_edge(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j), static_cast<std::int64_t>(w));
    }
    if (odd) {
      blossom_.add_edge(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(k),
                        static_cast<std::int64_t>(boundary_dist_[local_of_defect_[i]]));
    }
  }
  if (!blossom_.solve()) return false;
  for (std::size_t i = 0; i < k; ++i) {
    const std::uint32_t mate = blossom_.mate(static_cast<std::uint32_t>(i));
    mates_[i] = mate == k ? kBoundaryMate : mate;
  }
  return true;
}

bool ClusterMatcher::match(std::span<const NodeId> members, std::span<const NodeId> defects,
                           const GrowthLength* lengths, std::vector<EdgeId>& edges) {
  const std::size_t m = members.size();
  const std::size_t k = defects.size();
  if (k == 0) return true;
  bool has_boundary = false;
  for (const NodeId node : members) has_boundary |= boundary_entry_[node] != kNone;
  if (k % 2 == 1 && !has_boundary) return false;

  // Local indices, put back on every way out.
  struct Reset {
    ClusterMatcher& self;
    std::span<const NodeId> members;
    ~Reset() {
      for (std::size_t i = 0; i < members.size(); ++i) {
        self.local_[members[i]] = kNone;
        self.defect_index_[i] = kNone;
      }
    }
  } reset{*this, members};
  for (std::size_t i = 0; i < m; ++i) local_[members[i]] = static_cast<std::uint32_t>(i);
  local_of_defect_.resize(k);
  for (std::size_t j = 0; j < k; ++j) {
    local_of_defect_[j] = local_[defects[j]];
    defect_index_[local_of_defect_[j]] = static_cast<std::uint32_t>(j);
  }

  if (has_boundary) boundary_distances(members, lengths);
  paths_kept_ = k * m <= path_table_limit_;
  pred_.resize(paths_kept_ ? k * m : m);
  pair_.assign(k * k, kFar);
  for (std::size_t s = 0; s + 1 < k; ++s) shortest_paths(s, members, defects, lengths, has_boundary);

  mates_.assign(k, kNone);
  const bool paired = k <= subset_limit_ ? pair_by_subsets(has_boundary) : pair_by_blossom(has_boundary);
  if (!paired) return false;

  for (std::size_t i = 0; i < k; ++i) {
    const std::uint32_t mate = mates_[i];
    const bool direct = mate != kBoundaryMate && mate > i && pair_[i * k + mate] != kFar &&
                        pair_[i * k + mate] <= pair_cost(i, mate, has_boundary);
    if (direct) {
      if (!paths_kept_) shortest_paths(i, members, defects, lengths, has_boundary, local_of_defect_[mate]);
      add_path(i, local_of_defect_[mate], members);
    } else if (mate == kBoundaryMate || mate > i) {
      // To the boundary, alone or as a pair that is cheaper sent there both.
      add_boundary_path(local_of_defect_[i], members);
      if (mate != kBoundaryMate) add_boundary_path(local_of_defect_[mate], members);
    }
  }
  for (const EdgeId e : used_) {
    if (edge_used_[e] & 1) edges.push_back(e);
    edge_used_[e] = 0;
  }
  used_.clear();
  return true;
}

}  // namespace kelvane
