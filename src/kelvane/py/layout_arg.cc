// Frame layouts from Python objects; see layout_arg.h.
#include "kelvane/py/layout_arg.h"

#include <cstddef>
#include <limits>
#include <span>
#include <string>
#include <utility>

#include "kelvane/py/args.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/numpy_api.h"
#include "kelvane/py/py_ref.h"

namespace kelvane::py {
namespace {

// `arg` as a C-contiguous rows x columns int64 array: a .npy path is loaded (without pickles),
// a non-integer dtype is a TypeError and any other dimension count a ValueError.
PyRef layout_array(PyObject* arg) {
  if (!ensure_numpy()) return {};
  PyRef loaded;
  if (PyUnicode_Check(arg) || PyObject_HasAttrString(arg, "__fspath__")) {
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return {};
    loaded = PyRef(PyObject_CallMethod(numpy.get(), "load", "O", arg));
    if (!loaded) return {};
    arg = loaded.get();
  }
  PyRef any(PyArray_FROMANY(arg, NPY_NOTYPE, 0, 0, 0));
  if (!any) return {};
  auto* arr = reinterpret_cast<PyArrayObject*>(any.get());
  const char kind = PyArray_DESCR(arr)->kind;
  if (kind != 'i' && kind != 'u') {
    PyRef dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
    const char* name = dtype ? PyUnicode_AsUTF8(dtype.get()) : nullptr;
    if (!name) return {};
    raise_arg_error("layout", std::string("expected an integer array (rounds x ancillas, -1 for no detector), got ") +
                                  name);
    return {};
  }
  if (PyArray_NDIM(arr) != 2) {
    raise_message(PyExc_ValueError, "layout must be a 2-D array (rounds x ancillas), got a " +
                                        std::to_string(PyArray_NDIM(arr)) + "-D array");
    return {};
  }
  return PyRef(PyArray_FROMANY(any.get(), NPY_INT64, 2, 2, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
}

std::optional<FrameLayout> layout_from_array(PyObject* ints, std::uint64_t num_detectors) {
  auto* a = reinterpret_cast<PyArrayObject*>(ints);
  const auto rounds = static_cast<std::size_t>(PyArray_DIM(a, 0));
  const auto ancillas = static_cast<std::size_t>(PyArray_DIM(a, 1));
  std::span<const std::int64_t> entries(static_cast<const std::int64_t*>(PyArray_DATA(a)), rounds * ancillas);
  auto layout = FrameLayout::table(rounds, ancillas, entries, num_detectors);
  if (!layout) {
    raise_message(PyExc_ValueError, layout.error().to_string());
    return std::nullopt;
  }
  return std::move(*layout);
}

}  // namespace

std::optional<FrameLayout> layout_of(PyObject* arg, std::uint64_t num_detectors) {
  PyRef ints = layout_array(arg);
  if (!ints) return std::nullopt;
  return layout_from_array(ints.get(), num_detectors);
}

PyObject* check_layout(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* bound[2] = {};
  if (!bind_args("_check_layout", args, kwargs, {"layout", "num_detectors"}, 1, bound)) return nullptr;
  std::uint64_t num_detectors = std::numeric_limits<std::uint64_t>::max();
  if (bound[1] && bound[1] != Py_None && !arg_u64("num_detectors", bound[1], num_detectors)) return nullptr;
  PyRef ints = layout_array(bound[0]);
  if (!ints || !layout_from_array(ints.get(), num_detectors)) return nullptr;
  return PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(ints.get()), NPY_CORDER);
}

}  // namespace kelvane::py
