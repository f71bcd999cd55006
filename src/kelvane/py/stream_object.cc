// The KelvaneStream class: opens a file or a TCP connection over its own I/O runtime, and
// yields validated SyndromeFrame objects, decoded when a decoder has been configured.
#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "kelvane/py/args.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/frame_object.h"
#include "kelvane/py/native_object.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/stream_batch.h"
#include "kelvane/py/stream_decoder.h"
#include "kelvane/py/types.h"
#include "kelvane/source/file_source.h"
#include "kelvane/source/runtime.h"
#include "kelvane/source/tcp_source.h"

namespace kelvane::py {
namespace {

constexpr std::string_view kShmPrefix = "shm://";
constexpr std::string_view kTcpPrefix = "tcp://";
constexpr const char* kShmRefusal =
    "shm:// transport is not available in the Python bindings; use the C FFI kelvane_shm_open for SHM access";

// Open: runtime and source both present; closed: both absent. The source is declared after the
// runtime so that it is destroyed first, also when the object is released without close().
struct StreamState {
  std::unique_ptr<Runtime> runtime;
  std::unique_ptr<FrameSource> source;
  StreamDecoder decoder;
  BatchReader batch_reader;
  FrameBatch batch;
  std::string name;               // the source as given, for the repr
  std::uint64_t frames_read = 0;  // frames handed out, one by one or in batches

  void close() {
    source.reset();
    runtime.reset();
  }
};

StreamState& state_of(PyObject* self) { return native_of<StreamState>(self); }
BorrowFlag& flag_of(PyObject* self) { return borrow_of<StreamState>(self); }

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[1];
  if (!bind_args("KelvaneStream", args, kwargs, {"source"}, 1, bound)) return nullptr;
  std::string source;
  if (!arg_str("source", bound[0], source)) return nullptr;
  std::string_view text(source);
  if (text.starts_with(kShmPrefix)) {
    PyErr_SetString(PyExc_ValueError, kShmRefusal);
    return nullptr;
  }

  Result<std::unique_ptr<Runtime>> runtime = Runtime::create();
  if (!runtime) {
    const KelvaneError& e = runtime.error();
    raise_message(PyExc_OSError, e.is<errors::Io>() ? io_source_text(e.as<errors::Io>()) : e.to_string());
    return nullptr;
  }

  Result<std::unique_ptr<FrameSource>> opened = [&]() -> Result<std::unique_ptr<FrameSource>> {
    if (text.starts_with(kTcpPrefix)) {
      // A repeated prefix ("tcp://tcp://host:port") is stripped as often as it appears.
      while (text.starts_with(kTcpPrefix)) text.remove_prefix(kTcpPrefix.size());
      auto tcp = TcpSource::connect(**runtime, text);
      if (!tcp) return fail(std::move(tcp.error()));
      return std::unique_ptr<FrameSource>(std::move(*tcp));
    }
    auto file = FileSource::open(**runtime, source);
    if (!file) return fail(std::move(file.error()));
    return std::unique_ptr<FrameSource>(std::move(*file));
  }();
  if (!opened) {
    runtime->reset();
    raise_os_error(opened.error());
    return nullptr;
  }

  PyObject* self = new_native<StreamState>(type);
  if (!self) return nullptr;  // the runtime and source are released on the way out
  StreamState& st = state_of(self);
  st.runtime = std::move(*runtime);
  st.source = std::move(*opened);
  st.name = source;
  return self;
}

PyObject* stream_iter(PyObject* self) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  return Py_NewRef(self);
}

PyObject* stream_next(PyObject* self) {
  ExclusiveBorrow b(flag_of(self));
  if (!b) return nullptr;
  StreamState& st = state_of(self);
  if (!st.runtime || !st.source) {
    PyErr_SetString(PyExc_OSError, "stream is closed");
    return nullptr;
  }
  Result<std::optional<OwnedFrame>> next = st.source->next_owned();
  if (!next) {
    raise_os_error(next.error());
    return nullptr;
  }
  if (!*next) {  // the end of the data: no value and no exception (unless a warning is an error)
    st.decoder.finish();
    return nullptr;
  }
  ++st.frames_read;
  if (!st.decoder.decode_frame(**next)) return nullptr;
  b.release();
  return new_syndrome_frame(std::move(**next));
}

