// The SlidingWindowDecoder class: a stream of rounds pushed from NumPy, decoded in windows as it
// grows, made by SpacetimeGraph.sliding_decoder. Methods that change the stream take the object
// exclusively; the others take it shared.
#include "kelvane/py/sliding_decoder_object.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kelvane/core/observable_bits.h"
#include "kelvane/decoder/cores.h"
#include "kelvane/decoder/sliding_window.h"
#include "kelvane/py/args.h"
#include "kelvane/py/dem_source.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/frame_object.h"
#include "kelvane/py/graph_object.h"
#include "kelvane/py/method_arg.h"
#include "kelvane/py/native_object.h"
#include "kelvane/py/numpy_api.h"
#include "kelvane/py/py_ref.h"

namespace kelvane::py {

const char* const kGraphSlidingDecoderDoc =
    "sliding_decoder($self, *, commit, buffer, enable_correlations=False, num_threads=1,\n"
    "                method=\"union-find\")\n--\n\n"
    "A SlidingWindowDecoder over this graph's model: rounds pushed as they arrive are decoded\n"
    "in windows of commit + buffer rounds, committing `commit` rounds at a time. Detectors are\n"
    "put in rounds by their time coordinate; a round's columns are its detectors in id order.\n"
    "The model's first and last rounds stay first and last, its middle block of `period`\n"
    "rounds repeats for as long as the stream runs. enable_correlations=True decodes each window\n"
    "in two passes, as decode(..., enable_correlations=True) does, committing the second pass's\n"
    "correction; the graph must be built with enable_correlations=True (ValueError otherwise).\n"
    "With num_threads above 1 (0: one per core) the stream is decoded in parallel windows on\n"
    "that many threads: windows over cores of `commit` rounds, with `buffer` rounds on either\n"
    "side, run at once and flip the detectors of the gaps between cores that their corrections\n"
    "touch; the gaps are decoded next, also at once. The predictions are the same for any count\n"
    "above 1, but not those of one thread. Rounds pushed in large blocks keep both threads busy;\n"
    "commits come a few windows later. method=\"matching\" decodes each window by exact\n"
    "minimum-weight perfect matching instead of Union-Find (correlated matching with\n"
    "enable_correlations=True).";

namespace {

struct SlidingState {
  SlidingState(SlidingWindowDecoder d, std::uint64_t observables) : decoder(std::move(d)), num_observables(observables) {}
  SlidingWindowDecoder decoder;
  std::uint64_t num_observables;  // the model's
  std::vector<RoundSlot> slots;  // one round's fired slots, reused
};
using PySlidingDecoder = NativeObject<SlidingState>;

SlidingState& state_of(PyObject* self) { return native_of<SlidingState>(self); }

PyObject* raise_value(const SlidingWindowError& e) {
  PyErr_SetString(PyExc_ValueError, e.to_string().c_str());
  return nullptr;
}

PyObject* sliding_start(PyObject* self, PyObject* args, PyObject* kwargs) {
  ExclusiveBorrow b(borrow_of<SlidingState>(self));
  if (!b) return nullptr;
  PyObject* rounds_arg = nullptr;
  if (!bind_args("start", args, kwargs, {"rounds"}, 0, &rounds_arg)) return nullptr;
  std::optional<RoundIndex> rounds;
  if (rounds_arg && rounds_arg != Py_None) {
    std::uint64_t n = 0;
    if (!arg_u64("rounds", rounds_arg, n)) return nullptr;
    rounds = n;
  }
  if (auto started = state_of(self).decoder.start(rounds); !started) return raise_value(started.error());
  Py_RETURN_NONE;
}

PyObject* sliding_push_rounds(PyObject* self, PyObject* args, PyObject* kwargs) {
  ExclusiveBorrow b(borrow_of<SlidingState>(self));
  if (!b) return nullptr;
  PyObject* events_arg = nullptr;
  if (!bind_args("push_rounds", args, kwargs, {"events"}, 1, &events_arg)) return nullptr;
  if (!ensure_numpy()) return nullptr;
  // The entries' own type first: strings ("0" is a true value once cast) and other objects are
  // refused rather than counted as fired.
  PyRef natural(PyArray_FromAny(events_arg, nullptr, 0, 0, 0, nullptr));
  if (!natural) return nullptr;
  auto* entries = reinterpret_cast<PyArrayObject*>(natural.get());
  if (!PyArray_ISINTEGER(entries) && !PyArray_ISFLOAT(entries) && !PyArray_ISBOOL(entries)) {
    PyRef dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(entries))));
    const char* dtype_text = dtype ? PyUnicode_AsUTF8(dtype.get()) : nullptr;
    if (!dtype_text) return nullptr;
    raise_arg_error("events", std::string("expected an array of integer, bool or float dtype, got ") + dtype_text);
    return nullptr;
  }
  SlidingState& state = state_of(self);
  const std::uint32_t width = state.decoder.model().max_round_size();
  if (PyArray_NDIM(entries) != 2 || PyArray_DIM(entries, 1) != static_cast<npy_intp>(width)) {
    const std::string got = PyArray_NDIM(entries) == 2 ? std::to_string(PyArray_DIM(entries, 1)) + " columns"
                                                       : "a " + std::to_string(PyArray_NDIM(entries)) + "-D array";
    const std::string text = "events must be a 2-D array of rounds x " + std::to_string(width) +
                             " detector slots (the model's largest round), got " + got;
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
  }
  PyRef bools(PyArray_FROMANY(natural.get(), NPY_BOOL, 2, 2, NPY_ARRAY_FORCECAST));
  if (!bools) return nullptr;
  auto* arr = reinterpret_cast<PyArrayObject*>(bools.get());
  const npy_intp rounds = PyArray_DIM(arr, 0);
  const auto* base = static_cast<const std::uint8_t*>(PyArray_DATA(arr));
  const npy_intp row_stride = PyArray_STRIDE(arr, 0);
  const npy_intp column_stride = PyArray_STRIDE(arr, 1);
  const auto fired_of = [&](npy_intp r) {
    state.slots.clear();
    const std::uint8_t* row = base + r * row_stride;
    for (npy_intp k = 0; k < static_cast<npy_intp>(width); ++k) {
      if (row[k * column_stride]) state.slots.push_back(static_cast<RoundSlot>(k));
    }
  };
  std::uint64_t steps = 0;
  std::optional<SlidingWindowError> failure;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    // Every row is checked before any is added, so that a refused call adds nothing.
    const RoundIndex first = state.decoder.received_rounds();
    for (npy_intp r = 0; r < rounds && !failure; ++r) {
      fired_of(r);
      if (auto fits = state.decoder.check_round(first + static_cast<RoundIndex>(r), state.slots); !fits) {
        failure = fits.error();
      }
    }
    state.decoder.begin_block();
    for (npy_intp r = 0; r < rounds && !failure; ++r) {
      fired_of(r);
      auto stepped = state.decoder.push_round(state.slots);
      if (!stepped) {
        failure = stepped.error();
        break;
      }
      steps += *stepped;
    }
    steps += state.decoder.end_block();
  } catch (const std::bad_alloc&) {  // nothing may leave with the interpreter lock released
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (out_of_memory) return raise_no_memory("the round ring (SlidingWindowDecoder.push_rounds)");
  if (failure) return raise_value(*failure);
  return PyLong_FromUnsignedLongLong(steps);
}

