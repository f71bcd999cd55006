#include "kelvane/py/shot_array.h"

#include <string>

#include "kelvane/py/args.h"

namespace kelvane::py {

std::string dtype_text(PyArrayObject* arr) {
  PyRef text(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
  const char* s = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (!s) {
    PyErr_Clear();
    return "?";
  }
  return s;
}

PyRef shot_bytes(const char* name, PyObject* shots, bool bit_packed) {
  // Nested sequences (lists of rows) are taken as PyMatching takes them: as the array NumPy
  // makes of them, bytes when bit-packed.
  PyRef converted;
  if (!PyArray_Check(shots)) {
    converted = PyRef(PyArray_FromAny(shots, nullptr, 0, 0, 0, nullptr));
    if (!converted) return PyRef();
    if (bit_packed && PyArray_ISINTEGER(reinterpret_cast<PyArrayObject*>(converted.get()))) {
      converted = PyRef(PyArray_FROMANY(converted.get(), NPY_UINT8, 0, 0, NPY_ARRAY_FORCECAST));
      if (!converted) return PyRef();
    }
    shots = converted.get();
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(shots);
  const int type = PyArray_TYPE(arr);
  if (type == NPY_BOOL || type == NPY_UINT8 || type == NPY_INT8) return PyRef::borrow(shots);
  if (bit_packed) {
    raise_arg_error(name, "bit-packed shots must have dtype uint8, got " + dtype_text(arr));
    return PyRef();
  }
  if (!PyTypeNum_ISINTEGER(type) && !PyTypeNum_ISFLOAT(type)) {
    raise_arg_error(name, "expected an array of integer, bool or float dtype, got " + dtype_text(arr));
    return PyRef();
  }
  return PyRef(PyArray_FROMANY(shots, NPY_BOOL, 0, 0, NPY_ARRAY_FORCECAST));
}

}  // namespace kelvane::py
