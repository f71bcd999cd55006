// A Python object that owns one C++ value and the borrow counter guarding it.
//
// Instances are allocated with the type's tp_alloc (zeroed memory) and the C++ members are
// constructed in place; native_dealloc destroys them before the memory is freed. Classes
// install native_dealloc<Native> as their Py_tp_dealloc slot.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "kelvane/py/borrow.h"

namespace kelvane::py {

template <typename Native>
struct NativeObject {
  PyObject_HEAD
  BorrowFlag borrow;
  Native native;
};

// A new instance of `type` owning Native(args...), or nullptr with an exception set.
template <typename Native, typename... Args>
PyObject* new_native(PyTypeObject* type, Args&&... args) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  auto* self = reinterpret_cast<NativeObject<Native>*>(obj);
  new (&self->borrow) BorrowFlag();
  new (&self->native) Native(std::forward<Args>(args)...);
  return obj;
}

template <typename Native>
Native& native_of(PyObject* obj) {
  return reinterpret_cast<NativeObject<Native>*>(obj)->native;
}

template <typename Native>
BorrowFlag& borrow_of(PyObject* obj) {
  return reinterpret_cast<NativeObject<Native>*>(obj)->borrow;
}

template <typename Native>
void native_dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<NativeObject<Native>*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  self->native.~Native();
  self->borrow.~BorrowFlag();
  type->tp_free(obj);
  Py_DECREF(type);  // heap types are referenced by their instances
}

// Creates a heap type from `type_spec` once per process and returns it (borrowed), or nullptr.
PyTypeObject* make_type_once(PyTypeObject*& cache, PyType_Spec* type_spec);

// The class name without its module ("SyndromeFrame", "PosixPath").
const char* short_type_name(PyTypeObject* type);

}  // namespace kelvane::py
