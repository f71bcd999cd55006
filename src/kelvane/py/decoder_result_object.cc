// The DecoderResult class (a decoder's corrections, confidence and observable flips) and the
// LogicalCorrection records it lists.
#include "kelvane/py/exception.h"
#include "kelvane/py/decoder_result_object.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "kelvane/py/args.h"
#include "kelvane/py/numpy_api.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/types.h"

namespace kelvane::py {
namespace {

// ---- LogicalCorrection -------------------------------------------------------------------

PyObject* correction_logical_id(PyObject* self, void*) {
  SharedBorrow b(borrow_of<CorrectionRecord>(self));
  if (!b) return nullptr;
  return PyLong_FromUnsignedLong(native_of<CorrectionRecord>(self).logical_id);
}

PyObject* correction_pauli(PyObject* self, void*) {
  SharedBorrow b(borrow_of<CorrectionRecord>(self));
  if (!b) return nullptr;
  const std::string& p = native_of<CorrectionRecord>(self).pauli;
  return PyUnicode_FromStringAndSize(p.data(), static_cast<Py_ssize_t>(p.size()));
}

PyObject* correction_repr(PyObject* self) {
  SharedBorrow b(borrow_of<CorrectionRecord>(self));
  if (!b) return nullptr;
  const CorrectionRecord& c = native_of<CorrectionRecord>(self);
  std::string text = "LogicalCorrection(logical_id=" + std::to_string(c.logical_id) + ", pauli=" + c.pauli + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyGetSetDef correction_getset[] = {
    {"logical_id", guarded<"LogicalCorrection.logical_id", correction_logical_id>, nullptr, nullptr, nullptr},
    {"pauli", guarded<"LogicalCorrection.pauli", correction_pauli>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot correction_slots[] = {
    {Py_tp_getset, correction_getset},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<"the repr (LogicalCorrection)", correction_repr>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc<CorrectionRecord>)},
    {0, nullptr},
};

PyType_Spec correction_spec = {
    "LogicalCorrection",
    sizeof(NativeObject<CorrectionRecord>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    correction_slots,
};

// ---- DecoderResult -----------------------------------------------------------------------

const DecoderResultData& result_of(PyObject* self) { return native_of<DecoderResultData>(self); }

PyObject* result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[2] = {};
  if (!bind_args("DecoderResult", args, kwargs, {"observable_flips", "confidence"}, 1, bound)) return nullptr;
  DecoderResultData data;
  if (!arg_u64("observable_flips", bound[0], data.observable_flips)) return nullptr;
  if (bound[1] && !arg_f64("confidence", bound[1], data.confidence)) return nullptr;
  return new_native<DecoderResultData>(type, std::move(data));
}

PyObject* result_corrections(PyObject* self, void*) {
  SharedBorrow b(borrow_of<DecoderResultData>(self));
  if (!b) return nullptr;
  PyTypeObject* type = logical_correction_type();
  if (!type) return nullptr;
  const auto& records = result_of(self).corrections;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    PyObject* item = new_native<CorrectionRecord>(type, records[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* result_confidence(PyObject* self, void*) {
  SharedBorrow b(borrow_of<DecoderResultData>(self));
  if (!b) return nullptr;
  return PyFloat_FromDouble(result_of(self).confidence);
}

PyObject* result_observable_flips(PyObject* self, void*) {
  SharedBorrow b(borrow_of<DecoderResultData>(self));
  if (!b) return nullptr;
  return PyLong_FromUnsignedLongLong(result_of(self).observable_flips);
}

PyObject* result_valid(PyObject* self, void*) {
  SharedBorrow b(borrow_of<DecoderResultData>(self));
  if (!b) return nullptr;
  return PyBool_FromLong(result_of(self).valid);
}

// Fixed notation with four decimals; NaN as "NaN" and infinities as "inf" / "-inf".
std::string confidence_text(double c) {
  if (std::isnan(c)) return "NaN";
  if (std::isinf(c)) return c > 0 ? "inf" : "-inf";
  int len = std::snprintf(nullptr, 0, "%.4f", c);
  std::string out(static_cast<std::size_t>(len), '\0');
  std::snprintf(out.data(), out.size() + 1, "%.4f", c);
  return out;
}

std::string binary_text(std::uint64_t v) {
  char digits[2 + 64];
  char* end = digits + sizeof digits;
  char* p = end;
  do {
    *--p = static_cast<char>('0' + (v & 1));
    v >>= 1;
  } while (v);
  *--p = 'b';
  *--p = '0';
  return std::string(p, end);
}

PyObject* result_repr(PyObject* self) {
  SharedBorrow b(borrow_of<DecoderResultData>(self));
  if (!b) return nullptr;
  const DecoderResultData& r = result_of(self);
  std::string text = "DecoderResult(corrections=" + std::to_string(r.corrections.size()) +
                     ", confidence=" + confidence_text(r.confidence) +
                     ", observable_flips=" + binary_text(r.observable_flips) + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Unpickling (kelvane's copyreg reducer): the corrections as (logical_id, pauli) pairs, the
// valid flag and the observable count, which the constructor does not take.
PyObject* result_setstate(PyObject* self, PyObject* state) {
  ExclusiveBorrow b(borrow_of<DecoderResultData>(self));
  if (!b) return nullptr;
  PyObject* corrections = nullptr;
  int valid = 1;
  unsigned short num_observables = 64;
  if (!PyArg_ParseTuple(state, "O!p|H:__setstate__", &PyTuple_Type, &corrections, &valid, &num_observables)) {
    return nullptr;
  }
  if (num_observables > 64) {
    PyErr_SetString(PyExc_ValueError, "a DecoderResult shows at most 64 observables");
    return nullptr;
  }
  std::vector<CorrectionRecord> records;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(corrections); ++i) {
    unsigned char id = 0;
    const char* pauli = nullptr;
    Py_ssize_t length = 0;
    if (!PyArg_ParseTuple(PyTuple_GET_ITEM(corrections, i), "bs#:__setstate__", &id, &pauli, &length)) return nullptr;
    records.push_back(CorrectionRecord{id, std::string(pauli, static_cast<std::size_t>(length))});
  }
  DecoderResultData& r = native_of<DecoderResultData>(self);
  r.corrections = std::move(records);
  r.valid = valid != 0;
  r.num_observables = num_observables;
  Py_RETURN_NONE;
}

// The array view, as PyMatching's decode returns its predictions: one uint8 per observable of
// the decoding model (the mask's 64 bits for a result made by hand), so that `result != obs`
// compares observable by observable.
PyObject* result_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  SharedBorrow b(borrow_of<DecoderResultData>(self));
  if (!b) return nullptr;
  static const char* kwlist[] = {"dtype", "copy", nullptr};
  PyObject* dtype = Py_None;
  PyObject* copy = Py_None;  // every call makes a new array, so any copy request is met
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:__array__", const_cast<char**>(kwlist), &dtype, &copy)) {
    return nullptr;
  }
  if (!ensure_numpy()) return nullptr;
  const DecoderResultData& r = result_of(self);
  npy_intp length = r.num_observables;
  PyRef array(PyArray_SimpleNew(1, &length, NPY_UINT8));
  if (!array) return nullptr;
  auto* bits = static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  for (npy_intp k = 0; k < length; ++k) bits[k] = static_cast<std::uint8_t>((r.observable_flips >> k) & 1U);
  if (dtype == Py_None) return array.release();
  return PyObject_CallMethod(array.get(), "astype", "O", dtype);
}

Py_ssize_t result_length(PyObject* self) {
  SharedBorrow b(borrow_of<DecoderResultData>(self));
  if (!b) return -1;
  return result_of(self).num_observables;
}

// result[k]: observable k's prediction, 0 or 1 (negative k counts from the end).
PyObject* result_item(PyObject* self, Py_ssize_t k) {
  SharedBorrow b(borrow_of<DecoderResultData>(self));
  if (!b) return nullptr;
  const DecoderResultData& r = result_of(self);
  if (k < 0 || k >= r.num_observables) {
    PyErr_SetString(PyExc_IndexError, "DecoderResult index out of range");
    return nullptr;
  }
  return PyLong_FromUnsignedLong(static_cast<unsigned long>((r.observable_flips >> k) & 1U));
}

PyMethodDef result_methods[] = {
    {"__setstate__", guarded<"the unpickled result (DecoderResult)", result_setstate>, METH_O, nullptr},
    {"__array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                      guarded<"the array of predictions (DecoderResult)", result_array>)),
     METH_VARARGS | METH_KEYWORDS,
     "__array__($self, /, dtype=None, copy=None)\n--\n\n"
     "The predictions as a uint8 array, one entry per observable of the decoding model (64 for a\n"
     "result made by hand): what PyMatching's decode returns."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef result_getset[] = {
    // The published attributes carry no docstrings (the stubs document them).
    {"corrections", guarded<"the corrections list (DecoderResult.corrections)", result_corrections>,
     nullptr, nullptr, nullptr},
    {"confidence", guarded<"DecoderResult.confidence", result_confidence>, nullptr, nullptr, nullptr},
    {"observable_flips", guarded<"DecoderResult.observable_flips", result_observable_flips>, nullptr, nullptr,
     nullptr},
    {"valid", guarded<"DecoderResult.valid", result_valid>, nullptr,
     const_cast<char*>("False when no set of error mechanisms explains the decoded syndrome "
                       "(confidence is then 0.0)."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* result_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  SharedBorrow a(borrow_of<DecoderResultData>(self));
  if (!a) return nullptr;
  SharedBorrow b(borrow_of<DecoderResultData>(other));
  if (!b) return nullptr;
  const DecoderResultData& x = result_of(self);
  const DecoderResultData& y = result_of(other);
  bool same = x.observable_flips == y.observable_flips && x.confidence == y.confidence &&
              x.corrections.size() == y.corrections.size();
  for (std::size_t i = 0; same && i < x.corrections.size(); ++i) {
    same = x.corrections[i].logical_id == y.corrections[i].logical_id && x.corrections[i].pauli == y.corrections[i].pauli;
  }
  return PyBool_FromLong(same == (op == Py_EQ));
}

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "DecoderResult(observable_flips, confidence=1.0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(guarded<"the result (DecoderResult)", result_new>)},
    {Py_tp_getset, result_getset},
    {Py_tp_methods, result_methods},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<"the repr (DecoderResult)", result_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guarded<"the comparison (DecoderResult)", result_richcompare>)},
    {Py_sq_length, reinterpret_cast<void*>(guarded<"the length (DecoderResult)", result_length>)},
    {Py_sq_item, reinterpret_cast<void*>(guarded<"the item (DecoderResult)", result_item>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc<DecoderResultData>)},
    {0, nullptr},
};

PyType_Spec result_spec = {
    "DecoderResult",
    sizeof(PyDecoderResult),
    0,
    Py_TPFLAGS_DEFAULT,
    result_slots,
};

}  // namespace

PyTypeObject* logical_correction_type() {
  static PyTypeObject* type = nullptr;
  return make_type_once(type, &correction_spec);
}

PyTypeObject* decoder_result_type() {
  static PyTypeObject* type = nullptr;
  return make_type_once(type, &result_spec);
}

PyObject* new_decoder_result(DecoderResultData data) {
  PyTypeObject* type = decoder_result_type();
  if (!type) return nullptr;
  return new_native<DecoderResultData>(type, std::move(data));
}

}  // namespace kelvane::py