PyObject* stream_close(PyObject* self, PyObject*) {
  ExclusiveBorrow b(flag_of(self));
  if (!b) return nullptr;
  state_of(self).close();
  Py_RETURN_NONE;
}

PyObject* stream_enter(PyObject* self, PyObject*) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  return Py_NewRef(self);
}

PyObject* stream_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* bound[3];
  if (!bind_args("__exit__", args, kwargs, {"_exc_type", "_exc_val", "_tb"}, 3, bound)) return nullptr;
  ExclusiveBorrow b(flag_of(self));
  if (!b) return nullptr;
  state_of(self).close();
  Py_RETURN_FALSE;
}

PyObject* stream_set_decoder(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* bound[4];
  if (!bind_args("set_decoder", args, kwargs, {"dem", "window_depth", "layout", "per_shot"}, 1, bound, 2)) {
    return nullptr;
  }
  ExclusiveBorrow b(flag_of(self));
  if (!b) return nullptr;
  std::size_t depth = 0;
  if (bound[1] && !arg_size("window_depth", bound[1], depth)) return nullptr;
  int per_shot = 0;
  if (bound[3] && (per_shot = PyObject_IsTrue(bound[3])) < 0) return nullptr;
  if (!state_of(self).decoder.configure(bound[0], depth, bound[2], per_shot != 0)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* stream_read_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  ExclusiveBorrow b(flag_of(self));
  if (!b) return nullptr;
  StreamState& st = state_of(self);
  if (!st.runtime || !st.source) {
    PyErr_SetString(PyExc_OSError, "stream is closed");
    return nullptr;
  }
  if (st.decoder.configured()) {
    PyErr_SetString(PyExc_ValueError,
                    "read_batch reads frames undecoded; on a stream with a decoder set, iterate it, "
                    "or decode arrays with SpacetimeGraph.decode_batch");
    return nullptr;
  }
  PyObject* batch = read_batch(*st.source, st.batch_reader, st.batch, args, kwargs);
  if (batch) {
    const Py_ssize_t frames = PyObject_Length(batch);
    if (frames < 0) {
      Py_DECREF(batch);
      return nullptr;
    }
    st.frames_read += static_cast<std::uint64_t>(frames);
  }
  return batch;
}

// KelvaneStream('run.kvlx', open, frames_read=3)
PyObject* stream_repr(PyObject* self) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  const StreamState& st = state_of(self);
  PyRef name(PyUnicode_DecodeUTF8(st.name.data(), static_cast<Py_ssize_t>(st.name.size()), "replace"));
  if (!name) return nullptr;
  const bool open = st.runtime && st.source;
  return PyUnicode_FromFormat("KelvaneStream(%R, %s, frames_read=%llu)", name.get(), open ? "open" : "closed",
                              static_cast<unsigned long long>(st.frames_read));
}

PyObject* stream_incomplete_shots(PyObject* self, void*) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  return PyLong_FromUnsignedLongLong(state_of(self).decoder.incomplete_shots());
}

PyObject* stream_unsatisfiable_shots(PyObject* self, void*) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  return PyLong_FromUnsignedLongLong(state_of(self).decoder.unsatisfiable_decodes());
}

