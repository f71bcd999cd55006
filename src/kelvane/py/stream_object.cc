// The KelvaneStream class: opens a file or a TCP connection on the process's shared I/O runtime,
// and yields validated SyndromeFrame objects, decoded when a decoder has been configured.
//
// Waiting for data happens without the interpreter lock, checking for signals every 50 ms: a
// KeyboardInterrupt (or any exception a signal handler raises) propagates and the stream stays
// usable, the interrupted frame being read again by the next call; so does TimeoutError after
// `timeout` seconds. The stream's methods take turns: another thread's call waits for the
// current one to end, except close(), which first cancels a wait in flight (that call then
// fails as on a closed stream). A call from the thread that holds the turn (a signal handler,
// a __str__ run by set_decoder) is refused with the borrow error.
#include <Python.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kelvane/py/args.h"
#include "kelvane/py/batch_object.h"
#include "kelvane/py/description_object.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/frame_object.h"
#include "kelvane/py/interpreter_wait.h"
#include "kelvane/py/native_object.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/sliding_decoder_object.h"
#include "kelvane/py/stream_live.h"
#include "kelvane/py/stream_state.h"
#include "kelvane/py/turn.h"
#include "kelvane/py/types.h"
#include "kelvane/source/file_source.h"
#include "kelvane/source/runtime.h"
#include "kelvane/source/tcp_source.h"
#include "kelvane/source/wait.h"
#include "kelvane/streaming/live_decoder.h"
#include "kelvane/streaming/windowed_frames.h"

namespace kelvane::py {
namespace {

constexpr std::string_view kShmPrefix = "shm://";
constexpr std::string_view kTcpPrefix = "tcp://";
constexpr const char* kShmRefusal =
    "shm:// transport is not available in the Python bindings; use the C FFI kelvane_shm_open for SHM access";


// The exception for a call that stopped waiting, unless a signal handler has set one.
void raise_stopped(const WaitContext& ctx, const StreamState& st, const char* what) {
  if (ctx.stop == WaitStop::timed_out) {
    char text[96];
    std::snprintf(text, sizeof text, "timed out after %g s %s", *st.timeout, what);
    raise_stream_error(PyExc_TimeoutError, text);
  } else if (ctx.stop == WaitStop::cancelled) {
    raise_stream_error(PyExc_OSError, "stream is closed");
  } else if (!PyErr_Occurred()) {
    raise_stream_error(PyExc_OSError, "interrupted");
  }
}

// `source` as the bytes of a path or address: a str (encoded as os.fsencode does) or an
// os.PathLike; bytes themselves are refused.
bool source_bytes(PyObject* source, std::string& out) {
  PyRef path;
  if (PyUnicode_Check(source)) {
    path = PyRef(Py_NewRef(source));
  } else if (!PyBytes_Check(source) && PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(source)), "__fspath__")) {
    path = PyRef(PyOS_FSPath(source));
    if (!path) return false;
  } else {
    raise_arg_error("source", not_instance_reason(source, "str"));
    return false;
  }
  PyRef encoded(PyUnicode_Check(path.get()) ? PyUnicode_EncodeFSDefault(path.get()) : Py_NewRef(path.get()));
  if (!encoded) return false;
  out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  return true;
}

