// SpacetimeGraph.decode and SpacetimeGraph.decode_batch: Union-Find decoding of detection
// events given from Python, one shot or a whole NumPy batch decoded in C++.
#include "kelvane/py/graph_decode.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "kelvane/decoder/batch_decode.h"
#include "kelvane/decoder/union_find.h"
#include "kelvane/dem/graph.h"
#include "kelvane/py/args.h"
#include "kelvane/py/borrow.h"
#include "kelvane/py/decoder_result_object.h"
#include "kelvane/py/dem_object.h"
#include "kelvane/py/dem_source.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/graph_object.h"
#include "kelvane/py/interpreter_wait.h"
#include "kelvane/py/method_arg.h"
#include "kelvane/py/numpy_api.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/shot_array.h"

namespace kelvane::py {

const char* const kGraphDecodeDoc =
    "decode($self, detection_events, *, bit_packed_shots=False, enable_correlations=False, "
    "match_clusters=False, method=\"union-find\", return_weight=False)\n--\n\n"
    "Decode one shot with the Union-Find decoder, or with method=\"matching\" by exact\n"
    "minimum-weight matching.\n\n"
    "detection_events holds one entry per detector (a sequence or array of any integer, bool\n"
    "or float type; any non-zero entry counts as fired), or with bit_packed_shots=True the\n"
    "shot's bytes as numpy.packbits(..., bitorder=\"little\") lays them out. Returns a\n"
    "DecoderResult whose observable_flips has bit k set when observable k is flipped, with\n"
    "confidence 1.0 when no detector fired, 0.0 (and valid False) when no set of error\n"
    "mechanisms explains the fired detectors, and 0.9 otherwise. Like every DecoderResult this\n"
    "module hands out, its corrections list is empty. A graph of more than 64 observables raises\n"
    "ValueError: decode_batch returns every observable.\n\n"
    "enable_correlations=True decodes in two passes: the edges of the first correction that\n"
    "belong to decomposed error mechanisms make those mechanisms' other edges more likely, and\n"
    "the shot is decoded again with them. The graph must have been built with\n"
    "enable_correlations=True (ValueError otherwise).\n\n"
    "match_clusters=True corrects each final cluster of up to 256 fired detectors by exact\n"
    "minimum-weight matching along shortest paths inside it, instead of peeling its spanning\n"
    "tree: fewer logical errors, at a cost in speed that grows with the cluster sizes.\n"
    "match_clusters=\"touching\" matches clusters that have neighbouring detectors as one\n"
    "group: fewer errors again, at several times the cost.\n\n"
    "method=\"matching\" decodes by exact minimum-weight perfect matching: a correction of least\n"
    "total weight among those explaining the fired detectors (match_clusters does not apply).\n"
    "return_weight=True returns the pair (result, weight), as PyMatching's decode does: the\n"
    "correction's weight, the sum of ln((1 - p) / p) over its edges, parallel edges merged\n"
    "into one of their combined probability (negative for edges of p > 0.5).";

const char* const kGraphDecodeBatchDoc =
    "decode_batch($self, shots, *, bit_packed_shots=False, bit_packed_predictions=False, "
    "return_masks=False, num_threads=1, return_valid=False, enable_correlations=False, "
    "match_clusters=False, method=\"union-find\", return_weights=False)\n--\n\n"
    "Decode many shots with the Union-Find decoder, with PyMatching's array conventions.\n\n"
    "shots is a 2-D numpy array (or nested lists) with one row per shot: one column per\n"
    "detector of any integer,\n"
    "bool or float dtype (any non-zero entry counts as fired), or with bit_packed_shots=True\n"
    "ceil(num_detectors / 8) uint8 columns in numpy.packbits(..., bitorder=\"little\") layout,\n"
    "as Stim's samplers write them with bit_packed=True.\n\n"
    "Returns a (shots, num_observables) uint8 array of 0/1 predictions, or with\n"
    "bit_packed_predictions=True a (shots, ceil(num_observables / 8)) uint8 array of them\n"
    "packed in the same bit order, for any number of observables (up to 256). With\n"
    "return_masks=True it returns instead a 1-D uint64 array with each shot's observable flips\n"
    "as a mask (bit k: observable k), for graphs of at most 64 observables (ValueError beyond).\n\n"
    "num_threads splits the shots over that many threads (0: one per core), at most one per\n"
    "core the process may run on; the predictions do not depend on it, and other Python\n"
    "threads run while the batch decodes. Ctrl-C\n"
    "(any signal handler that raises) stops a batch within a fraction of a second. With\n"
    "return_valid=True it returns a pair (predictions, valid): valid is a 1-D bool array,\n"
    "False for a shot whose fired detectors no set of error mechanisms explains.\n"
    "enable_correlations=True, match_clusters=True and method decode every shot as decode does\n"
    "with them. return_weights=True adds a 1-D float64 array of each shot's correction weight\n"
    "(as decode's return_weight) after the predictions (and after valid with\n"
    "return_valid=True), as PyMatching's decode_batch does.";

const char* const kGraphDecodeToEdgesDoc =
    "decode_to_edges_array($self, detection_events, *, bit_packed_shots=False, "
    "enable_correlations=False, method=\"union-find\")\n--\n\n"
    "Decode one shot (as decode does) and return its correction's edges as PyMatching does: an\n"
    "int64 array of shape (edges, 2) holding each edge's two detectors, -1 for the boundary.";

const char* const kGraphFromDemDoc =
    "from_detector_error_model(dem, *, enable_correlations=False)\n--\n\n"
    "Build the decoding graph of a detector error model: a kelvane DetectorErrorModel, a\n"
    "stim.DetectorErrorModel, DEM text, or the path (str or os.PathLike) of a DEM file.\n\n"
    "enable_correlations=True also keeps the model's decomposed error mechanisms (Stim's\n"
    "`error(p) D0 D1 ^ D2 D3`), so that decode and decode_batch can decode with correlations.";

const char* const kGraphFromStimCircuitDoc =
    "from_stim_circuit(circuit, *, enable_correlations=False)\n--\n\n"
    "Build the decoding graph of a stim.Circuit's detector error model, decomposed into graphlike\n"
    "errors (circuit.detector_error_model(decompose_errors=True)); enable_correlations as for\n"
    "from_detector_error_model.";

const char* const kGraphFromDemFileDoc =
    "from_detector_error_model_file(path)\n--\n\n"
    "Build the decoding graph of the detector error model in the file at `path` (str or\n"
    "os.PathLike). A missing or unreadable file raises OSError.";

const char* const kDemToGraphDoc =
    "to_graph($self)\n--\n\n"
    "Build the decoding graph of this DEM as a SpacetimeGraph.";

namespace {

std::size_t detector_count(const SpacetimeGraph& graph) {
  return static_cast<std::size_t>(graph.boundary);
}

// ValueError when a row of shots does not have the width `detectors` detectors give it.
bool check_width(const char* what, const char* unit, npy_intp got, std::size_t detectors, bool bit_packed) {
  std::optional<std::string> error = shot_width_error(what, unit, static_cast<std::size_t>(got), detectors, bit_packed);
  if (error) PyErr_SetString(PyExc_ValueError, error->c_str());
  return !error;
}

// ValueError when the graph has more observables than the 64-bit mask of `form` holds.
bool mask_form_fits(const SpacetimeGraph& graph, const char* form, const char* instead) {
  const std::optional<std::string> error = mask_form_error(graph.num_observables, form, instead);
  if (error) PyErr_SetString(PyExc_ValueError, error->c_str());
  return !error;
}

// match_clusters: False or True (any truth value), or "touching": 0, 1, 2; -1 with an
// exception set.
int match_mode_of(PyObject* arg) {
  if (!arg) return 0;
  if (PyUnicode_Check(arg)) {
    if (PyUnicode_CompareWithASCIIString(arg, "touching") == 0) return 2;
    PyErr_SetString(PyExc_ValueError, "match_clusters must be False, True or \"touching\"");
    return -1;
  }
  return PyObject_IsTrue(arg);
}

// method: "union-find" (also when left out) or "matching"; nothing with an exception set.
std::optional<DecodeMethod> method_of(PyObject* arg, int match_mode) {
  DecodeMethod method = DecodeMethod::kUnionFind;
  if (!arg_method(arg, method)) return std::nullopt;
  if (method == DecodeMethod::kMatching && match_mode != 0) {
    PyErr_SetString(PyExc_ValueError, "match_clusters applies to method=\"union-find\" only");
    return std::nullopt;
  }
  return method;
}

// Correlated decoding asked of a graph built without its mechanisms: ValueError, false.
bool correlations_available(PyObject* self, bool asked) {
  if (!asked || graph_of(self)->keeps_mechanisms) return true;
  PyErr_SetString(PyExc_ValueError, kNoCorrelationsText);
  return false;
}

// The decoding options every decode entry point reads: the match_clusters mode (0, 1, 2) and the
// method, checked together and against the graph's correlations; nothing with an exception set.
struct DecodeOptions {
  int matched = 0;
  DecodeMethod method = DecodeMethod::kUnionFind;
};

std::optional<DecodeOptions> decode_options_of(PyObject* self, PyObject* match_arg, PyObject* method_arg,
                                               bool correlated) {
  const int matched = match_mode_of(match_arg);
  if (matched < 0) return std::nullopt;
  const std::optional<DecodeMethod> method = method_of(method_arg, matched);
  if (!method || !correlations_available(self, correlated)) return std::nullopt;
  return DecodeOptions{matched, *method};
}

}  // namespace

namespace {

// One shot's detection events (decode's argument) as fired detector indices; false with an
// exception set.
bool fired_of_events(const SpacetimeGraph& graph, PyObject* events_arg, bool bit_packed,
                     std::vector<std::uint32_t>& fired) {
  if (!ensure_numpy()) return false;
  const auto not_a_sequence = [&] {
    const std::string type_name = short_type_name(Py_TYPE(events_arg));
    raise_arg_error("detection_events",
                    "expected a sequence of 0/1 values, got '" + type_name + "'");
    return false;
  };
  if (PyUnicode_Check(events_arg) || PyBytes_Check(events_arg)) return not_a_sequence();
  // The entries' own type first: strings ("0" is a true value once cast) and other objects
  // are refused rather than counted as fired.
  PyRef natural(PyArray_FromAny(events_arg, nullptr, 0, 0, 0, nullptr));
  if (!natural) {
    PyErr_Clear();
    return not_a_sequence();
  }
  if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(natural.get())) == 0) return not_a_sequence();
  if (auto* entries = reinterpret_cast<PyArrayObject*>(natural.get());
      !PyArray_ISNUMBER(entries) && !PyArray_ISBOOL(entries)) {
    PyRef dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(entries))));
    const char* dtype_text = dtype ? PyUnicode_AsUTF8(dtype.get()) : nullptr;
    if (!dtype_text) return false;
    raise_arg_error("detection_events", "expected a sequence of 0/1 values, got '" +
                                            std::string(short_type_name(Py_TYPE(events_arg))) +
                                            "' with entries of dtype " + dtype_text);
    return false;
  }
  PyRef array(PyArray_FROMANY(natural.get(), bit_packed ? NPY_UINT8 : NPY_BOOL, 0, 0,
                              NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
  if (!array) return false;
  auto* arr = reinterpret_cast<PyArrayObject*>(array.get());
  if (PyArray_NDIM(arr) == 0) return not_a_sequence();
  if (PyArray_NDIM(arr) != 1) {
    const std::string text = "detection_events must be 1-D, got a " +
                             std::to_string(PyArray_NDIM(arr)) + "-D array";
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return false;
  }
  const npy_intp length = PyArray_DIM(arr, 0);
  const std::size_t detectors = detector_count(graph);
  if (!check_width("detection_events", bit_packed ? "bytes" : "entries", length, detectors, bit_packed)) {
    return false;
  }
  const ShotRows row{static_cast<const std::uint8_t*>(PyArray_DATA(arr)), 1, static_cast<std::size_t>(length),
                     0, 1, static_cast<bool>(bit_packed), detectors};
  row.fired_of(0, fired);
  return true;
}

}  // namespace

