// KelvaneStream.description: what a stream says about itself, as a read-only object.
#pragma once

#include <Python.h>

#include <memory>

#include "kelvane/kvlx/description.h"

namespace kelvane::py {

// A new StreamDescription object (layout: an int64 rounds x ancillas array or None; dem_text:
// str or None, inflated from `d` when first read; hash: the 8 bytes round-0 frames carry), or
// nullptr with an exception set.
PyObject* new_stream_description(const std::shared_ptr<const StreamDescription>& d);

}  // namespace kelvane::py
