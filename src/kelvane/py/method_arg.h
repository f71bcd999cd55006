// The `method=` argument of every entry point that decodes: the name of a decoding algorithm
// converted to a DecodeMethod (the names are the decoder layer's, decode_method_named).
#pragma once

#include <Python.h>

#include "kelvane/decoder/decode_method.h"

namespace kelvane::py {

// `arg` (nullptr: left out, Union-Find) must be "union-find" or "matching"; ValueError
// otherwise. False with a Python exception set on failure.
bool arg_method(PyObject* arg, DecodeMethod& out);

}  // namespace kelvane::py