PyObject* graph_decode(PyObject* self, PyObject* args, PyObject* kwargs) {
  SharedBorrow borrow(borrow_of<GraphObjectState>(self));
  if (!borrow) return nullptr;
  const GraphHandle& graph = graph_of(self);
  static const char* kwlist[] = {"detection_events", "bit_packed_shots", "enable_correlations", "match_clusters",
                                 "method", "return_weight", nullptr};
  PyObject* events_arg = nullptr;
  int bit_packed = 0, correlated = 0, weight_out = 0;
  PyObject* match_arg = nullptr;
  PyObject* method_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$ppOOp:decode", const_cast<char**>(kwlist), &events_arg,
                                   &bit_packed, &correlated, &match_arg, &method_arg, &weight_out)) {
    return nullptr;
  }
  const std::optional<DecodeOptions> options = decode_options_of(self, match_arg, method_arg, correlated != 0);
  if (!options) return nullptr;
  const int matched = options->matched;
  const DecodeMethod method = options->method;
  if (!mask_form_fits(*graph, "decode's DecoderResult",
                      "decode_batch([detection_events])[0] holds every observable")) {
    return nullptr;
  }
  std::vector<std::uint32_t> fired;
  if (!fired_of_events(*graph, events_arg, bit_packed != 0, fired)) return nullptr;

  DecoderResultData result;
  result.num_observables = static_cast<std::uint16_t>(graph->num_observables);  // at most 64 (checked above)
  double weight = 0.0;
  // A quiet shot decodes to no flips unless the graph has a baseline correction.
  if (!fired.empty() || decoding_graph_of(self)->has_baseline()) {
    with_graph_decoder(self, [&](UnionFindDecoder& d) {
      d.set_cluster_matching(matched != 0, UnionFindDecoder::kDefaultMatchLimit, matched == 2);
      d.set_method(method);
      result.observable_flips = d.decode_detectors(fired, correlated != 0);
      result.valid = d.last_decode_neutral();
      weight = d.last_weight();
    });
    result.confidence = result.valid ? kConfidenceDecoded : kConfidenceUnsatisfiable;
  }
  PyRef decoded(new_decoder_result(std::move(result)));
  if (!decoded || !weight_out) return decoded.release();
  return Py_BuildValue("(Od)", decoded.get(), weight);
}

