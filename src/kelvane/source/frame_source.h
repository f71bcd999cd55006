// The interface through which a stream object gets its frames, whatever the byte source.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"
#include "kelvane/kvlx/owned_frame.h"
#include "kelvane/kvlx/stream.h"
#include "kelvane/source/batch_read.h"
#include "kelvane/source/runtime.h"
#include "kelvane/source/wait.h"

namespace kelvane {

class FrameSource {
 public:
  explicit FrameSource(std::shared_ptr<Runtime> runtime);
  FrameSource(const FrameSource&) = delete;
  FrameSource& operator=(const FrameSource&) = delete;
  // In a forked child the runtime is abandoned, not released: its threads are the parent's.
  virtual ~FrameSource();

  // Blocks the calling thread until the next frame has been read, validated and converted, on
  // the terms of `ctx`. Returns the frame, nothing at the end of the data (a later call may find
  // more, e.g. in a file that has grown), or the reader's error. Errors leave the source usable;
  // what the next call reads depends on how far the failing call got, except that a call that
  // stopped waiting (ctx.stop set; Io with ETIMEDOUT, EINTR or ECANCELED) consumed nothing: the
  // next call reads the same frame. In a child process forked after the source opened, every
  // call fails with Io.
  Result<std::optional<OwnedFrame>> next_owned(WaitContext& ctx);
  Result<std::optional<OwnedFrame>> next_owned() {
    WaitContext unlimited;
    return next_owned(unlimited);
  }
  // next_owned into `into`, reusing its arrays (see to_owned_frame_into): true when a frame was
  // read into it, false at the end of the data. `into` is unspecified after an error.
  Result<bool> next_owned_into(OwnedFrame& into, WaitContext& ctx);

  // Appends frames to `out` until it holds max_frames (see read_frame_batch): the error that
  // stopped the batch is returned after the good frames before it are in `out`. Waits like
  // next_owned; a wait that stops consumes nothing beyond the frames in `out`. In a forked
  // child, fails like next_owned.
  Status read_batch(std::size_t max_frames, FrameBatch& out, WaitContext& ctx);
  Status read_batch(std::size_t max_frames, FrameBatch& out) {
    WaitContext unlimited;
    return read_batch(max_frames, out, unlimited);
  }

  // The block parser over this source (KvlxReaderCore::parse_block): hands every frame to
  // `sink` as a FrameView, parsed in place, until `limits` end the block, the sink returns false,
  // the data end for now, or an error (after the frames before it were handed out). For the live
  // path: no per-frame allocation, the events decoded by the sink straight where they go. Waits
  // like next_owned when the next frame is not buffered whole (a wait that stops consumes
  // nothing of that frame); a source of no KVLX stream hands out nothing. In a forked child,
  // fails like next_owned.
  Result<BlockEnd> read_block(const BlockLimits& limits, FrameSinkRef sink, WaitContext& ctx);

  // False in a child process forked after the source was opened.
  bool owned_here() const { return runtime_->owned_here(); }

  // Bytes the reader dropped without delivering them (see KvlxReaderCore::skipped_bytes).
  virtual std::uint64_t skipped_bytes() const = 0;
  // With `on`, reads that block only briefly (a regular file's) run on the calling thread
  // instead of being handed to a pool thread: for a caller that reads on a thread of its own.
  virtual void set_inline_reads(bool /*on*/) {}
  // Bytes that have arrived and wait in the operating system for this source to read them (a
  // socket's receive queue), where the system says; callable from any thread.
  virtual std::optional<std::size_t> unread_bytes() const { return std::nullopt; }

  // Reads ahead until the next frame is buffered, consuming none, and takes the description it
  // carries (KvlxReaderCore::peek_description). Waits like next_owned; a wait that stops loses
  // nothing. In a forked child, fails like next_owned.
  Status peek_description(WaitContext& ctx);
  // The stream's description as far as read, and why the last pieces read made none
  // (KvlxReaderCore::description, description_fault). A source of no KVLX stream has neither.
  virtual const std::shared_ptr<const StreamDescription>& description() const;
  virtual const std::optional<std::string>& description_fault() const;
  // The ancilla count of the frame the last peek_description found whole and sound, or nothing
  // (KvlxReaderCore::peeked_ancilla_count).
  virtual std::optional<std::uint16_t> peeked_ancilla_count() const { return std::nullopt; }

 protected:
  virtual Status peek_next_description(WaitContext&) { return {}; }
  virtual Result<std::optional<OwnedFrame>> read_next(WaitContext& ctx) = 0;
  // read_next into a frame whose memory is reused; by default through read_next.
  virtual Result<bool> read_next_into(OwnedFrame& into, WaitContext& ctx);
  virtual Status read_next_batch(std::size_t max_frames, FrameBatch& out, WaitContext& ctx) = 0;
  virtual Result<BlockEnd> read_next_block(const BlockLimits&, FrameSinkRef, WaitContext&) { return BlockEnd::kNoData; }
  Runtime& runtime() { return *runtime_; }

