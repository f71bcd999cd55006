#include "kelvane/dem/writer.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <span>

namespace kelvane {
namespace {

void put_double(std::string& out, double v) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 17);
  out.append(buf, ec == std::errc() ? end : buf);
}

void put_target(std::string& out, char kind, std::uint64_t id) {
  out.push_back(' ');
  out.push_back(kind);
  out += std::to_string(id);
}

template <typename T>
bool same_span(std::span<const T> a, std::span<const T> b) {
  return std::ranges::equal(a, b);
}

}  // namespace

std::string to_dem_text(const DetectorErrorModel& model) {
  std::string out;
  for (const DetectorDecl& d : model.detector_decls) {
    out += "detector";
    if (d.coords) {
      out.push_back('(');
      for (std::size_t k = 0; k < d.coords->size(); ++k) {
        if (k) out += ", ";
        put_double(out, (*d.coords)[k]);
      }
      out.push_back(')');
    }
    put_target(out, 'D', d.id);
    out.push_back('\n');
  }
  if (model.num_observables > 0) {
    out += "logical_observable";
    put_target(out, 'L', model.num_observables - 1);
    out.push_back('\n');
  }
  for (const DemError& e : model.errors) {
    out += "error(";
    put_double(out, e.probability);
    out.push_back(')');
    std::uint32_t det_start = 0, obs_start = 0;
    const std::size_t parts = e.component_count();
    for (std::size_t c = 0; c < parts; ++c) {
      const std::uint32_t det_end = e.components.empty() ? static_cast<std::uint32_t>(e.detectors.size())
                                                         : e.components[c].detectors_end;
      const std::uint32_t obs_end = e.components.empty() ? static_cast<std::uint32_t>(e.observables.size())
                                                         : e.components[c].observables_end;
      if (c) out += " ^";
      for (std::uint32_t k = det_start; k < det_end; ++k) put_target(out, 'D', e.detectors[k]);
      for (std::uint32_t k = obs_start; k < obs_end; ++k) put_target(out, 'L', e.observables[k]);
      det_start = det_end;
      obs_start = obs_end;
    }
    out.push_back('\n');
  }
  return out;
}

bool same_model(const DetectorErrorModel& a, const DetectorErrorModel& b) {
  if (a.num_detectors != b.num_detectors || a.num_observables != b.num_observables ||
      a.errors.size() != b.errors.size() || a.detector_decls.size() != b.detector_decls.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.detector_decls.size(); ++i) {
    if (a.detector_decls[i].id != b.detector_decls[i].id || a.detector_decls[i].coords != b.detector_decls[i].coords) {
      return false;
    }
  }
  for (std::size_t i = 0; i < a.errors.size(); ++i) {
    const DemError& x = a.errors[i];
    const DemError& y = b.errors[i];
    if (x.probability != y.probability || !same_span(x.detectors, y.detectors) ||
        !same_span(x.observables, y.observables) || !same_span(x.components, y.components)) {
      return false;
    }
  }
  return true;
}

}  // namespace kelvane