PyObject* graph_decode_to_edges(PyObject* self, PyObject* args, PyObject* kwargs) {
  SharedBorrow borrow(borrow_of<GraphObjectState>(self));
  if (!borrow) return nullptr;
  const GraphHandle& graph = graph_of(self);
  static const char* kwlist[] = {"detection_events", "bit_packed_shots", "enable_correlations", "method", nullptr};
  PyObject* events_arg = nullptr;
  int bit_packed = 0, correlated = 0;
  PyObject* method_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$ppO:decode_to_edges_array", const_cast<char**>(kwlist),
                                   &events_arg, &bit_packed, &correlated, &method_arg)) {
    return nullptr;
  }
  const std::optional<DecodeOptions> options = decode_options_of(self, nullptr, method_arg, correlated != 0);
  if (!options) return nullptr;
  const DecodeMethod method = options->method;
  std::vector<std::uint32_t> fired;
  if (!fired_of_events(*graph, events_arg, bit_packed != 0, fired)) return nullptr;
  const DecodingGraph& dg = *decoding_graph_of(self);
  std::vector<std::int64_t> ends;
  if (!fired.empty() || dg.has_baseline()) {
    with_graph_decoder(self, [&](UnionFindDecoder& d) {
      d.set_cluster_matching(false);
      d.set_method(method);
      d.decode_detectors(fired, correlated != 0);
      const std::int64_t boundary = -1;
      for (const std::uint32_t id : d.last_correction_edges()) {
        const DecodingGraph::EdgeId e = dg.decoding_edge_of(id);
        std::int64_t a, b;
        if (e != DecodingGraph::kNoEntry) {
          a = dg.edge(e).u;
          b = dg.edge(e).v == dg.boundary() ? boundary : std::int64_t{dg.edge(e).v};
        } else {  // an edge of p = 1, in the baseline correction as it is
          a = graph->edges[id].node_a;
          b = graph->edges[id].node_b < dg.node_count() ? std::int64_t{graph->edges[id].node_b} : boundary;
        }
        ends.push_back(a);
        ends.push_back(b);
      }
    });
  }
  npy_intp dims[2] = {static_cast<npy_intp>(ends.size() / 2), 2};
  PyRef out(PyArray_SimpleNew(2, dims, NPY_INT64));
  if (!out) return nullptr;
  if (!ends.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())), ends.data(),
                ends.size() * sizeof(std::int64_t));
  }
  return out.release();
}


