#include "kelvane/decoder/cluster_matching.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "kelvane/decoder/union_find.h"

namespace kelvane {
namespace {

constexpr std::uint32_t kB = std::numeric_limits<std::uint32_t>::max();

struct EdgeSpec {
  std::uint32_t a;
  std::uint32_t b;  // kB: the boundary
  float weight;
  std::vector<std::uint8_t> observables;
};

std::shared_ptr<const SpacetimeGraph> make_graph(std::uint32_t detectors, const std::vector<EdgeSpec>& specs) {
  auto graph = std::make_shared<SpacetimeGraph>();
  for (std::uint32_t k = 0; k < detectors; ++k) graph->nodes.push_back({std::nullopt, k});
  graph->nodes.push_back({std::nullopt, kBoundaryIndex});
  graph->boundary = detectors;
  for (const EdgeSpec& s : specs) graph->edges.push_back({s.observables, s.a, s.b == kB ? detectors : s.b, s.weight});
  return graph;
}

// Errors 0-2 and 1-B fire 0, 1 and 2 and flip no observable:
//
//          B
//   3.25 * |  \ 3.75           (* : the edge flips the observable)
//          0 -- 2.5 -- 1
//          |
//         4.0
//          |
//          2
//
// All three grow. 0 and 1 meet at 1.25, an even cluster, which stops; 2 reaches it at 2.75 and
// the odd cluster {0, 1, 2} grows on, reaching the boundary through 0 at 4.75 (through 1 it
// would take until 5.25). Peeling the tree B - 0 - {1, 2} hands 1's and 2's flips to 0, which
// goes to the boundary: {0-1, 0-2, 0-B}, weight 10, observable flipped. Matching pairs 2 with
// 0 and sends 1 to the boundary: {0-2, 1-B}, weight 7.75, the errors themselves.
TEST(ClusterMatching, DecodesRightWherePeelingFollowsTheMergeOrder) {
  auto graph = make_graph(3, {{0, 1, 2.5f, {}}, {0, kB, 3.25f, {0}}, {1, kB, 3.75f, {}}, {0, 2, 4.0f, {}}});
  UnionFindDecoder decoder(graph);
  const std::vector<std::uint32_t> fired{0, 1, 2};
  EXPECT_EQ(decoder.decode_detectors(fired), 1u);  // peeling: wrong
  decoder.set_cluster_matching(true);
  EXPECT_EQ(decoder.decode_detectors(fired), 0u);
  EXPECT_EQ(std::multiset<std::uint32_t>(decoder.last_correction_edges().begin(), decoder.last_correction_edges().end()),
            (std::multiset<std::uint32_t>{2, 3}));
  // With a cap below the cluster's three fired nodes, it is peeled again.
  decoder.set_cluster_matching(true, 2);
  EXPECT_EQ(decoder.decode_detectors(fired), 1u);
}

// Errors 0-3 and 1-2 fire all four nodes and flip the observable:
//
//   B ==1.0== 0 --6.25*-- 3 --5.5-- 1 ==0.5== B        2 --5.25-- 1
//
// 1 and 0 reach the boundary at 0.5 and 1.0; 2 and 3 grow into 1's cluster at 4.75 and 5.0,
// before 3 reaches 0 (5.25). Matched inside its cluster, {1, 2, 3} costs 10.75 whatever the
// pairing, and {0} goes to the boundary: 12.25, no observable. The two clusters touch (3 - 0):
// matched as one group, 0-3 and 1-2 cost 11.5.
TEST(ClusterMatching, TouchingClustersPairAcross) {
  auto graph = make_graph(4, {{1, kB, 0.5f, {}}, {0, kB, 1.0f, {}}, {1, 2, 5.25f, {}}, {1, 3, 5.5f, {}},
                              {0, 3, 6.25f, {0}}});
  UnionFindDecoder decoder(graph);
  const std::vector<std::uint32_t> fired{0, 1, 2, 3};
  decoder.set_cluster_matching(true);
  EXPECT_EQ(decoder.decode_detectors(fired), 0u);
  decoder.set_cluster_matching(true, UnionFindDecoder::kDefaultMatchLimit, true);
  EXPECT_EQ(decoder.decode_detectors(fired), 1u);
  EXPECT_EQ(std::multiset<std::uint32_t>(decoder.last_correction_edges().begin(), decoder.last_correction_edges().end()),
            (std::multiset<std::uint32_t>{2, 4}));
}

// Exact minimum-weight pairing of `defects` (with the boundary available when `boundary`),
// by all-pairs shortest paths and a subset recursion: an independent way to get the least
// weight of a correction inside a group.
std::int64_t least_weight(const std::vector<std::vector<std::int64_t>>& dist, const std::vector<std::uint32_t>& defects,
                          std::uint32_t boundary_at) {
  const std::size_t k = defects.size();
  const std::int64_t far = std::numeric_limits<std::int64_t>::max() / 4;
  std::vector<std::int64_t> best(std::size_t{1} << k, far);
  best[0] = 0;
  for (std::size_t bits = 1; bits < best.size(); ++bits) {
    const auto i = static_cast<std::size_t>(std::countr_zero(bits));
    const std::size_t rest = bits & ~(std::size_t{1} << i);
    std::int64_t b = far;
    b = std::min(b, dist[defects[i]][boundary_at] + best[rest]);
    for (std::size_t j = i + 1; j < k; ++j) {
      if (rest >> j & 1) b = std::min(b, dist[defects[i]][defects[j]] + best[rest & ~(std::size_t{1} << j)]);
    }
    best[bits] = std::min(b, far);
  }
  return best.back();
}

// Random small graphs with tied integer weights, edges more likely than not (a baseline
// correction), zero-weight edges, and empty, full and random syndromes. Every neutral decode
// must reproduce the syndrome, and within each group (a final cluster joined with any cluster
// its correction crosses into) the correction must weigh as little as any correction of the
// group's fired nodes inside the group.
TEST(ClusterMatching, PropertyEachGroupGetsALeastWeightCorrection) {
  std::mt19937 rng(24);
  const float weights[] = {-2.0f, -1.0f, 0.0f, 1.0f, 1.0f, 2.0f, 2.0f, 3.0f};
  int groups_checked = 0, large_groups = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const std::uint32_t n = 2 + rng() % 13;
    std::set<std::pair<std::uint32_t, std::uint32_t>> pairs;
    std::vector<EdgeSpec> specs;
    for (std::uint32_t i = 0, m = n + rng() % (2 * n); i < m; ++i) {
      const std::uint32_t a = rng() % n, pick = rng() % (n + 3);
      const std::uint32_t b = pick >= n ? kB : pick;
      if (a == b || !pairs.insert({std::min(a, b), std::max(a, b)}).second) continue;
      EdgeSpec s{a, b, weights[rng() % std::size(weights)], {}};
      if (rng() % 3 == 0) s.observables.push_back(static_cast<std::uint8_t>(rng() % 3));
      specs.push_back(s);
    }
    auto graph = make_graph(n, specs);
    auto decoding = std::make_shared<const DecodingGraph>(graph);
    UnionFindDecoder decoder(decoding);
    const std::size_t limit = trial % 4 == 0 ? 3 : UnionFindDecoder::kDefaultMatchLimit;
    const bool touching = trial % 3 == 2;  // touching clusters matched as one group
    decoder.set_cluster_matching(true, limit, touching);
    if (trial % 2 == 1) decoder.set_subset_limit(0);  // the blossom algorithm for every cluster
    decoder.record_clusters(true);
    // The same decoder keeping no path tree: it searches again for every pair it matches, and
    // must find exactly the same paths.
    UnionFindDecoder searching_again(decoding);
    searching_again.set_cluster_matching(true, limit, touching);
    if (trial % 2 == 1) searching_again.set_subset_limit(0);
    searching_again.set_path_table_limit(0);
    const std::uint32_t boundary = n;  // the graph's boundary node, a node of the distance table

    // Lengths by graph edge (no parallel edges here, so each is its own decoding edge), and
    // the baseline: the likely edges, taken first.
    std::vector<std::int64_t> length(specs.size());
    for (const DecodingGraph::Edge& e : decoding->edges()) length[e.graph_edge] = e.length;
    std::set<std::uint32_t> baseline(decoding->baseline_edges().begin(), decoding->baseline_edges().end());
    std::set<std::uint32_t> toggled(decoding->baseline_nodes().begin(), decoding->baseline_nodes().end());

    for (int shot = 0; shot < 8; ++shot) {
      std::set<std::uint32_t> fired;
      for (std::uint32_t d = 0; d < n; ++d) {
        if (shot == 1 || (shot > 1 && rng() % (shot % 2 ? 2 : 4) == 0)) fired.insert(d);
      }
      const std::uint64_t flips = decoder.decode_detectors(std::vector<std::uint32_t>(fired.begin(), fired.end()));
      ASSERT_EQ(searching_again.decode_detectors(std::vector<std::uint32_t>(fired.begin(), fired.end())), flips);
      ASSERT_TRUE(std::ranges::equal(searching_again.last_correction_edges(), decoder.last_correction_edges()));
      std::uint64_t expected_flips = 0;
      for (std::uint32_t id : decoder.last_correction_edges()) {
        for (std::uint8_t o : specs[id].observables) expected_flips ^= std::uint64_t{1} << o;
      }
      ASSERT_EQ(flips, expected_flips);
      if (!decoder.last_decode_neutral()) continue;
      // This pass's own correction and syndrome: the baseline taken out.
      std::set<std::uint32_t> own(baseline);
      for (std::uint32_t id : decoder.last_correction_edges()) {
        if (!own.erase(id)) own.insert(id);
      }
      std::set<std::uint32_t> syndrome;
      std::set_symmetric_difference(fired.begin(), fired.end(), toggled.begin(), toggled.end(),
                                    std::inserter(syndrome, syndrome.end()));
      std::set<std::uint32_t> flipped;
      for (std::uint32_t id : own) {
        for (std::uint32_t end : {graph->edges[id].node_a, graph->edges[id].node_b}) {
          if (end != boundary && !flipped.erase(end)) flipped.insert(end);
        }
      }
      ASSERT_EQ(flipped, syndrome) << "trial " << trial << " shot " << shot;

      // Groups: clusters joined across the correction's edges.
      std::vector<std::uint32_t> group(n);
      std::iota(group.begin(), group.end(), 0u);
      auto find = [&](std::uint32_t x) {
        while (group[x] != x) x = group[x] = group[group[x]];
        return x;
      };
      std::vector<bool> in_cluster(n, false);
      for (const auto& [node, root] : decoder.last_clusters()) {
        group[find(node)] = find(root);
        in_cluster[node] = true;
      }
      for (std::uint32_t id : own) {
        if (graph->edges[id].node_b != boundary) group[find(graph->edges[id].node_a)] = find(graph->edges[id].node_b);
      }
      for (std::size_t id = 0; touching && id < specs.size(); ++id) {
        const std::uint32_t a = graph->edges[id].node_a, b = graph->edges[id].node_b;
        if (b != boundary && in_cluster[a] && in_cluster[b]) group[find(a)] = find(b);
      }
      std::map<std::uint32_t, std::vector<std::uint32_t>> defects_of;
      for (std::uint32_t d : syndrome) defects_of[find(d)].push_back(d);
      for (const auto& [root, defects] : defects_of) {
        // Shortest paths inside the group (the boundary a node of its own), Floyd-Warshall.
        const std::int64_t far = std::numeric_limits<std::int64_t>::max() / 4;
        std::vector<std::vector<std::int64_t>> dist(n + 1, std::vector<std::int64_t>(n + 1, far));
        for (std::uint32_t x = 0; x <= n; ++x) dist[x][x] = 0;
        auto inside = [&](std::uint32_t x) { return x == boundary || (in_cluster[x] && find(x) == root); };
        std::int64_t weight = 0;
        for (std::size_t id = 0; id < specs.size(); ++id) {
          const std::uint32_t a = graph->edges[id].node_a, b = graph->edges[id].node_b;
          if (std::isinf(specs[id].weight) || !inside(a) || !inside(b)) continue;
          dist[a][b] = dist[b][a] = std::min(dist[a][b], length[id]);
          if (own.count(static_cast<std::uint32_t>(id))) weight += length[id];
        }
        for (std::uint32_t via = 0; via <= n; ++via) {
          for (std::uint32_t x = 0; x <= n; ++x) {
            for (std::uint32_t y = 0; y <= n; ++y) dist[x][y] = std::min(dist[x][y], dist[x][via] + dist[via][y]);
          }
        }
        if (defects.size() > limit) {
          ++large_groups;  // peeled: only the syndrome is checked
          continue;
        }
        EXPECT_EQ(weight, least_weight(dist, defects, boundary))
            << "trial " << trial << " shot " << shot << " group of " << root;
        ++groups_checked;
      }
    }
  }
  EXPECT_GT(groups_checked, 1000);
  EXPECT_GT(large_groups, 20);
}

}  // namespace
}  // namespace kelvane
