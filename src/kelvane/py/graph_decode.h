// Direct decoding from Python: SpacetimeGraph.decode and SpacetimeGraph.decode_batch, and
// DetectorErrorModel.to_graph, which returns the graph to decode with.
#pragma once

#include <Python.h>

namespace kelvane::py {

// SpacetimeGraph.decode(detection_events): a new DecoderResult, or nullptr with an exception.
PyObject* graph_decode(PyObject* self, PyObject* args, PyObject* kwargs);
// SpacetimeGraph._decode_trace(fired): for analysing failures, a plain decode of a list of fired
// detector indices giving (observable mask, correction edges as (node_a, node_b, weight), the
// final clusters as (node, root) for every node the decode touched).
PyObject* graph_decode_trace(PyObject* self, PyObject* fired);
// SpacetimeGraph.decode_batch(shots, *, ...): a new prediction array, or nullptr with an exception.
PyObject* graph_decode_batch(PyObject* self, PyObject* args, PyObject* kwargs);
// SpacetimeGraph.decode_to_edges_array(detection_events, *, ...): a new (edges, 2) int64 array of
// the correction's edge ends (-1: the boundary), or nullptr with an exception.
PyObject* graph_decode_to_edges(PyObject* self, PyObject* args, PyObject* kwargs);
// SpacetimeGraph.from_detector_error_model(dem): a new SpacetimeGraph, or nullptr with an exception.
PyObject* graph_from_detector_error_model(PyObject* unused, PyObject* args, PyObject* kwargs);
// DetectorErrorModel.to_graph(): a new SpacetimeGraph, or nullptr with an exception.
PyObject* graph_from_stim_circuit(PyObject* unused, PyObject* args, PyObject* kwargs);
PyObject* graph_from_dem_file(PyObject* unused, PyObject* args, PyObject* kwargs);

PyObject* dem_to_graph(PyObject* self, PyObject* unused);

extern const char* const kGraphDecodeDoc;
extern const char* const kGraphDecodeBatchDoc;
extern const char* const kGraphDecodeToEdgesDoc;
extern const char* const kGraphFromDemDoc;
extern const char* const kGraphFromStimCircuitDoc;
extern const char* const kGraphFromDemFileDoc;
extern const char* const kDemToGraphDoc;

}  // namespace kelvane::py
