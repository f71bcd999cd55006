// Private helpers through which kelvane.kvlx writes and walks KVLX bytes with the C++ encoder,
// frame walker and description encoding, so that each wire format is written down once. The
// Python side checks and defaults the arguments (its error messages are its own); these only
// lay out bytes.
#include "kelvane/py/kvlx_encoding.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "kelvane/core/rle.h"
#include "kelvane/kvlx/description.h"
#include "kelvane/kvlx/encoder.h"
#include "kelvane/kvlx/frame_walk.h"
#include "kelvane/kvlx/le_bytes.h"
#include "kelvane/kvlx/metadata_keys.h"
#include "kelvane/kvlx/parser.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/py_ref.h"

namespace kelvane::py {
namespace {

// A read-only buffer view of a bytes-like object or a C-contiguous array, released on scope exit.
class Bytes {
 public:
  bool get(PyObject* o) {
    if (PyObject_GetBuffer(o, &view_, PyBUF_C_CONTIGUOUS) < 0) return false;
    held_ = true;
    return true;
  }
  ~Bytes() {
    if (held_) PyBuffer_Release(&view_);
  }
  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }
  std::span<const std::uint8_t> span() const { return {data(), size()}; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

PyObject* bytes_of(const std::vector<std::uint8_t>& v) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()), static_cast<Py_ssize_t>(v.size()));
}

// An optional unsigned integer argument: None, or an int (the caller checked its range).
bool optional_u64(PyObject* o, std::optional<std::uint64_t>& out) {
  if (o == Py_None) return true;
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

// (key, value) pairs of a sequence, appended as metadata entries.
bool metadata_of(PyObject* list, std::vector<MetadataEntry>& out) {
  PyRef seq(PySequence_Fast(list, "metadata entries must be a sequence"));
  if (!seq) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    unsigned int key = 0;
    PyObject* value = nullptr;
    if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), i), "IO", &key, &value)) return false;
    Bytes b;
    if (!b.get(value)) return false;
    out.push_back({static_cast<std::uint16_t>(key), std::vector<std::uint8_t>(b.data(), b.data() + b.size())});
  }
  return true;
}

PyObject* encode_frame(PyObject*, PyObject* args) {
  unsigned long long frame_id = 0, timestamp = 0;
  unsigned int round = 0, header_word = 0;
  unsigned short qubits = 0, ancillas = 0, flags = 0;
  unsigned char code_type = 0, distance = 0;
  PyObject *header_crc, *rle, *meas, *timing, *bits, *entries, *metadata_count, *annotations, *annotation_count,
      *trailer_crc;
  int trailer = 1, payload_crc = 1;
  unsigned short trailer_marker = 0;
  if (!PyArg_ParseTuple(args, "(KIKHHIbbH)OOOOOOOOOpHOp:_kvlx_encode_frame", &frame_id, &round, &timestamp, &qubits,
                        &ancillas, &header_word, &code_type, &distance, &flags, &header_crc, &rle, &meas, &timing,
                        &bits, &entries, &metadata_count, &annotations, &annotation_count, &trailer, &trailer_marker,
                        &trailer_crc, &payload_crc)) {
    return nullptr;
  }
  FrameSpec fields;
  fields.header = {frame_id, round, timestamp, qubits, ancillas, header_word, code_type, distance, flags, 0};
  std::optional<std::uint64_t> value;
  if (!optional_u64(header_crc, value)) return nullptr;
  if (value) fields.header_crc = static_cast<std::uint32_t>(*value);
  Bytes rle_bytes, meas_bytes;
  if (!rle_bytes.get(rle) || !meas_bytes.get(meas)) return nullptr;
  fields.detector_events_rle.emplace(rle_bytes.data(), rle_bytes.data() + rle_bytes.size());
  for (std::uint8_t m : meas_bytes.span()) fields.meas_results.push_back(static_cast<std::int8_t>(m));
  if (timing != Py_None) {
    PyRef seq(PySequence_Fast(timing, "timing offsets must be a sequence"));
    if (!seq) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
      const unsigned long t = PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(seq.get(), i));
      if (PyErr_Occurred()) return nullptr;
      fields.timing_offsets.push_back(static_cast<std::uint16_t>(t));
    }
  }
  if (bits != Py_None) {
    Bytes b;
    if (!b.get(bits)) return nullptr;
    fields.ancilla_bits.assign(b.data(), b.data() + b.size());
  }
  if (!metadata_of(entries, fields.metadata)) return nullptr;
  if (!optional_u64(metadata_count, value = std::nullopt)) return nullptr;
  if (value) fields.metadata_count = static_cast<std::uint16_t>(*value);
  PyRef notes(PySequence_Fast(annotations, "annotations must be a sequence"));
  if (!notes) return nullptr;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(notes.get()); ++i) {
    unsigned char kind = 0, aux = 0;
    unsigned long long v = 0;
    if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(notes.get(), i), "bKb", &kind, &v, &aux)) return nullptr;
    fields.annotations.push_back({v, kind, aux});
  }
  if (!optional_u64(annotation_count, value = std::nullopt)) return nullptr;
  if (value) fields.annotation_count = static_cast<std::uint8_t>(*value);
  fields.trailer.present = trailer != 0;
  fields.trailer.marker = trailer_marker;
  if (!optional_u64(trailer_crc, value = std::nullopt)) return nullptr;
  if (value) fields.trailer.crc = static_cast<std::uint32_t>(*value);
  fields.payload_crc = payload_crc != 0;
  std::vector<std::uint8_t> out;
  if (Status written = append_frame(out, fields); !written) {
    PyErr_SetString(PyExc_ValueError, written.error().to_string().c_str());
    return nullptr;
  }
  return bytes_of(out);
}

