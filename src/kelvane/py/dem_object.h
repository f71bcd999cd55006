// The DetectorErrorModel class: a parsed Stim DEM with its counts, schema JSON and export to
// a pymatching.Matching object.
#pragma once

#include <Python.h>

#include "kelvane/dem/parser.h"
#include "kelvane/py/graph_object.h"
#include "kelvane/py/native_object.h"

namespace kelvane::py {

// The native state of a DetectorErrorModel object: the parsed model, owned by value.
using PyDetectorErrorModel = NativeObject<DetectorErrorModel>;

// A new DetectorErrorModel object owning `model`, or nullptr with an exception set.
PyObject* new_detector_error_model(DetectorErrorModel model);

// The decoding graph of `model` (SpacetimeGraph::build), for every entry point that builds
// one: ValueError with the build error's text when the model is over the limits or mostly
// undecomposed; one UserWarning when some components were left out. nullptr with an exception
// set on failure.
GraphHandle graph_from_model(const DetectorErrorModel& model, bool keep_mechanisms = false);

// The model of a DetectorErrorModel object (the caller holds a borrow of it).
inline const DetectorErrorModel& dem_of(PyObject* obj) { return native_of<DetectorErrorModel>(obj); }

}  // namespace kelvane::py
