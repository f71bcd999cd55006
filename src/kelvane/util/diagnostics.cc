#include "kelvane/util/diagnostics.h"

namespace kelvane::diagnostics {

namespace {
std::atomic<Sink*> g_sink{nullptr};
std::atomic<Level> g_level{Level::Info};
}  // namespace

void set_sink(Sink* sink) { g_sink.store(sink, std::memory_order_release); }
void set_level(Level level) { g_level.store(level, std::memory_order_release); }
Level level() { return g_level.load(std::memory_order_acquire); }

Sink* sink_for(Level level) {
  Sink* sink = g_sink.load(std::memory_order_acquire);
  if (!sink) return nullptr;
  return level >= g_level.load(std::memory_order_acquire) ? sink : nullptr;
}

Span::Span(const SpanMeta& meta, std::span<const Field> fields) : sink_(sink_for(meta.level)) {
  if (sink_) id_ = sink_->create(meta, fields);
}

Span::~Span() {
  if (!sink_) return;
  exit();
  sink_->close(id_);
}

void Span::enter() {
  if (!sink_ || entered_) return;
  entered_ = true;
  sink_->enter(id_);
}

void Span::exit() {
  if (!sink_ || !entered_) return;
  entered_ = false;
  sink_->exit(id_);
}

}  // namespace kelvane::diagnostics
