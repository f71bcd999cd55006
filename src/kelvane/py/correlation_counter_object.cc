// The CorrelationCounter class: detector and pair firing counts from batches of detection events.
// Counting takes the object exclusively and runs without the GIL.
#include <Python.h>

#include <string>
#include <vector>

#include "kelvane/metrics/correlation_counter.h"
#include "kelvane/py/args.h"
#include "kelvane/py/correlation_counts.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/native_object.h"
#include "kelvane/py/numpy_api.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/shot_array.h"
#include "kelvane/py/types.h"

namespace kelvane::py {

bool pairs_from_array(PyObject* array, std::size_t detector_count, std::vector<CorrelationCounter::Pair>& pairs) {
  if (!ensure_numpy()) return false;
  PyRef arr(PyArray_FROMANY(array, NPY_INT64, 1, 2, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
  if (!arr) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
  const bool empty = PyArray_SIZE(a) == 0;
  if (!empty && (PyArray_NDIM(a) != 2 || PyArray_DIM(a, 1) != 2)) {
    PyErr_SetString(PyExc_ValueError, "pairs must be a (k, 2) array of detector ids");
    return false;
  }
  const npy_intp k = empty ? 0 : PyArray_DIM(a, 0);
  const auto* ids = static_cast<const std::int64_t*>(PyArray_DATA(a));
  pairs.resize(static_cast<std::size_t>(k));
  for (npy_intp i = 0; i < k; ++i) {
    const std::int64_t x = ids[2 * i], y = ids[2 * i + 1];
    if (x < 0 || y < 0 || static_cast<std::uint64_t>(x) >= detector_count ||
        static_cast<std::uint64_t>(y) >= detector_count) {
      const std::string text = "pair " + std::to_string(i) + " (" + std::to_string(x) + ", " + std::to_string(y) +
                               ") names a detector outside 0.." + std::to_string(detector_count);
      PyErr_SetString(PyExc_ValueError, text.c_str());
      return false;
    }
    pairs[static_cast<std::size_t>(i)] = {static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)};
  }
  return true;
}

PyObject* counts_array(std::span<const std::uint64_t> counts) {
  if (!ensure_numpy()) return nullptr;
  npy_intp dims[1] = {static_cast<npy_intp>(counts.size())};
  PyObject* out = PyArray_SimpleNew(1, dims, NPY_UINT64);
  if (!out) return nullptr;
  std::copy(counts.begin(), counts.end(), static_cast<std::uint64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out))));
  return out;
}

namespace {

CorrelationCounter& counter_of(PyObject* self) { return native_of<CorrelationCounter>(self); }
BorrowFlag& counter_borrow(PyObject* self) { return borrow_of<CorrelationCounter>(self); }

PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[2] = {};
  if (!bind_args("CorrelationCounter", args, kwargs, {"detector_count", "pairs"}, 2, argv)) return nullptr;
  std::size_t detector_count = 0;
  if (!arg_size("detector_count", argv[0], detector_count)) return nullptr;
  if (detector_count > 0xFFFFFFFFu) {
    PyErr_SetString(PyExc_ValueError, "detector_count must be below 2**32");
    return nullptr;
  }
  std::vector<CorrelationCounter::Pair> pairs;
  if (!pairs_from_array(argv[1], detector_count, pairs)) return nullptr;
  return new_native<CorrelationCounter>(type, detector_count, std::span<const CorrelationCounter::Pair>(pairs));
}

