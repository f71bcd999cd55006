#include "kelvane/py/description_object.h"

#include <structmember.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "kelvane/kvlx/le_bytes.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/native_object.h"
#include "kelvane/py/numpy_api.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/types.h"

namespace kelvane::py {
namespace {

struct DescriptionObject {
  PyObject_HEAD
  PyObject* layout;
  PyObject* dem_text;  // the model's text once asked for; nullptr before
  PyObject* hash;
  std::shared_ptr<const StreamDescription>* native;  // the compressed model, until inflated
};

void description_dealloc(PyObject* self) {
  auto* d = reinterpret_cast<DescriptionObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  Py_CLEAR(d->layout);
  Py_CLEAR(d->dem_text);
  Py_CLEAR(d->hash);
  delete d->native;
  d->native = nullptr;
  type->tp_free(self);
  Py_DECREF(type);
}

// StreamDescription(layout=(4, 8), dem=stored): the model's text may run to megabytes.
PyObject* description_repr(PyObject* self) {
  auto* d = reinterpret_cast<DescriptionObject*>(self);
  PyRef shape(d->layout == Py_None ? Py_NewRef(Py_None) : PyObject_GetAttrString(d->layout, "shape"));
  if (!shape) return nullptr;
  return PyUnicode_FromFormat("StreamDescription(layout=%R, dem=%s)", shape.get(),
                              (*d->native)->has_model() ? "stored" : "none");
}

// The model is inflated on the first read of dem_text (reading a stream never needs it), and
// refused with ValueError when it is no zlib-compressed text or inflates past kMaxModelText.
PyObject* description_dem_text(PyObject* self, void*) {
  auto* d = reinterpret_cast<DescriptionObject*>(self);
  if (!d->dem_text) {
    const StreamDescription& native = **d->native;
    if (!native.has_model()) {
      d->dem_text = Py_NewRef(Py_None);
    } else {
      std::expected<std::string, std::string> text;
      bool out_of_memory = false;
      PyThreadState* saved = PyEval_SaveThread();  // nothing may throw past this block
      try {
        text = inflate_model(native);
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
      }
      PyEval_RestoreThread(saved);
      if (out_of_memory) return raise_no_memory("the stored model (StreamDescription.dem_text)");
      if (!text) {
        PyErr_SetString(PyExc_ValueError, text.error().c_str());
        return nullptr;
      }
      d->dem_text = PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict");
      if (!d->dem_text) return nullptr;
    }
  }
  return Py_NewRef(d->dem_text);
}

PyMemberDef description_members[] = {
    {"layout", T_OBJECT, offsetof(DescriptionObject, layout), READONLY,
     "The frame layout: an int64 array of rounds x ancillas detector ids (-1: none), or None."},
    {"hash", T_OBJECT, offsetof(DescriptionObject, hash), READONLY,
     "The 8 bytes that the stream's round-0 frames carry: CRC-32 of the layout, then of the model."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef description_getset[] = {
    {"dem_text", guarded<"the stored model (StreamDescription.dem_text)", description_dem_text>, nullptr,
     "The detector error model's text, or None when the stream stores no model. Inflated when\n"
     "first read; ValueError when it is not zlib-compressed UTF-8 text or inflates past 64 MiB.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot description_slots[] = {
    {Py_tp_doc, const_cast<char*>("What a stream says about itself: its frame layout and its detector error model.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(description_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(description_repr)},
    {Py_tp_members, description_members},
    {Py_tp_getset, description_getset},
    {0, nullptr},
};

PyType_Spec description_spec = {
    "StreamDescription",
    sizeof(DescriptionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    description_slots,
};

PyObject* layout_array(const StreamDescription& d) {
  if (!d.has_layout()) return Py_NewRef(Py_None);
  if (!ensure_numpy()) return nullptr;
  npy_intp dims[2] = {static_cast<npy_intp>(d.rounds), static_cast<npy_intp>(d.ancillas)};
  PyObject* array = PyArray_SimpleNew(2, dims, NPY_INT64);
  if (!array) return nullptr;
  auto* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
  for (std::size_t i = 0; i < d.layout.size(); ++i) out[i] = d.layout[i];
  return array;
}

}  // namespace

PyTypeObject* stream_description_type() {
  static PyTypeObject* type = nullptr;
  return make_type_once(type, &description_spec);
}

PyObject* new_stream_description(const std::shared_ptr<const StreamDescription>& native) {
  PyTypeObject* type = stream_description_type();
  if (!type) return nullptr;
  const StreamDescription& d = *native;
  PyRef layout(layout_array(d));
  if (!layout) return nullptr;
  std::uint8_t bytes[8];
  store_le<std::uint64_t>(bytes, d.hash);
  PyRef hash(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), 8));
  if (!hash) return nullptr;
  auto held = std::make_unique<std::shared_ptr<const StreamDescription>>(native);
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  auto* self = reinterpret_cast<DescriptionObject*>(obj);
  self->layout = layout.release();
  self->dem_text = nullptr;
  self->hash = hash.release();
  self->native = held.release();
  return obj;
}

}  // namespace kelvane::py
