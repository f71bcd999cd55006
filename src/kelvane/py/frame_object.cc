// The SyndromeFrame class: read-only attributes, bytes and NumPy copies, a dict form and the
// observable flips of one OwnedFrame. Instances come only from KelvaneStream.__next__.
#include "kelvane/py/frame_object.h"

#include <cstring>
#include <string>
#include <vector>

#include "kelvane/core/observable_bits.h"
#include "kelvane/py/decoder_result_object.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/numpy_api.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/types.h"

namespace kelvane::py {

PyObject* observable_flips_array(const ObservableBits& bits, std::size_t count) {
  if (!ensure_numpy()) return nullptr;
  npy_intp dims[1] = {static_cast<npy_intp>(count)};
  PyRef array(PyArray_ZEROS(1, dims, NPY_UINT8, 0));
  if (!array) return nullptr;
  auto* data = static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  bits.for_each([&](std::size_t k) {
    if (k < count) data[k] = 1;
  });
  return array.release();
}

namespace {

constexpr const char* kNoFlipsMessage =
    "No decoder configured \xE2\x80\x94 call stream.set_decoder() or use kelvane.open(..., decoder=...) before "
    "reading observable_flips";

const OwnedFrame& frame_of(PyObject* self) { return native_of<OwnedFrame>(self); }

// Getters for the integer fields. CPython has already checked that `self` is a SyndromeFrame.
template <typename T, T OwnedFrame::*Field>
PyObject* get_uint(PyObject* self, void*) {
  SharedBorrow b(borrow_of<OwnedFrame>(self));
  if (!b) return nullptr;
  return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(frame_of(self).*Field));
}

constexpr const char* kAwaitingShotEndMessage =
    "no prediction on this frame: with per_shot=True each shot is decoded once, and only its last frame "
    "carries the prediction (source_observable_flips holds the flips this frame arrived with)";
constexpr const char* kAwaitingCommitMessage =
    "no prediction on this frame: with commit and buffer only the frames that close a commit step carry the "
    "flips committed so far (source_observable_flips holds the flips this frame arrived with)";
constexpr const char* kShotIncompleteMessage =
    "no prediction on this frame: its shot was cut short (frames missing, a round reset or the end of the "
    "stream), so it was not decoded; see stream.incomplete_shots";

// Raises why the frame has no observable flips to read; returns nullptr.
PyObject* raise_no_flips(const OwnedFrame& f) {
  PyObject* type = kelvane_error_type();
  if (!type) return nullptr;
  switch (f.prediction) {
    case FramePrediction::kAwaitingShotEnd:
      raise_message(type, kAwaitingShotEndMessage);
      break;
    case FramePrediction::kShotIncomplete:
      raise_message(type, kShotIncompleteMessage);
      break;
    case FramePrediction::kAwaitingCommit:
      raise_message(type, kAwaitingCommitMessage);
      break;
    default:
      raise_message(type, kNoFlipsMessage);
  }
  return nullptr;
}

PyObject* get_observable_flips(PyObject* self, void*) {
  SharedBorrow b(borrow_of<OwnedFrame>(self));
  if (!b) return nullptr;
  const OwnedFrame& f = frame_of(self);
  if (!f.observable_flips) return raise_no_flips(f);
  if (f.model_observables) {
    if (auto error = mask_form_error(*f.model_observables, "frame.observable_flips", "read frame.observable_flips_array")) {
      raise_message(PyExc_ValueError, *error);
      return nullptr;
    }
  }
  return PyLong_FromUnsignedLongLong(*f.observable_flips);
}

// The flips the frame arrived with: every observable when it carried key 17, else the 64 of key 16.
PyObject* source_flips_array(const OwnedFrame& f) {
  if (f.source_high_observable_flips) {
    ObservableBits bits = f.source_high_observable_flips->bits;
    bits.words[0] = f.source_observable_flips.value_or(0);
    return observable_flips_array(bits, f.source_high_observable_flips->count);
  }
  if (!f.source_observable_flips) Py_RETURN_NONE;
  return observable_flips_array(ObservableBits::from_low(*f.source_observable_flips), 64);
}

PyObject* get_source_observable_flips_array(PyObject* self, void*) {
  SharedBorrow b(borrow_of<OwnedFrame>(self));
  if (!b) return nullptr;
  return source_flips_array(frame_of(self));
}

// Every observable of the flips the frame holds (it must hold some): the decoder's prediction,
// one entry per observable of its model, or without a decoder the flips it arrived with.
PyObject* whole_flips_array(const OwnedFrame& f) {
  if (!f.model_observables) return source_flips_array(f);
  const std::size_t count = *f.model_observables;
  return observable_flips_array(count > 64 ? f.observable_bits : ObservableBits::from_low(*f.observable_flips), count);
}

PyObject* get_observable_flips_array(PyObject* self, void*) {
  SharedBorrow b(borrow_of<OwnedFrame>(self));
  if (!b) return nullptr;
  const OwnedFrame& f = frame_of(self);
  if (!f.observable_flips) return raise_no_flips(f);
  return whole_flips_array(f);
}

PyObject* get_source_observable_flips(PyObject* self, void*) {
  SharedBorrow b(borrow_of<OwnedFrame>(self));
  if (!b) return nullptr;
  const auto& flips = frame_of(self).source_observable_flips;
  if (!flips) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*flips);
}