PyObject* counter_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  ExclusiveBorrow b(counter_borrow(self));
  if (!b) return nullptr;
  PyObject* argv[2] = {nullptr, Py_False};
  if (!bind_args("add", args, kwargs, {"detection_events", "bit_packed"}, 1, argv)) return nullptr;
  const int packed = PyObject_IsTrue(argv[1]);
  if (packed < 0 || !ensure_numpy()) return nullptr;
  CorrelationCounter& c = counter_of(self);
  PyRef entries = shot_bytes("detection_events", argv[0], packed);
  if (!entries) return nullptr;
  PyRef arr(PyArray_FROMANY(entries.get(), NPY_UINT8, 2, 2, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
  if (!arr) return nullptr;
  auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
  const auto shots = static_cast<std::size_t>(PyArray_DIM(a, 0));
  const auto width = static_cast<std::size_t>(PyArray_DIM(a, 1));
  const std::size_t want = packed ? (c.detector_count() + 7) / 8 : c.detector_count();
  if (width != want) {
    const std::string text = std::string("detection_events must have ") + std::to_string(want) +
                             (packed ? " bytes per bit-packed row" : " columns (one per detector)") + ", got " +
                             std::to_string(width);
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
  }
  const std::span<const std::uint8_t> data(static_cast<const std::uint8_t*>(PyArray_DATA(a)), shots * width);
  Py_BEGIN_ALLOW_THREADS
  if (packed) {
    c.add_packed(data, shots, width);
  } else {
    c.add_unpacked(data, shots, width);
  }
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

PyObject* counter_fired(PyObject* self, void*) {
  SharedBorrow b(counter_borrow(self));
  if (!b) return nullptr;
  return counts_array(counter_of(self).fired());
}

PyObject* counter_both_fired(PyObject* self, void*) {
  SharedBorrow b(counter_borrow(self));
  if (!b) return nullptr;
  return counts_array(counter_of(self).both_fired());
}

PyObject* counter_shots(PyObject* self, void*) {
  SharedBorrow b(counter_borrow(self));
  if (!b) return nullptr;
  return PyLong_FromUnsignedLongLong(counter_of(self).shots());
}

PyObject* counter_reset(PyObject* self, PyObject*) {
  ExclusiveBorrow b(counter_borrow(self));
  if (!b) return nullptr;
  counter_of(self).reset();
  Py_RETURN_NONE;
}

PyObject* counter_repr(PyObject* self) {
  SharedBorrow b(counter_borrow(self));
  if (!b) return nullptr;
  const CorrelationCounter& c = counter_of(self);
  const std::string text = "CorrelationCounter(detectors=" + std::to_string(c.detector_count()) +
                           ", pairs=" + std::to_string(c.pair_count()) + ", shots=" + std::to_string(c.shots()) + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyMethodDef counter_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the counts (CorrelationCounter.add)", counter_add>)),
     METH_VARARGS | METH_KEYWORDS,
     "add($self, detection_events, bit_packed=False)\n--\n\n"
     "Count a batch of shots: a (shots, detectors) 0/1 array, or with bit_packed=True a\n"
     "(shots, ceil(detectors / 8)) uint8 array packed in little bit order (as Stim packs it)."},
    {"reset", guarded<"the counts (CorrelationCounter.reset)", counter_reset>, METH_NOARGS, "reset($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef counter_getset[] = {
    {"shots", guarded<"the count (CorrelationCounter.shots)", counter_shots>, nullptr,
     const_cast<char*>("Shots counted so far."), nullptr},
    {"fired", guarded<"the counts (CorrelationCounter.fired)", counter_fired>, nullptr,
     const_cast<char*>("Shots in which each detector fired (uint64, one per detector)."), nullptr},
    {"both_fired", guarded<"the counts (CorrelationCounter.both_fired)", counter_both_fired>, nullptr,
     const_cast<char*>("Shots in which both detectors of each pair fired (uint64, in the pairs' order)."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot counter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<"the counter (CorrelationCounter)", counter_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc<CorrelationCounter>)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<"the repr (CorrelationCounter)", counter_repr>)},
    {Py_tp_methods, counter_methods},
    {Py_tp_getset, counter_getset},
    {Py_tp_doc, const_cast<char*>(
                    "CorrelationCounter(detector_count, pairs)\n--\n\n"
                    "Counts, over batches of shots, how often each detector fires and how often both\n"
                    "detectors of each pair in `pairs` (a (k, 2) integer array) fire in one shot.")},
    {0, nullptr},
};

// A class of the kelvane package: its __module__ is "kelvane".
PyType_Spec counter_spec = {
    "kelvane.CorrelationCounter",
    sizeof(NativeObject<CorrelationCounter>),
    0,
    Py_TPFLAGS_DEFAULT,
    counter_slots,
};

}  // namespace

PyTypeObject* correlation_counter_type() {
  static PyTypeObject* type = nullptr;
  return make_type_once(type, &counter_spec);
}

}  // namespace kelvane::py
