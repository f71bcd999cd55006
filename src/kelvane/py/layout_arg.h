// Frame layouts as Python passes them (an integer array, or the path of a .npy file holding one),
// checked by FrameLayout::table: the one validator behind set_decoder, kelvane.convert and
// KvlxWriter.write_shots.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "kelvane/streaming/layout.h"

namespace kelvane::py {

// `arg` as a layout of ids below `num_detectors`: a 2-D integer array-like (rounds x ancillas,
// -1 for no detector) or a str/os.PathLike naming a .npy file. TypeError for a non-integer
// array, ValueError for any other refusal (with FrameLayout's text); nullopt with the exception
// set.
std::optional<FrameLayout> layout_of(PyObject* arg, std::uint64_t num_detectors);

// _kelvane._check_layout(layout, num_detectors=None): the layout as a new C-contiguous int64
// array once layout_of accepts it (num_detectors None: any id from 0 up).
PyObject* check_layout(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace kelvane::py