bool timeout_arg(PyObject* o, std::optional<double>& out) {
  if (!o || o == Py_None) return true;
  double t = 0;
  if (!arg_f64("timeout", o, t)) return false;
  if (!(t >= 0) || std::isinf(t)) {
    PyErr_SetString(PyExc_ValueError, "timeout must be a non-negative number of seconds or None");
    return false;
  }
  out = t;
  return true;
}

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[2] = {};
  // Options past `source` are keyword-only.
  if (!bind_args("KelvaneStream", args, kwargs, {"source", "timeout"}, 1, bound, 1)) return nullptr;
  std::string source;
  if (!source_bytes(bound[0], source)) return nullptr;
  std::optional<double> timeout;
  if (!timeout_arg(bound[1], timeout)) return nullptr;
  std::string_view text(source);
  if (text.starts_with(kShmPrefix)) {
    PyErr_SetString(PyExc_ValueError, kShmRefusal);
    return nullptr;
  }

  Result<std::shared_ptr<Runtime>> runtime = Runtime::shared();
  if (!runtime) {
    const KelvaneError& e = runtime.error();
    raise_stream_error(PyExc_OSError, e.is<errors::Io>() ? io_source_text(e.as<errors::Io>()) : e.to_string());
    return nullptr;
  }

  PyObject* self = new_native<StreamState>(type);
  if (!self) return nullptr;
  PyRef owned(self);
  StreamState& st = state_of(self);
  st.timeout = timeout;
  ReleaseInterpreter hooks;
  WaitContext ctx = st.wait_context(hooks);
  const bool tcp = text.starts_with(kTcpPrefix);
  Result<std::unique_ptr<FrameSource>> opened = [&]() -> Result<std::unique_ptr<FrameSource>> {
    if (tcp) {
      // A repeated prefix ("tcp://tcp://host:port") is stripped as often as it appears.
      while (text.starts_with(kTcpPrefix)) text.remove_prefix(kTcpPrefix.size());
      auto conn = TcpSource::connect(*runtime, text, {}, ctx);
      if (!conn) return fail(std::move(conn.error()));
      return std::unique_ptr<FrameSource>(std::move(*conn));
    }
    auto file = FileSource::open(*runtime, source, {}, ctx);
    if (!file) return fail(std::move(file.error()));
    return std::unique_ptr<FrameSource>(std::move(*file));
  }();
  if (!opened) {
    if (ctx.stop != WaitStop::none) {
      raise_stopped(ctx, st, tcp ? "connecting" : "opening");
    } else {
      raise_os_error(opened.error());
    }
    return nullptr;
  }
  st.source = std::move(*opened);
  st.name = source;
  return owned.release();
}


PyObject* stream_iter(PyObject* self) {
  TurnGuard turn(state_of(self).turn, "Already mutably borrowed");
  if (!turn) return nullptr;
  return Py_NewRef(self);
}

// What every read checks first: a stream inherited through fork() fails with its source's
// error, and a stream that another call holds or that is closed raises as well. The state, or
// nullptr with an exception set; `turn` then holds the stream for the caller.
StreamState* state_for_read(PyObject* self, std::optional<TurnGuard>& turn) {
  StreamState& st = state_of(self);
  if (inherited(st)) {
    raise_os_error(st.source->next_owned().error());
    return nullptr;
  }
  turn.emplace(st.turn);
  if (!*turn) return nullptr;
  if (!st.source) {
    raise_stream_error(PyExc_OSError, "stream is closed");
    return nullptr;
  }
  if (st.live) {
    PyErr_SetString(PyExc_ValueError, "the stream's frames are being decoded live (drain); take them with drain()");
    return nullptr;
  }
  return &st;
}

PyObject* stream_next(PyObject* self) {
  std::optional<TurnGuard> turn;
  StreamState* state = state_for_read(self, turn);
  if (!state) return nullptr;
  StreamState& st = *state;
  ReleaseInterpreter hooks;
  WaitContext ctx = st.wait_context(hooks);
  Result<std::optional<OwnedFrame>> next = st.source->next_owned(ctx);
  if (!next) {
    if (ctx.stop != WaitStop::none) {
      raise_stopped(ctx, st, "waiting for data");
    } else {
      raise_os_error(next.error());
    }
    return nullptr;
  }
  if (!*next) {  // the end of the data: no value and no exception (unless a warning is an error)
    st.decoder.end_of_data();
    return nullptr;
  }
  ++st.frames_read;
  st.ancillas_seen = (*next)->ancilla_count;
  if (!st.decoder.decode_frame(**next)) return nullptr;
  turn->release();
  return new_syndrome_frame(std::move(**next));
}

// Closes after cancelling a wait in flight in another thread; in a forked child, without
// touching what the parent's threads own.
bool close_stream(PyObject* self) {
  StreamState& st = state_of(self);
  if (inherited(st)) {
    st.close();
    return true;
  }
  st.cancel.store(true, std::memory_order_release);
  TurnGuard turn(st.turn);
  st.cancel.store(false, std::memory_order_release);
  if (!turn) return false;
  st.close();
  return true;
}

