#include "kelvane/decoder/matching/blossom.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <tuple>
#include <vector>

namespace kelvane::matching {
namespace {

using Weight = BlossomMatching::Weight;
struct TestEdge {
  int u, v;
  Weight w;
};

// The maximum matching weight by dynamic programming over vertex subsets.
Weight best_by_subsets(int n, const std::vector<TestEdge>& edges) {
  std::vector<std::vector<Weight>> w(n, std::vector<Weight>(n, 0));
  for (const TestEdge& e : edges) {
    w[e.u][e.v] = std::max(w[e.u][e.v], e.w);
    w[e.v][e.u] = w[e.u][e.v];
  }
  std::vector<Weight> best(std::size_t{1} << n, 0);
  for (std::uint32_t set = 1; set < best.size(); ++set) {
    const int i = __builtin_ctz(set);
    const std::uint32_t rest = set & ~(1u << i);
    Weight b = best[rest];  // i unmatched
    for (int j = 0; j < n; ++j) {
      if ((rest >> j & 1) && w[i][j] > 0) b = std::max(b, w[i][j] + best[rest & ~(1u << j)]);
    }
    best[set] = b;
  }
  return best.back();
}

// Random graphs of up to 14 vertices, dense and sparse, with weights from a small range (many
// ties, many equal-weight alternatives) and from a wide one; the matching must be a matching of
// the graph's edges and as heavy as the best one.
TEST(BlossomMatching, MatchesTheHeaviestMatchingOfRandomGraphs) {
  std::mt19937_64 rng(7);
  BlossomMatching matcher;
  for (int trial = 0; trial < 4000; ++trial) {
    const int n = 1 + static_cast<int>(rng() % 14);
    const double density = (trial % 3 == 0) ? 0.9 : (trial % 3 == 1 ? 0.45 : 0.2);
    const Weight range = trial % 2 == 0 ? 4 : 1'000'000'007;
    std::vector<TestEdge> edges;
    std::map<std::pair<int, int>, Weight> heaviest;
    for (int u = 0; u < n; ++u) {
      for (int v = u + 1; v < n; ++v) {
        if (std::uniform_real_distribution<double>(0, 1)(rng) < density) {
          const Weight w = 1 + static_cast<Weight>(rng() % range);
          edges.push_back({u, v, w});
          heaviest[{u, v}] = std::max(heaviest[{u, v}], w);
          if (rng() % 8 == 0) edges.push_back({v, u, 1 + static_cast<Weight>(rng() % range)});
          heaviest[{u, v}] = std::max(heaviest[{u, v}], edges.back().w);
        }
      }
    }
    matcher.reset(n);
    for (const TestEdge& e : edges) matcher.add_edge(e.u, e.v, e.w);
    matcher.solve();
    Weight total = 0;
    for (int v = 0; v < n; ++v) {
      const int m = matcher.mate(v);
      if (m == BlossomMatching::kNone) continue;
      ASSERT_EQ(matcher.mate(m), v) << "trial " << trial;
      const auto it = heaviest.find({std::min(v, m), std::max(v, m)});
      ASSERT_NE(it, heaviest.end()) << "trial " << trial << ": matched along no edge";
      if (v < m) total += it->second;
    }
    ASSERT_EQ(total, best_by_subsets(n, edges)) << "trial " << trial << " n " << n;
  }
}

}  // namespace
}  // namespace kelvane::matching
