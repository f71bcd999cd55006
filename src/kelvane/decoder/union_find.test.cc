#include "kelvane/decoder/union_find.h"

#include <gtest/gtest.h>

#include "kelvane/dem/parser.h"

#include <algorithm>

#include <cmath>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace kelvane {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct EdgeSpec {
  std::uint32_t a;
  std::uint32_t b;  // kB: the boundary
  float weight;
  std::vector<std::uint8_t> observables;
};
constexpr std::uint32_t kB = std::numeric_limits<std::uint32_t>::max();

std::shared_ptr<const SpacetimeGraph> make_graph(std::uint32_t detectors,
                                                 const std::vector<EdgeSpec>& specs) {
  auto graph = std::make_shared<SpacetimeGraph>();
  for (std::uint32_t k = 0; k < detectors; ++k) graph->nodes.push_back({std::nullopt, k});
  graph->nodes.push_back({std::nullopt, kBoundaryIndex});
  graph->boundary = detectors;
  for (const EdgeSpec& s : specs) {
    graph->edges.push_back({s.observables, s.a, s.b == kB ? detectors : s.b, s.weight});
  }
  return graph;
}

// The detectors flipped by a set of graph edges (boundary and self-loops cancel out).
std::set<std::uint32_t> syndrome_of(const SpacetimeGraph& graph,
                                    std::span<const std::uint32_t> edge_ids) {
  std::set<std::uint32_t> flipped;
  auto toggle = [&](std::uint32_t node) {
    if (node >= graph.boundary) return;
    if (!flipped.erase(node)) flipped.insert(node);
  };
  for (std::uint32_t id : edge_ids) {
    toggle(graph.edges[id].node_a);
    toggle(graph.edges[id].node_b);
  }
  return flipped;
}

// Every observable the edges flip; decode_detectors' mask is the first 64 of them.
ObservableBits all_observables_of(const SpacetimeGraph& graph, std::span<const std::uint32_t> edge_ids) {
  ObservableBits bits;
  for (std::uint32_t id : edge_ids) {
    for (std::uint8_t o : graph.edges[id].observables) bits.flip(o);
  }
  return bits;
}
std::uint64_t observables_of(const SpacetimeGraph& graph, std::span<const std::uint32_t> edge_ids) {
  return all_observables_of(graph, edge_ids).low();
}

struct HandCase {
  const char* name;
  std::uint32_t detectors;
  std::vector<EdgeSpec> edges;
  std::vector<std::uint32_t> fired;
  std::uint64_t expected_flips;
  bool neutral;
};

class HandGraphs : public testing::TestWithParam<HandCase> {};

TEST_P(HandGraphs, DecodesToTheExpectedObservables) {
  const HandCase& c = GetParam();
  UnionFindDecoder decoder(make_graph(c.detectors, c.edges));
  EXPECT_EQ(decoder.decode_detectors(c.fired), c.expected_flips);
  EXPECT_EQ(decoder.last_decode_neutral(), c.neutral);
  if (c.neutral) {
    std::set<std::uint32_t> expected;
    for (std::uint32_t d : c.fired) {
      if (d < c.detectors && !expected.erase(d)) expected.insert(d);
    }
    EXPECT_EQ(syndrome_of(decoder.graph(), decoder.last_correction_edges()), expected);
  }
  EXPECT_EQ(observables_of(decoder.graph(), decoder.last_correction_edges()), c.expected_flips);
}

// Chain B - 0 - 1 - 2 - 3 - B with observable 0 on the left boundary edge, 1 on the right one.
std::vector<EdgeSpec> line(float left, float right) {
  return {{0, kB, left, {0}}, {0, 1, 2.0f, {}}, {1, 2, 2.0f, {}}, {2, 3, 2.0f, {}},
          {3, kB, right, {1}}};
}

