#include "kelvane/py/method_arg.h"

#include <optional>

namespace kelvane::py {

bool arg_method(PyObject* arg, DecodeMethod& out) {
  if (!arg) {
    out = DecodeMethod::kUnionFind;
    return true;
  }
  const char* name = PyUnicode_Check(arg) ? PyUnicode_AsUTF8(arg) : nullptr;
  if (PyUnicode_Check(arg) && !name) return false;
  const std::optional<DecodeMethod> method = name ? decode_method_named(name) : std::nullopt;
  if (!method) {
    PyErr_SetString(PyExc_ValueError, "method must be \"union-find\" or \"matching\"");
    return false;
  }
  out = *method;
  return true;
}

}  // namespace kelvane::py
