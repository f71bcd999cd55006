// The CodeType class: nine constants, one per code family, compared by identity.
#include <Python.h>

#include <string>

#include "kelvane/core/code.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/native_object.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/types.h"

namespace kelvane::py {
namespace {

PyObject* code_type_repr(PyObject* self) {
  SharedBorrow b(borrow_of<CodeType>(self));
  if (!b) return nullptr;
  std::string text = "CodeType." + std::string(code_type_name(native_of<CodeType>(self)));
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyType_Slot code_type_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(guarded<"the repr (CodeType)", code_type_repr>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc<CodeType>)},
    {0, nullptr},
};

PyType_Spec code_type_spec = {
    "CodeType",
    sizeof(NativeObject<CodeType>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    code_type_slots,
};

struct Constant {
  const char* attribute;
  CodeType value;
};

constexpr Constant kConstants[] = {
    {"SURFACE_CODE", CodeType::SurfaceCode},         {"HONEYCOMB_CODE", CodeType::HoneycombCode},
    {"COLOR_CODE", CodeType::ColorCode},             {"REPETITION_CODE", CodeType::RepetitionCode},
    {"TORIC_CODE", CodeType::ToricCode},             {"BIVARIATE_BICYCLE", CodeType::BivariateBicycle},
    {"HYPERGRAPH_PRODUCT", CodeType::HypergraphProduct}, {"FIBER_BUNDLE", CodeType::FiberBundle},
    {"CUSTOM", CodeType::Custom},
};

}  // namespace

PyTypeObject* code_type_type() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  PyTypeObject* created = nullptr;
  if (!make_type_once(created, &code_type_spec)) return nullptr;
  for (const Constant& c : kConstants) {
    PyRef value(new_native<CodeType>(created, c.value));
    if (!value || PyObject_SetAttrString(reinterpret_cast<PyObject*>(created), c.attribute, value.get()) < 0) {
      Py_DECREF(created);
      return nullptr;
    }
  }
  type = created;
  return type;
}

}  // namespace kelvane::py