// The committed flips as a 64-bit mask; ValueError for a model of more than 64 observables.
PyObject* committed_mask(const SlidingState& state) {
  if (auto error = mask_form_error(state.num_observables, "SlidingWindowDecoder.committed_flips",
                                   "read committed_flips_array")) {
    PyErr_SetString(PyExc_ValueError, error->c_str());
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(state.decoder.committed_flips());
}

// Commits every round left whatever the model's width; only then may the mask be refused.
PyObject* sliding_finish(PyObject* self, PyObject*) {
  ExclusiveBorrow b(borrow_of<SlidingState>(self));
  if (!b) return nullptr;
  if (auto done = state_of(self).decoder.finish(); !done) return raise_value(done.error());
  return committed_mask(state_of(self));
}

PyObject* sliding_committed_flips(PyObject* self, void*) {
  SharedBorrow b(borrow_of<SlidingState>(self));
  if (!b) return nullptr;
  return committed_mask(state_of(self));
}

PyObject* sliding_committed_flips_array(PyObject* self, void*) {
  SharedBorrow b(borrow_of<SlidingState>(self));
  if (!b) return nullptr;
  const SlidingState& state = state_of(self);
  return observable_flips_array(state.decoder.committed_bits(), static_cast<std::size_t>(state.num_observables));
}

PyObject* sliding_stats(PyObject* self, PyObject*) {
  SharedBorrow b(borrow_of<SlidingState>(self));
  if (!b) return nullptr;
  return sliding_stats_dict(state_of(self).decoder.stats());
}

template <auto Field>
PyObject* sliding_number(PyObject* self, void*) {
  SharedBorrow b(borrow_of<SlidingState>(self));
  if (!b) return nullptr;
  return PyLong_FromUnsignedLongLong(Field(state_of(self).decoder));
}

PyObject* sliding_round_sizes(PyObject* self, void*) {
  SharedBorrow b(borrow_of<SlidingState>(self));
  if (!b) return nullptr;
  const SlidingWindowModel& m = state_of(self).decoder.model();
  PyRef list(PyList_New(m.round_count()));
  if (!list) return nullptr;
  for (ModelRound r = 0; r < m.round_count(); ++r) {
    PyObject* n = PyLong_FromUnsignedLong(m.round_size(r));
    if (!n) return nullptr;
    PyList_SET_ITEM(list.get(), r, n);
  }
  return list.release();
}

constexpr auto committed_rounds = [](const SlidingWindowDecoder& d) -> unsigned long long { return d.committed_rounds(); };
constexpr auto received_rounds = [](const SlidingWindowDecoder& d) -> unsigned long long { return d.received_rounds(); };
constexpr auto head_rounds = [](const SlidingWindowDecoder& d) -> unsigned long long { return d.model().head_rounds(); };
constexpr auto period = [](const SlidingWindowDecoder& d) -> unsigned long long { return d.model().period(); };
constexpr auto tail_rounds = [](const SlidingWindowDecoder& d) -> unsigned long long { return d.model().tail_rounds(); };

PyObject* sliding_repr(PyObject* self) {
  SharedBorrow b(borrow_of<SlidingState>(self));
  if (!b) return nullptr;
  const SlidingWindowDecoder& d = state_of(self).decoder;
  const std::string text = "SlidingWindowDecoder(commit=" + std::to_string(d.commit()) +
                           ", buffer=" + std::to_string(d.buffer()) +
                           ", model_rounds=" + std::to_string(d.model().round_count()) +
                           ", period=" + std::to_string(d.model().period()) +
                           ", received_rounds=" + std::to_string(d.received_rounds()) +
                           ", committed_rounds=" + std::to_string(d.committed_rounds()) + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyGetSetDef sliding_getset[] = {
    {"committed_flips", guarded<"SlidingWindowDecoder.committed_flips", sliding_committed_flips>, nullptr,
     "Observable flips committed so far in the current stream (bit k: observable k).", nullptr},
    {"committed_flips_array", guarded<"SlidingWindowDecoder.committed_flips_array", sliding_committed_flips_array>,
     nullptr,
     "Every observable's committed flips so far in the current stream: a uint8 array with one\n"
     "entry per observable of the model (up to 256; committed_flips holds observables 0 to 63 and\n"
     "refuses a wider model).",
     nullptr},
    {"committed_rounds", guarded<"SlidingWindowDecoder.committed_rounds", sliding_number<committed_rounds>>,
     nullptr, "Rounds committed so far.", nullptr},
    {"received_rounds", guarded<"SlidingWindowDecoder.received_rounds", sliding_number<received_rounds>>, nullptr,
     "Rounds pushed so far.", nullptr},
    {"head_rounds", guarded<"SlidingWindowDecoder.head_rounds", sliding_number<head_rounds>>, nullptr,
     "The model's first rounds that differ from its repeated round.", nullptr},
    {"tail_rounds", guarded<"SlidingWindowDecoder.tail_rounds", sliding_number<tail_rounds>>, nullptr,
     "The model's last rounds that differ from its repeated round.", nullptr},
    {"period", guarded<"SlidingWindowDecoder.period", sliding_number<period>>, nullptr,
     "The length in rounds of the model's repeating block; a stream's length differs from the\n"
     "model's by whole periods.", nullptr},
    {"round_sizes", guarded<"SlidingWindowDecoder.round_sizes", sliding_round_sizes>, nullptr,
     "The detector count of each round of the model.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef sliding_methods[] = {
    {"start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the stream (SlidingWindowDecoder.start)", sliding_start>)),
     METH_VARARGS | METH_KEYWORDS,
     "start($self, rounds=None)\n--\n\nStart a new stream of `rounds` rounds (None: it ends at finish())."},
    {"push_rounds",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the windows (SlidingWindowDecoder.push_rounds)", sliding_push_rounds>)),
     METH_VARARGS | METH_KEYWORDS,
     "push_rounds($self, events)\n--\n\nAdd rounds: a 2-D array of integer, bool or float dtype, one row per round\n"
     "and max(round_sizes) columns, column k the round's k-th detector (non-zero: fired; columns\n"
     "past a round's size must be 0). Decodes every window that became complete; returns how\n"
     "many commit steps ran. A stream of known length finishes with its last round."},
    {"finish", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the last window (SlidingWindowDecoder.finish)", sliding_finish>)),
     METH_NOARGS,
     "finish($self)\n--\n\nEnd a stream of unknown length: decode the rest whole; returns the committed flips."},
    {"stats", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the statistics (SlidingWindowDecoder.stats)", sliding_stats>)),
     METH_NOARGS,
     "stats($self)\n--\n\nWhat the decoder measured: rounds committed, windows decoded, window graphs\n"
     "built and the time that took (ns), rounds per second of decoding time (builds left out),\n"
     "median, 99.9th percentile and worst time per commit step (ns)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sliding_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A sliding-window Union-Find decoder over one model (SpacetimeGraph.sliding_decoder):\n"
                    "start() a stream, push_rounds() rounds as they arrive, finish() a stream of\n"
                    "unknown length. Each window of commit + buffer rounds is decoded, its first\n"
                    "`commit` rounds' correction kept (committed_flips) and the window slid on.")},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<"the repr (SlidingWindowDecoder)", sliding_repr>)},
    {Py_tp_getset, sliding_getset},
    {Py_tp_methods, sliding_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc<SlidingState>)},
    {0, nullptr},
};

