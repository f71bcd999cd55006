// The DetectorErrorModel class: a parsed Stim DEM with its counts, schema JSON and export to
// a pymatching.Matching object.
#pragma once

#include <Python.h>

#include "kelvane/dem/parser.h"
#include "kelvane/py/native_object.h"

namespace kelvane::py {

// The native state of a DetectorErrorModel object: the parsed model, owned by value.
using PyDetectorErrorModel = NativeObject<DetectorErrorModel>;

// A new DetectorErrorModel object owning `model`, or nullptr with an exception set.
PyObject* new_detector_error_model(DetectorErrorModel model);

// The model of a DetectorErrorModel object (the caller holds a borrow of it).
inline const DetectorErrorModel& dem_of(PyObject* obj) { return native_of<DetectorErrorModel>(obj); }

}  // namespace kelvane::py