PyObject* graph_decode_trace(PyObject* self, PyObject* arg) {
  SharedBorrow borrow(borrow_of<GraphObjectState>(self));
  if (!borrow) return nullptr;
  const GraphHandle& graph = graph_of(self);
  PyRef seq(PySequence_Fast(arg, "_decode_trace expects a sequence of fired detector indices"));
  if (!seq) return nullptr;
  std::vector<std::uint32_t> fired;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    const unsigned long index = PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(seq.get(), i));
    if (PyErr_Occurred()) return nullptr;
    if (index >= detector_count(*graph)) {
      PyErr_SetString(PyExc_ValueError, "_decode_trace: a detector index is beyond the graph");
      return nullptr;
    }
    fired.push_back(static_cast<std::uint32_t>(index));
  }
  std::uint64_t mask = 0;
  std::vector<std::uint32_t> edges;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> clusters;
  with_graph_decoder(self, [&](UnionFindDecoder& d) {
    d.record_clusters(true);
    mask = d.decode_detectors(fired);
    d.record_clusters(false);
    edges.assign(d.last_correction_edges().begin(), d.last_correction_edges().end());
    clusters.assign(d.last_clusters().begin(), d.last_clusters().end());
  });
  PyRef edge_list(PyList_New(static_cast<Py_ssize_t>(edges.size())));
  if (!edge_list) return nullptr;
  for (std::size_t i = 0; i < edges.size(); ++i) {
    const SpacetimeEdge& e = graph->edges[edges[i]];
    PyObject* item = Py_BuildValue("(kkd)", static_cast<unsigned long>(e.node_a),
                                   static_cast<unsigned long>(e.node_b), static_cast<double>(e.weight));
    if (!item) return nullptr;
    PyList_SET_ITEM(edge_list.get(), static_cast<Py_ssize_t>(i), item);
  }
  PyRef cluster_list(PyList_New(static_cast<Py_ssize_t>(clusters.size())));
  if (!cluster_list) return nullptr;
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    PyObject* item = Py_BuildValue("(kk)", static_cast<unsigned long>(clusters[i].first),
                                   static_cast<unsigned long>(clusters[i].second));
    if (!item) return nullptr;
    PyList_SET_ITEM(cluster_list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return Py_BuildValue("(KOO)", static_cast<unsigned long long>(mask), edge_list.get(), cluster_list.get());
}