 private:
  KelvaneError inherited_error() const;

  std::shared_ptr<Runtime> runtime_;
  pid_t owner_;
};

// Batches from a source such that an error met after some good frames is held back: the call
// returns those frames and the next call returns the error (and reads nothing). A wait that
// stops after some frames ends the batch early with them, except an interruption: that is
// returned at once and the frames stay in `out`, the next call adding to them.
class BatchReader {
 public:
  // The number of frames in `out` (0 at the end of the data), or the error.
  Result<std::size_t> next(FrameSource& source, std::size_t max_frames, FrameBatch& out, WaitContext& ctx) {
    if (!resume_) out.clear();
    resume_ = false;
    if (held_) {
      KelvaneError e = std::move(*held_);
      held_.reset();
      return fail(std::move(e));
    }
    Status s = source.read_batch(max_frames, out, ctx);
    if (!s) {
      if (out.size() == 0) return fail(std::move(s.error()));
      if (ctx.stop == WaitStop::interrupted) {
        resume_ = true;
        return fail(std::move(s.error()));
      }
      if (ctx.stop == WaitStop::none) held_ = std::move(s.error());
    }
    return out.size();
  }
  Result<std::size_t> next(FrameSource& source, std::size_t max_frames, FrameBatch& out) {
    WaitContext unlimited;
    return next(source, max_frames, out, unlimited);
  }

 private:
  std::optional<KelvaneError> held_;
  bool resume_ = false;
};

// read_frame_batch over a reader that waits on the terms of `ctx`.
template <ByteSource Source>
Status read_frame_batch(KvlxStream<Source>& stream, std::size_t max_frames, FrameBatch& out,
                        WaitContext& ctx) {
  stream.reader().set_wait(&ctx);
  Status s = read_frame_batch(stream, max_frames, out);
  stream.reader().set_wait(nullptr);
  return s;
}

// One next_owned step over any reader whose read(2)-like calls wait on the terms of the context
// given to its set_wait(): the next frame, converted while its sections are still valid, after
// which the frame's storage goes back to the reader for reuse. A step that failed in a read
// (a wait that stopped, an I/O error) consumed nothing of its frame, so the next call reads the
// same frame again or, from a dead source, fails the same way again.
template <ByteSource Source>
Result<std::optional<OwnedFrame>> next_owned_frame(KvlxStream<Source>& stream, WaitContext& ctx) {
  stream.reader().set_wait(&ctx);
  Result<std::optional<SyndromeFrame>> frame = stream.next_frame();
  stream.reader().set_wait(nullptr);
  if (!frame) return fail(std::move(frame.error()));
  if (!*frame) return std::nullopt;
  std::optional<OwnedFrame> owned(to_owned_frame(**frame));
  stream.recycle(std::move(**frame));
  return owned;
}

// A FrameSource whose frames come from a KVLX reader over a byte reader of type `Reader` (a file
// or a socket reader: a ByteSource with set_wait()).
template <ByteSource Reader>
class KvlxFrameSource : public FrameSource {
 public:
  std::uint64_t skipped_bytes() const final { return stream_.core().skipped_bytes(); }
  const std::shared_ptr<const StreamDescription>& description() const final { return stream_.core().description(); }
  const std::optional<std::string>& description_fault() const final { return stream_.core().description_fault(); }
  std::optional<std::uint16_t> peeked_ancilla_count() const final { return stream_.core().peeked_ancilla_count(); }

 protected:
  KvlxFrameSource(std::shared_ptr<Runtime> runtime, Reader reader, StreamConfig config)
      : FrameSource(std::move(runtime)), stream_(std::move(reader), std::move(config)) {}

  Result<std::optional<OwnedFrame>> read_next(WaitContext& ctx) final { return next_owned_frame(stream_, ctx); }
  Result<bool> read_next_into(OwnedFrame& into, WaitContext& ctx) final {
    stream_.reader().set_wait(&ctx);
    Result<std::optional<SyndromeFrame>> frame = stream_.next_frame();
    stream_.reader().set_wait(nullptr);
    if (!frame) return fail(std::move(frame.error()));
    if (!*frame) return false;
    to_owned_frame_into(**frame, into);
    stream_.recycle(std::move(**frame));
    return true;
  }
  Status read_next_batch(std::size_t max_frames, FrameBatch& out, WaitContext& ctx) override {
    return read_frame_batch(stream_, max_frames, out, ctx);
  }
  Result<BlockEnd> read_next_block(const BlockLimits& limits, FrameSinkRef sink, WaitContext& ctx) override {
    stream_.reader().set_wait(&ctx);
    Result<BlockEnd> end = stream_.parse_block(limits, sink);
    stream_.reader().set_wait(nullptr);
    return end;
  }
  Status peek_next_description(WaitContext& ctx) final {
    stream_.reader().set_wait(&ctx);
    Status s = stream_.peek_description();
    stream_.reader().set_wait(nullptr);
    return s;
  }

  KvlxStream<Reader> stream_;
};

}  // namespace kelvane
