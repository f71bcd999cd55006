// The SyndromeWindow class: a Python-owned sliding window filled from frames or NumPy arrays.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kelvane/core/window.h"
#include "kelvane/py/args.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/frame_object.h"
#include "kelvane/py/native_object.h"
#include "kelvane/py/numpy_api.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/types.h"

namespace kelvane::py {
namespace {

using PySyndromeWindow = NativeObject<SyndromeWindow>;

SyndromeWindow& window_of(PyObject* self) { return native_of<SyndromeWindow>(self); }
BorrowFlag& window_borrow(PyObject* self) { return borrow_of<SyndromeWindow>(self); }

PyObject* window_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[2] = {};
  if (!bind_args("SyndromeWindow", args, kwargs, {"ancilla_count", "window_depth"}, 2, argv)) return nullptr;
  std::size_t ancilla_count = 0;
  std::size_t window_depth = 0;
  if (!arg_size("ancilla_count", argv[0], ancilla_count) || !arg_size("window_depth", argv[1], window_depth)) {
    return nullptr;
  }
  auto window = SyndromeWindow::create(ancilla_count, window_depth);
  if (!window) {
    raise_message(PyExc_MemoryError, window.error().to_string());
    return nullptr;
  }
  return new_native<SyndromeWindow>(type, std::move(*window));
}

PyObject* window_push(PyObject* self, PyObject* args, PyObject* kwargs) {
  ExclusiveBorrow b(window_borrow(self));
  if (!b) return nullptr;
  PyObject* argv[1] = {};
  if (!bind_args("push", args, kwargs, {"frame"}, 1, argv)) return nullptr;
  PyTypeObject* frame_type = syndrome_frame_type();
  if (!frame_type || !arg_instance("frame", argv[0], frame_type)) return nullptr;
  SharedBorrow fb(borrow_of<OwnedFrame>(argv[0]));
  if (!fb) return nullptr;
  const OwnedFrame& frame = native_of<OwnedFrame>(argv[0]);
  window_of(self).push_owned(syndrome_round_of(frame));
  Py_RETURN_NONE;
}

// Copies a 1-D bool array's elements in index order, whatever its strides (a[::2], a[::-1]).
bool copy_bool_events(PyObject* o, std::vector<std::uint8_t>& out) {
  if (!PyArray_Check(o)) {
    raise_arg_error("detector_events", not_instance_reason(o, "ndarray"));
    return false;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_NDIM(arr) != 1 || PyArray_TYPE(arr) != NPY_BOOL) {
    PyRef dtype_text(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
    const char* dtype = dtype_text ? PyUnicode_AsUTF8(dtype_text.get()) : nullptr;
    if (!dtype) {
      PyErr_Clear();
      dtype = "?";
    }
    raise_arg_error("detector_events", "expected a 1-D NumPy bool array, got a " +
                                           std::to_string(PyArray_NDIM(arr)) + "-D array of dtype " + dtype);
    return false;
  }
  const npy_intp n = PyArray_DIM(arr, 0);
  const npy_intp stride = PyArray_STRIDE(arr, 0);
  const char* base = static_cast<const char*>(PyArray_DATA(arr));
  out.resize(static_cast<std::size_t>(n));
  for (npy_intp i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = base[i * stride] != 0;
  return true;
}

PyObject* window_push_numpy(PyObject* self, PyObject* args, PyObject* kwargs) {
  ExclusiveBorrow b(window_borrow(self));
  if (!b) return nullptr;
  PyObject* argv[3] = {};
  if (!bind_args("push_numpy", args, kwargs, {"detector_events", "frame_id", "round"}, 3, argv)) return nullptr;
  if (!ensure_numpy()) return nullptr;
  OwnedSyndromeData data;
  if (!copy_bool_events(argv[0], data.detector_events)) return nullptr;
  if (!arg_u64("frame_id", argv[1], data.frame_id) || !arg_u32("round", argv[2], data.round)) return nullptr;
  window_of(self).push_owned(std::move(data));
  Py_RETURN_NONE;
}

PyObject* window_to_numpy_matrix(PyObject* self, PyObject*) {
  SharedBorrow b(window_borrow(self));
  if (!b) return nullptr;
  if (!ensure_numpy()) return nullptr;
  const SyndromeWindow& w = window_of(self);
  npy_intp dims[2] = {static_cast<npy_intp>(w.rounds_held()), static_cast<npy_intp>(w.ancilla_count())};
  PyObject* array = PyArray_SimpleNew(2, dims, NPY_BOOL);
  if (!array) return nullptr;
  const auto& matrix = w.detector_matrix();
  if (!matrix.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), matrix.data(), matrix.size());
  }
  return array;
}

PyObject* window_active_detectors(PyObject* self, PyObject*) {
  SharedBorrow b(window_borrow(self));
  if (!b) return nullptr;
  const std::vector<std::uint32_t> active = window_of(self).active_detectors();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(active.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < active.size(); ++i) {
    PyObject* v = PyLong_FromUnsignedLong(active[i]);
    if (!v) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
  }
  return list.release();
}

PyObject* window_is_full(PyObject* self, PyObject*) {
  SharedBorrow b(window_borrow(self));
  if (!b) return nullptr;
  return PyBool_FromLong(window_of(self).is_full());
}

PyObject* window_is_empty(PyObject* self, PyObject*) {
  SharedBorrow b(window_borrow(self));
  if (!b) return nullptr;
  return PyBool_FromLong(window_of(self).is_empty());
}

Py_ssize_t window_len(PyObject* self) {
  SharedBorrow b(window_borrow(self));
  if (!b) return -1;
  return static_cast<Py_ssize_t>(window_of(self).rounds_held());
}

PyObject* window_repr(PyObject* self) {
  SharedBorrow b(window_borrow(self));
  if (!b) return nullptr;
  const SyndromeWindow& w = window_of(self);
  const std::string text = "SyndromeWindow(rounds=" + std::to_string(w.rounds_held()) + "/" +
                           std::to_string(w.window_depth()) + ", ancillas=" + std::to_string(w.ancilla_count()) +
                           ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

constexpr const char kPushDoc[] =
    "push($self, frame)\n--\n\n"
    "Push a `SyndromeFrame` into the window, evicting the oldest if full.";

constexpr const char kPushNumpyDoc[] =
    "push_numpy($self, detector_events, frame_id, round)\n--\n\n"
    "Push detector events directly from a 1-D NumPy bool array.\n"
    "\n"
    "Use this when building frames from vendor adapters (IBM, Cirq, etc.)\n"
    "instead of constructing a full `SyndromeFrame`.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "detector_events : np.ndarray[bool]\n"
    "    Shape ``(ancilla_count,)``.\n"
    "frame_id : int, optional\n"
    "    Monotonic frame counter (default 0).\n"
    "round : int, optional\n"
    "    Round index within an experiment (default 0).";

constexpr const char kToNumpyMatrixDoc[] =
    "to_numpy_matrix($self)\n--\n\n"
    "Detector matrix as a 2-D NumPy bool array of shape `(rounds, ancilla_count)`.\n"
    "\n"
    "Row 0 is the oldest round; row `len()-1` is the newest.";

constexpr const char kActiveDetectorsDoc[] =
    "active_detectors($self)\n--\n\n"
    "Indices (into the flat detector matrix) of all fired detectors across all rounds.";

PyMethodDef window_methods[] = {
    {"push", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the window round (SyndromeWindow.push)", window_push>)),
     METH_VARARGS | METH_KEYWORDS, kPushDoc},
    {"push_numpy", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the window round (SyndromeWindow.push_numpy)", window_push_numpy>)),
     METH_VARARGS | METH_KEYWORDS, kPushNumpyDoc},
    {"to_numpy_matrix", guarded<"the matrix (SyndromeWindow.to_numpy_matrix)", window_to_numpy_matrix>,
     METH_NOARGS, kToNumpyMatrixDoc},
    {"active_detectors", guarded<"the detector list (SyndromeWindow.active_detectors)", window_active_detectors>,
     METH_NOARGS, kActiveDetectorsDoc},
    {"is_full", guarded<"SyndromeWindow.is_full", window_is_full>, METH_NOARGS, "is_full($self)\n--\n\n"},
    {"is_empty", guarded<"SyndromeWindow.is_empty", window_is_empty>, METH_NOARGS, "is_empty($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot window_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<"the window (SyndromeWindow)", window_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc<SyndromeWindow>)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<"the repr (SyndromeWindow)", window_repr>)},
    {Py_tp_methods, window_methods},
    {Py_sq_length, reinterpret_cast<void*>(guarded<"SyndromeWindow.__len__", window_len>)},
    {Py_tp_doc, const_cast<char*>("SyndromeWindow(ancilla_count, window_depth)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec window_spec = {
    "SyndromeWindow",
    sizeof(PySyndromeWindow),
    0,
    Py_TPFLAGS_DEFAULT,
    window_slots,
};

}  // namespace

PyTypeObject* syndrome_window_type() {
  static PyTypeObject* type = nullptr;
  return make_type_once(type, &window_spec);
}

}  // namespace kelvane::py
