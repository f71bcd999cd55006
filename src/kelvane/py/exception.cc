#include "kelvane/py/exception.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>

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

namespace {

// The value as a Python int, or None; a new reference, or nullptr with an exception set.
PyObject* int_or_none(const std::optional<std::uint64_t>& v) {
  return v ? PyLong_FromUnsignedLongLong(*v) : Py_NewRef(Py_None);
}

}  // namespace

void raise_os_error(const KelvaneError& e) { raise_stream_error(PyExc_OSError, e.to_string(), e.offset, e.frame_id); }

void raise_stream_error(PyObject* type, const std::string& message, std::optional<std::uint64_t> offset,
                        std::optional<std::uint64_t> frame_id) {
  PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  PyRef exc(PyObject_CallOneArg(type, text.get()));
  if (!exc) return;
  PyRef id(int_or_none(frame_id));
  if (!id || PyObject_SetAttrString(exc.get(), "frame_id", id.get()) < 0) return;
  PyRef at(int_or_none(offset));
  if (!at || PyObject_SetAttrString(exc.get(), "offset", at.get()) < 0) return;
  PyErr_SetObject(type, exc.get());
}

PyObject* raise_no_memory(const char* what) {
  // PyErr_Format copies from this buffer; a failure to allocate the message string leaves the
  // interpreter's own (preallocated) MemoryError set instead.
  static thread_local char text[256];
  std::snprintf(text, sizeof text, "out of memory while building %s", what);
  PyErr_SetString(PyExc_MemoryError, text);
  return nullptr;
}

void raise_current_exception(const char* what) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    raise_no_memory(what);
  } catch (const std::length_error&) {
    raise_no_memory(what);
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error while building %s: %s", what, e.what());
  } catch (...) {
    PyErr_Format(PyExc_RuntimeError, "internal error while building %s", what);
  }
}

}  // namespace kelvane::py
