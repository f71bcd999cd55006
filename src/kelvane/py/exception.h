// The module's exception class and the mapping of core failures to Python exceptions.
#pragma once

#include <Python.h>

#include <string>

#include "kelvane/core/error.h"

namespace kelvane::py {

// "kelvane.KelvaneError", derived from Exception; created once per process. Borrowed reference,
// or nullptr with an exception set.
PyObject* kelvane_error_type();

// Raises `type` with `message` as the single argument (so an OSError's errno is None).
void raise_message(PyObject* type, const std::string& message);
// Stream and I/O failures reach Python as OSError carrying the error's display text.
inline void raise_os_error(const KelvaneError& e) { raise_message(PyExc_OSError, e.to_string()); }

}  // namespace kelvane::py
