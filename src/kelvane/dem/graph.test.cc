#include "kelvane/dem/graph.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "kelvane/dem/parser.h"

namespace kelvane {
namespace {

SpacetimeGraph graph_of(const char* text) {
  auto m = DetectorErrorModel::parse(text);
  EXPECT_TRUE(m.has_value()) << m.error().to_string();
  return m ? SpacetimeGraph::from_dem(*m) : SpacetimeGraph{};
}

// "a-b" per edge, with "B" for the boundary and the observables after a colon.
std::string edge_list(const SpacetimeGraph& g) {
  std::string out;
  for (const SpacetimeEdge& e : g.edges) {
    if (!out.empty()) out += ' ';
    out += std::to_string(e.node_a);
    out += '-';
    out += e.node_b == g.boundary ? std::string("B") : std::to_string(e.node_b);
    for (std::size_t k = 0; k < e.observables.size(); ++k) {
      out += k == 0 ? ':' : ',';
      out += std::to_string(e.observables[k]);
    }
  }
  return out;
}

struct EdgeCase {
  const char* text;
  const char* edges;
};

class GraphEdges : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(GraphEdges, FromDem) { EXPECT_EQ(edge_list(graph_of(GetParam().text)), GetParam().edges); }

INSTANTIATE_TEST_SUITE_P(
    Cases, GraphEdges,
    ::testing::Values(EdgeCase{"", ""}, EdgeCase{"error(0.1) D0", "0-B"}, EdgeCase{"error(0.1) D0 D1", "0-1"},
                      EdgeCase{"error(0.1) D2 D0 D1 ^ L0", ""}, EdgeCase{"error(0.1) ^ L0", ""},
                      EdgeCase{"error(0.1) D3 D3", "3-3"}, EdgeCase{"error(0.1) D1 D0\nerror(0.1) D1 D0", "1-0 1-0"},
                      // p = 0 gives no edge; p = 1 a certain one (weight -infinity).
                      EdgeCase{"error(0) D0\nerror(1) D0", "0-B"},
                      EdgeCase{"error(0.1) D0 D1 L0 L0", "0-1:0,0"},
                      // Stim decompositions: one edge set per component.
                      EdgeCase{"error(0.1) D0 D1 ^ D2 L0", "0-1 2-B:0"},
                      EdgeCase{"error(0.1) D0 L1 ^ D1 ^ L0", "0-B:1 1-B"},
                      EdgeCase{"error(0.1) D0 D1 D2 ^ D3", "3-B"},
                      EdgeCase{"error(0.1) D0 ^ D0 L2", "0-B 0-B:2"},
                      EdgeCase{"error(0.1) D0 D1 L0 ^ L1", "0-1:0,1"}));

TEST(SpacetimeGraph, EmptyModelHasOnlyTheBoundary) {
  SpacetimeGraph g = graph_of("");
  ASSERT_EQ(g.node_count(), 1u);
  EXPECT_EQ(g.boundary, 0u);
  EXPECT_EQ(g.nodes[0].index, kBoundaryIndex);
  EXPECT_FALSE(g.nodes[0].coords.has_value());
}

TEST(SpacetimeGraph, WeightsAreLogOddsInSinglePrecision) {
  SpacetimeGraph g = graph_of("error(0.1) D0\nerror(0.5) D0 D1\nerror(0.9) D0 D1\nerror(1e-300) D1");
  ASSERT_EQ(g.edges.size(), 4u);
  EXPECT_EQ(g.boundary, 2u);
  EXPECT_EQ(g.edges[0].weight, static_cast<float>(std::log(9.0)));
  EXPECT_EQ(static_cast<double>(g.edges[0].weight), 2.1972246170043945);
  EXPECT_EQ(g.edges[1].weight, 0.0f);
  EXPECT_EQ(g.edges[2].weight, -static_cast<float>(std::log(9.0)));
  EXPECT_NEAR(g.edges[3].weight, 690.7755f, 1e-3f);
}

TEST(SpacetimeGraph, NodesCarryDeclaredCoordinates) {
  SpacetimeGraph g = graph_of("detector(1,2,3) D5\ndetector D2");
  ASSERT_EQ(g.node_count(), 7u);
  EXPECT_EQ(g.boundary, 6u);
  for (std::uint64_t k = 0; k < 6; ++k) {
    EXPECT_EQ(g.nodes[k].index, k);
    EXPECT_EQ(g.nodes[k].coords.has_value(), k == 5) << k;
  }
  EXPECT_EQ(*g.nodes[5].coords, (std::array<double, 3>{1, 2, 3}));
  EXPECT_EQ(g.nodes[6].index, kBoundaryIndex);
  EXPECT_FALSE(g.nodes[6].coords.has_value());
}

// The declared count tells where the time coordinate is: last of (x, t), (x, y, t), or beyond
// the three kept values.
TEST(SpacetimeGraph, NodesKeepHowManyCoordinatesWereDeclared) {
  SpacetimeGraph g = graph_of(
      "detector(1, 2, 3) D0\ndetector(4, 7) D1\ndetector(1, 2, 3, 9) D2\ndetector D3\n"
      "repeat 2 {\n  detector(5, 1) D4\n  shift_detectors(0, 1) 1\n}\n");
  ASSERT_EQ(g.node_count(), 7u);
  const std::uint8_t expected[] = {3, 2, 4, 0, 2, 2, 0};
  for (std::size_t k = 0; k < 7; ++k) EXPECT_EQ(g.nodes[k].coord_count, expected[k]) << k;
  EXPECT_EQ(*g.nodes[1].coords, (std::array<double, 3>{4, 7, 0}));
  EXPECT_EQ(*g.nodes[5].coords, (std::array<double, 3>{5, 2, 0}));
}

// A repeat block with shifts and its written-out form build the same graph.
TEST(SpacetimeGraph, RepeatBlocksMatchTheirFlattenedText) {
  SpacetimeGraph looped = graph_of(
      "error(0.01) D0 D1\n"
      "repeat 3 {\n"
      "  error(0.02) D0 D2 ^ D1 L0\n"
      "  detector(0, 1, 0) D2\n"
      "  shift_detectors(0, 0, 1) 2\n"
      "}\n"
      "error(0.03) D0 L1\n");
  SpacetimeGraph flat = graph_of(
      "error(0.01) D0 D1\n"
      "error(0.02) D0 D2 ^ D1 L0\n"
      "detector(0, 1, 0) D2\n"
      "error(0.02) D2 D4 ^ D3 L0\n"
      "detector(0, 1, 1) D4\n"
      "error(0.02) D4 D6 ^ D5 L0\n"
      "detector(0, 1, 2) D6\n"
      "error(0.03) D6 L1\n");
  EXPECT_EQ(edge_list(looped), edge_list(flat));
  ASSERT_EQ(looped.node_count(), flat.node_count());
  for (std::size_t k = 0; k < flat.node_count(); ++k) EXPECT_EQ(looped.nodes[k].coords, flat.nodes[k].coords) << k;
  for (std::size_t k = 0; k < flat.edges.size(); ++k) EXPECT_EQ(looped.edges[k].weight, flat.edges[k].weight);
}

// What build() makes of a model: the left-out count, or its refusal.
struct BuildCase {
  const char* text;
  const char* outcome;
};

class GraphBuild : public ::testing::TestWithParam<BuildCase> {};

TEST_P(GraphBuild, LimitsAndLeftOutComponents) {
  auto m = DetectorErrorModel::parse(GetParam().text);
  ASSERT_TRUE(m.has_value()) << m.error().to_string();
  auto g = SpacetimeGraph::build(*m);
  EXPECT_EQ(g ? "left out " + std::to_string(g->left_out_components) : g.error().to_string(), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GraphBuild,
    ::testing::Values(
        BuildCase{"error(0.1) D0 D1", "left out 0"},
        BuildCase{"error(0.1) D0 D1 D2\nerror(0.1) D0\nerror(0.1) D1 D2", "left out 1"},
        // Exactly half left out still builds; a majority does not.
        BuildCase{"error(0.1) D0 D1 D2\nerror(0.1) D0", "left out 1"},
        BuildCase{"error(0.1) D0 D1 D2\nerror(0.1) D0 D1 D2 D3\nerror(0.1) D0",
                  "2 of the model's 3 error mechanisms have a component with three or more detectors, which a "
                  "matching graph cannot hold; generate the DEM with decompose_errors=True (e.g. "
                  "circuit.detector_error_model(decompose_errors=True))"},
        // A mechanism that never fires is no edge and not counted.
        BuildCase{"error(0) D0 D1 D2\nerror(0.1) D0", "left out 0"},
        BuildCase{"error(0.1) D4194303", "left out 0"},
        BuildCase{"error(0.1) D4194304", "the model has 4194305 detectors, more than the 4194304 a decoding graph may have"},
        BuildCase{"error(0.1) D67108863", "the model has 67108864 detectors, more than the 4194304 a decoding graph may have"}));

}  // namespace
}  // namespace kelvane

namespace kelvane {
namespace {

// Graphs with and without their decomposed mechanisms, of 4 and of 200 observables: each is
// written in the oldest image version that holds it, and every version is read.
TEST(SpacetimeGraph, BytesRoundTripAndDamagedImagesAreRefused) {
  const std::string text =
      "detector(1, 2.5, -3) D0\nerror(0.1) D0 ^ L0 L3\nerror(0.02) D0 D1 ^ D2\nerror(0.3) D2 D1 L1\n"
      "error(0.1) D0 D1 D2\nerror(0.05) D0 D1 D2 ^ D1 ^ D2 L0\n";
  for (const bool wide : {false, true}) {
    for (const bool keep : {false, true}) {
      auto m = DetectorErrorModel::parse(wide ? text + "error(0.2) D1 L199 L70\n" : text);
      ASSERT_TRUE(m.has_value());
      const SpacetimeGraph g = SpacetimeGraph::from_dem(*m, keep);
      EXPECT_EQ(g.left_out_components, 2u);
      EXPECT_EQ(g.keeps_mechanisms, keep);
      if (keep) {
        // "D0 ^ L0 L3" gives one edge and is no decomposed mechanism; the left-out component of
        // the last one is not among its edges.
        ASSERT_EQ(g.mechanisms.size(), 2u);
        EXPECT_EQ(g.mechanisms[0], (SpacetimeMechanism{1, 2, 0.02}));
        EXPECT_EQ(g.mechanisms[1], (SpacetimeMechanism{4, 2, 0.05}));
      } else {
        EXPECT_TRUE(g.mechanisms.empty());
      }
      const std::string bytes = g.to_bytes();
      EXPECT_EQ(bytes.substr(0, 8), wide ? "KVGRAPH4" : keep ? "KVGRAPH3" : "KVGRAPH2");
      const auto back = SpacetimeGraph::from_bytes(bytes);
      ASSERT_TRUE(back.has_value());
      EXPECT_EQ(*back, g);
      EXPECT_EQ(back->num_observables, wide ? 200u : 4u);
      EXPECT_EQ(back->left_out_components, 2u);
      // Every truncation, and a trailing byte, is refused rather than read past.
      for (std::size_t n = 0; n < bytes.size(); ++n) EXPECT_FALSE(SpacetimeGraph::from_bytes(bytes.substr(0, n))) << n;
      EXPECT_FALSE(SpacetimeGraph::from_bytes(bytes + '\0'));
    }
  }
  EXPECT_TRUE(SpacetimeGraph::from_bytes(SpacetimeGraph{}.to_bytes()).has_value());
  auto m = DetectorErrorModel::parse(text);
  ASSERT_TRUE(m.has_value());
  // A mechanism reaching past the edge list, of one edge, or of a probability building never
  // keeps is a damaged image; a certain one (p = 1, which building keeps) reads back.
  SpacetimeGraph g = SpacetimeGraph::from_dem(*m, true);
  for (const SpacetimeMechanism bad : {SpacetimeMechanism{5, 2, 0.1}, SpacetimeMechanism{0, 1, 0.1},
                                       SpacetimeMechanism{0, 2, 0.0}, SpacetimeMechanism{0, 2, 1.5}}) {
    g.mechanisms[1] = bad;
    EXPECT_FALSE(SpacetimeGraph::from_bytes(g.to_bytes())) << bad.first_edge << ' ' << bad.edge_count;
  }
  auto certain = DetectorErrorModel::parse("error(1) D0 D1 ^ D2\nerror(0.1) D0 ^ D2\n");
  ASSERT_TRUE(certain.has_value());
  g = SpacetimeGraph::from_dem(*certain, true);
  ASSERT_EQ(g.mechanisms.size(), 2u);
  const auto back = SpacetimeGraph::from_bytes(g.to_bytes());
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_EQ(*back, g);
}

// Images whose counts or indices disagree with each other are refused with the reason, before
// any of them is used to size or index anything.
TEST(SpacetimeGraph, ImagesWithImpossibleCountsOrIndicesAreRefused) {
  const SpacetimeGraph g = graph_of("detector(1, 2.5, -3) D0\nerror(0.1) D0 ^ L0 L3\nerror(0.3) D2 D1 L1\n");
  ASSERT_EQ(g.nodes.size(), 4u);
  struct Case {
    const char* reason;
    void (*damage)(SpacetimeGraph&);
  };
  const Case cases[] = {
      {"4 nodes for 4 detectors", [](SpacetimeGraph& x) { x.boundary = 4; }},
      {"4 nodes for 2 detectors", [](SpacetimeGraph& x) { x.boundary = 2; }},
      {"more than the 4194304", [](SpacetimeGraph& x) { x.boundary = ~std::uint64_t{0}; }},
      {"4611686018427387904 observables", [](SpacetimeGraph& x) { x.num_observables = std::uint64_t{1} << 62; }},
      {"257 observables, more than the 256", [](SpacetimeGraph& x) { x.num_observables = 257; }},
      {"3 nodes for 3 detectors", [](SpacetimeGraph& x) { x.nodes.pop_back(); }},
      {"node 1 is not detector 1", [](SpacetimeGraph& x) { x.nodes[1].index = 7; }},
      {"node 3 is not the boundary", [](SpacetimeGraph& x) { x.nodes[3].index = 3; }},
      {"node 3 is not the boundary", [](SpacetimeGraph& x) { x.nodes[3].coords.emplace(); }},
      {"edge 1 joins nodes 2 and 4", [](SpacetimeGraph& x) { x.edges[1].node_b = 4; }},
      {"edge 0 joins nodes 3 and 3", [](SpacetimeGraph& x) { x.edges[0].node_a = 3; }},
      {"edge 1 flips observable 200 of 4", [](SpacetimeGraph& x) { x.edges[1].observables = {1, 200}; }},
      {"edge 0 flips observable 4 of 4", [](SpacetimeGraph& x) { x.edges[0].observables = {4}; }},
  };
  for (const Case& c : cases) {
    SpacetimeGraph damaged = g;
    c.damage(damaged);
    const auto back = SpacetimeGraph::from_bytes(damaged.to_bytes());
    ASSERT_FALSE(back.has_value()) << c.reason;
    EXPECT_NE(back.error().find(c.reason), std::string::npos) << back.error();
  }
  // The older versions hold at most 64 observables; a wide image's mechanism flag is 0 or 1.
  std::string narrow = g.to_bytes();
  narrow[16] = 65;
  const auto refused = SpacetimeGraph::from_bytes(narrow);
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().find("65 observables, more than the 64"), std::string::npos) << refused.error();
  SpacetimeGraph wide = g;
  wide.num_observables = 65;
  std::string image = wide.to_bytes();
  image[image.size() - 1] = 2;
  EXPECT_FALSE(SpacetimeGraph::from_bytes(image).has_value());
}

}  // namespace
}  // namespace kelvane