INSTANTIATE_TEST_SUITE_P(
    UnionFind, HandGraphs,
    testing::Values(
        HandCase{"line_inner_pair", 4, line(2.0f, 2.0f), {1, 2}, 0, true},
        HandCase{"line_left_end", 4, line(2.0f, 2.0f), {0}, 1, true},
        HandCase{"line_right_end", 4, line(2.0f, 2.0f), {3}, 2, true},
        // Node 1 is two edges from the left boundary and three from the right one.
        HandCase{"line_nearer_boundary", 4, line(2.0f, 2.0f), {1}, 1, true},
        // ...unless the left boundary edge is heavy enough.
        HandCase{"line_weighted_boundary", 4, line(9.0f, 2.0f), {1}, 2, true},
        HandCase{"line_ends_to_boundaries", 4, line(2.0f, 2.0f), {0, 3}, 3, true},
        HandCase{"line_all_fired", 4, line(2.0f, 2.0f), {0, 1, 2, 3}, 0, true},
        // The pair (0, 1) is cheaper than sending both to the boundary.
        HandCase{"pair_vs_boundary", 2, {{0, kB, 3.0f, {0}}, {1, kB, 3.0f, {0}}, {0, 1, 4.0f, {1}}},
                 {0, 1}, 2, true},
        HandCase{"boundary_vs_pair", 2, {{0, kB, 1.0f, {0}}, {1, kB, 1.0f, {1}}, {0, 1, 4.0f, {2}}},
                 {0, 1}, 3, true},
        // Two lone nodes, each nearer its boundary edge than anything else, still meet in
        // node 1 first: growth joins them, and nothing goes to the boundary.
        HandCase{"lone_nodes_meet_between", 3,
                 {{0, kB, 5.0f, {0}}, {2, kB, 5.0f, {1}}, {0, 1, 3.0f, {}}, {1, 2, 3.0f, {}}},
                 {0, 2}, 0, true},
        // Parallel edges: the more probable observable class wins.
        HandCase{"parallel_cheaper_wins", 2, {{0, 1, 5.0f, {0}}, {1, 0, 1.0f, {1}}}, {0, 1}, 2,
                 true},
        HandCase{"parallel_class_sum_wins", 2,
                 {{0, 1, 1.2f, {1}}, {0, 1, 1.5f, {0}}, {0, 1, 1.5f, {0}}, {1, 0, 1.5f, {0}}},
                 {0, 1},
                 1,
                 true},
        // Self-loops never enter a correction, even when they carry observables.
        HandCase{"self_loop_ignored", 2, {{0, 0, 0.1f, {0}}, {0, 1, 2.0f, {1}}, {1, 1, 0.1f, {0}}},
                 {0, 1}, 2, true},
        HandCase{"self_loop_alone", 1, {{0, 0, 1.0f, {0}}}, {0}, 0, false},
        // NaN and infinite weights never grow: the boundary edges explain the pair.
        HandCase{"nan_edge_skipped", 2,
                 {{0, 1, kNaN, {0}}, {0, kB, 3.0f, {1}}, {1, kB, 3.0f, {2}}}, {0, 1}, 6, true},
        HandCase{"inf_edge_skipped", 2,
                 {{0, 1, kInf, {0}}, {0, kB, 3.0f, {1}}, {1, kB, 3.0f, {2}}}, {0, 1}, 6, true},
        // -infinity is p = 1: the edge is certain, so it explains the pair.
        HandCase{"minus_inf_edge_certain", 2,
                 {{0, 1, -kInf, {0}}, {0, kB, 3.0f, {1}}, {1, kB, 3.0f, {2}}}, {0, 1}, 1, true},
        HandCase{"minus_inf_edge_fires_alone", 2,
                 {{0, 1, -kInf, {0}}, {0, kB, 3.0f, {1}}, {1, kB, 3.0f, {2}}}, {}, 7, true},
        // A boundary edge of p > 0.5: a quiet detector means it most likely did not fire
        // (the baseline and growth both take it), a fired one that it did.
        HandCase{"likely_boundary_edge_quiet", 2,
                 {{0, kB, -2.0f, {0}}, {0, 1, 1.0f, {1}}, {1, kB, 3.0f, {2}}}, {}, 0, true},
        HandCase{"likely_boundary_edge_fired", 2,
                 {{0, kB, -2.0f, {0}}, {0, 1, 1.0f, {1}}, {1, kB, 3.0f, {2}}}, {0}, 1, true},
        // A negative weight (p > 0.5) is in the baseline correction.
        HandCase{"negative_weight", 2,
                 {{0, 1, -3.0f, {0}}, {0, kB, 0.5f, {1}}, {1, kB, 0.5f, {2}}}, {0, 1}, 1, true},
        // Nothing can explain a lone defect of an isolated pair.
        HandCase{"unexplainable", 2, {{0, 1, 1.0f, {0}}}, {0}, 0, false},
        HandCase{"unexplainable_no_edges", 3, {}, {1}, 0, false},
        // Indices at or beyond the node count, and the boundary index, are left out.
        HandCase{"beyond_node_count", 2, {{0, kB, 1.0f, {0}}, {0, 1, 1.0f, {1}}}, {2, 3, 900}, 0,
                 true},
        HandCase{"beyond_mixed", 2, {{0, kB, 1.0f, {0}}, {0, 1, 1.0f, {1}}}, {1, 7}, 3, true},
        // A repeated index toggles twice.
        HandCase{"repeated_index", 2, {{0, kB, 1.0f, {0}}, {0, 1, 1.0f, {1}}}, {0, 0}, 0, true},
        // Observables 64 and up are past the mask (last_observables has them), and a repeated
        // id cancels.
        HandCase{"observable_past_the_mask", 1, {{0, kB, 1.0f, {64, 3, 3, 0}}}, {0}, 1, true},
        // A heavier detour is used when the direct edge cannot grow.
        HandCase{"detour", 3, {{0, 2, kNaN, {0}}, {0, 1, 1.0f, {1}}, {1, 2, 1.0f, {2}}}, {0, 2}, 6,
                 true}),
    [](const testing::TestParamInfo<HandCase>& info) { return std::string(info.param.name); });

TEST(UnionFind, WeightedGrowthPrefersTheLighterPair) {
  // Defect 1 sits between defects 0 and 2; it pairs with the nearer one by weight, and the
  // remaining one goes to its boundary.
  const std::vector<EdgeSpec> edges = {
      {0, kB, 2.0f, {0}}, {0, 1, 3.0f, {1}}, {1, 2, 1.0f, {2}}, {2, kB, 2.0f, {3}}};
  UnionFindDecoder decoder(make_graph(3, edges));
  EXPECT_EQ(decoder.decode_detectors(std::vector<std::uint32_t>{0, 1, 2}), 0b101u);
}

// Recorded clusters: defects 1 and 2 merge, and defect 0, which grows into its boundary, stays
// apart from them.
TEST(UnionFind, RecordsTheFinalClusters) {
  const std::vector<EdgeSpec> edges = {
      {0, kB, 2.0f, {0}}, {0, 1, 3.0f, {1}}, {1, 2, 1.0f, {2}}, {2, kB, 2.0f, {3}}};
  UnionFindDecoder decoder(make_graph(3, edges));
  decoder.record_clusters(true);
  decoder.decode_detectors(std::vector<std::uint32_t>{0, 1, 2});
  std::map<std::uint32_t, std::uint32_t> root;
  for (auto [node, r] : decoder.last_clusters()) root[node] = r;
  ASSERT_EQ(root.size(), 3u);
  EXPECT_EQ(root[1], root[2]);
  EXPECT_NE(root[0], root[1]);
}

// A pair's correction must not depend on defects in a part of the graph it cannot reach.
// Weights are whole multiples of 1/4096 so that lengths are exact: 8193/4096 is the pair's
// edge, 4097/4096 each boundary edge; the pair (8193) is lighter than both boundary edges
// (8194). The second component, 2 - {3, 4}, has a fired node with two fired neighbours.
TEST(UnionFind, PairIgnoresAnUnrelatedComponent) {
  const float pair = 8193.0f / 4096.0f, side = 4097.0f / 4096.0f;
  const std::vector<EdgeSpec> edges = {{0, 1, pair, {0}},     {0, kB, side, {}}, {1, kB, side, {}},
                                       {2, 3, 1.0f, {1}},     {2, 4, 1.0f, {1}}, {3, kB, 1.0f, {}},
                                       {4, kB, 1.0f, {}}};
  UnionFindDecoder decoder(make_graph(5, edges));
  EXPECT_EQ(decoder.decode_detectors(std::vector<std::uint32_t>{0, 1}), 1u);
  EXPECT_EQ(decoder.decode_detectors(std::vector<std::uint32_t>{0, 1, 2, 3, 4}) & 1u, 1u);
  // A tie (pair 8192 against boundary edges of 4096 each) is still broken alike both ways.
  const std::vector<EdgeSpec> tied = {{0, 1, 2.0f, {0}},  {0, kB, 1.0f, {}}, {1, kB, 1.0f, {}},
                                      {2, 3, 1.0f, {1}},  {2, 4, 1.0f, {1}}, {3, kB, 1.0f, {}},
                                      {4, kB, 1.0f, {}}};
  UnionFindDecoder tie(make_graph(5, tied));
  EXPECT_EQ(tie.decode_detectors(std::vector<std::uint32_t>{0, 1}),
            tie.decode_detectors(std::vector<std::uint32_t>{0, 1, 2, 3, 4}) & 1u);
}

