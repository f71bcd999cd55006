#include "kelvane/decoder/cluster_matching.h"

#include <algorithm>
#include <functional>
#include <utility>

namespace kelvane {

ClusterMatcher::ClusterMatcher(const DecodingGraph& graph)
    : graph_(graph) {
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
  edge_used_.assign(graph_.edges().size(), 0);
}

void ClusterMatcher::shortest_paths(std::size_t source, std::span<const NodeId> members,
                                    std::span<const NodeId> defects, const GrowthLength* lengths,
                                    bool has_boundary) {
  const std::size_t m = members.size();
  const std::size_t k = defects.size();
  std::fill_n(dist_.begin(), m, kFar);
  EdgeId* const pred = pred_.data() + source * m;
  std::uint64_t boundary = kFar;
  std::uint32_t via = kNone;
  std::size_t later_left = k - 1 - source;  // later defects not settled yet
  const auto closer = std::greater<>{};
  heap_.clear();
  const std::uint32_t start = local_[defects[source]];
  dist_[start] = 0;
  heap_.emplace_back(0, start);
  while (!heap_.empty()) {
    const auto [d, x] = heap_.front();
    // Nothing left to learn: later defects settled, and no boundary route can still be shorter.
    if (later_left == 0 && (!has_boundary || d >= boundary)) break;
    std::pop_heap(heap_.begin(), heap_.end(), closer);
    heap_.pop_back();
    if (d != dist_[x]) continue;  // a stale entry
    const NodeId node = members[x];
    if (const std::uint32_t j = defect_index_[x]; j != kNone && j > source) {
      pair_[source * k + j] = d;
      pair_[j * k + source] = d;
      --later_left;
    }
    if (const std::uint32_t at = boundary_entry_[node]; at != kNone) {
      const std::uint64_t through = d + (lengths ? lengths[at] : graph_.entry(at).length);
      if (through < boundary) {
        boundary = through;
        via = x;
      }
    }
    for (const DecodingGraph::Neighbour* p = graph_.row_begin(node); p != graph_.row_end(node); ++p) {
      const std::uint32_t y = local_[p->other];  // kNone outside the cluster and at the boundary
      if (y == kNone) continue;
      const std::uint32_t at = graph_.entry_of(p);
      const std::uint64_t nd = d + (lengths ? lengths[at] : p->length);
      if (nd < dist_[y]) {
        dist_[y] = nd;
        pred[y] = graph_.edge_at(at);
        heap_.emplace_back(nd, y);
        std::push_heap(heap_.begin(), heap_.end(), closer);
      }
    }
  }
  to_boundary_[source] = boundary;
  boundary_via_[source] = via;
}

void ClusterMatcher::toggle(EdgeId edge) {
  // Bit 0: on an odd number of paths; bit 1: listed in used_.
  if (!(edge_used_[edge] & 2)) used_.push_back(edge);
  edge_used_[edge] = static_cast<std::uint8_t>((edge_used_[edge] ^ 1) | 2);
}

void ClusterMatcher::add_path(std::size_t source, std::uint32_t target, std::span<const NodeId> members) {
  const std::size_t m = members.size();
  const EdgeId* const pred = pred_.data() + source * m;
  for (std::uint32_t x = target; defect_index_[x] != source;) {
    const NodeId node = members[x];
    const EdgeId e = pred[x];
    toggle(e);
    const DecodingGraph::Edge& edge = graph_.edge(e);
    x = local_[edge.u == node ? edge.v : edge.u];
  }
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
  for (std::size_t j = 0; j < k; ++j) defect_index_[local_[defects[j]]] = static_cast<std::uint32_t>(j);

  pred_.resize(k * m);
  pair_.assign(k * k, kFar);
  to_boundary_.assign(k, kFar);
  boundary_via_.assign(k, kNone);
  for (std::size_t s = 0; s < k; ++s) {
    if (s + 1 == k && !has_boundary) break;  // the last defect's pairs are known by symmetry
    shortest_paths(s, members, defects, lengths, has_boundary);
  }

  blossom_.reset(has_boundary ? 2 * k : k);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      const std::uint64_t w = pair_[i * k + j];
      if (w == kFar) continue;
      // A pair that costs no less than sending both to the boundary is never needed.
      if (has_boundary && w >= to_boundary_[i] + to_boundary_[j]) continue;
      blossom_.add_edge(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j), static_cast<std::int64_t>(w));
    }
  }
  if (has_boundary) {
    for (std::size_t i = 0; i < k; ++i) {
      const auto copy = static_cast<std::uint32_t>(k + i);
      blossom_.add_edge(static_cast<std::uint32_t>(i), copy, static_cast<std::int64_t>(to_boundary_[i]));
      for (std::size_t j = 0; j < i; ++j) blossom_.add_edge(copy, static_cast<std::uint32_t>(k + j), 0);
    }
  }
  if (!blossom_.solve()) return false;

  for (std::size_t i = 0; i < k; ++i) {
    const std::size_t mate = blossom_.mate(static_cast<std::uint32_t>(i));
    if (mate >= k) {
      const std::uint32_t via = boundary_via_[i];
      toggle(graph_.edge_at(boundary_entry_[members[via]]));
      add_path(i, via, members);
    } else if (mate > i) {
      add_path(i, local_[defects[mate]], members);
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
