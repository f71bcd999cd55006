// Test models for the sliding-window decoders: repetition-code memories split into rounds, and
// shots sampled from a graph's edges.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "kelvane/decoder/sliding_window.h"
#include "kelvane/dem/graph.h"

namespace kelvane::testing_graphs {

// A repetition-code memory of `rounds` rounds with `width` detectors each (detector id
// r * width + k): data errors join neighbours within a round (the left end flips observable 0),
// measurement errors join a detector to itself one round later. Round 0 and the last round
// have weights of their own, so the model has a one-round head and a one-round tail. With
// `period` 2, odd rounds' measurement errors are twice as likely, so the middle repeats every two
// rounds.
inline std::shared_ptr<const SpacetimeGraph> repetition_graph(std::uint32_t width, std::uint32_t rounds, double p = 0.01,
                                                       std::uint32_t period = 1) {
  auto g = std::make_shared<SpacetimeGraph>();
  const std::uint32_t n = width * rounds;
  for (std::uint32_t k = 0; k < n; ++k) {
    g->nodes.push_back({std::array<double, 3>{double(k % width), double(k / width), 0}, k, 2});
  }
  g->nodes.push_back({std::nullopt, kBoundaryIndex});
  g->boundary = n;
  auto w = [](double p) { return static_cast<float>(std::log((1 - p) / p)); };
  for (std::uint32_t r = 0; r < rounds; ++r) {
    const float data = w(r == 0 ? 2 * p : r + 1 == rounds ? p / 2 : p);
    for (std::uint32_t k = 0; k <= width; ++k) {
      const std::uint32_t a = k == 0 ? r * width : r * width + k - 1;
      const std::uint32_t b = k == 0 || k == width ? n : r * width + k;
      g->edges.push_back({k == 0 ? std::vector<std::uint8_t>{0} : std::vector<std::uint8_t>{}, a, b, data});
    }
    if (r + 1 < rounds) {
      const float measure = w(period == 2 && r % 2 ? 2 * p : p);
      for (std::uint32_t k = 0; k < width; ++k) g->edges.push_back({{}, r * width + k, (r + 1) * width + k, measure});
    }
  }
  return g;
}

inline std::shared_ptr<const SlidingWindowModel> model_of(const SpacetimeGraph& g) {
  return std::make_shared<const SlidingWindowModel>(SlidingWindowModel::build(g, detector_rounds(g).value()).value());
}

// One sampled shot: its fired detectors and its true observable flips.
struct Shot {
  std::vector<std::uint32_t> fired;
  std::uint64_t observables = 0;
};

inline Shot sample(const SpacetimeGraph& g, std::mt19937_64& rng) {
  std::vector<std::uint8_t> flipped(g.boundary + 1, 0);
  Shot shot;
  std::uniform_real_distribution<double> u(0, 1);
  for (const SpacetimeEdge& e : g.edges) {
    if (u(rng) >= 1 / (1 + std::exp(double(e.weight)))) continue;
    flipped[e.node_a] ^= 1;
    flipped[e.node_b] ^= 1;
    for (std::uint8_t o : e.observables) shot.observables ^= std::uint64_t{1} << o;
  }
  for (std::uint32_t k = 0; k < g.boundary; ++k) {
    if (flipped[k]) shot.fired.push_back(k);
  }
  return shot;
}

// Fired detectors (ids r * width + k) as the slots k of each of the first `rounds` rounds, in
// the order push_round takes them.
inline std::vector<std::vector<RoundSlot>> fired_rounds(const std::vector<std::uint32_t>& fired, std::uint32_t width,
                                                        std::uint32_t rounds) {
  std::vector<std::vector<RoundSlot>> out(rounds);
  for (const std::uint32_t d : fired) {
    if (d / width < rounds) out[d / width].push_back(d % width);
  }
  return out;
}

}  // namespace kelvane::testing_graphs
