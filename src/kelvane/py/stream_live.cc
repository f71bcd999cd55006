// KelvaneStream's live decoding: drain() hands the stream's source to a LiveDecoder, whose
// reader thread keeps taking frames while the calling thread decodes them and returns the
// decisions as decision records; live_stats() and decisions_written() report on it.
#include "kelvane/py/stream_live.h"

#include <Python.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kelvane/kvlx/decision_record.h"
#include "kelvane/py/args.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/interpreter_wait.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/stream_state.h"
#include "kelvane/streaming/live_decoder.h"
#include "kelvane/streaming/windowed_frames.h"

namespace kelvane::py {
namespace {

// A latency histogram as {"median", "p999", "worst", "count"} in nanoseconds.
PyObject* latency_dict(const LatencyHistogram& h) {
  return Py_BuildValue("{sKsKsKsK}", "median", static_cast<unsigned long long>(h.median_ns()), "p999",
                       static_cast<unsigned long long>(h.quantile_ns(0.999)), "worst",
                       static_cast<unsigned long long>(h.worst_ns()), "count",
                       static_cast<unsigned long long>(h.count()));
}

// The decisions taken since the last call as decision records (each followed by its detector
// flips when the live decoder keeps them), ready to write.
PyObject* decision_bytes(LiveDecoder& live) {
  const std::vector<LiveDecision> decisions = live.take_decisions();
  std::vector<std::uint8_t> bytes;
  bytes.reserve(decisions.size() * kDecisionRecordSize);
  std::vector<DetectorFlip> flips;
  for (const LiveDecision& d : decisions) {
    flips.clear();
    if (live.keeps_flips()) {
      for (const auto& [round, ancilla] : d.detector_flips) flips.push_back({round, ancilla});
    }
    append_decision({d.frame_id, d.round, d.window_incomplete ? kDecisionWindowIncomplete : std::uint16_t{0},
                     d.committed_flips},
                    flips, bytes);
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
}

}  // namespace

PyObject* stream_drain(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* bound[2] = {};
  if (!bind_args("drain", args, kwargs, {"max_wait", "detector_flips"}, 0, bound, 1)) return nullptr;
  double max_wait = 0.25;
  if (bound[0] && !arg_f64("max_wait", bound[0], max_wait)) return nullptr;
  int flips = 0;
  if (bound[1] && (flips = PyObject_IsTrue(bound[1])) < 0) return nullptr;
  if (!(max_wait >= 0) || std::isinf(max_wait)) {
    PyErr_SetString(PyExc_ValueError, "max_wait must be a non-negative number of seconds");
    return nullptr;
  }
  StreamState& st = state_of(self);
  if (inherited(st)) {
    raise_os_error(st.source->next_owned().error());
    return nullptr;
  }
  TurnGuard turn(st.turn);
  if (!turn) return nullptr;
  if (!st.source) {
    raise_stream_error(PyExc_OSError, "stream is closed");
    return nullptr;
  }
  kelvane::StreamDecoder* decoder = st.decoder.native();
  if (!decoder || !decoder->windows()) {
    PyErr_SetString(PyExc_ValueError, "drain() decodes in windows: set_decoder(..., commit=C, buffer=B) first");
    return nullptr;
  }
  if (!st.live) {
    FrameSource* source = st.source.get();
    const WindowedFrames& w = *decoder->windows();
    std::atomic<std::uint64_t>* skipped = &st.live_skipped;
    skipped->store(source->skipped_bytes(), std::memory_order_release);
    source->set_inline_reads(true);  // the reader thread is the source's own from now on
    st.live = std::make_unique<LiveDecoder>(
        [source, skipped](OwnedFrame& into, const std::atomic<bool>& stop) {
          WaitContext ctx;
          ctx.cancelled = &stop;
          Result<bool> next = source->next_owned_into(into, ctx);
          skipped->store(source->skipped_bytes(), std::memory_order_release);
          return next;
        },
        std::uint64_t{w.commit()} + w.buffer(), flips != 0, decoder->follows(), st.read_ahead);
    st.live->set_waiting_bytes([source] { return source->unread_bytes(); });
  } else if (st.live->keeps_flips() != (flips != 0)) {
    PyErr_SetString(PyExc_ValueError, "drain(detector_flips=) must stay as the first call set it");
    return nullptr;
  }
  LiveTerms terms;
  terms.until = deadline_after(max_wait).value_or(LiveClock::time_point::max());
  terms.tick = kSignalCheckInterval;
  terms.cancelled = &st.cancel;
  PyThreadState* saved = PyEval_SaveThread();
  terms.interrupted = [&saved] { return run_signal_handlers(saved); };
  LiveOutcome outcome;
  try {
    outcome = st.live->run(*decoder, terms);
  } catch (const std::bad_alloc&) {
    PyEval_RestoreThread(saved);
    return raise_no_memory("the frames decoded live (KelvaneStream.drain)");
  }
  PyEval_RestoreThread(saved);
  if (!st.decoder.emit_warnings()) return nullptr;
  switch (outcome) {
    case LiveOutcome::kDecisions:
      return decision_bytes(*st.live);
    case LiveOutcome::kEnded:
      if (!st.decoder.end_of_data()) return nullptr;
      if (std::optional<KelvaneError> error = st.live->take_error()) {
        raise_os_error(*error);
        return nullptr;
      }
      Py_RETURN_NONE;
    case LiveOutcome::kInterrupted:
      if (!PyErr_Occurred()) raise_stream_error(PyExc_OSError, "interrupted");
      return nullptr;
    case LiveOutcome::kCancelled:
      raise_stream_error(PyExc_OSError, "stream is closed");
      return nullptr;
    case LiveOutcome::kRejected:
      raise_message(PyExc_ValueError, st.live->rejection().to_string());
      return nullptr;
    case LiveOutcome::kDamaged:  // raised once, as iterating raises it; the next call goes on after it
      raise_os_error(*st.live->take_error());
      return nullptr;
  }
  return nullptr;
}

PyObject* stream_decisions_written(PyObject* self, PyObject*) {
  const LiveClock::time_point now = LiveClock::now();
  TurnGuard turn(state_of(self).turn);
  if (!turn) return nullptr;
  if (state_of(self).live) state_of(self).live->decisions_written(now);
  Py_RETURN_NONE;
}

namespace {

// `build(state, decoder, stats)` on the live path's figures, taken under the stream's turn; None
// before the first drain() (no live path yet) or once the decoder is gone.
template <typename Build>
PyObject* with_live_stats(PyObject* self, Build build) {
  TurnGuard turn(state_of(self).turn, "Already mutably borrowed");
  if (!turn) return nullptr;
  StreamState& st = state_of(self);
  kelvane::StreamDecoder* decoder = st.decoder.native();
  if (!st.live || !decoder) Py_RETURN_NONE;
  return build(st, *decoder, st.live->stats(*decoder));
}

}  // namespace

PyObject* stream_live_stats(PyObject* self, PyObject*) {
  return with_live_stats(self, [](StreamState& st, kelvane::StreamDecoder&, const LiveStats& s) -> PyObject* {
    const double elapsed =
        s.first_arrival && s.last_decode > *s.first_arrival
            ? std::chrono::duration<double>(s.last_decode - *s.first_arrival).count()
            : 0.0;
    PyRef closing(latency_dict(s.closing)), frame(latency_dict(s.frame)), written(latency_dict(s.written));
    if (!closing || !frame || !written) return nullptr;
    const std::optional<std::string>& warning = st.live->backlog_warning();
    PyRef warning_text(warning ? PyUnicode_FromStringAndSize(warning->data(), static_cast<Py_ssize_t>(warning->size()))
                               : Py_NewRef(Py_None));
    if (!warning_text) return nullptr;
    return Py_BuildValue("{sKsdsKsKsKsKsdsdsOsOsOsO}", "frames_arrived",
                         static_cast<unsigned long long>(s.frames_arrived),
                         "arrivals_per_second", s.arrivals_per_second,
                         "frames_decoded", static_cast<unsigned long long>(s.frames_decoded), "decisions",
                         static_cast<unsigned long long>(s.decisions), "backlog",
                         static_cast<unsigned long long>(s.backlog), "largest_backlog",
                         static_cast<unsigned long long>(s.largest_backlog), "elapsed_s", elapsed, "rounds_per_second",
                         s.rounds_per_second(), "closing_latency_ns", closing.get(), "frame_latency_ns", frame.get(),
                         "write_latency_ns", written.get(), "backlog_warning", warning_text.get());
  });
}

PyObject* stream_live_counts(PyObject* self, PyObject*) {
  return with_live_stats(self, [](StreamState& st, kelvane::StreamDecoder& decoder, const LiveStats& s) -> PyObject* {
    const std::optional<std::size_t> unread = st.source ? st.source->unread_bytes() : std::nullopt;
    PyRef unread_obj(unread ? PyLong_FromSize_t(*unread) : Py_NewRef(Py_None));
    if (!unread_obj) return nullptr;
    return Py_BuildValue("{sOsKsKsKsnsnsnsO}", "per_shot", decoder.per_shot() ? Py_True : Py_False,
                         "shots_with_truth", static_cast<unsigned long long>(s.shots_with_truth), "shot_errors",
                         static_cast<unsigned long long>(s.shot_errors), "restarts",
                         static_cast<unsigned long long>(decoder.restarts()), "read_ahead_bytes",
                         static_cast<Py_ssize_t>(s.read_ahead_bytes), "read_ahead_budget",
                         static_cast<Py_ssize_t>(st.read_ahead), "queued_frames",
                         static_cast<Py_ssize_t>(s.queued_frames), "socket_unread_bytes", unread_obj.get());
  });
}

PyObject* stream_set_read_ahead(PyObject* self, PyObject* arg) {
  std::size_t bytes = 0;
  if (!arg_size("read_ahead", arg, bytes)) return nullptr;
  if (bytes == 0) {
    PyErr_SetString(PyExc_ValueError, "read_ahead must be at least 1 byte");
    return nullptr;
  }
  TurnGuard turn(state_of(self).turn);
  if (!turn) return nullptr;
  StreamState& st = state_of(self);
  if (st.live) {
    PyErr_SetString(PyExc_ValueError, "the read-ahead budget is set before the first drain()");
    return nullptr;
  }
  st.read_ahead = bytes;
  Py_RETURN_NONE;
}

}  // namespace kelvane::py