PyObject* encode_frames(PyObject*, PyObject* args) {
  PyObject *events_arg, *ids_arg, *rounds_arg, *observables_arg, *has_flips_arg, *digest_arg, *first_arg;
  Py_ssize_t ancillas = 0, num_observables = 0;
  unsigned long long timestamp = 0;
  unsigned short qubits = 0;
  unsigned int header_word = 0;
  unsigned char code_type = 0, distance = 0;
  if (!PyArg_ParseTuple(args, "OnOOOnO(KHIbb)OO:_kvlx_encode_frames", &events_arg, &ancillas, &ids_arg, &rounds_arg,
                        &observables_arg, &num_observables, &has_flips_arg, &timestamp, &qubits, &header_word,
                        &code_type, &distance, &digest_arg, &first_arg)) {
    return nullptr;
  }
  Bytes events, ids, rounds, observables, has_flips, digest;
  if (!events.get(events_arg) || !ids.get(ids_arg) || !rounds.get(rounds_arg)) return nullptr;
  const bool with_flips = observables_arg != Py_None, with_digest = digest_arg != Py_None;
  if (with_flips && (!observables.get(observables_arg) || !has_flips.get(has_flips_arg))) return nullptr;
  if (with_digest && !digest.get(digest_arg)) return nullptr;
  std::vector<MetadataEntry> first;
  if (first_arg != Py_None && !metadata_of(first_arg, first)) return nullptr;
  const std::size_t n = static_cast<std::size_t>(ancillas), frames = ids.size() / 8;
  const auto count = static_cast<std::size_t>(num_observables);
  if (events.size() != frames * n || rounds.size() != frames * 4 || count > ObservableBits::kMaxObservables ||
      (with_flips && (observables.size() != frames * count || has_flips.size() != frames)) ||
      (with_digest && digest.size() != 8)) {
    PyErr_SetString(PyExc_ValueError, "_kvlx_encode_frames: the arrays' lengths disagree");
    return nullptr;
  }
  std::vector<std::uint8_t> out;
  FrameSpec fields;  // reused: its lists keep their memory from frame to frame
  fields.header = {0, 0, timestamp, qubits, static_cast<std::uint16_t>(n), header_word, code_type, distance,
                 kFlagMetadata, 0};
  fields.meas_results.assign(n, 0);
  for (std::size_t k = 0; k < frames; ++k) {
    fields.header.frame_id = load_le<std::uint64_t>(ids.data() + 8 * k);
    fields.header.round = load_le<std::uint32_t>(rounds.data() + 4 * k);
    fields.detector_events.assign(events.data() + k * n, events.data() + (k + 1) * n);
    // A shot's last frame carries its observables (keys 16 and 17); round-0 frames the
    // description's hash, unless the first frame's own entries (the description) hold it.
    FrameMetadata meta;
    if (with_flips && has_flips.data()[k]) {
      ObservableBits bits;
      for (std::size_t o = 0; o < count; ++o) {
        if (observables.data()[k * count + o]) bits.flip(o);
      }
      meta.observable_flips = bits.low();
      if (count > 64) meta.high_observable_flips = HighObservableFlips{static_cast<std::uint16_t>(count), bits};
    }
    const bool own_entries = k == 0 && first_arg != Py_None;
    if (with_digest && fields.header.round == 0 && !own_entries) meta.description_hash = load_le<std::uint64_t>(digest.data());
    fields.metadata.clear();
    if (own_entries) fields.metadata = first;
    for (MetadataEntry& e : metadata_entries(meta)) fields.metadata.push_back(std::move(e));
    if (Status written = append_frame(out, fields); !written) {
      PyErr_SetString(PyExc_ValueError, written.error().to_string().c_str());
      return nullptr;
    }
  }
  return bytes_of(out);
}