TEST(UnionFind, DecodingIsRepeatable) {
  const std::vector<EdgeSpec> edges = line(2.0f, 3.0f);
  UnionFindDecoder decoder(make_graph(4, edges));
  const std::vector<std::vector<std::uint32_t>> syndromes = {{1}, {0, 3}, {2}, {1, 2, 3}, {}};
  std::vector<std::uint64_t> first;
  for (const auto& s : syndromes) first.push_back(decoder.decode_detectors(s));
  for (int repeat = 0; repeat < 3; ++repeat) {
    for (std::size_t i = 0; i < syndromes.size(); ++i) {
      EXPECT_EQ(decoder.decode_detectors(syndromes[i]), first[i]) << "syndrome " << i;
    }
  }
  // A fresh decoder agrees: nothing carries over between decodes.
  UnionFindDecoder fresh(make_graph(4, edges));
  for (std::size_t i = 0; i < syndromes.size(); ++i) {
    EXPECT_EQ(fresh.decode_detectors(syndromes[i]), first[i]);
  }
}

TEST(UnionFind, EmptyGraphAndOutOfRangeBoundary) {
  auto graph = std::make_shared<SpacetimeGraph>();  // no nodes at all
  UnionFindDecoder empty(graph);
  EXPECT_EQ(empty.decode_detectors(std::vector<std::uint32_t>{0, 1, 5}), 0u);

  // Edge ends beyond the node count are read as the boundary.
  auto odd = std::make_shared<SpacetimeGraph>();
  odd->nodes.resize(2);
  odd->boundary = 1;
  odd->edges.push_back({{4}, 0, 77, 1.0f});
  UnionFindDecoder decoder(odd);
  EXPECT_EQ(decoder.decode_detectors(std::vector<std::uint32_t>{0}), 16u);
  EXPECT_TRUE(decoder.last_decode_neutral());
}

OwnedSyndromeData round_of(std::vector<std::uint8_t> events) {
  OwnedSyndromeData data;
  data.detector_events = std::move(events);
  return data;
}

TEST(UnionFind, DecodeWindowResults) {
  // Two rounds of two ancillas: detectors 0..3, each with a boundary edge.
  const std::vector<EdgeSpec> edges = {{0, kB, 1.0f, {0}}, {1, kB, 1.0f, {1, 64}},
                                       {2, kB, 1.0f, {2}}, {3, kB, 1.0f, {63}},
                                       {0, 2, 5.0f, {}},   {1, 3, 5.0f, {}}};
  UnionFindDecoder decoder(make_graph(4, edges));

  SyndromeWindow empty(2, 2);
  DecoderResult r = decoder.decode_window(empty);
  EXPECT_EQ(r.confidence, 1.0);
  EXPECT_EQ(r.observable_flips, 0u);
  EXPECT_TRUE(r.corrections.empty());

  SyndromeWindow quiet(2, 2);
  quiet.push_owned(round_of({0, 0}));
  r = decoder.decode_window(quiet);
  EXPECT_EQ(r.confidence, 1.0);
  EXPECT_EQ(r.observable_flips, 0u);

  SyndromeWindow window(2, 2);
  window.push_owned(round_of({0, 1}));
  window.push_owned(round_of({0, 1}));
  r = decoder.decode_window(window);  // detectors 1 and 3: each to the boundary
  EXPECT_EQ(r.confidence, 0.9);
  EXPECT_EQ(r.observable_flips, (std::uint64_t{1} << 63) | 0b10u);  // id 64 is past the mask
  ASSERT_EQ(r.corrections.size(), 2u);
  EXPECT_EQ(r.corrections[0], (LogicalCorrection{1, 3}));
  EXPECT_EQ(r.corrections[1], (LogicalCorrection{63, 3}));

  // Fired detectors that the graph does not hold still count as fired.
  SyndromeWindow wide(8, 1);
  wide.push_owned(round_of({0, 0, 0, 0, 0, 0, 0, 1}));
  r = decoder.decode_window(wide);
  EXPECT_EQ(r.confidence, 0.9);
  EXPECT_EQ(r.observable_flips, 0u);
  EXPECT_TRUE(r.corrections.empty());
  EXPECT_TRUE(r.valid);

  // One fired end of an edge without a boundary: no error explains it.
  UnionFindDecoder pair(make_graph(2, {{0, 1, 2.0f, {0}}}));
  SyndromeWindow lone(2, 1);
  lone.push_owned(round_of({1, 0}));
  r = pair.decode_window(lone);
  EXPECT_FALSE(r.valid);
  EXPECT_EQ(r.confidence, 0.0);
  EXPECT_EQ(r.observable_flips, 0u);
}

