#include "kelvane/py/args.h"

#include <vector>

#include "kelvane/py/native_object.h"
#include "kelvane/py/py_ref.h"

namespace kelvane::py {

namespace {

// Replaces the pending exception (a TypeError raised by a CPython conversion) with
// "argument '{name}': {its message}".
void prefix_pending_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t(type), v(value), trace(tb);
  PyRef text(v ? PyObject_Str(v.get()) : nullptr);
  const char* msg = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (!msg) {
    PyErr_Clear();
    msg = "invalid argument";
  }
  raise_arg_error(name, msg);
}

// o.__index__(); a wrong type gets the module's own text, as for every other argument type.
PyRef index_of(const char* name, PyObject* o) {
  PyRef index(PyNumber_Index(o));
  if (!index && PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    raise_arg_error(name, not_instance_reason(o, "int"));
  }
  return index;
}

}  // namespace

void raise_arg_error(const char* name, const std::string& reason) {
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, reason.c_str());
}

std::string not_instance_reason(PyObject* o, const char* expected) {
  return std::string("'") + short_type_name(Py_TYPE(o)) + "' object is not an instance of '" + expected + "'";
}

bool bind_args(const char* fname, PyObject* args, PyObject* kwargs, std::initializer_list<const char*> names,
               std::size_t required, PyObject** out, std::size_t positional) {
  // PyArg_ParseTupleAndKeywords wants a mutable keyword list and a format such as "OO|O:name".
  std::vector<char*> kwlist;
  std::string format;
  std::size_t i = 0;
  for (const char* n : names) {
    if (i == required) format += '|';
    if (i == positional && i >= required) format += '$';
    format += 'O';
    kwlist.push_back(const_cast<char*>(n));
    ++i;
  }
  kwlist.push_back(nullptr);
  format += ':';
  format += fname;
  if (args == nullptr) {
    PyRef empty(PyTuple_New(0));
    if (!empty) return false;
    return bind_args(fname, empty.get(), kwargs, names, required, out, positional);
  }
  switch (names.size()) {
    case 0:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist.data());
    case 1:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist.data(), &out[0]);
    case 2:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist.data(), &out[0], &out[1]);
    case 3:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist.data(), &out[0], &out[1], &out[2]);
    case 4:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist.data(), &out[0], &out[1], &out[2],
                                         &out[3]);
    case 5:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist.data(), &out[0], &out[1], &out[2],
                                         &out[3], &out[4]);
    case 6:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist.data(), &out[0], &out[1], &out[2],
                                         &out[3], &out[4], &out[5]);
    case 7:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist.data(), &out[0], &out[1], &out[2],
                                         &out[3], &out[4], &out[5], &out[6]);
    case 8:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist.data(), &out[0], &out[1], &out[2],
                                         &out[3], &out[4], &out[5], &out[6], &out[7]);
    case 9:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist.data(), &out[0], &out[1], &out[2],
                                         &out[3], &out[4], &out[5], &out[6], &out[7], &out[8]);
    case 10:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist.data(), &out[0], &out[1], &out[2],
                                         &out[3], &out[4], &out[5], &out[6], &out[7], &out[8], &out[9]);
    case 11:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist.data(), &out[0], &out[1], &out[2],
                                         &out[3], &out[4], &out[5], &out[6], &out[7], &out[8], &out[9], &out[10]);
    case 12:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist.data(), &out[0], &out[1], &out[2],
                                         &out[3], &out[4], &out[5], &out[6], &out[7], &out[8], &out[9], &out[10],
                                         &out[11]);
    default:
      PyErr_SetString(PyExc_SystemError, "bind_args supports at most twelve parameters");
      return false;
  }
}

bool arg_str(const char* name, PyObject* o, std::string& out) {
  if (!PyUnicode_Check(o)) {
    raise_arg_error(name, not_instance_reason(o, "str"));
    return false;
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &len);
  if (!s) return false;
  out.assign(s, static_cast<std::size_t>(len));
  return true;
}

bool arg_u64(const char* name, PyObject* o, std::uint64_t& out) {
  PyRef index = index_of(name, o);
  if (!index) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool arg_u32(const char* name, PyObject* o, std::uint32_t& out) {
  std::uint64_t v = 0;
  if (!arg_u64(name, o, v)) return false;
  if (v > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C unsigned int");
    return false;
  }
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool arg_size(const char* name, PyObject* o, std::size_t& out) {
  PyRef index = index_of(name, o);
  if (!index) return false;
  std::size_t v = PyLong_AsSize_t(index.get());
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool arg_f64(const char* name, PyObject* o, double& out) {
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    prefix_pending_type_error(name);
    return false;
  }
  out = v;
  return true;
}

bool arg_instance(const char* name, PyObject* o, PyTypeObject* type) {
  if (PyObject_TypeCheck(o, type)) return true;
  raise_arg_error(name, not_instance_reason(o, short_type_name(type)));
  return false;
}

}  // namespace kelvane::py
