#include "kelvane/dem/graph.h"

#include <cmath>

#include "kelvane/dem/parser.h"

namespace kelvane {

namespace {

// Appends the edges of one component: a boundary edge for one detector, an edge for two, a
// chain over consecutive detectors for more; nothing without detectors.
void add_component_edges(std::vector<SpacetimeEdge>& edges, const DetectorId* dets, std::size_t det_count,
                         const ObservableId* obs, std::size_t obs_count, float weight, std::uint32_t boundary) {
  auto add = [&](DetectorId a, DetectorId b) {
    SpacetimeEdge& e = edges.emplace_back();
    if (obs_count) e.observables.assign(obs, obs + obs_count);
    e.node_a = a;
    e.node_b = b;
    e.weight = weight;
  };
  if (det_count == 1) {
    add(dets[0], boundary);
    return;
  }
  for (std::size_t k = 1; k < det_count; ++k) add(dets[k - 1], dets[k]);
}

std::size_t component_edge_count(std::size_t det_count) { return det_count <= 1 ? det_count : det_count - 1; }

}  // namespace

SpacetimeGraph SpacetimeGraph::from_dem(const DetectorErrorModel& model) {
  SpacetimeGraph g;
  const std::uint64_t n = model.num_detectors;
  g.nodes.resize(n + 1);
  for (std::uint64_t k = 0; k < n; ++k) g.nodes[k].index = k;
  g.nodes[n].index = kBoundaryIndex;
  for (const DetectorDecl& d : model.detector_decls) {
    if (d.id < n) g.nodes[d.id].coords = d.coords;
  }
  g.boundary = n;
  g.num_observables = model.num_observables;
  // Node ids are 32-bit; the boundary of a model with 2^32 detectors does not fit, and then
  // wraps like every other 32-bit node id would.
  const auto boundary = static_cast<std::uint32_t>(n);

  auto usable = [](double p) { return !(p <= 0.0 || p >= 1.0); };
  std::size_t edge_total = 0;
  for (const DemError& e : model.errors) {
    if (!usable(e.probability)) continue;
    if (e.components.empty()) {
      edge_total += component_edge_count(e.detectors.size());
    } else {
      std::uint32_t start = 0;
      for (const DemComponentEnd& c : e.components) {
        edge_total += component_edge_count(c.detectors_end - start);
        start = c.detectors_end;
      }
    }
  }
  g.edges.reserve(edge_total);

  for (const DemError& e : model.errors) {
    const double p = e.probability;
    if (!usable(p)) continue;  // a NaN passes and gives a NaN weight
    const auto weight = static_cast<float>(std::log((1.0 - p) / p));
    if (e.components.empty()) {
      add_component_edges(g.edges, e.detectors.data(), e.detectors.size(), e.observables.data(),
                          e.observables.size(), weight, boundary);
      continue;
    }
    std::uint32_t det_start = 0, obs_start = 0;
    for (const DemComponentEnd& c : e.components) {
      add_component_edges(g.edges, e.detectors.data() + det_start, c.detectors_end - det_start,
                          e.observables.data() + obs_start, c.observables_end - obs_start, weight, boundary);
      det_start = c.detectors_end;
      obs_start = c.observables_end;
    }
  }
  return g;
}

}  // namespace kelvane
