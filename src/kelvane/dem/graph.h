// The decoding graph of a detector error model: one node per detector plus a boundary node,
// and one weighted edge per (component of an) error mechanism. Immutable once built; shared
// read-only through std::shared_ptr<const SpacetimeGraph>.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

struct SpacetimeEdge {
  std::vector<std::uint8_t> observables;  // observable ids flipped by the mechanism
  std::uint32_t node_a = 0;               // always a detector node
  std::uint32_t node_b = 0;               // a detector node, or the boundary
  float weight = 0.0f;                    // ln((1 - p) / p)
  bool operator==(const SpacetimeEdge&) const = default;
};

struct SpacetimeGraph {
  std::vector<SpacetimeNode> nodes;  // num_detectors detector nodes, then the boundary node
  std::vector<SpacetimeEdge> edges;  // in creation order
  std::uint64_t boundary = 0;        // == num_detectors
  std::uint64_t num_observables = 0;  // the model's observable count

  static SpacetimeGraph from_dem(const DetectorErrorModel& model);
  std::size_t node_count() const { return nodes.size(); }
  bool operator==(const SpacetimeGraph&) const = default;

  // A self-contained little-endian byte image of the graph (for pickling), and the graph read
  // back from one; nullopt when `bytes` is not such an image (wrong tag, truncated, trailing
  // bytes, an edge end outside the node list).
  std::string to_bytes() const;
  static std::optional<SpacetimeGraph> from_bytes(std::string_view bytes);
};

inline constexpr std::uint64_t kBoundaryIndex = std::numeric_limits<std::uint64_t>::max();

}  // namespace kelvane
