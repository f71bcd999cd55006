// The private module functions kelvane.kvlx writes and walks KVLX bytes with (_kvlx_encode_frame,
// _kvlx_encode_frames, _kvlx_frame_offsets, _kvlx_description), added to _kelvane when it loads.
#pragma once

#include <Python.h>

namespace kelvane::py {

extern PyMethodDef kvlx_encoding_methods[];

}  // namespace kelvane::py
