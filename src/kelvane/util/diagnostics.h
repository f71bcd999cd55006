// A minimal diagnostics hook for the stream reader's spans.
//
// Nothing is recorded unless a sink is installed. A span is created only when its level is at
// or above the configured level (default Info), so raising the level to Warn or Error means the
// reader's Info spans are never created. Installing a sink and changing the level are meant for
// start-up and tests; they are atomic but not synchronised with spans already open.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kelvane::diagnostics {

enum class Level : std::uint8_t { Trace, Debug, Info, Warn, Error };

// A numeric field of a span, e.g. {"frame_id", 7}.
struct Field {
  std::string_view name;
  std::uint64_t value;
};

struct SpanMeta {
  std::string_view name;    // e.g. "kvlx.frame_parse"
  std::string_view target;  // e.g. "kelvane_kvlx::stream"
  Level level;
};

using SpanId = std::uint64_t;

// Receives span events. Calls come from whichever thread runs the reader; a sink shared by
// several readers must synchronise itself.
class Sink {
 public:
  virtual ~Sink() = default;
  // A new span; the returned id is passed back to enter/exit/close.
  virtual SpanId create(const SpanMeta& meta, std::span<const Field> fields) = 0;
  virtual void enter(SpanId id) = 0;
  virtual void exit(SpanId id) = 0;
  virtual void close(SpanId id) = 0;
};

// Installs `sink` (nullptr removes it). The sink must outlive its installation.
void set_sink(Sink* sink);
// The lowest level that is recorded.
void set_level(Level level);
Level level();
// The installed sink when spans of `level` are recorded, else nullptr.
Sink* sink_for(Level level);

// A span owned by a scope: created in the constructor when enabled, closed in the destructor.
// enter/exit are no-ops for a span that was not created.
class Span {
 public:
  Span(const SpanMeta& meta, std::span<const Field> fields = {});
  Span(const Span&) = delete;
  Span& operator=(const Span&) = delete;
  ~Span();

  void enter();
  void exit();
  bool created() const { return sink_ != nullptr; }

 private:
  Sink* sink_ = nullptr;
  SpanId id_ = 0;
  bool entered_ = false;
};

}  // namespace kelvane::diagnostics