template <bool OwnedFrame::*Field>
PyObject* get_bool(PyObject* self, void*) {
  SharedBorrow b(borrow_of<OwnedFrame>(self));
  if (!b) return nullptr;
  return PyBool_FromLong(frame_of(self).*Field);
}

// Frees the copy that a NumPy array's data lives in, when the array's base capsule goes.
void free_array_copy(PyObject* capsule) {
  delete static_cast<std::vector<std::uint8_t>*>(PyCapsule_GetPointer(capsule, nullptr));
}

// A new 1-D array of `type_num` (a one-byte type) holding a private copy of `bytes`, kept alive
// by the array's base object. NumPy must be loaded.
PyObject* array_copy(const void* bytes, std::size_t len, int type_num) {
  auto* copy = new std::vector<std::uint8_t>(static_cast<const std::uint8_t*>(bytes),
                                             static_cast<const std::uint8_t*>(bytes) + len);
  PyRef base(PyCapsule_New(copy, nullptr, free_array_copy));
  if (!base) {
    delete copy;
    return nullptr;
  }
  npy_intp dims[1] = {static_cast<npy_intp>(len)};
  PyRef array(PyArray_SimpleNewFromData(1, dims, type_num, copy->data()));
  if (!array) return nullptr;
  // The array takes over the capsule's reference even when this fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) < 0) return nullptr;
  return array.release();
}

PyObject* detector_events_array(const OwnedFrame& f) {
  if (!ensure_numpy()) return nullptr;
  return array_copy(f.detector_events.data(), f.detector_events.size(), NPY_BOOL);
}

PyObject* frame_meas_results(PyObject* self, PyObject*) {
  SharedBorrow b(borrow_of<OwnedFrame>(self));
  if (!b) return nullptr;
  const auto& m = frame_of(self).meas_results;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(m.data()), static_cast<Py_ssize_t>(m.size()));
}

PyObject* frame_to_numpy_detector_events(PyObject* self, PyObject*) {
  SharedBorrow b(borrow_of<OwnedFrame>(self));
  if (!b) return nullptr;
  return detector_events_array(frame_of(self));
}

PyObject* frame_to_numpy_meas_results(PyObject* self, PyObject*) {
  SharedBorrow b(borrow_of<OwnedFrame>(self));
  if (!b) return nullptr;
  if (!ensure_numpy()) return nullptr;
  const auto& m = frame_of(self).meas_results;
  return array_copy(m.data(), m.size(), NPY_INT8);
}

