// What a KelvaneStream object holds, shared by the files that implement its methods.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "kelvane/py/native_object.h"
#include "kelvane/py/stream_decoder_binding.h"
#include "kelvane/py/turn.h"
#include "kelvane/source/frame_source.h"
#include "kelvane/source/wait.h"
#include "kelvane/streaming/live_decoder.h"

namespace kelvane::py {

// Open: a source present; closed: none.
struct StreamState {
  std::unique_ptr<FrameSource> source;
  StreamDecoderBinding decoder;
  BatchReader batch_reader;
  FrameBatch batch;
  std::string name;               // the source as given, for the repr
  std::uint64_t frames_read = 0;  // frames handed out, one by one or in batches
  std::optional<double> timeout;  // seconds per call
  std::atomic<bool> cancel{false};
  Turn turn;
  std::uint64_t skipped_at_close = 0;
  std::optional<std::size_t> ancillas_seen;  // the width of the last frame handed out
  std::optional<std::size_t> first_ancillas;  // the first frame's width, once the description peek saw it whole
  // Live decoding (drain): its reader thread owns the source until the stream closes. Declared
  // after the source, so that it stops before the source goes.
  std::unique_ptr<LiveDecoder> live;
  // While decoding live, the source's skipped bytes as its reader thread last left them.
  std::atomic<std::uint64_t> live_skipped{0};
  // The byte budget of the frames live decoding reads ahead (_set_read_ahead), for the next start.
  std::size_t read_ahead = FrameReaderThread::kDefaultReadAhead;
  std::shared_ptr<const StreamDescription> description_at_close;
  std::optional<std::string> description_fault_at_close;

  std::uint64_t skipped_bytes() const {
    if (live) return live_skipped.load(std::memory_order_acquire);
    return source ? source->skipped_bytes() : skipped_at_close;
  }
  const std::shared_ptr<const StreamDescription>& description() const {
    return source ? source->description() : description_at_close;
  }
  const std::optional<std::string>& description_fault() const {
    return source ? source->description_fault() : description_fault_at_close;
  }
  void close() {
    live.reset();
    skipped_at_close = skipped_bytes();
    description_at_close = description();
    description_fault_at_close = description_fault();
    source.reset();
  }
  // The terms of one call: the deadline that `timeout` gives from now.
  WaitContext wait_context(WaitHooks& hooks) {
    WaitContext ctx;
    ctx.hooks = &hooks;
    ctx.cancelled = &cancel;
    ctx.tick = kSignalCheckInterval;
    if (timeout) ctx.deadline = deadline_after(*timeout);
    return ctx;
  }
};

inline StreamState& state_of(PyObject* self) { return native_of<StreamState>(self); }

// A stream opened by the process this one was forked from: usable only to be closed.
inline bool inherited(const StreamState& st) { return st.source && !st.source->owned_here(); }

}  // namespace kelvane::py
