// The LogicalErrorAccumulator class: logical error rates from DecoderResults and ground truth.
// Every method takes the object shared; the core counters are atomic.
#include <Python.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kelvane/core/observable_bits.h"
#include "kelvane/metrics/logical_error_accumulator.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/args.h"
#include "kelvane/py/decoder_result_object.h"
#include "kelvane/py/native_object.h"
#include "kelvane/py/numpy_api.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/types.h"

namespace kelvane::py {
namespace {

using PyLogicalErrorAccumulator = NativeObject<LogicalErrorAccumulator>;

LogicalErrorAccumulator& acc_of(PyObject* self) { return native_of<LogicalErrorAccumulator>(self); }
BorrowFlag& acc_borrow(PyObject* self) { return borrow_of<LogicalErrorAccumulator>(self); }

// Scientific notation with four decimals and a bare exponent: 0.25 -> "2.5000e-1", 0 -> "0.0000e0".
std::string format_scientific4(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4e", v);
  std::string text(buf);
  const std::size_t e = text.find('e');
  const long exponent = std::strtol(text.c_str() + e + 1, nullptr, 10);
  return text.substr(0, e + 1) + std::to_string(exponent);
}

PyObject* acc_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1] = {};
  if (!bind_args("LogicalErrorAccumulator", args, kwargs, {"observable_count"}, 1, argv)) return nullptr;
  std::size_t observable_count = 0;
  if (!arg_size("observable_count", argv[0], observable_count)) return nullptr;
  if (auto error = mask_form_error(observable_count, "LogicalErrorAccumulator",
                                   "compare decode_batch's prediction array with the truth, "
                                   "(predictions != truth).mean(axis=0)")) {
    PyErr_SetString(PyExc_ValueError, error->c_str());
    return nullptr;
  }
  return new_native<LogicalErrorAccumulator>(type, observable_count);
}

// One shot's ground truth: an int (or anything with __index__), a NumPy bool, or a 1-D bool
// array with one entry per observable (a row of Stim's observables array).
bool truth_mask(PyObject* o, std::uint64_t& out) {
  if (!PyLong_Check(o)) {
    if (!ensure_numpy()) return false;
    if (PyArray_IsScalar(o, Bool)) {
      out = PyObject_IsTrue(o) ? 1 : 0;
      return true;
    }
    if (PyArray_Check(o)) {
      auto* arr = reinterpret_cast<PyArrayObject*>(o);
      if (PyArray_TYPE(arr) == NPY_BOOL && PyArray_NDIM(arr) == 1) {
        out = 0;
        const npy_intp n = PyArray_DIM(arr, 0);
        const auto* base = static_cast<const char*>(PyArray_DATA(arr));
        for (npy_intp k = 0; k < n && k < 64; ++k) {
          if (base[k * PyArray_STRIDE(arr, 0)]) out |= std::uint64_t{1} << k;
        }
        return true;
      }
    }
  }
  return arg_u64("ground_truth", o, out);
}

PyObject* acc_record(PyObject* self, PyObject* args, PyObject* kwargs) {
  SharedBorrow b(acc_borrow(self));
  if (!b) return nullptr;
  PyObject* argv[2] = {};
  if (!bind_args("record", args, kwargs, {"result", "ground_truth"}, 2, argv)) return nullptr;
  PyTypeObject* result_type = decoder_result_type();
  if (!result_type || !arg_instance("result", argv[0], result_type)) return nullptr;
  SharedBorrow rb(borrow_of<DecoderResultData>(argv[0]));
  if (!rb) return nullptr;
  std::uint64_t ground_truth = 0;
  if (!truth_mask(argv[1], ground_truth)) return nullptr;
  acc_of(self).record(native_of<DecoderResultData>(argv[0]).observable_flips, ground_truth);
  Py_RETURN_NONE;
}

