// Test model for the stream decoders: a repetition-code memory of 3 detectors a round.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "kelvane/dem/graph.h"

namespace kelvane::testing_graphs {

// `rounds` rounds of 3 detectors (id r * 3 + k, time coordinate r): within a round a chain from
// the boundary (that edge flips observable 0) through the three to the boundary, weighing
// `space`; edges of weight `time` join each detector to itself one round later.
inline SpacetimeGraph chain_graph(std::uint32_t rounds, float space, float time) {
  SpacetimeGraph g;
  const std::uint32_t n = 3 * rounds;
  for (std::uint32_t k = 0; k < n; ++k) g.nodes.push_back({std::array<double, 3>{double(k % 3), double(k / 3), 0}, k, 2});
  g.nodes.push_back({std::nullopt, kBoundaryIndex});
  g.boundary = n;
  for (std::uint32_t r = 0; r < rounds; ++r) {
    g.edges.push_back({{0}, 3 * r, n, space});
    g.edges.push_back({{}, 3 * r, 3 * r + 1, space});
    g.edges.push_back({{}, 3 * r + 1, 3 * r + 2, space});
    g.edges.push_back({{}, 3 * r + 2, n, space});
    for (std::uint32_t k = 0; r + 1 < rounds && k < 3; ++k) g.edges.push_back({{}, 3 * r + k, 3 * r + 3 + k, time});
  }
  return g;
}

}  // namespace kelvane::testing_graphs
