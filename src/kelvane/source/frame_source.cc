#include "kelvane/source/frame_source.h"

#include <unistd.h>

#include <string>

namespace kelvane {

FrameSource::FrameSource(std::shared_ptr<Runtime> runtime) : runtime_(std::move(runtime)), owner_(::getpid()) {}

FrameSource::~FrameSource() {
  if (!runtime_->owned_here()) abandon(std::move(runtime_));
}

KelvaneError FrameSource::inherited_error() const {
  return KelvaneError::io("stream was opened by process " + std::to_string(owner_) +
                          " and is not usable after fork(); open it again in this process");
}

Result<std::optional<OwnedFrame>> FrameSource::next_owned(WaitContext& ctx) {
  ctx.stop = WaitStop::none;
  if (!owned_here()) return fail(inherited_error());
  if (ctx.is_cancelled()) return fail(ctx.stopped(WaitStop::cancelled));
  return read_next(ctx);
}

Result<bool> FrameSource::next_owned_into(OwnedFrame& into, WaitContext& ctx) {
  ctx.stop = WaitStop::none;
  if (!owned_here()) return fail(inherited_error());
  if (ctx.is_cancelled()) return fail(ctx.stopped(WaitStop::cancelled));
  return read_next_into(into, ctx);
}

Result<bool> FrameSource::read_next_into(OwnedFrame& into, WaitContext& ctx) {
  Result<std::optional<OwnedFrame>> next = read_next(ctx);
  if (!next) return fail(std::move(next.error()));
  if (!*next) return false;
  into = std::move(**next);
  return true;
}

const std::shared_ptr<const StreamDescription>& FrameSource::description() const {
  static const std::shared_ptr<const StreamDescription> none;
  return none;
}

const std::optional<std::string>& FrameSource::description_fault() const {
  static const std::optional<std::string> none;
  return none;
}

Status FrameSource::peek_description(WaitContext& ctx) {
  ctx.stop = WaitStop::none;
  if (!owned_here()) return fail(inherited_error());
  if (ctx.is_cancelled()) return fail(ctx.stopped(WaitStop::cancelled));
  return peek_next_description(ctx);
}

Status FrameSource::read_batch(std::size_t max_frames, FrameBatch& out, WaitContext& ctx) {
  ctx.stop = WaitStop::none;
  if (!owned_here()) return fail(inherited_error());
  if (ctx.is_cancelled()) return fail(ctx.stopped(WaitStop::cancelled));
  return read_next_batch(max_frames, out, ctx);
}

Result<BlockEnd> FrameSource::read_block(const BlockLimits& limits, FrameSinkRef sink, WaitContext& ctx) {
  ctx.stop = WaitStop::none;
  if (!owned_here()) return fail(inherited_error());
  if (ctx.is_cancelled()) return fail(ctx.stopped(WaitStop::cancelled));
  return read_next_block(limits, sink, ctx);
}

}  // namespace kelvane
