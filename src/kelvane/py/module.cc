// The _kelvane extension module: multi-phase initialisation whose single exec step publishes
// the classes, the exception and __version__, each appended to __all__ in order.
#include <Python.h>

#include "kelvane/py/exception.h"
#include "kelvane/py/kvlx_encoding.h"
#include "kelvane/py/layout_arg.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/types.h"

namespace kelvane::py {
namespace {

int add_name(PyObject* module, const char* name, PyObject* value) {
  if (PyModule_AddObjectRef(module, name, value) < 0) return -1;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    PyErr_Clear();
    PyRef list(PyList_New(0));
    if (!list || PyModule_AddObjectRef(module, "__all__", list.get()) < 0) return -1;
    all = list.release();
  }
  PyRef all_ref(all);
  PyRef text(PyUnicode_FromString(name));
  if (!text) return -1;
  return PyList_Append(all, text.get());
}

struct ClassEntry {
  const char* name;
  PyTypeObject* (*get)();
};

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "module exec step expects a module object");
    return -1;
  }
  static const ClassEntry classes[] = {
      {"SyndromeFrame", syndrome_frame_type},
      {"SyndromeWindow", syndrome_window_type},
      {"KelvaneStream", kelvane_stream_type},
      {"CodeType", code_type_type},
      {"DecoderResult", decoder_result_type},
      {"LogicalCorrection", logical_correction_type},
      {"DetectorErrorModel", detector_error_model_type},
      {"SpacetimeGraph", spacetime_graph_type},
      {"LogicalErrorAccumulator", logical_error_accumulator_type},
  };
  for (const ClassEntry& c : classes) {
    PyTypeObject* type = c.get();
    if (!type || add_name(module, c.name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
  }
  // Classes of the kelvane package, under private names (not in __all__).
  static const ClassEntry private_classes[] = {
      {"_StreamDescription", stream_description_type},
      {"_CorrelationCounter", correlation_counter_type},
  };
  for (const ClassEntry& c : private_classes) {
    PyTypeObject* type = c.get();
    if (!type || PyModule_AddObjectRef(module, c.name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
  }
  if (PyModule_AddFunctions(module, kvlx_encoding_methods) < 0) return -1;
  PyObject* exc = kelvane_error_type();
  if (!exc || add_name(module, "KelvaneError", exc) < 0) return -1;
  PyRef version(PyUnicode_FromString("0.1.0"));
  if (!version || add_name(module, "__version__", version.get()) < 0) return -1;
  return 0;
}

// Module-level helpers for the kelvane package; private, so not in __all__.
PyMethodDef module_methods[] = {
    {"_check_layout",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the layout (_check_layout)", check_layout>)),
     METH_VARARGS | METH_KEYWORDS,
     "_check_layout(layout, num_detectors=None)\n--\n\n"
     "The layout (a rounds x ancillas integer array, -1 for no detector, or a .npy path) as a new\n"
     "int64 array, refused as set_decoder refuses it: ids below -1, at or beyond num_detectors\n"
     "(None: no bound) or listed twice are a ValueError, a non-integer array a TypeError."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kelvane",
    "",  // an empty docstring, not None
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace kelvane::py

PyMODINIT_FUNC PyInit__kelvane(void) { return PyModuleDef_Init(&kelvane::py::module_def); }