PyObject* graph_decode_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  SharedBorrow borrow(borrow_of<GraphObjectState>(self));
  if (!borrow) return nullptr;
  const GraphHandle& graph = graph_of(self);
  static const char* kwlist[] = {"shots",       "bit_packed_shots", "bit_packed_predictions", "return_masks",
                                 "num_threads", "return_valid",     "enable_correlations",    "match_clusters",
                                 "method",      "return_weights",   nullptr};
  PyObject* shots_arg = nullptr;
  int packed_in = 0, packed_out = 0, masks_out = 0, valid_out = 0, correlated = 0, weights_out = 0;
  PyObject* match_arg = nullptr;
  PyObject* method_arg = nullptr;
  Py_ssize_t num_threads = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pppnppOOp:decode_batch", const_cast<char**>(kwlist),
                                   &shots_arg, &packed_in, &packed_out, &masks_out, &num_threads, &valid_out,
                                   &correlated, &match_arg, &method_arg, &weights_out)) {
    return nullptr;
  }
  const std::optional<DecodeOptions> options = decode_options_of(self, match_arg, method_arg, correlated != 0);
  if (!options) return nullptr;
  const int matched = options->matched;
  const DecodeMethod method = options->method;
  if (num_threads < 0) {
    raise_arg_error("num_threads", "expected 0 (every core) or a positive thread count, got " +
                                       std::to_string(num_threads));
    return nullptr;
  }
  if (!ensure_numpy()) return nullptr;
  PyRef bytes = shot_bytes("shots", shots_arg, packed_in);
  if (!bytes) return nullptr;
  auto* arr = reinterpret_cast<PyArrayObject*>(bytes.get());
  if (PyArray_NDIM(arr) != 2) {
    const std::string text = "shots must be a 2-D array (shots x detectors), got a " +
                             std::to_string(PyArray_NDIM(arr)) + "-D array";
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
  }
  const std::size_t detectors = detector_count(*graph);
  const npy_intp shot_count = PyArray_DIM(arr, 0);
  const npy_intp columns = PyArray_DIM(arr, 1);
  if (!check_width("shots", "columns", columns, detectors, packed_in)) return nullptr;
  if (masks_out && !mask_form_fits(*graph, "return_masks=True",
                                    "leave it off for a (shots, num_observables) prediction array")) {
    return nullptr;
  }
  const std::size_t observables = masks_out ? 0 : static_cast<std::size_t>(graph->num_observables);
  const bool wide = graph->num_observables > 64;
  const std::size_t out_columns = row_width(observables, packed_out);

  PyRef out;
  if (masks_out) {
    npy_intp dims[1] = {shot_count};
    out = PyRef(PyArray_SimpleNew(1, dims, NPY_UINT64));
  } else {
    npy_intp dims[2] = {shot_count, static_cast<npy_intp>(out_columns)};
    out = PyRef(PyArray_ZEROS(2, dims, NPY_UINT8, 0));
  }
  if (!out) return nullptr;
  void* out_data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get()));

  PyRef valid;
  if (valid_out) {
    npy_intp dims[1] = {shot_count};
    valid = PyRef(PyArray_SimpleNew(1, dims, NPY_BOOL));
    if (!valid) return nullptr;
  }
  PyRef weights;
  if (weights_out) {
    npy_intp dims[1] = {shot_count};
    weights = PyRef(PyArray_ZEROS(1, dims, NPY_FLOAT64, 0));
    if (!weights) return nullptr;
  }
  const ShotRows rows{static_cast<const std::uint8_t*>(PyArray_DATA(arr)),
                      static_cast<std::size_t>(shot_count),
                      static_cast<std::size_t>(columns),
                      PyArray_STRIDE(arr, 0),
                      PyArray_STRIDE(arr, 1),
                      static_cast<bool>(packed_in),
                      detectors};
  const auto shots = static_cast<std::size_t>(shot_count);
  std::vector<std::uint64_t> mask_buffer;
  std::vector<ObservableBits> bits_buffer;  // graphs of more than 64 observables
  try {
    if (!masks_out) mask_buffer.resize(shots);
    if (wide) bits_buffer.resize(shots);
  } catch (const std::bad_alloc&) {
    return raise_no_memory("the predictions (SpacetimeGraph.decode_batch)");
  }
  const BatchOutput batch_out{
      masks_out ? std::span<std::uint64_t>(static_cast<std::uint64_t*>(out_data), shots) : mask_buffer,
      valid ? std::span<std::uint8_t>(static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(valid.get()))), shots)
            : std::span<std::uint8_t>(),
      bits_buffer,
      weights ? std::span<double>(static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(weights.get()))), shots)
              : std::span<double>()};
  // Other Python threads run meanwhile; nothing may throw out of the block, since the
  // interpreter lock must be taken back first.
  bool out_of_memory = false;
  bool completed = true;
  DecoderPool& pool = native_of<GraphObjectState>(self).decoders;
  PyThreadState* saved = PyEval_SaveThread();
  {
    // Ctrl-C stops a long batch: signal handlers run with the lock taken back briefly.
    struct : BatchInterrupt {
      PyThreadState** saved = nullptr;
      bool interrupted() override { return run_signal_handlers(*saved); }
    } interrupt;
    interrupt.saved = &saved;
    try {
      completed = decode_batch(pool, rows, batch_out, static_cast<unsigned>(std::min<Py_ssize_t>(num_threads, 1024)),
                               &interrupt, correlated != 0, matched != 0, matched == 2, method);
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
  }
  PyEval_RestoreThread(saved);
  if (!completed) return nullptr;  // a signal handler raised (KeyboardInterrupt)
  if (out_of_memory) return raise_no_memory("the decoder scratch state (SpacetimeGraph.decode_batch)");
  auto* rows_out = static_cast<std::uint8_t*>(out_data);
  if (wide) {
    write_prediction_rows(bits_buffer, observables, packed_out, rows_out);
  } else if (!masks_out) {
    write_prediction_rows(mask_buffer, observables, packed_out, rows_out);
  }
  if (valid_out && weights_out) return PyTuple_Pack(3, out.get(), valid.get(), weights.get());
  if (valid_out) return PyTuple_Pack(2, out.get(), valid.get());
  if (weights_out) return PyTuple_Pack(2, out.get(), weights.get());
  return out.release();
}