// Random graphs with parallel edges, self-loops, boundary edges and some edges that cannot
// grow, decoded on random syndromes and on syndromes of random error sets.
TEST(UnionFind, PropertyNeutralCorrectionsReproduceTheSyndrome) {
  std::mt19937 rng(20261207);
  int neutral_seen = 0;
  int odd_seen = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const std::uint32_t n = 1 + rng() % 30;
    const std::uint32_t m = rng() % (3 * n + 2);
    std::vector<EdgeSpec> specs;
    for (std::uint32_t i = 0; i < m; ++i) {
      EdgeSpec s;
      s.a = rng() % n;
      const std::uint32_t pick = rng() % (n + 2);
      s.b = pick >= n ? kB : pick;
      const int kind = static_cast<int>(rng() % 20);
      s.weight = kind == 0   ? kNaN
                 : kind == 1 ? -1.0f
                 : kind == 2 ? 0.0f
                             : std::uniform_real_distribution<float>(0.1f, 8.0f)(rng);
      for (std::uint32_t o = rng() % 3; o > 0; --o) s.observables.push_back(rng() % 70);
      specs.push_back(std::move(s));
    }
    auto graph = make_graph(n, specs);
    UnionFindDecoder decoder(graph);

    for (int shot = 0; shot < 10; ++shot) {
      std::vector<std::uint32_t> fired;
      const bool from_errors = shot % 2 == 0;
      if (from_errors) {
        // The syndrome of random growable edges: always explainable.
        std::vector<std::uint32_t> error_edges;
        for (std::uint32_t i = 0; i < m; ++i) {
          if (!std::isnan(specs[i].weight) && rng() % 4 == 0) error_edges.push_back(i);
        }
        auto s = syndrome_of(*graph, error_edges);
        fired.assign(s.begin(), s.end());
      } else {
        for (std::uint32_t d = 0; d < n + 2; ++d) {
          if (rng() % 3 == 0) fired.push_back(d);
        }
      }
      const std::uint64_t flips = decoder.decode_detectors(fired);
      const ObservableBits all = all_observables_of(*graph, decoder.last_correction_edges());
      EXPECT_EQ(flips, all.low());
      EXPECT_EQ(decoder.last_observables(), all);
      for (std::uint32_t id : decoder.last_correction_edges()) {
        EXPECT_NE(graph->edges[id].node_a, graph->edges[id].node_b) << "self-loop in correction";
        EXPECT_FALSE(std::isnan(graph->edges[id].weight));
      }
      if (from_errors) {
        EXPECT_TRUE(decoder.last_decode_neutral()) << "trial " << trial << " shot " << shot;
      }
      if (decoder.last_decode_neutral()) {
        ++neutral_seen;
        std::set<std::uint32_t> expected;
        for (std::uint32_t d : fired) {
          if (d < n) expected.insert(d);
        }
        EXPECT_EQ(syndrome_of(*graph, decoder.last_correction_edges()), expected)
            << "trial " << trial << " shot " << shot;
      } else {
        ++odd_seen;
      }
      // Decoding again, with the fired list in another order, gives the same answer (where the
      // syndrome is satisfiable: an odd cluster's leftover depends on where peeling starts).
      const bool neutral = decoder.last_decode_neutral();
      std::shuffle(fired.begin(), fired.end(), rng);
      const std::uint64_t again = decoder.decode_detectors(fired);
      if (neutral) {
        EXPECT_EQ(again, flips) << "trial " << trial << " shot " << shot;
      }
    }
  }
  EXPECT_GT(neutral_seen, 1000);
  EXPECT_GT(odd_seen, 10);
}

}  // namespace
}  // namespace kelvane

