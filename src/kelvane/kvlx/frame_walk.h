// The layout of one KVLX frame after its header, walked once for every reader path: the
// per-frame reader and the bulk path that takes buffered frames straight into columns both
// call walk_frame_sections with their own byte cursor, so that the order, sizes and limits of
// the sections are written down here only.
//
// A new flag bit with a section of its own gets its step in walk_frame_sections (and, where the
// reader hands it out, a field in FrameSections); a metadata key that the walk must see (as the
// payload CRC and the bulk path's observable flips) gets its line in the entry loop.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"
#include "kelvane/core/rle.h"
#include "kelvane/kvlx/crc32.h"
#include "kelvane/kvlx/le_bytes.h"
#include "kelvane/kvlx/metadata_keys.h"
#include "kelvane/kvlx/parser.h"

namespace kelvane {

inline constexpr std::size_t kEventLengthSize = 2;
inline constexpr std::size_t kMetadataCountSize = 2;
inline constexpr std::size_t kMetadataEntryHeadSize = 4;
inline constexpr std::size_t kAnnotationEntrySize = 10;

// Where the sections of a frame lie, as offsets from the start of its header.
struct FrameSections {
  std::size_t rle_at = 0;
  std::size_t rle_len = 0;
  std::size_t meas_at = 0;  // ancilla_count bytes
  std::size_t timing_at = 0;
  std::size_t timing_len = 0;  // 2 per ancilla with kFlagTiming, else 0
  std::size_t bits_at = 0;
  std::size_t bits_len = 0;          // one bit per ancilla with kFlagAncillaBits, else 0
  std::size_t metadata_at = 0;       // the entry count, with kFlagMetadata
  std::size_t annotations_at = 0;    // the count byte, with kFlagAnnotations
  std::optional<std::size_t> crc_value_at;         // the first 4-byte payload CRC entry's value
  std::optional<std::uint64_t> observable_flips;  // the last 8-byte observable flips entry wins
  std::optional<std::uint64_t> description_hash;  // the last 8-byte description hash entry
  bool description_pieces = false;                // a layout or model piece of the description
  std::size_t end = 0;  // the first byte after the payload: the trailer's start
};

enum class WalkEnd : std::uint8_t {
  kWhole,     // every section is there; `sections` describes the frame
  kShort,     // the cursor had no bytes for the section at `pos`
  kTooLarge,  // the section at `pos` would take the frame past max_frame_size
};

struct WalkStop {
  WalkEnd end = WalkEnd::kWhole;
  std::size_t pos = 0;  // where the section that stopped the walk starts
  std::size_t len = 0;  // its length
};

// What walk_frame_sections does with each metadata entry by default: nothing.
struct SkipEntries {
  void operator()(std::uint16_t, std::span<const std::uint8_t>) const {}
};

// Walks the payload of the frame with header `h` (already checked). `bytes(pos, len)` returns a
// pointer to the frame's bytes [pos, pos + len), counted from the header's start, or nullptr
// when they are not available; each pointer is read before the next call. No section may end
// past `max_frame_size`. `on_entry(key, value)` sees every metadata entry, in order.
template <typename Cursor, typename OnEntry = SkipEntries>
inline WalkStop walk_frame_sections(const FrameHeader& h, std::size_t max_frame_size, Cursor&& bytes,
                                    FrameSections& at, OnEntry&& on_entry = OnEntry{}) {
  std::size_t pos = kFrameHeaderSize;
  const std::uint8_t* p = nullptr;
  // Makes the `len` bytes at `pos` available in p, or returns where the walk stopped.
#define KVLX_SECTION(len)                                                 \
  if (pos + (len) > max_frame_size) return {WalkEnd::kTooLarge, pos, (len)}; \
  if (!(p = bytes(pos, (len)))) return {WalkEnd::kShort, pos, (len)};

  KVLX_SECTION(kEventLengthSize)
  at.rle_len = load_le<std::uint16_t>(p);
  pos += kEventLengthSize;
  const std::size_t n = h.ancilla_count;
  at.rle_at = pos;
  at.meas_at = at.rle_at + at.rle_len;
  at.timing_at = at.meas_at + n;
  at.timing_len = (h.flags & kFlagTiming) ? 2 * n : 0;
  at.bits_at = at.timing_at + at.timing_len;
  at.bits_len = (h.flags & kFlagAncillaBits) ? (n + 7) / 8 : 0;
  const std::size_t fixed = at.bits_at + at.bits_len - pos;
  KVLX_SECTION(fixed)
  pos += fixed;
  if (h.flags & kFlagMetadata) {
    at.metadata_at = pos;
    KVLX_SECTION(kMetadataCountSize)
    const std::size_t count = load_le<std::uint16_t>(p);
    pos += kMetadataCountSize;
    for (std::size_t i = 0; i < count; ++i) {
      KVLX_SECTION(kMetadataEntryHeadSize)
      const std::uint16_t key = load_le<std::uint16_t>(p);
      const std::size_t length = load_le<std::uint16_t>(p + 2);
      pos += kMetadataEntryHeadSize;
      KVLX_SECTION(length)
      on_entry(key, std::span<const std::uint8_t>(p, length));
      if (key == kMetaKeyPayloadCrc && length == 4 && !at.crc_value_at) at.crc_value_at = pos;
      // As apply_metadata_entry applies entries in order, the last one wins.
      if (key == kMetaKeyObservableFlips && length == 8) at.observable_flips = load_le<std::uint64_t>(p);
      if (key == kMetaKeyDescriptionHash && length == 8) at.description_hash = load_le<std::uint64_t>(p);
      if (key == kMetaKeyLayout || key == kMetaKeyModel) at.description_pieces = true;
      pos += length;
    }
  }
  if (h.flags & kFlagAnnotations) {
    at.annotations_at = pos;
    KVLX_SECTION(1)
    const std::size_t body = kAnnotationEntrySize * *p;
    pos += 1;
    KVLX_SECTION(body)
    pos += body;
  }
#undef KVLX_SECTION
  at.end = pos;
  return {};
}

// Every frame's trailer: the marker, then the CRC-32 of the 36 header bytes. Those end with
// their own CRC, so for a header whose CRC verifies the trailer's CRC is the CRC residue.
inline constexpr std::array<std::uint8_t, kTrailerSize> kFrameTrailer = {
    kTrailerMarker & 0xFF,         kTrailerMarker >> 8,          kCrc32Residue & 0xFF,
    (kCrc32Residue >> 8) & 0xFF,   (kCrc32Residue >> 16) & 0xFF, kCrc32Residue >> 24};

// The checks of a walked frame whose header verified, on `bytes` from its header through its
// payload (and its trailer when `has_trailer`), in order: the payload CRC when checked (a
// missing entry compares the CRC of the whole payload with 0), the trailer, the detector events
// expanding to no more than the ancilla count. A failure is corruption of the frame.
// Always inlined: the bulk path runs it on every frame, and GCC's size heuristic would call it
// out of line (about 10% more instructions per read_batch frame) for its error returns alone.
[[gnu::always_inline]] inline Status check_frame_sections(std::span<const std::uint8_t> bytes, const FrameHeader& h,
                                   const FrameSections& at, bool has_trailer) {
  if (checks_payload_crc(h.flags)) {
    const std::span<const std::uint8_t> payload = bytes.subspan(kFrameHeaderSize, at.end - kFrameHeaderSize);
    const std::uint32_t computed =
        at.crc_value_at ? payload_crc_of(payload, *at.crc_value_at - kFrameHeaderSize) : crc32_of(payload);
    const std::uint32_t stored = at.crc_value_at ? load_le<std::uint32_t>(bytes.data() + *at.crc_value_at) : 0;
    if (!at.crc_value_at || computed != stored) return fail(errors::CrcMismatch{computed, stored});
  }
  if (has_trailer) {
    const std::uint8_t* t = bytes.data() + at.end;
    if (load_le<std::uint16_t>(t) != kTrailerMarker || load_le<std::uint32_t>(t + 2) != kCrc32Residue) {
      return fail(errors::CrcMismatch{kCrc32Residue, load_le<std::uint32_t>(t + 2)});
    }
  }
  const std::size_t n = h.ancilla_count;
  if (const std::size_t expanded = rle_expanded_length(bytes.subspan(at.rle_at, at.rle_len)); expanded > n) {
    return fail(errors::PayloadLengthMismatch{static_cast<std::uint32_t>(n), expanded});
  }
  return {};
}

// Points `frame`'s header and fixed sections (events, results, timing, ancilla bits) at `bytes`,
// the frame from its header on; timing offsets are decoded into frame.timing_offsets (emptied
// without kFlagTiming). Metadata and annotations are left as they are.
inline void set_section_views(SyndromeFrame& frame, std::span<const std::uint8_t> bytes, const FrameHeader& h,
                              const FrameSections& at) {
  const std::size_t n = h.ancilla_count;
  frame.header = h;
  frame.detector_events_rle = bytes.subspan(at.rle_at, at.rle_len);
  frame.meas_results = std::span<const std::int8_t>(reinterpret_cast<const std::int8_t*>(bytes.data() + at.meas_at), n);
  frame.timing_offsets.clear();
  for (std::size_t i = 0; i < at.timing_len / 2; ++i) {
    frame.timing_offsets.push_back(load_le<std::uint16_t>(bytes.data() + at.timing_at + 2 * i));
  }
  frame.ancilla_bits = bytes.subspan(at.bits_at, at.bits_len);
}

}  // namespace kelvane