PyObject* stream_close(PyObject* self, PyObject*) {
  if (!close_stream(self)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* stream_enter(PyObject* self, PyObject*) {
  TurnGuard turn(state_of(self).turn, "Already mutably borrowed");
  if (!turn) return nullptr;
  return Py_NewRef(self);
}

PyObject* stream_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* bound[3] = {};
  if (!bind_args("__exit__", args, kwargs, {"_exc_type", "_exc_val", "_tb"}, 3, bound)) return nullptr;
  if (!close_stream(self)) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* stream_set_decoder(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* bound[10] = {};
  if (!bind_args("set_decoder", args, kwargs,
                 {"dem", "window_depth", "layout", "per_shot", "commit", "buffer", "enable_correlations", "follow",
                  "num_threads", "method"},
                 1, bound, 2)) {
    return nullptr;
  }
  TurnGuard turn(state_of(self).turn);
  if (!turn) return nullptr;
  if (state_of(self).live) {
    PyErr_SetString(PyExc_ValueError, "set_decoder after drain(): the frames are being decoded live");
    return nullptr;
  }
  std::size_t depth = 0;
  if (bound[1] && !arg_size("window_depth", bound[1], depth)) return nullptr;
  int per_shot = 0;
  if (bound[3] && (per_shot = PyObject_IsTrue(bound[3])) < 0) return nullptr;
  int correlated = 0;
  if (bound[6] && (correlated = PyObject_IsTrue(bound[6])) < 0) return nullptr;
  int follow = 0;
  if (bound[7] && (follow = PyObject_IsTrue(bound[7])) < 0) return nullptr;
  StreamState& st = state_of(self);
  if (!st.decoder.configure(bound[0], depth, bound[2], per_shot != 0, bound[4], bound[5], correlated != 0,
                            follow != 0, bound[8], bound[9])) {
    return nullptr;
  }
  // The frames' width, when the stream already says it: the stored layout's, else that of the
  // frames read so far. Then a positional rule against the model's times is warned about now.
  std::optional<std::size_t> width = st.ancillas_seen;
  if (const std::shared_ptr<const StreamDescription>& d = st.description(); d && d->has_layout()) width = d->ancillas;
  if (width && !st.decoder.expect_ancillas(*width)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* stream_swap_model(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* bound[1] = {};
  if (!bind_args("swap_model", args, kwargs, {"dem"}, 1, bound)) return nullptr;
  TurnGuard turn(state_of(self).turn);
  if (!turn) return nullptr;
  if (!state_of(self).decoder.replace_model(bound[0])) return nullptr;
  Py_RETURN_NONE;
}

PyObject* stream_gather_for_learning(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* bound[3] = {nullptr, nullptr, nullptr};
  if (!bind_args("_gather_for_learning", args, kwargs, {"pairs", "every", "on_block"}, 2, bound)) return nullptr;
  TurnGuard turn(state_of(self).turn);
  if (!turn) return nullptr;
  std::size_t every = 0;
  if (!arg_size("every", bound[1], every)) return nullptr;
  if (!state_of(self).decoder.gather_for_learning(bound[0], every, bound[2])) return nullptr;
  Py_RETURN_NONE;
}

PyObject* stream_learning_block(PyObject* self, PyObject*) {
  TurnGuard turn(state_of(self).turn, "Already mutably borrowed");
  if (!turn) return nullptr;
  return state_of(self).decoder.learning_block();
}

PyObject* stream_read_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  std::optional<TurnGuard> turn;
  StreamState* state = state_for_read(self, turn);
  if (!state) return nullptr;
  StreamState& st = *state;
  if (st.decoder.configured()) {
    PyErr_SetString(PyExc_ValueError,
                    "read_batch reads frames undecoded; on a stream with a decoder set, iterate it, "
                    "or decode arrays with SpacetimeGraph.decode_batch");
    return nullptr;
  }
  ReleaseInterpreter unused;
  WaitContext ctx = st.wait_context(unused);
  PyObject* batch = read_batch(*st.source, st.batch_reader, st.batch, args, kwargs, ctx);
  if (!batch && ctx.stop != WaitStop::none) raise_stopped(ctx, st, "waiting for data");
  if (batch) {
    const Py_ssize_t frames = PyObject_Length(batch);
    if (frames < 0) {
      Py_DECREF(batch);
      return nullptr;
    }
    st.frames_read += static_cast<std::uint64_t>(frames);
    if (frames > 0) st.ancillas_seen = st.batch.ancilla_count;
  }
  return batch;
}

// KelvaneStream('run.kvlx', open, frames_read=3)
PyObject* stream_repr(PyObject* self) {
  TurnGuard turn(state_of(self).turn, "Already mutably borrowed");
  if (!turn) return nullptr;
  const StreamState& st = state_of(self);
  PyRef name(PyUnicode_DecodeUTF8(st.name.data(), static_cast<Py_ssize_t>(st.name.size()), "replace"));
  if (!name) return nullptr;
  const bool open = st.source != nullptr;
  return PyUnicode_FromFormat("KelvaneStream(%R, %s, frames_read=%llu)", name.get(), open ? "open" : "closed",
                              static_cast<unsigned long long>(st.frames_read));
}

PyObject* stream_incomplete_shots(PyObject* self, void*) {
  TurnGuard turn(state_of(self).turn, "Already mutably borrowed");
  if (!turn) return nullptr;
  return PyLong_FromUnsignedLongLong(state_of(self).decoder.incomplete_shots());
}

PyObject* stream_missing_rounds(PyObject* self, void*) {
  TurnGuard turn(state_of(self).turn, "Already mutably borrowed");
  if (!turn) return nullptr;
  return PyLong_FromUnsignedLongLong(state_of(self).decoder.missing_rounds());
}

PyObject* stream_unsatisfiable_shots(PyObject* self, void*) {
  TurnGuard turn(state_of(self).turn, "Already mutably borrowed");
  if (!turn) return nullptr;
  return PyLong_FromUnsignedLongLong(state_of(self).decoder.unsatisfiable_decodes());
}

PyObject* stream_model_swaps(PyObject* self, void*) {
  TurnGuard turn(state_of(self).turn, "Already mutably borrowed");
  if (!turn) return nullptr;
  return PyLong_FromUnsignedLongLong(state_of(self).decoder.model_swaps());
}

PyObject* stream_decoder_stats(PyObject* self, PyObject*) {
  TurnGuard turn(state_of(self).turn, "Already mutably borrowed");
  if (!turn) return nullptr;
  const WindowedFrames* windows = state_of(self).decoder.windows();
  if (!windows) Py_RETURN_NONE;
  PyRef stats(sliding_stats_dict(windows->stats()));
  if (!stats) return nullptr;
  PyRef held(PyLong_FromUnsignedLongLong(windows->held_rounds()));
  if (!held || PyDict_SetItemString(stats.get(), "held_rounds", held.get()) < 0) return nullptr;
  return stats.release();
}

PyObject* stream_skipped_bytes(PyObject* self, void*) {
  TurnGuard turn(state_of(self).turn, "Already mutably borrowed");
  if (!turn) return nullptr;
  return PyLong_FromUnsignedLongLong(state_of(self).skipped_bytes());
}

// Before the first frame is read, waits for it (on the stream's timeout) to take the
// description it carries; it stays to be read.
PyObject* stream_description(PyObject* self, void*) {
  StreamState& st = state_of(self);
  TurnGuard turn(st.turn, "Already mutably borrowed");
  if (!turn) return nullptr;
  if (st.live) {  // its reader thread owns the source
    PyErr_SetString(PyExc_ValueError, "the stream's frames are being decoded live (drain); ask for its description "
                                      "before drain()");
    return nullptr;
  }
  if (st.source && st.source->owned_here() && st.frames_read == 0) {
    ReleaseInterpreter hooks;
    WaitContext ctx = st.wait_context(hooks);
    if (Status peeked = st.source->peek_description(ctx); !peeked) {
      if (ctx.stop != WaitStop::none) {
        raise_stopped(ctx, st, "waiting for the first frame");
      } else {
        raise_os_error(peeked.error());
      }
      return nullptr;
    }
    if (std::optional<std::uint16_t> width = st.source->peeked_ancilla_count()) st.first_ancillas = *width;
  }
  if (const std::optional<std::string>& fault = st.description_fault()) {
    raise_message(PyExc_ValueError, st.name + ": " + *fault);
    return nullptr;
  }
  const std::shared_ptr<const StreamDescription>& d = st.description();
  if (!d) Py_RETURN_NONE;
  return new_stream_description(d);
}

PyObject* stream_first_ancillas(PyObject* self, void*) {
  TurnGuard turn(state_of(self).turn, "Already mutably borrowed");
  if (!turn) return nullptr;
  const std::optional<std::size_t>& width = state_of(self).first_ancillas;
  if (!width) Py_RETURN_NONE;
  return PyLong_FromSize_t(*width);
}

PyGetSetDef stream_getset[] = {
    {"description", guarded<"the description (KelvaneStream.description)", stream_description>, nullptr,
     "What the stream says about itself (a StreamDescription: layout, dem_text, hash), or None.\n"
     "Taken from the frames read so far, the last one that carried it, for as long as the\n"
     "hash on round-0 frames names it; before the first frame is read, waits for that frame\n"
     "(which stays to be read). Stored pieces that do not match their hash raise ValueError.",
     nullptr},
    {"skipped_bytes", guarded<"KelvaneStream.skipped_bytes", stream_skipped_bytes>, nullptr,
     "Bytes dropped without being delivered as frames: after a damaged frame the next read\n"
     "skips ahead to the next frame header whose CRC verifies; also a frame cut short by a\n"
     "closed connection.",
     nullptr},
    {"incomplete_shots", guarded<"KelvaneStream.incomplete_shots", stream_incomplete_shots>, nullptr,
     "Shots found cut short so far with per_shot=True (a round reset, a jump in round or frame_id,\n"
     "or the end of the stream); they are reported and never decoded.",
     nullptr},
    {"missing_rounds", guarded<"KelvaneStream.missing_rounds", stream_missing_rounds>, nullptr,
     "Rounds that never arrived so far with commit and buffer and no per_shot (frames lost or\n"
     "skipped, seen from their round numbers), decoded as quiet; also the rounds not yet\n"
     "committed that a restart of the stream (a round 0) dropped.",
     nullptr},
    {"unsatisfiable_shots", guarded<"KelvaneStream.unsatisfiable_shots", stream_unsatisfiable_shots>, nullptr,
     "Decodes so far (shots with per_shot=True, else frames) whose correction could not reproduce\n"
     "the syndrome: a cluster of fired detectors with odd parity and no boundary to reach.",
     nullptr},
    {"model_swaps", guarded<"KelvaneStream.model_swaps", stream_model_swaps>, nullptr,
     "Models swapped in with swap_model since set_decoder.",
     nullptr},
    {"_first_ancillas", guarded<"KelvaneStream._first_ancillas", stream_first_ancillas>, nullptr,
     "The first frame's ancilla count once reading the description has waited for that frame\n"
     "and found it whole and sound, else None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef stream_methods[] = {
    {"decoder_stats", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the statistics (KelvaneStream.decoder_stats)", stream_decoder_stats>)),
     METH_NOARGS,
     "decoder_stats($self)\n--\n\nWith commit and buffer (decoding in windows): what the window decoder measured, as\n"
     "SlidingWindowDecoder.stats() gives it, and held_rounds, the rounds received and not yet\n"
     "committed (the backlog; 0 between shots). None otherwise."},
    {"drain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the decisions (KelvaneStream.drain)", stream_drain>)),
     METH_VARARGS | METH_KEYWORDS,
     "drain($self, max_wait=0.25, *, detector_flips=False)\n--\n\n"
     "Decode the frames as they arrive, in C++, on a stream set to decode in windows (commit\n"
     "and buffer): the first call starts a thread that reads the source as fast as frames come,\n"
     "stamping each with its arrival, and every call decodes what has arrived. Returns the\n"
     "decision records of the commit steps taken since the last call (bytes, 32 per record, as\n"
     "kelvane.decisions writes them; b'' when none came within max_wait seconds) soon after\n"
     "they are taken (at most a millisecond's worth at a time), or None once every frame is\n"
     "decoded and the source has ended (never with follow=True: frames appended to the file\n"
     "later are decoded). After the first call the stream is read only this way. A damaged\n"
     "frame's OSError is raised once, where iterating raises it, and the next call goes on with\n"
     "the frames after it (its rounds missing, as iterating has them).\n"
     "detector_flips=True (fixed by the first call): a record whose commits flipped detectors is\n"
     "flagged and followed by them (kelvane.decisions reads them with detector_flips=True).\n"
     "Waits without the interpreter lock; signals are handled every 50 ms."},
    {"decisions_written", guarded<"KelvaneStream.decisions_written", stream_decisions_written>, METH_NOARGS,
     "decisions_written($self)\n--\n\n"
     "Report the records drain() returned as written out: their write latencies end now."},
    {"live_stats", guarded<"the statistics (KelvaneStream.live_stats)", stream_live_stats>, METH_NOARGS,
     "live_stats($self)\n--\n\n"
     "What drain() measured, or None before it: frames_arrived, arrivals_per_second (first to\n"
     "last arrival: what the source delivered), frames_decoded, decisions,\n"
     "backlog (rounds arrived and not yet committed), largest_backlog, elapsed_s (from the first\n"
     "arrival to the last decode), rounds_per_second, the latencies in ns (each {median, p999,\n"
     "worst, count}): closing_latency_ns from the arrival of the frame that closed a commit\n"
     "step, frame_latency_ns from the arrival of each committed round's frame, write_latency_ns\n"
     "from the closing frame's arrival to decisions_written(); and backlog_warning, the text\n"
     "once the backlog has grown for over a second, else None."},
    {"_live_counts", guarded<"the statistics (KelvaneStream._live_counts)", stream_live_counts>, METH_NOARGS,
     "_live_counts($self)\n--\n\n"
     "What drain() counted beyond live_stats(), or None before it: per_shot (decoding shot by\n"
     "shot, else one endless stream), shots_with_truth (shots decoded\n"
     "whose last frame carried the true observable flips), shot_errors (of those, predicted\n"
     "otherwise), restarts (of a running endless stream, each dropping the rounds it held),\n"
     "read_ahead_bytes (held by frames read and not yet decoded) against read_ahead_budget,\n"
     "queued_frames (read and not yet decoded) and socket_unread_bytes (waiting in the\n"
     "socket's receive queue; None where the system does not say)."},
    {"_set_read_ahead", guarded<"KelvaneStream._set_read_ahead", stream_set_read_ahead>, METH_O,
     "_set_read_ahead($self, read_ahead, /)\n--\n\n"
     "The byte budget of the frames drain() reads ahead of the decoder (default 4 MiB), set before\n"
     "the first drain(): past it reading waits, so a file is read no faster than it is decoded and\n"
     "a faster TCP sender is held by flow control."},
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
     "set_decoder($self, dem, window_depth=0, *, layout=None, per_shot=False, commit=None, buffer=None, "
     "enable_correlations=False, follow=False, num_threads=1, method=\"union-find\")\n--\n\n"
     "Configure the Union-Find decoder from a DEM.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "dem:\n"
     "    Accepts a file path (str or pathlib.Path), an inline DEM text string,\n"
     "    or a ``stim.DetectorErrorModel`` object (``str(dem)`` gives the text).\n"
     "window_depth:\n"
     "    Number of syndrome rounds per decode window. 0 = auto-infer from\n"
     "    ``detector_count / ancilla_count`` (default)."},
    {"swap_model", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the decoder (KelvaneStream.swap_model)", stream_swap_model>)),
     METH_VARARGS | METH_KEYWORDS,
     "swap_model($self, dem)\n--\n\n"
     "Decode with `dem` from the next decode on, keeping everything the stream holds: the\n"
     "rounds of the sliding window or of the windows not yet committed, the shot being\n"
     "gathered, the schedule and the counters (set_decoder starts afresh). `dem` must have the\n"
     "model's detectors and observables; with commit and buffer also its mechanisms (only\n"
     "probabilities may change), whose weights go onto the model's rounds with each repeating\n"
     "round taking the mean probability over the rounds it stands for, and every window\n"
     "decoded after the call (those starting at the first uncommitted round) uses them.\n"
     "ValueError otherwise, the decoder unchanged. Counted in ``model_swaps``."},
    {"_gather_for_learning", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the learning counts (KelvaneStream._gather_for_learning)", stream_gather_for_learning>)),
     METH_VARARGS | METH_KEYWORDS,
     "_gather_for_learning($self, pairs, every, on_block=None)\n--\n\n"
     "Count each block of `every` shots over the detector pairs `pairs` for learning (0 stops);\n"
     "on_block(shots, fired, both_fired), called on the frame completing a block, returns the\n"
     "model to swap in (or None)."},
    {"_learning_block", guarded<"the learning counts (KelvaneStream._learning_block)", stream_learning_block>, METH_NOARGS,
     "_learning_block($self)\n--\n\n"
     "(shots, fired, both_fired) of the block the last frame completed, or None."},
    {"close", guarded<"KelvaneStream.close", stream_close>, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", guarded<"KelvaneStream.__enter__", stream_enter>, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"KelvaneStream.__exit__", stream_exit>)),
     METH_VARARGS | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_val, _tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>("KelvaneStream(source, *, timeout=None)\n--\n\n")},
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