PyType_Spec sliding_spec = {
    "SlidingWindowDecoder",
    sizeof(PySlidingDecoder),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    sliding_slots,
};

}  // namespace

std::optional<SlidingWindowDecoder> make_sliding_decoder(SlidingDecoderPool& pool, PyObject* commit_arg,
                                                         PyObject* buffer_arg, bool correlated, unsigned threads,
                                                         DecodeMethod method) {
  std::uint32_t commit = 0, buffer = 0;
  if (!arg_u32("commit", commit_arg, commit) || !arg_u32("buffer", buffer_arg, buffer)) return std::nullopt;
  auto model = pool.model();
  if (!model) {
    raise_value(model.error());
    return std::nullopt;
  }
  auto decoder = SlidingWindowDecoder::create(std::move(*model), commit, buffer, correlated, threads, method);
  if (!decoder) {
    raise_value(decoder.error());
    return std::nullopt;
  }
  return std::move(*decoder);
}

PyObject* graph_sliding_decoder(PyObject* self, PyObject* args, PyObject* kwargs) {
  SharedBorrow borrow(borrow_of<GraphObjectState>(self));
  if (!borrow) return nullptr;
  static const char* kwlist[] = {"commit", "buffer", "enable_correlations", "num_threads", "method", nullptr};
  PyObject* commit_arg = nullptr;
  PyObject* buffer_arg = nullptr;
  int correlated = 0;
  Py_ssize_t num_threads = 1;
  PyObject* method_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOpnO:sliding_decoder", const_cast<char**>(kwlist), &commit_arg,
                                   &buffer_arg, &correlated, &num_threads, &method_arg)) {
    return nullptr;
  }
  DecodeMethod method = DecodeMethod::kUnionFind;
  if (!arg_method(method_arg, method)) return nullptr;
  if (num_threads < 0) {
    raise_arg_error("num_threads", "expected 0 (every core) or a positive thread count, got " +
                                       std::to_string(num_threads));
    return nullptr;
  }
  if (correlated && !graph_of(self)->keeps_mechanisms) {
    PyErr_SetString(PyExc_ValueError, kNoCorrelationsText);
    return nullptr;
  }
  if (!commit_arg || !buffer_arg) {
    PyErr_SetString(PyExc_TypeError, "sliding_decoder() needs the keywords 'commit' and 'buffer'");
    return nullptr;
  }
  const unsigned threads =
      num_threads == 0 ? usable_cores() : static_cast<unsigned>(std::min<Py_ssize_t>(num_threads, 1024));
  auto decoder = make_sliding_decoder(native_of<GraphObjectState>(self).sliding, commit_arg, buffer_arg,
                                      correlated != 0, threads, method);
  if (!decoder) return nullptr;
  static PyTypeObject* type = nullptr;
  if (!make_type_once(type, &sliding_spec)) return nullptr;
  return new_native<SlidingState>(type, std::move(*decoder), graph_of(self)->num_observables);
}

PyObject* sliding_stats_dict(const SlidingWindowStats& s) {
  return Py_BuildValue("{sKsKsKsKsdsKsKsK}", "rounds", static_cast<unsigned long long>(s.rounds), "windows",
                       static_cast<unsigned long long>(s.windows), "window_graphs",
                       static_cast<unsigned long long>(s.window_graphs), "build_ns",
                       static_cast<unsigned long long>(s.build_ns), "rounds_per_second",
                       s.rounds_per_second(), "median_step_ns",
                       static_cast<unsigned long long>(s.step.median_ns()), "p999_step_ns",
                       static_cast<unsigned long long>(s.step.quantile_ns(0.999)), "worst_step_ns",
                       static_cast<unsigned long long>(s.step.worst_ns()));
}

}  // namespace kelvane::py