PyGetSetDef stream_getset[] = {
    {"incomplete_shots", guarded<"KelvaneStream.incomplete_shots", stream_incomplete_shots>, nullptr,
     "Shots found cut short so far with per_shot=True (a round reset, a jump in round or frame_id,\n"
     "or the end of the stream); they are reported and never decoded.",
     nullptr},
    {"unsatisfiable_shots", guarded<"KelvaneStream.unsatisfiable_shots", stream_unsatisfiable_shots>, nullptr,
     "Decodes so far (shots with per_shot=True, else frames) whose correction could not reproduce\n"
     "the syndrome: a cluster of fired detectors with odd parity and no boundary to reach.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef stream_methods[] = {
    {"read_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the frame batch (KelvaneStream.read_batch)", stream_read_batch>)),
     METH_VARARGS | METH_KEYWORDS,
     "read_batch($self, max_frames)\n--\n\n"
     "Read up to max_frames frames as NumPy columns: a FrameBatch whose len() is the number\n"
     "of frames read (0 at the end), with detector_events (frames x ancillas, bool), frame_ids,\n"
     "rounds, timestamps_ns, observable_flips (uint64) and has_observable_flips (bool). A batch\n"
     "ends early before a frame with a different ancilla count. An error after some good\n"
     "frames is raised by the next call, after those frames have been returned."},
    {"set_decoder", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the decoder (KelvaneStream.set_decoder)", stream_set_decoder>)),
     METH_VARARGS | METH_KEYWORDS,
     "set_decoder($self, dem, window_depth=0, *, layout=None, per_shot=False)\n--\n\n"
     "Configure the Union-Find decoder from a DEM.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "dem:\n"
     "    Accepts a file path (str or pathlib.Path), an inline DEM text string,\n"
     "    or a ``stim.DetectorErrorModel`` object (``str(dem)`` gives the text).\n"
     "window_depth:\n"
     "    Number of syndrome rounds per decode window. 0 = auto-infer from\n"
     "    ``detector_count / ancilla_count`` (default).\n"
     "layout:\n"
     "    Which detector each frame bit is: a 2-D integer array (rounds x ancillas,\n"
     "    -1 for no detector), e.g. from ``kelvane.layout_from_stim(circuit)``, or the\n"
     "    path of a ``.npy`` file holding one. None (default): positional, frame bit a of\n"
     "    window row r is detector ``r * ancilla_count + a``. Ids out of range or listed\n"
     "    twice raise ValueError, and so do frames whose ancilla count differs.\n"
     "per_shot:\n"
     "    False (default): decode every frame with the rounds before it (a window as\n"
     "    deep as the layout). True: group frames into shots of the layout's depth (a\n"
     "    frame with round 0 starts one) and decode each shot once, when its last frame\n"
     "    arrives; that frame carries the prediction, earlier ones none. Shots cut\n"
     "    short are warned about, flagged (``frame.shot_incomplete``), counted\n"
     "    (``stream.incomplete_shots``) and never decoded.\n"
     "\n"
     "With ``layout`` or ``per_shot``, a layout that cannot cover the model or a frame\n"
     "raises ValueError; by default the stream keeps decoding and warns once\n"
     "(RuntimeWarning). ``frame.source_observable_flips`` keeps the flips a frame\n"
     "arrived with."},
    {"close", guarded<"KelvaneStream.close", stream_close>, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", guarded<"KelvaneStream.__enter__", stream_enter>, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"KelvaneStream.__exit__", stream_exit>)),
     METH_VARARGS | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_val, _tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>("KelvaneStream(source)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(guarded<"the stream (KelvaneStream)", stream_new>)},
    {Py_tp_iter, reinterpret_cast<void*>(guarded<"KelvaneStream.__iter__", stream_iter>)},
    {Py_tp_iternext, reinterpret_cast<void*>(guarded<"the next frame (KelvaneStream.__next__)", stream_next>)},
    {Py_tp_methods, stream_methods},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<"the repr (KelvaneStream)", stream_repr>)},
    {Py_tp_getset, stream_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc<StreamState>)},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "KelvaneStream",
    sizeof(NativeObject<StreamState>),
    0,
    Py_TPFLAGS_DEFAULT,
    stream_slots,
};

}  // namespace

PyTypeObject* kelvane_stream_type() {
  static PyTypeObject* type = nullptr;
  return make_type_once(type, &stream_spec);
}

}  // namespace kelvane::py
