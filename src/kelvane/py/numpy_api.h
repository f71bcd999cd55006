// Access to the NumPy C API from any file of the module. NumPy is imported lazily: call
// ensure_numpy() before the first array call of an operation.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL kelvane_ARRAY_API
#ifndef KELVANE_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace kelvane::py {

// Imports NumPy's C API on first use. False with the import's exception set on failure.
bool ensure_numpy();

}  // namespace kelvane::py