PyObject* frame_offsets(PyObject*, PyObject* args) {
  PyObject* data_arg = nullptr;
  Py_ssize_t offset = 0;
  if (!PyArg_ParseTuple(args, "On:_kvlx_frame_offsets", &data_arg, &offset)) return nullptr;
  Bytes data;
  if (!data.get(data_arg)) return nullptr;
  std::vector<long long> starts{offset};
  std::size_t pos = static_cast<std::size_t>(std::max<Py_ssize_t>(offset, 0));
  const std::size_t end = data.size();
  while (pos + kFrameHeaderSize + kEventLengthSize <= end) {
    const FrameHeader h = decode_frame_header(data.data() + pos);
    FrameSections at;
    const auto bytes = [&](std::size_t p, std::size_t len) -> const std::uint8_t* {
      return pos + p + len <= end ? data.data() + pos + p : nullptr;
    };
    if (walk_frame_sections(h, std::numeric_limits<std::size_t>::max() / 2, bytes, at).end != WalkEnd::kWhole) break;
    const std::size_t next = pos + at.end + kTrailerSize;
    if (next > end) break;
    starts.push_back(static_cast<long long>(next));
    pos = next;
  }
  // Native int64s, for array.array("q").frombytes: 8 bytes a frame of a file of millions.
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(starts.data()),
                                   static_cast<Py_ssize_t>(starts.size() * sizeof(long long)));
}

