// The SyndromeFrame class: a read-only view of one OwnedFrame.
#pragma once

#include <Python.h>

#include <cstddef>

#include "kelvane/core/frame.h"
#include "kelvane/py/native_object.h"

namespace kelvane::py {

using PySyndromeFrame = NativeObject<OwnedFrame>;

// A new SyndromeFrame object owning `frame`, or nullptr with an exception set.
PyObject* new_syndrome_frame(OwnedFrame frame);

// A 1-D uint8 array of `count` entries, 1 where `bits` flips the observable; nullptr with an
// exception set on failure.
PyObject* observable_flips_array(const ObservableBits& bits, std::size_t count);

}  // namespace kelvane::py
