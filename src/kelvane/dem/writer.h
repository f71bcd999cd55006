// Writing a parsed detector error model back as Stim DEM text, and comparing models.
//
// to_dem_text(model) writes the model as parse() holds it: repeat blocks and shifts already
// expanded, so every line names absolute ids. Detector declarations come first in their
// order (with their coordinates), then one `logical_observable` line for the highest
// observable id when the model counts observables (so that an observable no error flips is
// still counted), then every error in order, with `^` between the components of a
// decomposed error. Probabilities and coordinates are written with 17 significant digits, so
// parse(to_dem_text(m)) == m for every model parse() returns (NaN probabilities aside).
#pragma once

#include <string>

#include "kelvane/dem/parser.h"

namespace kelvane {

std::string to_dem_text(const DetectorErrorModel& model);

// True when the two models hold the same errors (targets, components, probabilities),
// detector declarations and counts.
bool same_model(const DetectorErrorModel& a, const DetectorErrorModel& b);

}  // namespace kelvane