PyObject* frame_null_decode(PyObject* self, PyObject*) {
  SharedBorrow b(borrow_of<OwnedFrame>(self));
  if (!b) return nullptr;
  return new_decoder_result(DecoderResultData{});
}

int set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned(value);
  if (!owned) return -1;
  return PyDict_SetItemString(dict, key, owned.get());
}

PyObject* frame_to_dict(PyObject* self, PyObject*) {
  SharedBorrow b(borrow_of<OwnedFrame>(self));
  if (!b) return nullptr;
  const OwnedFrame& f = frame_of(self);
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  if (set_item(d, "frame_id", PyLong_FromUnsignedLongLong(f.frame_id)) < 0 ||
      set_item(d, "round", PyLong_FromUnsignedLong(f.round)) < 0 ||
      set_item(d, "timestamp_ns", PyLong_FromUnsignedLongLong(f.timestamp_ns)) < 0 ||
      set_item(d, "qubit_count", PyLong_FromUnsignedLong(f.qubit_count)) < 0 ||
      set_item(d, "ancilla_count", PyLong_FromUnsignedLong(f.ancilla_count)) < 0 ||
      set_item(d, "detector_event_count", PyLong_FromUnsignedLong(f.detector_event_count)) < 0 ||
      set_item(d, "code_type", PyLong_FromUnsignedLong(f.code_type)) < 0 ||
      set_item(d, "distance", PyLong_FromUnsignedLong(f.distance)) < 0 ||
      set_item(d, "detector_events", detector_events_array(f)) < 0 ||
      set_item(d, "observable_flips",
               f.observable_flips ? PyLong_FromUnsignedLongLong(*f.observable_flips) : Py_NewRef(Py_None)) < 0) {
    return nullptr;
  }
  return dict.release();
}

