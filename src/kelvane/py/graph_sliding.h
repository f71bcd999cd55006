// SpacetimeGraph.decode_sliding: sliding-window decoding of a NumPy batch of shots.
#pragma once

#include <Python.h>

namespace kelvane::py {

// SpacetimeGraph.decode_sliding(detection_events, *, commit, buffer): a new (shots,
// num_observables) uint8 array, or nullptr with an exception.
PyObject* graph_decode_sliding(PyObject* self, PyObject* args, PyObject* kwargs);

extern const char* const kGraphDecodeSlidingDoc;

}  // namespace kelvane::py
