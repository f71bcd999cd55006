// The decoding graph of a detector error model: one node per detector plus a boundary node,
// and one weighted edge per (component of an) error mechanism. Immutable once built; shared
// read-only through std::shared_ptr<const SpacetimeGraph>.
//
// A component with one detector is an edge to the boundary, one with two an edge between
// them. A component with three or more detectors (an undecomposed hyperedge, what Stim writes
// without `decompose_errors=True`) cannot be a matching edge and is left out; the graph counts
// them in `left_out_components`. Mechanisms with a probability outside (0, 1] give no edges; p = 1 gives weight -infinity.
//
// Decomposed mechanisms. A model built with `keep_mechanisms` also records, for every error
// mechanism that gave two or more edges (Stim's `D0 D1 ^ D2 D3`), which edges those are and
// the mechanism's probability, so that a decoder can tell which edges fire together. A
// mechanism's edges are consecutive in `edges` (one per component, in order), so a record is a
// range and a probability.
//
// Size limits. Graph memory follows the detector count, not the number of targets written, so
// `build` refuses a model with more than `kMaxGraphDetectors` detectors (a one-line model
// naming `D67108863` would otherwise cost gigabytes) before allocating anything. The DEM parser
// bounds what repeat blocks expand to (`kMaxExpandedInstructions`).
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelvane/core/tagged_error.h"

namespace kelvane {

struct DetectorErrorModel;

struct SpacetimeNode {
  std::optional<std::array<double, 3>> coords;  // declared coordinates; never on the boundary
  std::uint64_t index = 0;                      // detector id; all ones for the boundary
  // Coordinates the detector declared (0 without a declaration). Stim puts time last:
  // repetition codes declare (x, t), surface codes (x, y, t). Only the first three are kept.
  std::uint8_t coord_count = 0;
  bool operator==(const SpacetimeNode&) const = default;
};

// An edge's weight for a flip probability p, ln((1 - p) / p), and the probability a weight stands
// for (they undo each other up to rounding).
inline double weight_of_probability(double p) { return std::log((1.0 - p) / p); }
inline double probability_of_weight(double weight) { return 1.0 / (1.0 + std::exp(weight)); }

struct SpacetimeEdge {
  std::vector<std::uint8_t> observables;  // observable ids flipped by the mechanism
  std::uint32_t node_a = 0;               // always a detector node
  std::uint32_t node_b = 0;               // a detector node, or the boundary
  float weight = 0.0f;                    // ln((1 - p) / p)
  bool operator==(const SpacetimeEdge&) const = default;
};

// An error mechanism that gave edges [first_edge, first_edge + edge_count), edge_count >= 2.
struct SpacetimeMechanism {
  std::uint32_t first_edge = 0;
  std::uint32_t edge_count = 0;
  double probability = 0.0;
  bool operator==(const SpacetimeMechanism&) const = default;
};

// 2^22 = 4,194,304 detectors: a distance-101 memory experiment over 101 rounds has about one
// million. The graph and a decoder over it take a few hundred bytes per detector.
inline constexpr std::uint64_t kMaxGraphDetectors = std::uint64_t{1} << 22;

namespace graph_errors {
// The model has more detectors than a decoding graph may have.
struct TooManyDetectors { std::uint64_t count; std::uint64_t limit; };
// Most error mechanisms have a component of three or more detectors: the graph would leave
// out most of the model.
struct MostlyUndecomposed { std::uint64_t left_out; std::uint64_t mechanisms; };
}  // namespace graph_errors

class GraphError : public TaggedError<graph_errors::TooManyDetectors, graph_errors::MostlyUndecomposed> {
 public:
  using TaggedError::TaggedError;
  std::string to_string() const;
};

// The advice given with left-out components, in errors and warnings alike.
inline constexpr const char* kDecomposeAdvice =
    "generate the DEM with decompose_errors=True (e.g. circuit.detector_error_model(decompose_errors=True))";

struct SpacetimeGraph {
  std::vector<SpacetimeNode> nodes;  // num_detectors detector nodes, then the boundary node
  std::vector<SpacetimeEdge> edges;  // in creation order
  std::uint64_t boundary = 0;        // == num_detectors
  std::uint64_t num_observables = 0;  // the model's observable count
  std::uint64_t left_out_components = 0;  // components of three or more detectors, not in the graph
  // Whether the graph was built keeping its decomposed mechanisms (`mechanisms` may still be
  // empty: a model without decomposed mechanisms has none to keep).
  bool keeps_mechanisms = false;
  std::vector<SpacetimeMechanism> mechanisms;  // in model order; empty unless keeps_mechanisms

  // The graph of a model from outside: refuses one over `kMaxGraphDetectors` detectors, or
  // whose left-out components outnumber half its error mechanisms, before allocating.
  // `keep_mechanisms` records the decomposed mechanisms too.
  static std::expected<SpacetimeGraph, GraphError> build(const DetectorErrorModel& model,
                                                         bool keep_mechanisms = false);
  // The graph of a model the caller knows to be within the limits (built in code or tests);
  // nothing is checked.
  static SpacetimeGraph from_dem(const DetectorErrorModel& model, bool keep_mechanisms = false);
  std::size_t node_count() const { return nodes.size(); }
  // Graphs are equal when they decode alike: `left_out_components` records how the graph was
  // built, is not part of a byte image, and is not compared.
  bool operator==(const SpacetimeGraph& o) const {
    return nodes == o.nodes && edges == o.edges && boundary == o.boundary && num_observables == o.num_observables &&
           keeps_mechanisms == o.keeps_mechanisms && mechanisms == o.mechanisms;
  }

  // A self-contained little-endian byte image of the graph (for pickling), and the graph read
  // back from one. Fails with the reason ("it ends early") when `bytes` is not such an image:
  // wrong tag, truncated, trailing bytes, or any count or index a graph cannot have (more
  // detectors than kMaxGraphDetectors or observables than kMaxObservables, nodes other than the
  // detectors and then the boundary, an edge not from a detector to a detector or the boundary,
  // an observable id at or past the observable count, a mechanism outside the edge list). A
  // graph of more than 64 observables is written in the newest image version; otherwise a graph
  // that keeps its mechanisms in the version before, one that does not in the one before that.
  // Every version is read.
  std::string to_bytes() const;
  static std::expected<SpacetimeGraph, std::string> from_bytes(std::string_view bytes);
};

inline constexpr std::uint64_t kBoundaryIndex = std::numeric_limits<std::uint64_t>::max();

}  // namespace kelvane
