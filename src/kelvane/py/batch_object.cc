// The FrameBatch class: the columns of one read_batch call as NumPy arrays, and len() the
// number of frames. Its instances are made only by KelvaneStream.read_batch.
#include "kelvane/py/batch_object.h"

#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <optional>

#include "kelvane/py/args.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/interpreter_wait.h"
#include "kelvane/py/native_object.h"
#include "kelvane/py/numpy_api.h"
#include "kelvane/py/py_ref.h"

namespace kelvane::py {
namespace {

struct BatchObject {
  PyObject_HEAD
  Py_ssize_t frames;
  PyObject* detector_events;
  PyObject* frame_ids;
  PyObject* rounds;
  PyObject* timestamps_ns;
  PyObject* observable_flips;
  PyObject* has_observable_flips;
};

PyObject** fields_of(BatchObject* b) { return &b->detector_events; }
constexpr int kFieldCount = 6;

int batch_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* b = reinterpret_cast<BatchObject*>(self);
  for (int i = 0; i < kFieldCount; ++i) Py_VISIT(fields_of(b)[i]);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int batch_clear(PyObject* self) {
  auto* b = reinterpret_cast<BatchObject*>(self);
  for (int i = 0; i < kFieldCount; ++i) Py_CLEAR(fields_of(b)[i]);
  return 0;
}

void batch_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  batch_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t batch_len(PyObject* self) { return reinterpret_cast<BatchObject*>(self)->frames; }

PyObject* batch_repr(PyObject* self) {
  auto* b = reinterpret_cast<BatchObject*>(self);
  const Py_ssize_t ancillas = b->frames ? PyArray_DIM(reinterpret_cast<PyArrayObject*>(b->detector_events), 1) : 0;
  return PyUnicode_FromFormat("FrameBatch(frames=%zd, ancillas=%zd)", b->frames, ancillas);
}

PyMemberDef batch_members[] = {
    {"detector_events", T_OBJECT_EX, offsetof(BatchObject, detector_events), READONLY,
     "frames x ancillas bool array of detector events"},
    {"frame_ids", T_OBJECT_EX, offsetof(BatchObject, frame_ids), READONLY, "uint64 frame ids"},
    {"rounds", T_OBJECT_EX, offsetof(BatchObject, rounds), READONLY, "uint32 rounds"},
    {"timestamps_ns", T_OBJECT_EX, offsetof(BatchObject, timestamps_ns), READONLY, "uint64 timestamps"},
    {"observable_flips", T_OBJECT_EX, offsetof(BatchObject, observable_flips), READONLY,
     "uint64 observable flip masks the frames carried (0 where none)"},
    {"has_observable_flips", T_OBJECT_EX, offsetof(BatchObject, has_observable_flips), READONLY,
     "bool: whether each frame carried observable flips"},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_doc, const_cast<char*>("Frames read by KelvaneStream.read_batch, as NumPy columns.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(batch_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(batch_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<"the repr (FrameBatch)", batch_repr>)},
    {Py_tp_members, batch_members},
    {Py_sq_length, reinterpret_cast<void*>(guarded<"FrameBatch.__len__", batch_len>)},
    {0, nullptr},
};

PyType_Spec batch_spec = {
    "FrameBatch",
    sizeof(BatchObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    batch_slots,
};

PyTypeObject* frame_batch_type() {
  static PyTypeObject* type = nullptr;
  return make_type_once(type, &batch_spec);
}

// Frees the column a NumPy array's data lives in, when the array's base capsule goes.
template <typename T>
void free_column(PyObject* capsule) {
  delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, nullptr));
}

// A new 1-D (or rows x cols 2-D) array of `type_num` over the column's storage, which it takes
// from `column` (left empty) and keeps alive as its base: the frames are not copied again.
template <typename T>
PyObject* column_array(int type_num, std::vector<T>& column, npy_intp rows, npy_intp cols = -1) {
  npy_intp dims[2] = {rows, cols};
  if (column.empty()) return PyArray_SimpleNew(cols < 0 ? 1 : 2, dims, type_num);
  auto* owned = new std::vector<T>(std::move(column));
  column = {};
  PyRef base(PyCapsule_New(owned, nullptr, free_column<T>));
  if (!base) {
    delete owned;
    return nullptr;
  }
  PyRef array(PyArray_SimpleNewFromData(cols < 0 ? 1 : 2, dims, type_num, owned->data()));
  if (!array) return nullptr;
  // The array takes over the capsule's reference even when this fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) < 0) return nullptr;
  return array.release();
}

// The batch's columns as a FrameBatch object; the columns move into its arrays.
PyObject* to_batch_object(FrameBatch& batch) {
  PyTypeObject* type = frame_batch_type();
  if (!type) return nullptr;
  PyRef obj(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  auto* b = reinterpret_cast<BatchObject*>(obj.get());
  const npy_intp n = static_cast<npy_intp>(batch.size());
  b->frames = n;
  if (!(b->detector_events = column_array(NPY_BOOL, batch.detector_events, n, batch.ancilla_count)) ||
      !(b->frame_ids = column_array(NPY_UINT64, batch.frame_ids, n)) ||
      !(b->rounds = column_array(NPY_UINT32, batch.rounds, n)) ||
      !(b->timestamps_ns = column_array(NPY_UINT64, batch.timestamps_ns, n)) ||
      !(b->observable_flips = column_array(NPY_UINT64, batch.observable_flips, n)) ||
      !(b->has_observable_flips = column_array(NPY_BOOL, batch.has_observable_flips, n))) {
    return nullptr;
  }
  return obj.release();
}

}  // namespace

PyObject* read_batch(FrameSource& source, BatchReader& reader, FrameBatch& scratch, PyObject* args, PyObject* kwargs,
                     WaitContext& ctx) {
  PyObject* bound[1] = {};
  if (!bind_args("read_batch", args, kwargs, {"max_frames"}, 1, bound)) return nullptr;
  std::size_t max_frames = 0;
  if (!arg_size("max_frames", bound[0], max_frames)) return nullptr;
  if (!ensure_numpy()) return nullptr;
  std::optional<Result<std::size_t>> got;
  bool out_of_memory = false;
  // Reading may wait on the file or socket: other threads run meanwhile, and nothing may throw
  // out of the block, since the interpreter lock must be taken back first.
  PyThreadState* saved = PyEval_SaveThread();
  CheckSignals hooks(saved);
  ctx.hooks = &hooks;
  try {
    got.emplace(reader.next(source, max_frames, scratch, ctx));
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  ctx.hooks = nullptr;
  PyEval_RestoreThread(saved);
  if (out_of_memory) return raise_no_memory("the frame batch (KelvaneStream.read_batch)");
  if (!*got) {
    if (ctx.stop == WaitStop::none) raise_os_error(got->error());
    return nullptr;
  }
  try {
    return to_batch_object(scratch);
  } catch (const std::bad_alloc&) {
    return raise_no_memory("the frame batch (KelvaneStream.read_batch)");
  }
}

}  // namespace kelvane::py