namespace kelvane {
namespace {

// A plain round-by-round version of the same weighted growth, for simple graphs (no parallel
// edges, no self-loops, finite weights): every round, all odd clusters away from the boundary
// grow by the smallest remaining slack of their frontier edges; fully grown edges merge in edge
// order; the merge edges are peeled from the leaves inward.
// `tie` tells whether two edges ever became fully grown in the same round (then the order of
// their merges, and with it the correction, may differ).
// `lengths`, when given, replaces the lengths the weights give.
std::uint64_t reference_decode(std::uint32_t n, const std::vector<EdgeSpec>& specs,
                               const std::vector<std::uint32_t>& fired, bool& neutral, bool& tie,
                               const std::vector<std::int64_t>* lengths = nullptr) {
  tie = false;
  const std::uint32_t boundary = n;
  std::vector<std::uint32_t> parent(n + 1);
  std::vector<int> odd(n + 1, 0), at_boundary(n + 1, 0), defect(n + 1, 0);
  for (std::uint32_t i = 0; i <= n; ++i) parent[i] = i;
  at_boundary[boundary] = 1;
  for (std::uint32_t d : fired) {
    if (d < n) {
      odd[d] ^= 1;
      defect[d] ^= 1;
    }
  }
  auto find = [&](std::uint32_t x) {
    while (parent[x] != x) x = parent[x];
    return x;
  };
  auto active = [&](std::uint32_t r) { return odd[r] && !at_boundary[r]; };
  const std::size_t m = specs.size();
  std::vector<std::int64_t> length(m), grown(m, 0);
  std::vector<std::uint32_t> ends_b(m);
  for (std::size_t i = 0; i < m; ++i) {
    const double w = specs[i].weight;
    const double half_units = UnionFindDecoder::kUnitsPerWeight / 2;
    length[i] = w > 0 ? 2 * static_cast<std::int64_t>(std::round(w * half_units)) : 0;
    ends_b[i] = specs[i].b == kB ? boundary : specs[i].b;
  }
  if (lengths) length = *lengths;
  std::vector<std::vector<std::pair<std::uint32_t, std::size_t>>> tree(n + 1);
  while (true) {
    std::int64_t delta = std::numeric_limits<std::int64_t>::max();
    for (std::size_t i = 0; i < m; ++i) {
      const std::uint32_t ra = find(specs[i].a), rb = find(ends_b[i]);
      const int sides = ra == rb ? 0 : active(ra) + active(rb);
      if (sides == 0) continue;
      delta = std::min(delta, (length[i] - grown[i] + sides - 1) / sides);
    }
    if (delta == std::numeric_limits<std::int64_t>::max()) break;
    std::vector<int> sides_of(m, 0);
    for (std::size_t i = 0; i < m; ++i) {
      const std::uint32_t ra = find(specs[i].a), rb = find(ends_b[i]);
      sides_of[i] = ra == rb ? 0 : active(ra) + active(rb);
    }
    int completed = 0;
    for (std::size_t i = 0; i < m; ++i) {
      grown[i] = std::min(length[i], grown[i] + sides_of[i] * delta);
      if (sides_of[i] > 0 && grown[i] == length[i]) ++completed;
    }
    if (completed > 1) tie = true;
    for (std::size_t i = 0; i < m; ++i) {
      if (sides_of[i] == 0 || grown[i] < length[i]) continue;
      std::uint32_t ra = find(specs[i].a), rb = find(ends_b[i]);
      if (ra == rb) continue;
      parent[rb] = ra;
      odd[ra] ^= odd[rb];
      at_boundary[ra] |= at_boundary[rb];
      tree[specs[i].a].push_back({ends_b[i], i});
      tree[ends_b[i]].push_back({specs[i].a, i});
    }
  }
  std::uint64_t mask = 0;
  neutral = true;
  std::vector<int> seen(n + 1, 0);
  auto peel_from = [&](std::uint32_t root) {
    std::vector<std::uint32_t> order = {root};
    std::vector<std::pair<std::uint32_t, std::size_t>> up(n + 1);
    seen[root] = 1;
    for (std::size_t k = 0; k < order.size(); ++k) {
      for (auto [y, e] : tree[order[k]]) {
        if (seen[y]) continue;
        seen[y] = 1;
        up[y] = {order[k], e};
        order.push_back(y);
      }
    }
    for (std::size_t k = order.size(); k-- > 1;) {
      const std::uint32_t y = order[k];
      if (!defect[y]) continue;
      defect[y] = 0;
      defect[up[y].first] ^= 1;
      for (std::uint8_t o : specs[up[y].second].observables) {
        if (o < 64) mask ^= std::uint64_t{1} << o;
      }
    }
    if (root != boundary && defect[root]) neutral = false;
  };
  peel_from(boundary);
  for (std::uint32_t i = 0; i < n; ++i) {
    if (!seen[i]) peel_from(i);
  }
  return mask;
}

// The correction edges of the last decode that lie in the first `m` graph edges, as a set.
std::multiset<std::uint32_t> correction_below(const UnionFindDecoder& decoder, std::size_t m) {
  std::multiset<std::uint32_t> edges;
  for (std::uint32_t id : decoder.last_correction_edges()) {
    if (id < m) edges.insert(id);
  }
  return edges;
}

// Random simple graphs, half with continuous weights (edges rarely complete at the same
// instant) and half with weights in quarters from 0 to 3 (ties everywhere), on syndromes from
// empty to full. Each syndrome is decoded
//  - alone, when a sparse one may take the shortcut;
//  - with a separate three-node component fired beside it, whose middle node has two fired
//    neighbours, so the same part is decoded by full growth: the correction must be the same
//    edges (an answer may not change with defects it cannot reach);
//  - by the round-by-round growth, where no two edges completed at the same time.
TEST(UnionFind, PropertyShortcutGrowthAndRoundByRoundGrowthAgree) {
  std::mt19937 rng(99);
  int compared = 0;
  int shortcuts = 0;
  int tied_shortcuts = 0;
  for (int trial = 0; trial < 600; ++trial) {
    const bool integer = trial % 2 == 1;
    auto weight = [&] {
      return integer ? static_cast<float>(rng() % 13) / 4.0f
                     : std::uniform_real_distribution<float>(0.5f, 9.0f)(rng);
    };
    // Every tenth graph has a hub joined to every node, so that rows of more than 64 entries
    // are weighed too.
    const bool hub = trial % 10 == 0;
    const std::uint32_t n = hub ? 70 + rng() % 40 : 2 + rng() % 40;
    std::set<std::pair<std::uint32_t, std::uint32_t>> pairs;
    std::vector<EdgeSpec> specs;
    for (std::uint32_t k = 1; hub && k < n; ++k) {
      pairs.insert({0, k});
      specs.push_back({0, k, weight(), {}});
    }
    const std::uint32_t m = n + rng() % (3 * n);
    for (std::uint32_t i = 0; i < m; ++i) {
      const std::uint32_t a = rng() % n;
      const std::uint32_t pick = rng() % (n + 3);
      const std::uint32_t b = pick >= n ? kB : pick;
      const auto key = std::make_pair(std::min(a, b), std::max(a, b));
      if (a == b || !pairs.insert(key).second) continue;
      EdgeSpec s{a, b, weight(), {}};
      for (std::uint32_t o = rng() % 3; o > 0; --o) s.observables.push_back(rng() % 8);
      specs.push_back(std::move(s));
    }
    UnionFindDecoder decoder(make_graph(n, specs));
    // Nodes n, n + 1, n + 2 (the boundary moves to n + 3): n joined to both others, each of
    // which has a boundary edge.
    std::vector<EdgeSpec> beside = specs;
    beside.push_back({n, n + 1, weight(), {}});
    beside.push_back({n, n + 2, weight(), {}});
    beside.push_back({n + 1, kB, weight(), {}});
    beside.push_back({n + 2, kB, weight(), {}});
    UnionFindDecoder grown(make_graph(n + 3, beside));

    for (int shot = 0; shot < 14; ++shot) {
      std::vector<std::uint32_t> fired;
      for (std::uint32_t d = 0; d < n; ++d) {
        // Empty and full syndromes, then every other shot sparse, so that many settle as
        // isolated pairs and lone nodes.
        const bool fire = shot == 0   ? false
                          : shot == 1 ? true
                                      : rng() % (shot % 2 ? 5 : 30) == 0;
        if (fire) fired.push_back(d);
      }
      const std::uint64_t got = decoder.decode_detectors(fired);
      const bool neutral = decoder.last_decode_neutral();
      const auto edges = correction_below(decoder, specs.size());
      if (decoder.last_decode_settled_at_once()) {
        ++shortcuts;
        tied_shortcuts += integer;
      }

      std::vector<std::uint32_t> with_beside = fired;
      with_beside.insert(with_beside.end(), {n, n + 1, n + 2});
      EXPECT_EQ(grown.decode_detectors(with_beside), got) << "trial " << trial << " shot " << shot;
      EXPECT_FALSE(grown.last_decode_settled_at_once());
      EXPECT_EQ(grown.last_decode_neutral(), neutral);
      EXPECT_EQ(correction_below(grown, specs.size()), edges)
          << "trial " << trial << " shot " << shot;

      bool reference_neutral = false;
      bool tie = false;
      const std::uint64_t expected = reference_decode(n, specs, fired, reference_neutral, tie);
      EXPECT_EQ(neutral, reference_neutral) << "trial " << trial << " shot " << shot;
      // An odd cluster's leftover depends on where peeling starts; simultaneous completions
      // (equal lengths after rounding) may merge in another order.
      if (!neutral || tie) continue;
      EXPECT_EQ(got, expected) << "trial " << trial << " shot " << shot;
      ++compared;
    }
  }
  EXPECT_GT(compared, 4000);
  EXPECT_GT(shortcuts, 1000);
  EXPECT_GT(tied_shortcuts, 400);
}

}  // namespace
}  // namespace kelvane

