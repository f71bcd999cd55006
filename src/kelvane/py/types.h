// The module's classes. Each getter creates its class on first use and returns the same
// object afterwards (a borrowed reference), or nullptr with an exception set.
#pragma once

#include <Python.h>

namespace kelvane::py {

PyTypeObject* syndrome_frame_type();
PyTypeObject* syndrome_window_type();
PyTypeObject* kelvane_stream_type();
PyTypeObject* code_type_type();
PyTypeObject* decoder_result_type();
PyTypeObject* logical_correction_type();
PyTypeObject* detector_error_model_type();
PyTypeObject* spacetime_graph_type();
PyTypeObject* logical_error_accumulator_type();
// KelvaneStream.description's class, published as _StreamDescription (not in __all__).
PyTypeObject* stream_description_type();
// kelvane.CorrelationCounter, published by _kelvane as _CorrelationCounter (not in __all__).
PyTypeObject* correlation_counter_type();

}  // namespace kelvane::py
