// KelvaneStream's live-decoding methods (drain, decisions_written, live_stats), in the stream
// type's method table.
#pragma once

#include <Python.h>

namespace kelvane::py {

PyObject* stream_drain(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* stream_decisions_written(PyObject* self, PyObject*);
PyObject* stream_live_stats(PyObject* self, PyObject*);
// The private _live_counts(): what live decoding counts beyond live_stats().
PyObject* stream_live_counts(PyObject* self, PyObject*);
// The private _set_read_ahead(bytes): the byte budget of the frames drain() reads ahead.
PyObject* stream_set_read_ahead(PyObject* self, PyObject* arg);

}  // namespace kelvane::py