namespace kelvane {
namespace {

std::shared_ptr<const SpacetimeGraph> graph_of_dem(const char* text, bool keep_mechanisms) {
  auto m = DetectorErrorModel::parse(text);
  EXPECT_TRUE(m.has_value());
  return std::make_shared<const SpacetimeGraph>(SpacetimeGraph::from_dem(*m, keep_mechanisms));
}

std::int64_t length_of_probability(double p) {
  return static_cast<std::int64_t>(std::round(std::log((1 - p) / p) * UnionFindDecoder::kUnitsPerWeight));
}

// D0's only edge is one component of a decomposed mechanism whose other component, D1-D2 with
// L0, is heavier than the route through D3. The first pass takes the route; knowing D0-B fired,
// the second takes D1-D2.
TEST(CorrelatedUnionFind, SecondPassFollowsTheMechanism) {
  const char* text = "error(0.01) D0 ^ D1 D2 L0\nerror(0.2) D1 D3\nerror(0.2) D3 D2\n";
  const std::vector<std::uint32_t> fired = {0, 1, 2};
  UnionFindDecoder plain(graph_of_dem(text, false));
  EXPECT_EQ(plain.decode_detectors(fired), 0u);
  EXPECT_EQ(plain.decode_detectors(fired, true), 0u);  // nothing to correlate: a plain decode
  UnionFindDecoder correlated(graph_of_dem(text, true));
  EXPECT_EQ(correlated.decode_detectors(fired), 0u);
  EXPECT_EQ(correlated.decode_detectors(fired, true), 1u);
  std::vector<std::uint32_t> edges(correlated.last_correction_edges().begin(),
                                   correlated.last_correction_edges().end());
  std::sort(edges.begin(), edges.end());
  EXPECT_EQ(edges, (std::vector<std::uint32_t>{0, 1}));
  // The shortened lengths were put back.
  EXPECT_EQ(correlated.decode_detectors(fired), 0u);
  EXPECT_EQ(correlated.decode_detectors(std::vector<std::uint32_t>{1, 2}, true), 0u);
}

// joint / marginal over folded parallel edges and shared mechanisms, clamped at 0.5; pairs that
// would not shorten an edge are not listed.
TEST(CorrelatedUnionFind, GraphListsShortenedLengths) {
  auto source = graph_of_dem(
      "error(0.01) D0 ^ D1 D2\nerror(0.02) D0 ^ D1 D2\nerror(0.03) D0\nerror(0.1) D3 ^ D1 D2\n"
      "error(0.01) D4 ^ D5\nerror(0.3) D5\nerror(0.3) D4\n",
      true);
  const DecodingGraph g(source);
  ASSERT_TRUE(g.has_correlations());
  auto edge_between = [&](std::uint32_t u, std::uint32_t v) {
    for (std::uint32_t e = 0; e < g.edges().size(); ++e) {
      if (g.edge(e).u == u && g.edge(e).v == v) return e;
    }
    ADD_FAILURE() << u << "-" << v;
    return 0u;
  };
  const std::uint32_t b = g.boundary();
  const std::uint32_t d0 = edge_between(0, b), d12 = edge_between(1, 2), d3 = edge_between(3, b);
  DecodingGraph::CorrelationScratch scratch;
  auto listed = [&](std::uint32_t c) {
    std::vector<std::pair<std::uint32_t, std::int64_t>> out;
    for (auto a : g.correlated(c, scratch)) out.emplace_back(a.edge, a.length);
    return out;
  };
  // joint(D0, D1-D2) = 1 - 0.99 * 0.98 = 0.0298 over marginal(D0) = 1 - 0.99 * 0.98 * 0.97 =
  // 0.0589 is clamped to 0.5 (length 0); over marginal(D1-D2) = 1 - 0.99 * 0.98 * 0.9 it is
  // 0.235, and 0.1 / 0.127 is clamped.
  const double joint_0 = 1 - 0.99 * 0.98;
  const double marginal_12 = 1 - 0.99 * 0.98 * 0.9;
  EXPECT_EQ(listed(d0), (std::vector<std::pair<std::uint32_t, std::int64_t>>{{d12, 0}}));
  EXPECT_EQ(listed(d12), (std::vector<std::pair<std::uint32_t, std::int64_t>>{
                             {d0, length_of_probability(joint_0 / marginal_12)}, {d3, 0}}));
  EXPECT_EQ(listed(d3), (std::vector<std::pair<std::uint32_t, std::int64_t>>{{d12, 0}}));
  // D4 and D5 fire mostly on their own, so either firing leaves the other about as likely as
  // it was: nothing listed.
  EXPECT_TRUE(listed(edge_between(4, b)).empty());
  EXPECT_TRUE(listed(edge_between(5, b)).empty());
  EXPECT_FALSE(DecodingGraph(graph_of_dem("error(0.1) D0 ^ D1", false)).has_correlations());
}

// The entries the graph lists, and those it works out when asked for edges of mechanisms too
// large to list, are the ones the rule gives over every pair (worked out here pair by pair, as
// the rule reads): mechanisms of 2 to 60 edges, overlapping, repeated, holding parallel edges
// that fold into one decoding edge and edges likelier than not.
TEST(CorrelatedUnionFind, PropertyCorrelationsOfEveryMechanismSizeFollowTheRule) {
  std::mt19937 rng(77);
  int computed = 0, listed = 0;
  for (int trial = 0; trial < 60; ++trial) {
    const std::uint32_t n = 4 + rng() % 60;
    std::vector<EdgeSpec> specs;
    for (std::uint32_t i = 0, m = n + rng() % (2 * n); i < m; ++i) {
      const std::uint32_t a = rng() % n, pick = rng() % (n + 3);
      const std::uint32_t b = pick >= n ? kB : pick;
      if (a == b) continue;
      const float w = rng() % 12 == 0 ? -1.5f : std::uniform_real_distribution<float>(0.5f, 7.0f)(rng);
      specs.push_back({a, b, w, {}});
    }
    auto graph = std::const_pointer_cast<SpacetimeGraph>(make_graph(n, specs));
    graph->keeps_mechanisms = true;
    for (std::uint32_t k = 0; k < 2 * specs.size(); ++k) {
      const std::uint32_t count = std::min<std::uint32_t>(rng() % 12 == 0 ? 2 + rng() % 59 : 2 + rng() % 3,
                                                          static_cast<std::uint32_t>(specs.size()));
      const std::uint32_t first = rng() % static_cast<std::uint32_t>(specs.size() - count + 1);
      if (count < 2) continue;
      graph->mechanisms.push_back({first, count, std::uniform_real_distribution<double>(0.001, 0.4)(rng)});
    }
    const DecodingGraph g{std::shared_ptr<const SpacetimeGraph>(graph)};
    const std::size_t edges = g.edges().size();
    // Decoding edges of each graph edge; ln P(none fires) of each decoding edge and pair.
    std::vector<std::uint32_t> of(specs.size(), DecodingGraph::kNoEntry);
    for (std::uint32_t i = 0; i < specs.size(); ++i) of[i] = g.decoding_edge_of(i);
    std::vector<double> none(edges, 0.0);
    for (std::uint32_t i = 0; i < specs.size(); ++i) {
      if (of[i] != DecodingGraph::kNoEntry) none[of[i]] += std::log1p(-1.0 / (1.0 + std::exp(double{specs[i].weight})));
    }
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<double>> terms;
    std::vector<std::size_t> largest(edges, 0);
    for (const SpacetimeMechanism& mech : graph->mechanisms) {
      std::set<std::uint32_t> members;
      for (std::uint32_t k = 0; k < mech.edge_count; ++k) {
        if (of[mech.first_edge + k] != DecodingGraph::kNoEntry) members.insert(of[mech.first_edge + k]);
      }
      for (std::uint32_t c : members) {
        largest[c] = std::max(largest[c], members.size());
        for (std::uint32_t a : members) {
          if (a != c) terms[{c, a}].push_back(std::log1p(-mech.probability));
        }
      }
    }
    std::set<std::uint32_t> baseline(g.baseline_decoding_edges().begin(), g.baseline_decoding_edges().end());
    DecodingGraph::CorrelationScratch scratch;
    for (std::uint32_t c = 0; c < edges; ++c) {
      std::vector<std::pair<std::uint32_t, std::uint32_t>> want, got;
      for (auto it = terms.lower_bound({c, 0}); it != terms.end() && it->first.first == c; ++it) {
        auto& [pair, logs] = *it;
        if (baseline.count(pair.second)) continue;
        std::sort(logs.begin(), logs.end());
        double log_neither = 0.0;
        for (double t : logs) log_neither += t;
        const double p = std::min(0.5, -std::expm1(log_neither) / -std::expm1(none[c]));
        const auto length = static_cast<std::uint32_t>(
            std::min<double>(2 * std::round(std::log((1 - p) / p) * UnionFindDecoder::kUnitsPerWeight / 2),
                             DecodingGraph::kMaxLength));
        if (length < g.edge(pair.second).length) want.emplace_back(pair.second, length);
      }
      for (const DecodingGraph::Correlated& a : g.correlated(c, scratch)) got.emplace_back(a.edge, a.length);
      ASSERT_EQ(got, want) << "trial " << trial << " edge " << c;
      (largest[c] > DecodingGraph::kListedMechanismEdges ? computed : listed) += !want.empty();
    }
  }
  EXPECT_GT(computed, 200);
  EXPECT_GT(listed, 200);
}

// The second pass against round-by-round growth with the shortened lengths worked out here
// from the first correction, on random simple graphs whose mechanisms are random (possibly
// overlapping) runs of edges. Some edges are likelier than not (p > 0.5): the decoder takes
// them as a baseline correction, so the reference decodes their complements on the syndrome
// they leave, the first correction (baseline included) shortens edges, and baseline edges are
// never shortened (their negative weight is below any the rule gives). Graphs with integer
// weights, where edges complete together, are checked for corrections that reproduce the
// syndrome. Syndromes run from empty to full.
TEST(CorrelatedUnionFind, PropertySecondPassIsGrowthWithShortenedLengths) {
  std::mt19937 rng(4242);
  int compared = 0, changed = 0, compared_with_baseline = 0;
  auto length_of_weight = [](float w) {
    return 2 * static_cast<std::int64_t>(std::round(std::fabs(double{w}) * UnionFindDecoder::kUnitsPerWeight / 2));
  };
  for (int trial = 0; trial < 400; ++trial) {
    const bool ties = trial % 4 == 3;
    const std::uint32_t n = 2 + rng() % 40;
    std::set<std::pair<std::uint32_t, std::uint32_t>> pairs;
    std::vector<EdgeSpec> specs;
    const std::uint32_t m = n + rng() % (3 * n);
    for (std::uint32_t i = 0; i < m; ++i) {
      const std::uint32_t a = rng() % n;
      const std::uint32_t pick = rng() % (n + 3);
      const std::uint32_t b = pick >= n ? kB : pick;
      if (a == b || !pairs.insert({std::min(a, b), std::max(a, b)}).second) continue;
      const float w = ties                ? static_cast<float>(static_cast<int>(rng() % 5) - 1)
                      : rng() % 10 == 0 ? std::uniform_real_distribution<float>(-4.0f, -0.3f)(rng)
                                          : std::uniform_real_distribution<float>(0.5f, 9.0f)(rng);
      EdgeSpec s{a, b, w, {}};
      for (std::uint32_t o = rng() % 3; o > 0; --o) s.observables.push_back(rng() % 8);
      specs.push_back(std::move(s));
    }
    auto graph = std::const_pointer_cast<SpacetimeGraph>(make_graph(n, specs));
    graph->keeps_mechanisms = true;
    for (std::uint32_t k = 0; k < specs.size() / 2; ++k) {
      // Now and then a mechanism too large for the graph to list its pairs.
      const std::uint32_t count = rng() % 16 == 0 ? 17 + rng() % 24 : 2 + rng() % 3;
      const std::uint32_t first = rng() % static_cast<std::uint32_t>(specs.size());
      if (first + count > specs.size()) continue;
      graph->mechanisms.push_back({first, count, std::uniform_real_distribution<double>(0.001, 0.3)(rng)});
    }
    UnionFindDecoder decoder{std::shared_ptr<const SpacetimeGraph>(graph)};
    // The complements of the likely edges, and what taking those edges does.
    std::vector<EdgeSpec> complement = specs;
    std::vector<std::uint32_t> likely;
    std::vector<std::int64_t> base(specs.size());
    for (std::size_t i = 0; i < specs.size(); ++i) {
      if (specs[i].weight < 0) likely.push_back(static_cast<std::uint32_t>(i));
      complement[i].weight = std::fabs(specs[i].weight);
      base[i] = length_of_weight(specs[i].weight);
    }
    const std::set<std::uint32_t> toggled = syndrome_of(*graph, likely);
    const std::uint64_t likely_observables = observables_of(*graph, likely);
    for (int shot = 0; shot < 12; ++shot) {
      std::set<std::uint32_t> fired_set;
      for (std::uint32_t d = 0; d < n; ++d) {
        if (shot == 0 || (shot > 1 && rng() % (shot % 2 ? 4 : 12) == 0)) fired_set.insert(d);
      }
      const std::vector<std::uint32_t> fired(fired_set.begin(), fired_set.end());
      decoder.decode_detectors(fired);
      const std::vector<std::uint32_t> first(decoder.last_correction_edges().begin(),
                                             decoder.last_correction_edges().end());
      std::vector<std::int64_t> lengths = base;
      for (std::uint32_t c : first) {
        const double marginal = 1.0 / (1.0 + std::exp(double{specs[c].weight}));
        for (std::uint32_t a = 0; a < specs.size(); ++a) {
          if (specs[a].weight < 0) continue;
          double none = 1.0;
          for (const SpacetimeMechanism& mech : graph->mechanisms) {
            const bool has_c = c >= mech.first_edge && c < mech.first_edge + mech.edge_count;
            const bool has_a = a >= mech.first_edge && a < mech.first_edge + mech.edge_count;
            if (has_c && has_a && a != c) none *= 1 - mech.probability;
          }
          if (none == 1.0) continue;
          const double p = std::min(0.5, (1 - none) / marginal);
          lengths[a] = std::min(lengths[a], length_of_weight(static_cast<float>(std::log((1 - p) / p))));
        }
      }
      const std::uint64_t got = decoder.decode_detectors(fired, true);
      changed += lengths != base;
      const std::vector<std::uint32_t> second(decoder.last_correction_edges().begin(),
                                              decoder.last_correction_edges().end());
      EXPECT_EQ(got, observables_of(*graph, second));
      if (decoder.last_decode_neutral()) {
        EXPECT_EQ(syndrome_of(*graph, second), fired_set) << "trial " << trial << " shot " << shot;
      }
      if (ties) continue;
      std::vector<std::uint32_t> moved;
      std::set_symmetric_difference(fired_set.begin(), fired_set.end(), toggled.begin(), toggled.end(),
                                    std::back_inserter(moved));
      bool neutral = false, tie = false;
      const std::uint64_t expected =
          reference_decode(n, complement, moved, neutral, tie, &lengths) ^ likely_observables;
      EXPECT_EQ(decoder.last_decode_neutral(), neutral) << "trial " << trial << " shot " << shot;
      if (!neutral || tie) continue;
      EXPECT_EQ(got, expected) << "trial " << trial << " shot " << shot;
      ++compared;
      compared_with_baseline += !likely.empty();
    }
  }
  EXPECT_GT(compared, 1000);
  EXPECT_GT(compared_with_baseline, 600);
  EXPECT_GT(changed, 1000);
}

}  // namespace
}  // namespace kelvane