// The frame's header fields and sections as encode_frame takes them (a whole frame, header to
// trailer; the trailer and CRCs are not checked).
PyObject* frame_sections(PyObject*, PyObject* args) {
  PyObject* frame_arg = nullptr;
  if (!PyArg_ParseTuple(args, "O:_kvlx_frame_sections", &frame_arg)) return nullptr;
  Bytes frame;
  if (!frame.get(frame_arg)) return nullptr;
  if (frame.size() < kFrameHeaderSize) {
    PyErr_SetString(PyExc_ValueError, "a frame starts with a 36-byte header");
    return nullptr;
  }
  const FrameHeader h = decode_frame_header(frame.data());
  FrameSections at;
  PyRef entries(PyList_New(0));
  if (!entries) return nullptr;
  bool failed = false;
  const auto bytes = [&](std::size_t p, std::size_t len) -> const std::uint8_t* {
    return p + len <= frame.size() ? frame.data() + p : nullptr;
  };
  const auto on_entry = [&](std::uint16_t key, std::span<const std::uint8_t> value) {
    PyRef pair(Py_BuildValue("(IN)", static_cast<unsigned int>(key),
                             PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value.data()),
                                                       static_cast<Py_ssize_t>(value.size()))));
    failed = failed || !pair || PyList_Append(entries.get(), pair.get()) < 0;
  };
  if (walk_frame_sections(h, frame.size(), bytes, at, on_entry).end != WalkEnd::kWhole || failed) {
    if (!failed) PyErr_SetString(PyExc_ValueError, "the frame ends inside one of its sections");
    return nullptr;
  }
  const auto slice = [&](std::size_t from, std::size_t length) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data() + from), static_cast<Py_ssize_t>(length));
  };
  PyRef fields(Py_BuildValue("{sKsIsKsHsHsIsBsBsHsNsNsO}", "frame_id", static_cast<unsigned long long>(h.frame_id),
                             "round", h.round, "timestamp_ns", static_cast<unsigned long long>(h.timestamp_ns),
                             "qubit_count", h.qubit_count, "ancilla_count", h.ancilla_count, "header_word",
                             h.header_word, "code_type", h.code_type, "distance", h.distance, "flags", h.flags,
                             "detector_events_rle", slice(at.rle_at, at.rle_len), "meas_results",
                             slice(at.meas_at, h.ancilla_count), "metadata", entries.get()));
  if (!fields) return nullptr;
  if (h.flags & kFlagTiming) {
    PyRef timing(PyList_New(h.ancilla_count));
    if (!timing) return nullptr;
    for (std::size_t i = 0; i < h.ancilla_count; ++i) {
      PyObject* t = PyLong_FromUnsignedLong(load_le<std::uint16_t>(frame.data() + at.timing_at + 2 * i));
      if (!t) return nullptr;
      PyList_SET_ITEM(timing.get(), static_cast<Py_ssize_t>(i), t);
    }
    if (PyDict_SetItemString(fields.get(), "timing_offsets", timing.get()) < 0) return nullptr;
  }
  if (h.flags & kFlagAncillaBits) {
    PyRef bits(slice(at.bits_at, at.bits_len));
    if (!bits || PyDict_SetItemString(fields.get(), "ancilla_bits", bits.get()) < 0) return nullptr;
  }
  if (h.flags & kFlagAnnotations) {
    const std::vector<Annotation> notes = parse_annotations(frame.span().subspan(at.annotations_at, at.end - at.annotations_at));
    PyRef list(PyList_New(static_cast<Py_ssize_t>(notes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < notes.size(); ++i) {
      PyObject* note = Py_BuildValue("(BKB)", notes[i].kind, static_cast<unsigned long long>(notes[i].value), notes[i].aux);
      if (!note) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), note);
    }
    if (PyDict_SetItemString(fields.get(), "annotations", list.get()) < 0) return nullptr;
  }
  return fields.release();
}

