// A checked frame seen in place, as the block parser hands it to a sink (stream.h,
// KvlxReaderCore::parse_block): the header fields, the observable flips, and the detector events
// still run-length encoded, decoded on demand straight into the caller's destination (a 0/1 byte
// row, a bit-packed row, a list of fired ancillas). Nothing is allocated to make one; its spans
// point into the reader's buffer and are valid only during the sink call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kelvane/core/frame.h"
#include "kelvane/core/rle.h"

namespace kelvane {

struct FrameView {
  FrameHeader header;
  std::span<const std::uint8_t> detector_events_rle;
  std::span<const std::int8_t> meas_results;  // ancilla_count entries
  // The 8-byte observable flips entry (key 16), the last one of the frame; nothing without one.
  std::optional<std::uint64_t> observable_flips;
  // The metadata block from its entry count on (empty without kFlagMetadata), for metadata().
  std::span<const std::uint8_t> metadata_block;
  // Set instead of metadata_block for a frame that the per-frame path read: its metadata.
  const std::optional<FrameMetadata>* parsed_metadata = nullptr;

  std::uint16_t ancilla_count() const { return header.ancilla_count; }

  // Every metadata entry as the per-frame reader applies it (keys 16 and 17, the text and word
  // keys, the description hash), the payload CRC entry left out; nothing without a metadata
  // block. Off the hot path: it allocates for the text and key 17.
  std::optional<FrameMetadata> metadata() const;

  // Writes ancilla i's event (0 or 1) to out[i] for i < out.size(); ancillas past the encoding
  // are 0 and ancillas past out.size() are not written.
  void events_to_bytes(std::span<std::uint8_t> out) const {
    if (!out.empty()) std::memset(out.data(), 0, out.size());
    set_fired_events(detector_events_rle, out);
  }
  // Writes the events bit-packed, ancilla i to bit i % 8 of out[i / 8] (Stim's b8 row order);
  // the bits of out past its ancillas are 0 and ancillas past 8 * out.size() are cut.
  void events_to_bits(std::span<std::uint8_t> out) const {
    if (!out.empty()) std::memset(out.data(), 0, out.size());
    const std::size_t n = 8 * out.size();
    for_each_fired_run([&](std::size_t from, std::size_t to) {
      for (std::size_t i = from; i < to && i < n; ++i) out[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
    });
  }
  // Calls f(i) for every fired ancilla i below ancilla_count, in increasing order.
  template <typename F>
  void for_each_fired(F&& f) const {
    for_each_fired_run([&](std::size_t from, std::size_t to) {
      for (std::size_t i = from; i < to; ++i) f(static_cast<std::uint32_t>(i));
    });
  }
  // Appends the fired ancillas to `out` (allocation kept by the caller) and returns how many.
  std::size_t fired_into(std::vector<std::uint32_t>& out) const {
    const std::size_t before = out.size();
    for_each_fired([&](std::uint32_t i) { out.push_back(i); });
    return out.size() - before;
  }

  // Calls f(from, to) for every run of fired ancillas [from, to), cut at ancilla_count.
  template <typename F>
  void for_each_fired_run(F&& f) const {
    const std::size_t n = header.ancilla_count;
    std::size_t pos = 0;
    for (const std::uint8_t byte : detector_events_rle) {
      if (pos >= n) break;
      const std::size_t run = byte & kRleLengthMask;
      if ((byte & kRleValueBit) && run) f(pos, pos + run < n ? pos + run : n);
      pos += run;
    }
  }
};

// A non-owning reference to a sink of frames: a callable taking `const FrameView&` and returning
// true to go on, false to end the block after this frame.
class FrameSinkRef {
 public:
  template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FrameSinkRef>)
  explicit FrameSinkRef(F& sink)
      : ctx_(&sink), fn_([](void* ctx, const FrameView& frame) { return static_cast<bool>((*static_cast<F*>(ctx))(frame)); }) {}
  bool operator()(const FrameView& frame) const { return fn_(ctx_, frame); }

 private:
  void* ctx_;
  bool (*fn_)(void*, const FrameView&);
};

// The view of a frame that the per-frame reader returned (valid while `frame` is).
inline FrameView view_of(const SyndromeFrame& frame) {
  FrameView v;
  v.header = frame.header;
  v.detector_events_rle = frame.detector_events_rle;
  v.meas_results = frame.meas_results;
  if (frame.metadata) v.observable_flips = frame.metadata->observable_flips;
  v.parsed_metadata = &frame.metadata;
  return v;
}

}  // namespace kelvane