PyObject* graph_from_detector_error_model(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"dem", "enable_correlations", nullptr};
  PyObject* dem_arg = nullptr;
  int correlations = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:from_detector_error_model", const_cast<char**>(kwlist),
                                   &dem_arg, &correlations)) {
    return nullptr;
  }
  GraphHandle graph = graph_from_object(dem_arg, correlations != 0);
  if (!graph) return nullptr;
  return new_spacetime_graph(std::move(graph));
}

PyObject* graph_from_stim_circuit(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"circuit", "enable_correlations", nullptr};
  PyObject* circuit = nullptr;
  int correlations = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:from_stim_circuit", const_cast<char**>(kwlist), &circuit,
                                   &correlations)) {
    return nullptr;
  }
  if (!PyObject_HasAttrString(circuit, "detector_error_model")) {
    raise_arg_error("circuit", not_instance_reason(circuit, "stim.Circuit"));
    return nullptr;
  }
  PyRef dem(circuit_model(circuit));
  if (!dem) return nullptr;
  GraphHandle graph = graph_from_object(dem.get(), correlations != 0);
  if (!graph) return nullptr;
  return new_spacetime_graph(std::move(graph));
}

PyObject* graph_from_dem_file(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* path_arg = nullptr;
  if (!bind_args("from_detector_error_model_file", args, kwargs, {"path"}, 1, &path_arg)) return nullptr;
  PyObject* encoded_raw = nullptr;
  if (!PyUnicode_FSConverter(path_arg, &encoded_raw)) return nullptr;
  PyRef encoded(encoded_raw);
  std::string text;
  if (!read_utf8_file(PyBytes_AS_STRING(encoded.get()), text)) return nullptr;
  std::optional<DetectorErrorModel> model = parse_model(text);
  if (!model) return nullptr;
  GraphHandle graph = graph_from_model(*model);
  if (!graph) return nullptr;
  return new_spacetime_graph(std::move(graph));
}

PyObject* dem_to_graph(PyObject* self, PyObject*) {
  SharedBorrow borrow(borrow_of<DetectorErrorModel>(self));
  if (!borrow) return nullptr;
  GraphHandle graph = graph_from_model(dem_of(self));
  if (!graph) return nullptr;
  return new_spacetime_graph(std::move(graph));
}

}  // namespace kelvane::py
