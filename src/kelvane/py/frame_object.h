// The SyndromeFrame class: a read-only view of one OwnedFrame.
#pragma once

#include <Python.h>

#include "kelvane/core/frame.h"
#include "kelvane/py/native_object.h"

namespace kelvane::py {

using PySyndromeFrame = NativeObject<OwnedFrame>;

// A new SyndromeFrame object owning `frame`, or nullptr with an exception set.
PyObject* new_syndrome_frame(OwnedFrame frame);

}  // namespace kelvane::py
