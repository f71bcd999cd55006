// Detection events as Python gives them, checked once for every entry point that takes shots.
#pragma once

#include <Python.h>

#include <string>

#include "kelvane/py/numpy_api.h"
#include "kelvane/py/py_ref.h"

namespace kelvane::py {

// `shots` (a NumPy array, or nested sequences taken as the array NumPy makes of them) as an
// array of one byte per entry, any non-zero byte fired, or with `bit_packed` of packed bytes:
// the array itself when its items are single bytes, else a bool copy. Entries that are not
// integers, bools or floats (strings, where "0" would count as fired, or objects) and packed
// rows of another dtype than uint8 are a TypeError naming the argument `name`. nullptr with an
// exception set. NumPy must be loaded.
PyRef shot_bytes(const char* name, PyObject* shots, bool bit_packed);

// The text of an array's dtype ("<U1", "float64").
std::string dtype_text(PyArrayObject* arr);

}  // namespace kelvane::py
