// SpacetimeGraph.decode and SpacetimeGraph.decode_batch: Union-Find decoding of detection
// events given from Python, one shot or a whole NumPy batch decoded in C++.
#include "kelvane/py/graph_decode.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kelvane/decoder/union_find.h"
#include "kelvane/dem/graph.h"
#include "kelvane/py/args.h"
#include "kelvane/py/borrow.h"
#include "kelvane/py/decoder_result_object.h"
#include "kelvane/py/dem_object.h"
#include "kelvane/py/graph_object.h"
#include "kelvane/py/numpy_api.h"
#include "kelvane/py/py_ref.h"

namespace kelvane::py {

const char* const kGraphDecodeDoc =
    "decode($self, detection_events)\n--\n\n"
    "Decode one shot with the Union-Find decoder.\n\n"
    "detection_events holds one entry per detector (a sequence of 0/1 values or a bool array;\n"
    "any non-zero entry counts as fired). Returns a DecoderResult whose observable_flips has\n"
    "bit k set when observable k is flipped, with confidence 1.0 when no detector fired and\n"
    "0.9 otherwise. Like every DecoderResult this module hands out, its corrections list is\n"
    "empty.";

const char* const kGraphDecodeBatchDoc =
    "decode_batch($self, shots)\n--\n\n"
    "Decode many shots with the Union-Find decoder.\n\n"
    "shots is a 2-D numpy array of bool or uint8, one row per shot and one column per\n"
    "detector (any non-zero entry counts as fired). Returns a 1-D numpy uint64 array with\n"
    "each shot's observable flips (bit k: observable k).";

const char* const kDemToGraphDoc =
    "to_graph($self)\n--\n\n"
    "Build the decoding graph of this DEM as a SpacetimeGraph.";

namespace {

std::size_t detector_count(const SpacetimeGraph& graph) {
  return static_cast<std::size_t>(graph.boundary);
}

// "{what} has {got} {unit}, expected {expected} (one per detector)"
void raise_length(const char* what, const char* unit, npy_intp got, std::size_t expected) {
  const std::string text = std::string(what) + " has " + std::to_string(got) + " " + unit +
                           ", expected " + std::to_string(expected) + " (one per detector)";
  PyErr_SetString(PyExc_ValueError, text.c_str());
}

// Appends the indices of the non-zero bytes of a row to `fired` (after clearing it).
void collect_fired(const std::uint8_t* row, npy_intp length, npy_intp stride,
                   std::vector<std::uint32_t>& fired) {
  fired.clear();
  npy_intp i = 0;
  if (stride == 1) {
    // Skip quiet stretches eight entries at a time.
    for (; i + 8 <= length; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, row + i, sizeof word);
      if (word == 0) continue;
      for (npy_intp k = 0; k < 8; ++k) {
        if (row[i + k]) fired.push_back(static_cast<std::uint32_t>(i + k));
      }
    }
    for (; i < length; ++i) {
      if (row[i]) fired.push_back(static_cast<std::uint32_t>(i));
    }
    return;
  }
  for (; i < length; ++i) {
    if (row[i * stride]) fired.push_back(static_cast<std::uint32_t>(i));
  }
}

}  // namespace

