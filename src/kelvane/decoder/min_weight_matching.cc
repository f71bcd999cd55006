#include "kelvane/decoder/min_weight_matching.h"

#include <vector>

#include <lemon/matching.h>
#include <lemon/smart_graph.h>

namespace kelvane {

// LEMON's maps follow the graph as it is cleared and refilled, so their storage is reused.
struct MinWeightMatching::Blossom {
  using Graph = lemon::SmartGraph;
  using Weights = Graph::EdgeMap<std::int64_t>;
  Graph graph;
  Weights weight{graph};
  // The maximum-weight perfect matching of the negated weights.
  lemon::MaxWeightedPerfectMatching<Graph, Weights> matching{graph, weight};
  std::vector<Graph::Node> nodes;
};

MinWeightMatching::MinWeightMatching() : blossom_(new Blossom) {}

MinWeightMatching::~MinWeightMatching() = default;

void MinWeightMatching::reset(std::size_t nodes) {
  Blossom& b = *blossom_;
  b.graph.clear();
  b.nodes.clear();
  b.graph.reserveNode(static_cast<int>(nodes));
  for (std::size_t i = 0; i < nodes; ++i) b.nodes.push_back(b.graph.addNode());
}

void MinWeightMatching::add_edge(std::uint32_t u, std::uint32_t v, std::int64_t weight) {
  Blossom& b = *blossom_;
  b.weight[b.graph.addEdge(b.nodes[u], b.nodes[v])] = -weight;
}

bool MinWeightMatching::solve() { return blossom_->matching.run(); }

std::uint32_t MinWeightMatching::mate(std::uint32_t node) const {
  const Blossom& b = *blossom_;
  return static_cast<std::uint32_t>(b.graph.id(b.matching.mate(b.nodes[node])));
}

}  // namespace kelvane