// Per-shot observable masks from an array argument:
//   1-D integer array               -> the masks themselves (bit k: observable k);
//   2-D, observable_count columns   -> one 0/1 (any non-zero) entry per observable;
//   2-D, ceil(observable_count / 8) -> bit-packed rows, numpy.packbits(..., bitorder="little").
bool masks_of(const char* name, PyObject* o, std::size_t observable_count, std::vector<std::uint64_t>& out) {
  if (!PyArray_Check(o)) {
    raise_arg_error(name, not_instance_reason(o, "numpy.ndarray"));
    return false;
  }
  auto* given = reinterpret_cast<PyArrayObject*>(o);
  const int type = PyArray_TYPE(given);
  if (!PyTypeNum_ISINTEGER(type) && type != NPY_BOOL) {
    PyRef dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(given))));
    const char* text = dtype ? PyUnicode_AsUTF8(dtype.get()) : nullptr;
    if (!text) return false;
    raise_arg_error(name, std::string("expected an integer or bool array, got dtype ") + text);
    return false;
  }
  const int ndim = PyArray_NDIM(given);
  if (ndim == 1) {
    PyRef masks(PyArray_FROMANY(o, NPY_UINT64, 1, 1, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    if (!masks) return false;
    const auto* data = static_cast<const std::uint64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(masks.get())));
    out.assign(data, data + PyArray_DIM(reinterpret_cast<PyArrayObject*>(masks.get()), 0));
    return true;
  }
  const npy_intp width = ndim == 2 ? PyArray_DIM(given, 1) : -1;
  const auto columns = static_cast<npy_intp>(observable_count);
  const auto packed_columns = static_cast<npy_intp>((observable_count + 7) / 8);
  if (width != columns && width != packed_columns) {
    std::string text = name;
    text += " must be 1-D masks or a 2-D array with " + std::to_string(columns) +
            " columns (one per observable) or " + std::to_string(packed_columns) + " (bit-packed), got ";
    if (ndim == 2) {
      text += "shape (" + std::to_string(PyArray_DIM(given, 0));
      text += ", " + std::to_string(width) + ")";
    } else {
      text += "a " + std::to_string(ndim) + "-D array";
    }
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return false;
  }
  const bool packed = width != columns;
  PyRef bytes(PyArray_FROMANY(o, packed ? NPY_UINT8 : NPY_BOOL, 2, 2, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
  if (!bytes) return false;
  auto* arr = reinterpret_cast<PyArrayObject*>(bytes.get());
  const npy_intp shots = PyArray_DIM(arr, 0);
  const auto* data = static_cast<const std::uint8_t*>(PyArray_DATA(arr));
  out.assign(static_cast<std::size_t>(shots), 0);
  for (npy_intp s = 0; s < shots; ++s) {
    const std::uint8_t* row = data + s * width;
    std::uint64_t mask = 0;
    if (packed) {
      for (npy_intp j = 0; j < width && j < 8; ++j) mask |= std::uint64_t{row[j]} << (8 * j);
    } else {
      for (npy_intp k = 0; k < width && k < 64; ++k) mask |= std::uint64_t{row[k] != 0} << k;
    }
    out[static_cast<std::size_t>(s)] = mask;
  }
  return true;
}

PyObject* acc_record_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  SharedBorrow b(acc_borrow(self));
  if (!b) return nullptr;
  PyObject* argv[2] = {};
  if (!bind_args("record_batch", args, kwargs, {"predictions", "ground_truth"}, 2, argv)) return nullptr;
  if (!ensure_numpy()) return nullptr;
  LogicalErrorAccumulator& acc = acc_of(self);
  std::vector<std::uint64_t> predictions, truth;
  if (!masks_of("predictions", argv[0], acc.observable_count(), predictions)) return nullptr;
  if (!masks_of("ground_truth", argv[1], acc.observable_count(), truth)) return nullptr;
  if (predictions.size() != truth.size()) {
    const std::string text = "predictions has " + std::to_string(predictions.size()) + " shots, ground_truth has " +
                             std::to_string(truth.size());
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
  }
  acc.record_batch(predictions, truth);
  Py_RETURN_NONE;
}

