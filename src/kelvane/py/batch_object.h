// KelvaneStream.read_batch: many frames at once as NumPy columns (see batch_object.cc).
#pragma once

#include <Python.h>

#include "kelvane/source/frame_source.h"

namespace kelvane::py {

// Reads the next batch from `source` through `reader`, waiting on the terms of `ctx` (whose
// hooks are replaced), and returns it as a FrameBatch object (len() = frames read, 0 at the
// end). `args`/`kwargs` are read_batch's arguments. The interpreter lock is released while
// frames are read and taken back every tick to run signal handlers. nullptr on failure, with
// an exception set except when the wait stopped by timeout or cancellation (ctx.stop).
PyObject* read_batch(FrameSource& source, BatchReader& reader, FrameBatch& scratch, PyObject* args, PyObject* kwargs,
                     WaitContext& ctx);

}  // namespace kelvane::py