PyObject* graph_decode(PyObject* self, PyObject* args, PyObject* kwargs) {
  SharedBorrow borrow(borrow_of<GraphObjectState>(self));
  if (!borrow) return nullptr;
  const GraphHandle& graph = graph_of(self);
  PyObject* events_arg = nullptr;
  if (!bind_args("decode", args, kwargs, {"detection_events"}, 1, &events_arg)) return nullptr;
  if (!ensure_numpy()) return nullptr;
  const auto not_a_sequence = [&] {
    const std::string type_name = short_type_name(Py_TYPE(events_arg));
    raise_arg_error("detection_events",
                    "expected a sequence of 0/1 values, got '" + type_name + "'");
    return nullptr;
  };
  if (PyUnicode_Check(events_arg) || PyBytes_Check(events_arg)) return not_a_sequence();
  PyRef array(
      PyArray_FROMANY(events_arg, NPY_BOOL, 0, 0, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
  if (!array) {
    PyErr_Clear();
    return not_a_sequence();
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(array.get());
  if (PyArray_NDIM(arr) == 0) return not_a_sequence();
  if (PyArray_NDIM(arr) != 1) {
    const std::string text = "detection_events must be 1-D, got a " +
                             std::to_string(PyArray_NDIM(arr)) + "-D array";
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
  }
  const npy_intp length = PyArray_DIM(arr, 0);
  if (static_cast<std::size_t>(length) != detector_count(*graph)) {
    raise_length("detection_events", "entries", length, detector_count(*graph));
    return nullptr;
  }
  std::vector<std::uint32_t> fired;
  collect_fired(static_cast<const std::uint8_t*>(PyArray_DATA(arr)), length, 1, fired);

  DecoderResultData result;
  if (!fired.empty()) {
    result.observable_flips =
        with_graph_decoder(self, [&](UnionFindDecoder& d) {
          return d.decode_detectors(fired);
        });
    result.confidence = kConfidenceDecoded;
  }
  return new_decoder_result(std::move(result));
}

PyObject* graph_decode_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  SharedBorrow borrow(borrow_of<GraphObjectState>(self));
  if (!borrow) return nullptr;
  const GraphHandle& graph = graph_of(self);
  PyObject* shots_arg = nullptr;
  if (!bind_args("decode_batch", args, kwargs, {"shots"}, 1, &shots_arg)) return nullptr;
  if (!ensure_numpy()) return nullptr;
  if (!PyArray_Check(shots_arg)) {
    raise_arg_error("shots", not_instance_reason(shots_arg, "numpy.ndarray"));
    return nullptr;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(shots_arg);
  const int type = PyArray_TYPE(arr);
  if (type != NPY_BOOL && type != NPY_UINT8) {
    PyRef dtype_text(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
    const char* dtype = dtype_text ? PyUnicode_AsUTF8(dtype_text.get()) : nullptr;
    if (!dtype) return nullptr;
    raise_arg_error("shots", std::string("expected an array of dtype bool or uint8, got ") + dtype);
    return nullptr;
  }
  if (PyArray_NDIM(arr) != 2) {
    const std::string text = "shots must be a 2-D array (shots x detectors), got a " +
                             std::to_string(PyArray_NDIM(arr)) + "-D array";
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
  }
  const npy_intp shot_count = PyArray_DIM(arr, 0);
  const npy_intp columns = PyArray_DIM(arr, 1);
  if (static_cast<std::size_t>(columns) != detector_count(*graph)) {
    raise_length("shots", "columns", columns, detector_count(*graph));
    return nullptr;
  }
  npy_intp dims[1] = {shot_count};
  PyObject* out = PyArray_SimpleNew(1, dims, NPY_UINT64);
  if (!out) return nullptr;
  auto* masks = static_cast<std::uint64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)));

  const auto* base = static_cast<const std::uint8_t*>(PyArray_DATA(arr));
  const npy_intp row_stride = PyArray_STRIDE(arr, 0);
  const npy_intp column_stride = PyArray_STRIDE(arr, 1);
  with_graph_decoder(self, [&](UnionFindDecoder& decoder) {
    std::vector<std::uint32_t> fired;
    fired.reserve(static_cast<std::size_t>(columns));
    for (npy_intp s = 0; s < shot_count; ++s) {
      collect_fired(base + s * row_stride, columns, column_stride, fired);
      masks[s] = fired.empty() ? 0 : decoder.decode_detectors(fired);
    }
    return 0;
  });
  return out;
}

PyObject* dem_to_graph(PyObject* self, PyObject*) {
  SharedBorrow borrow(borrow_of<DetectorErrorModel>(self));
  if (!borrow) return nullptr;
  auto graph = std::make_shared<const SpacetimeGraph>(SpacetimeGraph::from_dem(dem_of(self)));
  return new_spacetime_graph(std::move(graph));
}

}  // namespace kelvane::py
