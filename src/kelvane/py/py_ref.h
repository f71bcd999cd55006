// RAII owner of one strong PyObject reference.
//
// Replaces the manual pattern
//     PyObject* x = PyLong_FromLong(1); if (!x) goto fail; ... Py_DECREF(x);
// with  PyRef x{PyLong_FromLong(1)}; if (!x) return nullptr;  so every early return releases.
#pragma once

#include <Python.h>

#include <utility>

namespace kelvane::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes ownership of a new (strong) reference; nullptr is allowed and means "failed".
  explicit PyRef(PyObject* owned) : p_(owned) {}
  // A new strong reference to a borrowed object.
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  // Gives the reference to the caller (for return values and reference-stealing APIs).
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace kelvane::py
