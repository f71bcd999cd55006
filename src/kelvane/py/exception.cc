#include "kelvane/py/exception.h"

#include "kelvane/py/py_ref.h"

namespace kelvane::py {

PyObject* kelvane_error_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyErr_NewException("kelvane.KelvaneError", PyExc_Exception, nullptr);
  return type;
}

void raise_message(PyObject* type, const std::string& message) {
  PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

}  // namespace kelvane::py