PyObject* acc_logical_error_rate(PyObject* self, PyObject* args, PyObject* kwargs) {
  SharedBorrow b(acc_borrow(self));
  if (!b) return nullptr;
  PyObject* argv[1] = {};
  if (!bind_args("logical_error_rate", args, kwargs, {"observable"}, 1, argv)) return nullptr;
  std::size_t observable = 0;
  if (!arg_size("observable", argv[0], observable)) return nullptr;
  return PyFloat_FromDouble(acc_of(self).logical_error_rate(observable));
}

PyObject* acc_mean_logical_error_rate(PyObject* self, PyObject*) {
  SharedBorrow b(acc_borrow(self));
  if (!b) return nullptr;
  return PyFloat_FromDouble(acc_of(self).mean_logical_error_rate());
}

PyObject* acc_total_shots(PyObject* self, PyObject*) {
  SharedBorrow b(acc_borrow(self));
  if (!b) return nullptr;
  return PyLong_FromUnsignedLongLong(acc_of(self).total_shots());
}

PyObject* acc_reset(PyObject* self, PyObject*) {
  SharedBorrow b(acc_borrow(self));
  if (!b) return nullptr;
  acc_of(self).reset();
  Py_RETURN_NONE;
}

PyObject* acc_repr(PyObject* self) {
  SharedBorrow b(acc_borrow(self));
  if (!b) return nullptr;
  const LogicalErrorAccumulator& acc = acc_of(self);
  const std::string text = "LogicalErrorAccumulator(shots=" + std::to_string(acc.total_shots()) +
                           ", mean_p_L=" + format_scientific4(acc.mean_logical_error_rate()) + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyMethodDef acc_methods[] = {
    {"record", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the tally (LogicalErrorAccumulator.record)", acc_record>)),
     METH_VARARGS | METH_KEYWORDS, "record($self, result, ground_truth)\n--\n\n"},
    {"record_batch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         guarded<"the tally (LogicalErrorAccumulator.record_batch)", acc_record_batch>)),
     METH_VARARGS | METH_KEYWORDS,
     "record_batch($self, predictions, ground_truth)\n--\n\n"
     "Record many shots at once. predictions as SpacetimeGraph.decode_batch returns them\n"
     "((shots, observables) 0/1, bit-packed rows, or 1-D uint64 masks); ground_truth as Stim's\n"
     "observables array (separate_observables=True, bit-packed or not) or 1-D masks."},
    {"logical_error_rate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the rate (LogicalErrorAccumulator.logical_error_rate)", acc_logical_error_rate>)),
     METH_VARARGS | METH_KEYWORDS, "logical_error_rate($self, observable)\n--\n\n"},
    {"mean_logical_error_rate", guarded<"the rate (LogicalErrorAccumulator.mean_logical_error_rate)", acc_mean_logical_error_rate>,
     METH_NOARGS, "mean_logical_error_rate($self)\n--\n\n"},
    {"total_shots", guarded<"the count (LogicalErrorAccumulator.total_shots)", acc_total_shots>,
     METH_NOARGS, "total_shots($self)\n--\n\n"},
    {"reset", guarded<"the tallies (LogicalErrorAccumulator.reset)", acc_reset>, METH_NOARGS, "reset($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot acc_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<"the accumulator (LogicalErrorAccumulator)", acc_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc<LogicalErrorAccumulator>)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<"the repr (LogicalErrorAccumulator)", acc_repr>)},
    {Py_tp_methods, acc_methods},
    {Py_tp_doc, const_cast<char*>("LogicalErrorAccumulator(observable_count)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec acc_spec = {
    "LogicalErrorAccumulator",
    sizeof(PyLogicalErrorAccumulator),
    0,
    Py_TPFLAGS_DEFAULT,
    acc_slots,
};

}  // namespace

PyTypeObject* logical_error_accumulator_type() {
  static PyTypeObject* type = nullptr;
  return make_type_once(type, &acc_spec);
}

}  // namespace kelvane::py