PyObject* description(PyObject*, PyObject* args) {
  PyObject *layout_arg, *dem_arg;
  unsigned int rounds = 0, ancillas = 0;
  if (!PyArg_ParseTuple(args, "IIOO:_kvlx_description", &rounds, &ancillas, &layout_arg, &dem_arg)) return nullptr;
  std::vector<std::int32_t> layout;
  if (layout_arg != Py_None) {
    Bytes b;
    if (!b.get(layout_arg)) return nullptr;
    layout.resize(b.size() / 4);
    for (std::size_t i = 0; i < layout.size(); ++i) layout[i] = static_cast<std::int32_t>(load_le<std::uint32_t>(b.data() + 4 * i));
  }
  std::optional<std::string> dem;
  if (dem_arg != Py_None) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(dem_arg, &size);
    if (!text) return nullptr;
    dem.emplace(text, static_cast<std::size_t>(size));
  }
  const DescriptionEntries d = description_entries(rounds, ancillas, layout, dem);
  PyRef list(PyList_New(static_cast<Py_ssize_t>(d.entries.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < d.entries.size(); ++i) {
    PyRef value(bytes_of(d.entries[i].second));
    if (!value) return nullptr;
    PyObject* pair = Py_BuildValue("(IO)", static_cast<unsigned int>(d.entries[i].first), value.get());
    if (!pair) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return Py_BuildValue("(NN)", list.release(), bytes_of(d.entries.back().second));
}

PyObject* encode_rle(PyObject*, PyObject* arg) {
  Bytes events;
  if (!events.get(arg)) return nullptr;
  return bytes_of(encode_rle_events(events.span()));
}

PyObject* encode_file_header_binding(PyObject*, PyObject* args) {
  unsigned int magic = 0, file_word = 0;
  unsigned short version = 0;
  PyObject* schema_arg = nullptr;
  if (!PyArg_ParseTuple(args, "IHOI:_kvlx_encode_file_header", &magic, &version, &schema_arg, &file_word)) {
    return nullptr;
  }
  Bytes schema;
  if (!schema.get(schema_arg)) return nullptr;
  FileHeader header{magic, version, {}, file_word};
  if (schema.size() != header.schema_id.size()) {
    PyErr_SetString(PyExc_ValueError, "_kvlx_encode_file_header: the schema id is 16 bytes");
    return nullptr;
  }
  std::copy(schema.data(), schema.data() + schema.size(), header.schema_id.begin());
  return bytes_of(encode_file_header(header));
}

PyObject* description_hash_binding(PyObject*, PyObject* args) {
  PyObject *layout_arg, *dem_arg;
  if (!PyArg_ParseTuple(args, "OO:_kvlx_description_hash", &layout_arg, &dem_arg)) return nullptr;
  Bytes layout, dem;
  if (!layout.get(layout_arg) || !dem.get(dem_arg)) return nullptr;
  std::vector<std::uint8_t> out;
  append_le(out, description_hash(layout.span(), dem.span()));
  return bytes_of(out);
}

// Why `head` is no KVLX file header, in the reader's own words, or None when it is one.
PyObject* file_header_fault(PyObject*, PyObject* arg) {
  Bytes head;
  if (!head.get(arg)) return nullptr;
  Result<Parsed<FileHeader>> parsed = parse_file_header(head.span());
  if (parsed) Py_RETURN_NONE;
  return PyUnicode_FromString(parsed.error().to_string().c_str());
}

}  // namespace

PyMethodDef kvlx_encoding_methods[] = {
    {"_kvlx_encode_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the frame (_kvlx_encode_frame)", encode_frame>)), METH_VARARGS,
     "_kvlx_encode_frame(header, header_crc, rle, meas, timing, ancilla_bits, metadata, metadata_count,\n"
     "                   annotations, annotation_count, trailer, trailer_marker, trailer_crc, payload_crc)\n--\n\n"
     "One frame's bytes from its checked fields and sections (kelvane.kvlx.encode_frame)."},
    {"_kvlx_encode_frames", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the frames (_kvlx_encode_frames)", encode_frames>)), METH_VARARGS,
     "_kvlx_encode_frames(events, ancillas, frame_ids, rounds, observables, num_observables, has_flips,\n"
     "                    header, digest, first_entries)\n--\n\n"
     "The frames of rows of 0/1 events (KvlxWriter.write_shots)."},
    {"_kvlx_frame_offsets", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the frames (_kvlx_frame_offsets)", frame_offsets>)), METH_VARARGS,
     "_kvlx_frame_offsets(data, offset)\n--\n\n"
     "The whole frames' start offsets from `offset` on, then the last one's end, as native int64\n"
     "bytes (kvlx.frame_offsets)."},
    {"_kvlx_frame_sections", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the frame (_kvlx_frame_sections)", frame_sections>)), METH_VARARGS,
     "_kvlx_frame_sections(frame)\n--\n\n"
     "One whole frame's header fields and sections, as kvlx.encode_frame takes them."},
    {"_kvlx_description", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the description (_kvlx_description)", description>)), METH_VARARGS,
     "_kvlx_description(rounds, ancillas, layout, dem_text)\n--\n\n"
     "A stream description's metadata entries and its 8-byte hash."},
    {"_kvlx_encode_rle", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the events (_kvlx_encode_rle)", encode_rle>)), METH_O,
     "_kvlx_encode_rle(events)\n--\n\n"
     "The run-length encoding of a buffer of 0/1 bytes (kvlx.encode_rle_events)."},
    {"_kvlx_encode_file_header", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the file header (_kvlx_encode_file_header)", encode_file_header_binding>)), METH_VARARGS,
     "_kvlx_encode_file_header(magic, version, schema_id, file_word)\n--\n\n"
     "The 26-byte file header from checked fields (kvlx.encode_file_header)."},
    {"_kvlx_description_hash", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the hash (_kvlx_description_hash)", description_hash_binding>)), METH_VARARGS,
     "_kvlx_description_hash(layout_bytes, dem_bytes)\n--\n\n"
     "The 8 bytes of a description's hash (key 66) over its layout and model bytes."},
    {"_kvlx_file_header_fault", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the file header (_kvlx_file_header_fault)", file_header_fault>)), METH_O,
     "_kvlx_file_header_fault(head)\n--\n\n"
     "Why the bytes are no KVLX file header, as the reader says it, or None when they are one."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvane::py
