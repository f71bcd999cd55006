#include "kelvane/decoder/matching/matching_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <queue>
#include <random>
#include <vector>

#include "kelvane/decoder/min_weight_matching.h"
#include "kelvane/dem/graph.h"

namespace kelvane {
namespace {

std::shared_ptr<SpacetimeGraph> empty_graph(std::uint32_t detectors) {
  auto g = std::make_shared<SpacetimeGraph>();
  for (std::uint32_t k = 0; k < detectors; ++k) g->nodes.push_back({std::nullopt, k, 0});
  g->nodes.push_back({std::nullopt, kBoundaryIndex});
  g->boundary = detectors;
  g->num_observables = 2;
  return g;
}

// What the decoder's last correction does: the detectors it toggles (bit k: detector k), its
// decoding edges' observables and its weight.
struct Effect {
  std::uint32_t syndrome = 0;
  std::uint64_t observables = 0;
  double weight = 0.0;
};
Effect effect_of(const DecodingGraph& g, std::span<const std::uint32_t> graph_edges) {
  Effect out;
  for (const std::uint32_t id : graph_edges) {
    const DecodingGraph::Edge& e = g.edge(g.decoding_edge_of(id));
    out.syndrome ^= 1u << e.u;
    if (e.v != g.boundary()) out.syndrome ^= 1u << e.v;
    out.observables ^= e.observables;
  }
  out.weight = g.weight_of(graph_edges);
  return out;
}

// Random graphs of up to 8 detectors and 15 decoding edges, each decoded for every syndrome
// (empty and full included) and compared with the least weight of any edge set with that
// syndrome, found by trying them all. The kinds of weight: small integers with many ties and
// zeros, p > 0.5 edges (negative weights, the baseline correction), continuous weights, and
// parallel edges folded into one; graphs with and without a boundary, so some syndromes have no
// explanation. The correction must explain the syndrome, flip its edges' observables, and weigh
// the least.
TEST(MatchingDecoder, PropertyEveryCorrectionIsALeastWeightOne) {
  std::mt19937_64 rng(32);
  for (int trial = 0; trial < 600; ++trial) {
    const std::uint32_t n = 1 + static_cast<std::uint32_t>(rng() % 8);
    const int kind = trial % 4;
    const bool boundary = trial % 5 != 0;
    auto g = empty_graph(n);
    auto weight = [&]() -> float {
      switch (kind) {
        case 0: return static_cast<float>(rng() % 4);                      // 0..3, ties and zeros
        case 1: return static_cast<float>(static_cast<int>(rng() % 6) - 2);  // -2..3: p > 0.5
        default: return std::uniform_real_distribution<float>(0.05f, 6.0f)(rng);
      }
    };
    const std::uint32_t wanted = 1 + static_cast<std::uint32_t>(rng() % 15);
    for (std::uint32_t k = 0; k < wanted; ++k) {
      const std::uint32_t a = static_cast<std::uint32_t>(rng() % n);
      std::uint32_t b = boundary && rng() % 3 == 0 ? n : static_cast<std::uint32_t>(rng() % n);
      if (a == b) b = boundary ? n : (a + 1) % n;
      if (a == b) continue;
      std::vector<std::uint8_t> obs;
      if (rng() % 3 == 0) obs.push_back(static_cast<std::uint8_t>(rng() % 2));
      g->edges.push_back({obs, a, b, weight()});
      if (kind == 3 && rng() % 2 == 0) g->edges.push_back({obs, a, b, weight()});  // folded with it
    }
    const auto dg = std::make_shared<const DecodingGraph>(g);
    const std::size_t m = dg->edges().size();
    if (m > 16) continue;
    // The least weight of every syndrome over all sets of decoding edges.
    std::vector<double> least(std::size_t{1} << n, std::numeric_limits<double>::infinity());
    for (std::uint32_t set = 0; set < (1u << m); ++set) {
      std::uint32_t syndrome = 0;
      double w = 0.0;
      for (std::uint32_t e = 0; e < m; ++e) {
        if (!(set >> e & 1)) continue;
        syndrome ^= 1u << dg->edge(e).u;
        if (dg->edge(e).v != dg->boundary()) syndrome ^= 1u << dg->edge(e).v;
        w += dg->weight(e);
      }
      least[syndrome] = std::min(least[syndrome], w);
    }
    MatchingDecoder decoder(dg);
    std::vector<std::uint32_t> fired;
    for (std::uint32_t syndrome = 0; syndrome < (1u << n); ++syndrome) {
      fired.clear();
      for (std::uint32_t k = 0; k < n; ++k) {
        if (syndrome >> k & 1) fired.push_back(k);
      }
      const std::uint64_t mask = decoder.decode_detectors(fired);
      const bool explainable = least[syndrome] != std::numeric_limits<double>::infinity();
      ASSERT_EQ(decoder.last_decode_neutral(), explainable) << "trial " << trial << " syndrome " << syndrome;
      if (!explainable) continue;
      const Effect got = effect_of(*dg, decoder.last_correction_edges());
      ASSERT_EQ(got.syndrome, syndrome) << "trial " << trial;
      ASSERT_EQ(got.observables, mask) << "trial " << trial;
      ASSERT_NEAR(got.weight, least[syndrome], 1e-5 * (1 + std::fabs(least[syndrome])))
          << "trial " << trial << " syndrome " << syndrome << " kind " << kind;
    }
  }
}

// Larger random graphs (lattices of up to 300 detectors with random extra edges, integer
// weights, parallel edges folded), random syndromes: the correction weighs what LEMON's minimum-weight perfect matching
// of the defects and their boundary copies weighs, with shortest paths found here by a plain
// Dijkstra search.
TEST(MatchingDecoder, WeighsWhatLemonsPerfectMatchingWeighs) {
  std::mt19937_64 rng(5);
  MinWeightMatching lemon;
  for (int trial = 0; trial < 60; ++trial) {
    const std::uint32_t side = 4 + static_cast<std::uint32_t>(rng() % 4), depth = 2 + static_cast<std::uint32_t>(rng() % 5);
    const std::uint32_t n = side * side * depth;
    auto g = empty_graph(n);
    auto w = [&] { return static_cast<float>(1 + rng() % 9); };
    auto id = [&](std::uint32_t x, std::uint32_t y, std::uint32_t t) { return (t * side + y) * side + x; };
    for (std::uint32_t t = 0; t < depth; ++t) {
      for (std::uint32_t y = 0; y < side; ++y) {
        for (std::uint32_t x = 0; x < side; ++x) {
          if (x + 1 < side) g->edges.push_back({{}, id(x, y, t), id(x + 1, y, t), w()});
          if (y + 1 < side) g->edges.push_back({{}, id(x, y, t), id(x, y + 1, t), w()});
          if (t + 1 < depth) g->edges.push_back({{}, id(x, y, t), id(x, y, t + 1), w()});
          if (x == 0 || (trial % 2 == 0 && x + 1 == side)) g->edges.push_back({{0}, id(x, y, t), n, w()});
          if (rng() % 4 == 0) g->edges.push_back({{}, id(x, y, t), static_cast<std::uint32_t>(rng() % n), w()});
        }
      }
    }
    const auto dg = std::make_shared<const DecodingGraph>(g);
    MatchingDecoder decoder(dg);
    // Plain shortest paths over the decoding edges, the boundary a node of its own.
    auto distances_from = [&](std::uint32_t source) {
      std::vector<std::int64_t> dist(n + 1, std::numeric_limits<std::int64_t>::max());
      std::priority_queue<std::pair<std::int64_t, std::uint32_t>, std::vector<std::pair<std::int64_t, std::uint32_t>>,
                          std::greater<>> queue;
      dist[source] = 0;
      queue.push({0, source});
      while (!queue.empty()) {
        const auto [d, x] = queue.top();
        queue.pop();
        if (d > dist[x] || x == n) continue;
        for (std::uint32_t e = 0; e < dg->edges().size(); ++e) {
          const auto& edge = dg->edge(e);
          if (edge.u != x && edge.v != x) continue;
          const std::uint32_t y = edge.u == x ? edge.v : edge.u;
          const auto nd = d + static_cast<std::int64_t>(std::llround(dg->weight(e) * 1048576.0));
          if (nd < dist[y]) {
            dist[y] = nd;
            queue.push({nd, y});
          }
        }
      }
      return dist;
    };
    for (int shot = 0; shot < 5; ++shot) {
      std::vector<std::uint32_t> fired;
      const double rate = 0.02 + 0.1 * (shot % 3);
      for (std::uint32_t k = 0; k < n; ++k) {
        if (std::uniform_real_distribution<double>(0, 1)(rng) < rate) fired.push_back(k);
      }
      const std::size_t k = fired.size();
      std::vector<std::vector<std::int64_t>> dist;
      for (const std::uint32_t f : fired) dist.push_back(distances_from(f));
      lemon.reset(2 * k);
      for (std::size_t i = 0; i < k; ++i) {
        lemon.add_edge(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(k + i), dist[i][n]);
        for (std::size_t j = i + 1; j < k; ++j) {
          lemon.add_edge(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j), dist[i][fired[j]]);
          lemon.add_edge(static_cast<std::uint32_t>(k + i), static_cast<std::uint32_t>(k + j), 0);
        }
      }
      ASSERT_TRUE(lemon.solve());
      std::int64_t expected = 0;
      for (std::size_t i = 0; i < k; ++i) {
        const std::uint32_t m = lemon.mate(static_cast<std::uint32_t>(i));
        if (m == k + i) expected += dist[i][n];
        if (m < k && m > i) expected += dist[i][fired[m]];
      }
      decoder.decode_detectors(fired);
      ASSERT_TRUE(decoder.last_decode_neutral());
      EXPECT_NEAR(dg->weight_of(decoder.last_correction_edges()), static_cast<double>(expected) / 1048576.0, 1e-4)
          << "trial " << trial << " shot " << shot << " defects " << k;
    }
  }
}

}  // namespace
}  // namespace kelvane
