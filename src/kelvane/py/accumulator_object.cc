// The LogicalErrorAccumulator class: logical error rates from DecoderResults and ground truth.
// Every method takes the object shared; the core counters are atomic.
#include <Python.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kelvane/metrics/logical_error_accumulator.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/args.h"
#include "kelvane/py/decoder_result_object.h"
#include "kelvane/py/native_object.h"
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
  PyObject* argv[1];
  if (!bind_args("LogicalErrorAccumulator", args, kwargs, {"observable_count"}, 1, argv)) return nullptr;
  std::size_t observable_count = 0;
  if (!arg_size("observable_count", argv[0], observable_count)) return nullptr;
  return new_native<LogicalErrorAccumulator>(type, observable_count);
}

PyObject* acc_record(PyObject* self, PyObject* args, PyObject* kwargs) {
  SharedBorrow b(acc_borrow(self));
  if (!b) return nullptr;
  PyObject* argv[2];
  if (!bind_args("record", args, kwargs, {"result", "ground_truth"}, 2, argv)) return nullptr;
  PyTypeObject* result_type = decoder_result_type();
  if (!result_type || !arg_instance("result", argv[0], result_type)) return nullptr;
  SharedBorrow rb(borrow_of<DecoderResultData>(argv[0]));
  if (!rb) return nullptr;
  std::uint64_t ground_truth = 0;
  if (!arg_u64("ground_truth", argv[1], ground_truth)) return nullptr;
  acc_of(self).record(native_of<DecoderResultData>(argv[0]).observable_flips, ground_truth);
  Py_RETURN_NONE;
}

PyObject* acc_logical_error_rate(PyObject* self, PyObject* args, PyObject* kwargs) {
  SharedBorrow b(acc_borrow(self));
  if (!b) return nullptr;
  PyObject* argv[1];
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
