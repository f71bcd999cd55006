// SpacetimeGraph.decode_sliding: shots decoded in overlapping windows of commit + buffer rounds,
// the way a stream that never ends is decoded.
#include "kelvane/py/graph_sliding.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelvane/decoder/batch_decode.h"
#include "kelvane/decoder/sliding_pool.h"
#include "kelvane/decoder/sliding_window.h"
#include "kelvane/py/args.h"
#include "kelvane/py/borrow.h"
#include "kelvane/py/dem_source.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/graph_object.h"
#include "kelvane/py/method_arg.h"
#include "kelvane/py/numpy_api.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/sliding_decoder_object.h"

namespace kelvane::py {

const char* const kGraphDecodeSlidingDoc =
    "decode_sliding($self, detection_events, *, commit, buffer, num_threads=1,\n"
    "               enable_correlations=False, method=\"union-find\")\n--\n\n"
    "Decode shots in overlapping windows, as a stream of rounds is decoded in real time.\n\n"
    "detection_events is a 2-D numpy array, one row per shot and one column per detector (any\n"
    "integer, bool or float dtype; any non-zero entry counts as fired). Detectors are put in\n"
    "rounds by their time coordinate (their last declared coordinate). Each window of\n"
    "commit + buffer rounds is decoded with Union-Find; the correction on its first `commit`\n"
    "rounds is kept, its effect on later rounds carried into the next window, and the window\n"
    "slides by `commit`; the rounds left at the end are decoded as one window. With a buffer\n"
    "as long as the shot this is decode_batch. The graph keeps its round split and its window\n"
    "decoders between calls. num_threads (0: one per core) gives the batch more threads: with\n"
    "at least 32 shots per thread the shots are split over the threads and the predictions are\n"
    "one thread's; with fewer (one long shot, say) each shot is decoded in parallel windows\n"
    "over the threads, as sliding_decoder(num_threads=) decodes a stream. enable_correlations=True decodes\n"
    "each window in two passes, as decode(..., enable_correlations=True) does, committing the\n"
    "second pass's correction; the graph must be built with enable_correlations=True (ValueError\n"
    "otherwise). method=\"matching\" decodes each window by exact minimum-weight perfect\n"
    "matching instead of Union-Find (correlated matching with enable_correlations=True); with a\n"
    "buffer as long as the shot this is decode_batch(..., method=\"matching\").\n\n"
    "Returns a (shots, num_observables) uint8 array of 0/1 predictions, like decode_batch.";

PyObject* graph_decode_sliding(PyObject* self, PyObject* args, PyObject* kwargs) {
  SharedBorrow borrow(borrow_of<GraphObjectState>(self));
  if (!borrow) return nullptr;
  const GraphHandle& graph = graph_of(self);
  static const char* kwlist[] = {"detection_events",    "commit", "buffer", "num_threads",
                                 "enable_correlations", "method", nullptr};
  PyObject* events_arg = nullptr;
  PyObject* commit_arg = nullptr;
  PyObject* buffer_arg = nullptr;
  Py_ssize_t num_threads = 1;
  int correlated = 0;
  PyObject* method_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOnpO:decode_sliding", const_cast<char**>(kwlist), &events_arg,
                                   &commit_arg, &buffer_arg, &num_threads, &correlated, &method_arg)) {
    return nullptr;
  }
  DecodeMethod method = DecodeMethod::kUnionFind;
  if (!arg_method(method_arg, method)) return nullptr;
  if (correlated && !graph->keeps_mechanisms) {
    PyErr_SetString(PyExc_ValueError, kNoCorrelationsText);
    return nullptr;
  }
  if (num_threads < 0) {
    raise_arg_error("num_threads", "expected 0 (every core) or a positive thread count, got " +
                                       std::to_string(num_threads));
    return nullptr;
  }
  if (!commit_arg || !buffer_arg) {
    PyErr_SetString(PyExc_TypeError, "decode_sliding() needs the keywords 'commit' and 'buffer'");
    return nullptr;
  }
  std::uint32_t commit = 0, buffer = 0;
  if (!arg_u32("commit", commit_arg, commit) || !arg_u32("buffer", buffer_arg, buffer)) return nullptr;
  if (!ensure_numpy()) return nullptr;
  if (!PyArray_Check(events_arg)) {
    raise_arg_error("detection_events", not_instance_reason(events_arg, "numpy.ndarray"));
    return nullptr;
  }
  const int type = PyArray_TYPE(reinterpret_cast<PyArrayObject*>(events_arg));
  if (!PyTypeNum_ISINTEGER(type) && !PyTypeNum_ISFLOAT(type) && type != NPY_BOOL) {
    raise_arg_error("detection_events", "expected an array of integer, bool or float dtype");
    return nullptr;
  }
  PyRef bools(PyArray_FROMANY(events_arg, NPY_BOOL, 0, 0, NPY_ARRAY_FORCECAST));
  if (!bools) return nullptr;
  auto* arr = reinterpret_cast<PyArrayObject*>(bools.get());
  const std::size_t detectors = static_cast<std::size_t>(graph->boundary);
  if (PyArray_NDIM(arr) != 2 || static_cast<std::size_t>(PyArray_DIM(arr, 1)) != detectors) {
    const std::string text = "detection_events must be a 2-D array (shots x " + std::to_string(detectors) +
                             " detectors)";
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
  }
  const bool wide = graph->num_observables > 64;
  const auto observables = static_cast<std::size_t>(graph->num_observables);
  SlidingDecoderPool& pool = native_of<GraphObjectState>(self).sliding;

  const npy_intp shots = PyArray_DIM(arr, 0);
  npy_intp dims[2] = {shots, static_cast<npy_intp>(observables)};
  PyRef out(PyArray_ZEROS(2, dims, NPY_UINT8, 0));
  if (!out) return nullptr;
  auto* predictions = static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
  // Booleans are bytes of 0 or 1: the rows are read as batch decoding reads them.
  const ShotRows rows{static_cast<const std::uint8_t*>(PyArray_DATA(arr)),
                      static_cast<std::size_t>(shots),
                      detectors,
                      PyArray_STRIDE(arr, 0),
                      PyArray_STRIDE(arr, 1),
                      false,
                      detectors};

  std::string failure;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    std::vector<std::uint64_t> masks(static_cast<std::size_t>(shots));
    std::vector<ObservableBits> bits(wide ? masks.size() : 0);
    auto done = decode_sliding_batch(pool, rows, masks, commit, buffer,
                                     static_cast<unsigned>(std::min<Py_ssize_t>(num_threads, 1024)), correlated != 0,
                                     bits, method);
    if (!done) {
      failure = done.error().to_string();
    } else if (wide) {
      write_prediction_rows(bits, observables, false, predictions);
    } else {
      for (std::size_t s = 0; s < masks.size(); ++s) {
        std::uint8_t* out_row = predictions + s * observables;
        for (std::uint64_t m = masks[s]; m; m &= m - 1) {
          const auto k = static_cast<std::size_t>(std::countr_zero(m));
          if (k < observables) out_row[k] = 1;
        }
      }
    }
  } catch (const std::bad_alloc&) {  // nothing may leave with the interpreter lock released
    out_of_memory = true;
  } catch (const std::exception& e) {
    failure = e.what();
  }
  Py_END_ALLOW_THREADS
  if (out_of_memory) return raise_no_memory("the sliding-window decoding state");
  if (!failure.empty()) {
    PyErr_SetString(PyExc_ValueError, failure.c_str());
    return nullptr;
  }
  return out.release();
}

}  // namespace kelvane::py
