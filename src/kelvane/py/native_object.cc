#include "kelvane/py/native_object.h"

namespace kelvane::py {

PyTypeObject* make_type_once(PyTypeObject*& cache, PyType_Spec* spec) {
  if (cache) return cache;
  PyObject* type = PyType_FromSpec(spec);
  if (!type) return nullptr;
  // A dotless spec name gives a heap type no __module__; the classes present themselves
  // like built-in ones instead ("builtins"), with the bare class name as __qualname__.
  PyObject* module_name = PyUnicode_FromString("builtins");
  int rc = module_name ? PyObject_SetAttrString(type, "__module__", module_name) : -1;
  Py_XDECREF(module_name);
  if (rc < 0) {
    Py_DECREF(type);
    return nullptr;
  }
  cache = reinterpret_cast<PyTypeObject*>(type);
  return cache;
}

}  // namespace kelvane::py