namespace kelvane {
namespace {

// Edges of p > 0.5: decoding a model equals decoding it with each such edge at 1 - p (weight
// -w; p = 1 becomes p = 0, left out) on the syndrome with that edge's detectors toggled, its
// observables and the edge itself added to the answer. Random simple graphs with weights from a
// small set (ties, p = 0.5, p = 1, boundary edges among them), syndromes from empty to full.
TEST(UnionFind, PropertyLikelyEdgesAreABaselineCorrection) {
  std::mt19937 rng(18);
  const float choices[] = {-kInf, -2.0f, -1.0f, -0.5f, 0.0f, 0.5f, 1.0f, 2.0f};
  int with_baseline = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const std::uint32_t n = 2 + rng() % 20;
    std::set<std::pair<std::uint32_t, std::uint32_t>> pairs;
    std::vector<EdgeSpec> model, flipped;
    std::vector<std::uint32_t> likely;
    for (std::uint32_t i = 0, m = n + rng() % (2 * n); i < m; ++i) {
      const std::uint32_t a = rng() % n, pick = rng() % (n + 2);
      const std::uint32_t b = pick >= n ? kB : pick;
      if (a == b || !pairs.insert({std::min(a, b), std::max(a, b)}).second) continue;
      EdgeSpec s{a, b, choices[rng() % std::size(choices)], {}};
      for (std::uint32_t o = rng() % 2; o > 0; --o) s.observables.push_back(rng() % 6);
      if (s.weight < 0) likely.push_back(static_cast<std::uint32_t>(model.size()));
      model.push_back(s);
      s.weight = std::fabs(s.weight);  // -infinity becomes +infinity: never grows
      flipped.push_back(s);
    }
    auto model_graph = make_graph(n, model);
    UnionFindDecoder decoder(model_graph), complement(make_graph(n, flipped));
    with_baseline += !likely.empty();
    const std::set<std::uint32_t> toggled = syndrome_of(*model_graph, likely);
    const std::uint64_t likely_observables = observables_of(*model_graph, likely);
    for (int shot = 0; shot < 8; ++shot) {
      std::set<std::uint32_t> fired;
      for (std::uint32_t d = 0; d < n; ++d) {
        if (shot == 1 || (shot > 1 && rng() % (shot % 2 ? 3 : 8) == 0)) fired.insert(d);
      }
      std::vector<std::uint32_t> moved;  // the syndrome with the likely edges' detectors toggled
      std::set_symmetric_difference(fired.begin(), fired.end(), toggled.begin(), toggled.end(),
                                    std::back_inserter(moved));
      const std::uint64_t got = decoder.decode_detectors(std::vector<std::uint32_t>(fired.begin(), fired.end()));
      const std::uint64_t expected = complement.decode_detectors(moved) ^ likely_observables;
      ASSERT_EQ(decoder.last_decode_neutral(), complement.last_decode_neutral()) << "trial " << trial;
      if (!decoder.last_decode_neutral()) continue;  // the leftover depends on where peeling starts
      EXPECT_EQ(got, expected) << "trial " << trial << " shot " << shot;
      std::multiset<std::uint32_t> edges(decoder.last_correction_edges().begin(),
                                         decoder.last_correction_edges().end());
      std::set<std::uint32_t> expected_edges(likely.begin(), likely.end());
      for (std::uint32_t id : complement.last_correction_edges()) {
        if (!expected_edges.erase(id)) expected_edges.insert(id);
      }
      EXPECT_EQ(edges, std::multiset<std::uint32_t>(expected_edges.begin(), expected_edges.end()))
          << "trial " << trial << " shot " << shot;
      EXPECT_EQ(syndrome_of(*model_graph, decoder.last_correction_edges()), fired);
    }
  }
  EXPECT_GT(with_baseline, 250);
}

}  // namespace
}  // namespace kelvane
