#include "kelvane/dem/graph.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kelvane/dem/parser.h"

namespace kelvane {

namespace {

// Appends the edge of a component of at most two detectors: to the boundary for one detector,
// between the two for two; nothing without detectors.
void add_component_edges(std::vector<SpacetimeEdge>& edges, const DetectorId* dets, std::size_t det_count,
                         const ObservableId* obs, std::size_t obs_count, float weight, std::uint32_t boundary) {
  auto add = [&](DetectorId a, DetectorId b) {
    SpacetimeEdge& e = edges.emplace_back();
    if (obs_count) e.observables.assign(obs, obs + obs_count);
    e.node_a = a;
    e.node_b = b;
    e.weight = weight;
  };
  if (det_count == 1) add(dets[0], boundary);
  if (det_count == 2) add(dets[0], dets[1]);
}

// A component of three or more detectors is left out of the graph.
bool left_out(std::size_t det_count) { return det_count >= 3; }

// p = 1 is kept: a certain mechanism (weight -infinity) that decoders put in their baseline.
bool usable(double p) { return !(p <= 0.0 || p > 1.0); }

// Calls fn(detectors, detector count, observables, observable count) for every component of
// `e`, in order.
template <typename Fn>
void for_each_component(const DemError& e, Fn&& fn) {
  if (e.components.empty()) {
    fn(e.detectors.data(), e.detectors.size(), e.observables.data(), e.observables.size());
    return;
  }
  std::uint32_t det_start = 0, obs_start = 0;
  for (const DemComponentEnd& c : e.components) {
    fn(e.detectors.data() + det_start, std::size_t{c.detectors_end - det_start}, e.observables.data() + obs_start,
       std::size_t{c.observables_end - obs_start});
    det_start = c.detectors_end;
    obs_start = c.observables_end;
  }
}

// Components left out of the graph of `model`.
std::uint64_t count_left_out(const DetectorErrorModel& model) {
  std::uint64_t n = 0;
  for (const DemError& e : model.errors) {
    if (!usable(e.probability)) continue;
    for_each_component(e, [&](const DetectorId*, std::size_t dets, const ObservableId*, std::size_t) {
      n += left_out(dets) ? 1 : 0;
    });
  }
  return n;
}

}  // namespace

SpacetimeGraph SpacetimeGraph::from_dem(const DetectorErrorModel& model, bool keep_mechanisms) {
  SpacetimeGraph g;
  const std::uint64_t n = model.num_detectors;
  g.nodes.resize(n + 1);
  for (std::uint64_t k = 0; k < n; ++k) g.nodes[k].index = k;
  g.nodes[n].index = kBoundaryIndex;
  for (const DetectorDecl& d : model.detector_decls) {
    if (d.id < n) {
      g.nodes[d.id].coords = d.coords;
      g.nodes[d.id].coord_count = d.coord_count;
    }
  }
  g.boundary = n;
  g.num_observables = model.num_observables;
  // Node ids are 32-bit; the boundary of a model with 2^32 detectors does not fit, and then
  // wraps like every other 32-bit node id would.
  const auto boundary = static_cast<std::uint32_t>(n);

  std::size_t edge_total = 0;
  for (const DemError& e : model.errors) {
    if (!usable(e.probability)) continue;
    for_each_component(e, [&](const DetectorId*, std::size_t dets, const ObservableId*, std::size_t) {
      if (left_out(dets)) {
        ++g.left_out_components;
      } else {
        edge_total += dets == 0 ? 0 : 1;
      }
    });
  }
  g.edges.reserve(edge_total);
  g.keeps_mechanisms = keep_mechanisms;

  for (const DemError& e : model.errors) {
    const double p = e.probability;
    if (!usable(p)) continue;  // a NaN passes and gives a NaN weight
    const auto weight = static_cast<float>(weight_of_probability(p));
    const auto first = static_cast<std::uint32_t>(g.edges.size());
    for_each_component(e, [&](const DetectorId* dets, std::size_t det_count, const ObservableId* obs,
                              std::size_t obs_count) {
      if (!left_out(det_count)) add_component_edges(g.edges, dets, det_count, obs, obs_count, weight, boundary);
    });
    const auto count = static_cast<std::uint32_t>(g.edges.size() - first);
    if (keep_mechanisms && count >= 2) g.mechanisms.push_back({first, count, p});
  }
  return g;
}

namespace {

// 2: the left-out component count at the end. 3: then the mechanisms. 4: graphs of more than
// 64 observables (up to 256; versions 2 and 3 hold at most 64), with a byte after the left-out
// count saying whether mechanisms follow. Every graph is written in the oldest version that
// holds it, so images of graphs that versions 2 and 3 hold stay byte for byte as they were.
constexpr std::string_view kGraphTag2 = "KVGRAPH2";
constexpr std::string_view kGraphTag3 = "KVGRAPH3";
constexpr std::string_view kGraphTag4 = "KVGRAPH4";
constexpr std::uint64_t kNarrowImageObservables = 64;

template <typename T>
void put(std::string& out, T value) {
  char buf[sizeof(T)];
  std::memcpy(buf, &value, sizeof(T));  // the build targets little-endian machines
  out.append(buf, sizeof(T));
}

template <typename T>
bool take(std::string_view& in, T& value) {
  if (in.size() < sizeof(T)) return false;
  std::memcpy(&value, in.data(), sizeof(T));
  in.remove_prefix(sizeof(T));
  return true;
}

}  // namespace

std::string SpacetimeGraph::to_bytes() const {
  const bool wide = num_observables > kNarrowImageObservables;
  std::string out(wide ? kGraphTag4 : keeps_mechanisms ? kGraphTag3 : kGraphTag2);
  put<std::uint64_t>(out, boundary);
  put<std::uint64_t>(out, num_observables);
  put<std::uint64_t>(out, nodes.size());
  for (const SpacetimeNode& n : nodes) {
    put<std::uint64_t>(out, n.index);
    // 0: no coordinates; else 1 + the declared count (saturating).
    put<std::uint8_t>(out, n.coords ? static_cast<std::uint8_t>(1 + std::min<int>(n.coord_count, 254)) : 0);
    if (n.coords) {
      for (double c : *n.coords) put<double>(out, c);
    }
  }
  put<std::uint64_t>(out, edges.size());
  for (const SpacetimeEdge& e : edges) {
    put<std::uint32_t>(out, e.node_a);
    put<std::uint32_t>(out, e.node_b);
    put<float>(out, e.weight);
    put<std::uint32_t>(out, static_cast<std::uint32_t>(e.observables.size()));
    out.append(reinterpret_cast<const char*>(e.observables.data()), e.observables.size());
  }
  put<std::uint64_t>(out, left_out_components);
  if (wide) put<std::uint8_t>(out, keeps_mechanisms ? 1 : 0);
  if (keeps_mechanisms) {
    put<std::uint64_t>(out, mechanisms.size());
    for (const SpacetimeMechanism& m : mechanisms) {
      put<std::uint32_t>(out, m.first_edge);
      put<std::uint32_t>(out, m.edge_count);
      put<double>(out, m.probability);
    }
  }
  return out;
}

std::expected<SpacetimeGraph, std::string> SpacetimeGraph::from_bytes(std::string_view in) {
  const auto damaged = [](std::string why) { return std::unexpected(std::move(why)); };
  const auto truncated = [&] { return damaged("it ends early"); };
  SpacetimeGraph g;
  const bool wide = in.starts_with(kGraphTag4);
  if (in.starts_with(kGraphTag3)) {
    g.keeps_mechanisms = true;
  } else if (!in.starts_with(kGraphTag2) && !wide) {
    return damaged("it does not start with " + std::string(kGraphTag2) + ", " + std::string(kGraphTag3) + " or " +
                   std::string(kGraphTag4));
  }
  in.remove_prefix(kGraphTag2.size());
  std::uint64_t node_total = 0, edge_total = 0;
  if (!take(in, g.boundary) || !take(in, g.num_observables) || !take(in, node_total)) return truncated();
  // Every count is checked against the limits of a graph and the image's own sizes before
  // anything is allocated or indexed with it: the detectors, then the boundary node (an empty
  // graph has neither).
  if (g.boundary > kMaxGraphDetectors) {
    return damaged(std::to_string(g.boundary) + " detectors, more than the " + std::to_string(kMaxGraphDetectors) +
                   " a decoding graph may have");
  }
  if (const std::uint64_t most = wide ? kMaxObservables : kNarrowImageObservables; g.num_observables > most) {
    return damaged(std::to_string(g.num_observables) + " observables, more than the " + std::to_string(most) +
                   " this image version holds");
  }
  if (node_total != g.boundary + 1 && !(node_total == 0 && g.boundary == 0)) {
    return damaged(std::to_string(node_total) + " nodes for " + std::to_string(g.boundary) +
                   " detectors (one node per detector, then the boundary)");
  }
  // Every node takes at least 9 bytes: a count beyond what is left is a damaged image.
  if (node_total > in.size() / 9) return truncated();
  g.nodes.resize(node_total);
  for (std::size_t k = 0; k < g.nodes.size(); ++k) {
    SpacetimeNode& n = g.nodes[k];
    std::uint8_t has_coords = 0;
    if (!take(in, n.index) || !take(in, has_coords)) return truncated();
    const bool boundary_node = k == g.boundary;
    if (n.index != (boundary_node ? kBoundaryIndex : k) || (boundary_node && has_coords)) {
      return damaged("node " + std::to_string(k) + " is not " +
                     (boundary_node ? std::string("the boundary") : "detector " + std::to_string(k)));
    }
    if (has_coords) {
      n.coord_count = static_cast<std::uint8_t>(has_coords - 1);
      std::array<double, 3> c{};
      for (double& v : c) {
        if (!take(in, v)) return truncated();
      }
      n.coords = c;
    }
  }
  if (!take(in, edge_total)) return truncated();
  if (edge_total > in.size() / 16) return truncated();
  g.edges.resize(edge_total);
  for (std::size_t i = 0; i < g.edges.size(); ++i) {
    SpacetimeEdge& e = g.edges[i];
    std::uint32_t observable_total = 0;
    if (!take(in, e.node_a) || !take(in, e.node_b) || !take(in, e.weight) || !take(in, observable_total)) {
      return truncated();
    }
    // An edge starts at a detector and ends at a detector or the boundary.
    if (e.node_a >= g.boundary || e.node_b > g.boundary) {
      return damaged("edge " + std::to_string(i) + " joins nodes " + std::to_string(e.node_a) + " and " +
                     std::to_string(e.node_b) + " of a graph of " + std::to_string(g.boundary) + " detectors");
    }
    if (observable_total > in.size()) return truncated();
    e.observables.assign(in.begin(), in.begin() + observable_total);
    in.remove_prefix(observable_total);
    for (std::uint8_t id : e.observables) {
      if (id >= g.num_observables) {
        return damaged("edge " + std::to_string(i) + " flips observable " + std::to_string(id) + " of " +
                       std::to_string(g.num_observables));
      }
    }
  }
  if (!take(in, g.left_out_components)) return truncated();
  if (wide) {
    std::uint8_t keeps = 0;
    if (!take(in, keeps)) return truncated();
    if (keeps > 1) return damaged("its mechanism flag is " + std::to_string(keeps) + ", not 0 or 1");
    g.keeps_mechanisms = keeps == 1;
  }
  if (g.keeps_mechanisms) {
    std::uint64_t mechanism_total = 0;
    if (!take(in, mechanism_total)) return truncated();
    if (mechanism_total > in.size() / 16) return truncated();
    g.mechanisms.resize(mechanism_total);
    for (std::size_t i = 0; i < g.mechanisms.size(); ++i) {
      SpacetimeMechanism& m = g.mechanisms[i];
      if (!take(in, m.first_edge) || !take(in, m.edge_count) || !take(in, m.probability)) return truncated();
      if (m.edge_count < 2 || m.first_edge > edge_total || m.edge_count > edge_total - m.first_edge ||
          !usable(m.probability)) {
        return damaged("mechanism " + std::to_string(i) + " is not 2 or more edges of the " +
                       std::to_string(edge_total) + " with a probability above 0 and at most 1");
      }
    }
  }
  if (!in.empty()) return damaged(std::to_string(in.size()) + " bytes follow the graph");
  return g;
}

std::expected<SpacetimeGraph, GraphError> SpacetimeGraph::build(const DetectorErrorModel& model,
                                                                 bool keep_mechanisms) {
  if (model.num_detectors > kMaxGraphDetectors) {
    return std::unexpected(GraphError(graph_errors::TooManyDetectors{model.num_detectors, kMaxGraphDetectors}));
  }
  const std::uint64_t left = count_left_out(model);
  if (left * 2 > model.errors.size()) {
    return std::unexpected(GraphError(graph_errors::MostlyUndecomposed{left, model.errors.size()}));
  }
  return from_dem(model, keep_mechanisms);
}

std::string GraphError::to_string() const {
  if (is<graph_errors::TooManyDetectors>()) {
    const auto& e = as<graph_errors::TooManyDetectors>();
    return "the model has " + std::to_string(e.count) + " detectors, more than the " + std::to_string(e.limit) +
           " a decoding graph may have";
  }
  const auto& e = as<graph_errors::MostlyUndecomposed>();
  return std::to_string(e.left_out) + " of the model's " + std::to_string(e.mechanisms) +
         " error mechanisms have a component with three or more detectors, which a matching graph cannot hold; " +
         kDecomposeAdvice;
}

}  // namespace kelvane