PyObject* frame_repr(PyObject* self) {
  SharedBorrow b(borrow_of<OwnedFrame>(self));
  if (!b) return nullptr;
  const OwnedFrame& f = frame_of(self);
  std::string text = "SyndromeFrame(frame_id=" + std::to_string(f.frame_id) + ", round=" + std::to_string(f.round) +
                     ", detector_events=" + std::to_string(f.detector_event_count) + "/" +
                     std::to_string(f.ancilla_count) + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyGetSetDef frame_getset[] = {
    {"frame_id", guarded<"SyndromeFrame.frame_id", get_uint<std::uint64_t, &OwnedFrame::frame_id>>,
     nullptr, nullptr, nullptr},
    {"round", guarded<"SyndromeFrame.round", get_uint<std::uint32_t, &OwnedFrame::round>>, nullptr, nullptr, nullptr},
    {"timestamp_ns", guarded<"SyndromeFrame.timestamp_ns", get_uint<std::uint64_t, &OwnedFrame::timestamp_ns>>,
     nullptr, nullptr, nullptr},
    {"qubit_count", guarded<"SyndromeFrame.qubit_count", get_uint<std::uint16_t, &OwnedFrame::qubit_count>>,
     nullptr, nullptr, nullptr},
    {"ancilla_count", guarded<"SyndromeFrame.ancilla_count", get_uint<std::uint16_t, &OwnedFrame::ancilla_count>>,
     nullptr, nullptr, nullptr},
    {"detector_event_count", guarded<"SyndromeFrame.detector_event_count", get_uint<std::uint32_t, &OwnedFrame::detector_event_count>>,
     nullptr, nullptr, nullptr},
    {"code_type", guarded<"SyndromeFrame.code_type", get_uint<std::uint8_t, &OwnedFrame::code_type>>,
     nullptr, nullptr, nullptr},
    {"distance", guarded<"SyndromeFrame.distance", get_uint<std::uint8_t, &OwnedFrame::distance>>,
     nullptr, nullptr, nullptr},
    {"observable_flips", guarded<"SyndromeFrame.observable_flips", get_observable_flips>, nullptr, nullptr, nullptr},
    {"source_observable_flips", guarded<"SyndromeFrame.source_observable_flips", get_source_observable_flips>,
     nullptr, "The observable flips this frame arrived with (wire metadata), or None; never the decoder's.",
     nullptr},
    {"observable_flips_array", guarded<"SyndromeFrame.observable_flips_array", get_observable_flips_array>, nullptr,
     "observable_flips as a 1-D uint8 array of 0/1, one entry per observable of the decoder's model (up\n"
     "to 256; observable_flips refuses models of more than 64). Without a decoder, the flips the frame\n"
     "arrived with (source_observable_flips_array). Raises as observable_flips does on a frame without them.",
     nullptr},
    {"source_observable_flips_array",
     guarded<"SyndromeFrame.source_observable_flips_array", get_source_observable_flips_array>, nullptr,
     "The observable flips this frame arrived with as a 1-D uint8 array of 0/1: one entry per observable\n"
     "when the frame carries observables 64 and up (written for models of more than 64), else 64 entries;\n"
     "None when it carries no flips.",
     nullptr},
    {"shot_incomplete", guarded<"SyndromeFrame.shot_incomplete", get_bool<&OwnedFrame::shot_incomplete>>, nullptr,
     "With per_shot=True: True on the frame where a shot was found cut short (it starts a new shot\n"
     "early or follows dropped frames) and on the later frames of such a shot.",
     nullptr},
    {"window_incomplete", guarded<"SyndromeFrame.window_incomplete", get_bool<&OwnedFrame::window_incomplete>>,
     nullptr,
     "With commit and buffer and no per_shot: True on a frame carrying a commit whose window held\n"
     "a round that never arrived (decoded as quiet; see stream.missing_rounds).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef frame_methods[] = {
    {"meas_results", guarded<"the measurement list (SyndromeFrame.meas_results)", frame_meas_results>,
     METH_NOARGS, "meas_results($self)\n--\n\n"},
    {"to_numpy_detector_events", guarded<"the detector-event array (SyndromeFrame.to_numpy_detector_events)", frame_to_numpy_detector_events>,
     METH_NOARGS,
     "to_numpy_detector_events($self)\n--\n\n"
     "Detector events as a 1-D NumPy bool array of shape `(ancilla_count,)`."},
    {"to_numpy_meas_results", guarded<"the measurement array (SyndromeFrame.to_numpy_meas_results)", frame_to_numpy_meas_results>,
     METH_NOARGS,
     "to_numpy_meas_results($self)\n--\n\n"
     "Ancilla measurement results as a 1-D NumPy int8 array of shape `(ancilla_count,)`."},
    {"null_decode", guarded<"the result (SyndromeFrame.null_decode)", frame_null_decode>,
     METH_NOARGS, "null_decode($self)\n--\n\n"},
    {"to_dict", guarded<"the dict (SyndromeFrame.to_dict)", frame_to_dict>, METH_NOARGS,
     "to_dict($self)\n--\n\n"
     "Serialise this frame as a Python dict suitable for pandas / JSON.\n\n"
     "The `detector_events` key holds a 1-D NumPy bool array. All scalar\n"
     "fields are plain Python ints/floats."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot frame_slots[] = {
    {Py_tp_getset, frame_getset},
    {Py_tp_methods, frame_methods},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<"the repr (SyndromeFrame)", frame_repr>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc<OwnedFrame>)},
    {0, nullptr},
};

PyType_Spec frame_spec = {
    "SyndromeFrame",
    sizeof(PySyndromeFrame),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    frame_slots,
};

}  // namespace

PyTypeObject* syndrome_frame_type() {
  static PyTypeObject* type = nullptr;
  return make_type_once(type, &frame_spec);
}

PyObject* new_syndrome_frame(OwnedFrame frame) {
  PyTypeObject* type = syndrome_frame_type();
  if (!type) return nullptr;
  return new_native<OwnedFrame>(type, std::move(frame));
}

}  // namespace kelvane::py
