// Stateless parsers of the KVLX wire format (all integers little-endian). None of them reads
// past the bytes it is given.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"
#include "kelvane/kvlx/crc32.h"
#include "kelvane/kvlx/le_bytes.h"

namespace kelvane {

inline constexpr std::uint32_t kKvlxMagic = 0x4B564C58;  // bytes "XLVK"
inline constexpr std::uint16_t kKvlxVersion = 1;
inline constexpr std::size_t kFileHeaderSize = 26;
inline constexpr std::size_t kFrameHeaderSize = 36;
inline constexpr std::size_t kTrailerSize = 6;
inline constexpr std::uint16_t kTrailerMarker = 0xFFFF;
// Offset of header_crc in the frame header; the CRC covers the bytes before it.
inline constexpr std::size_t kFrameHeaderCrcOffset = 32;
// Offset of the ancilla count in a frame header (after frame_id, round, timestamp_ns, qubit_count).
inline constexpr std::size_t kFrameAncillaCountOffset = 22;

struct FileHeader {
  std::uint32_t magic = kKvlxMagic;
  std::uint16_t version = kKvlxVersion;
  Uuid schema_id{};
  std::uint32_t file_word = 0;
  bool operator==(const FileHeader&) const = default;
};

// Value and the number of bytes consumed.
template <typename T>
using Parsed = std::pair<T, std::size_t>;

// Checks, in order: length >= 26 (else PayloadLengthMismatch{26, len}), magic (InvalidMagic),
// version (UnsupportedVersion). Consumes 26 bytes.
Result<Parsed<FileHeader>> parse_file_header(std::span<const std::uint8_t> bytes);

// The fields of the 36 frame header bytes at `p`, header_crc as stored; nothing is checked.
inline FrameHeader decode_frame_header(const std::uint8_t* p) {
  FrameHeader h;
  h.frame_id = load_le<std::uint64_t>(p + 0);
  h.round = load_le<std::uint32_t>(p + 8);
  h.timestamp_ns = load_le<std::uint64_t>(p + 12);
  h.qubit_count = load_le<std::uint16_t>(p + 20);
  h.ancilla_count = load_le<std::uint16_t>(p + kFrameAncillaCountOffset);
  h.header_word = load_le<std::uint32_t>(p + 24);
  h.code_type = p[28];
  h.distance = p[29];
  h.flags = load_le<std::uint16_t>(p + 30);
  h.header_crc = load_le<std::uint32_t>(p + kFrameHeaderCrcOffset);
  return h;
}

// The annotation block, count byte first: min(count, (len - 1) / 10) entries. Never fails.
std::vector<Annotation> parse_annotations(std::span<const std::uint8_t> bytes);

// Applies one metadata entry (key, value bytes) to `meta` by the key table; unknown keys and
// wrong lengths are ignored.
void apply_metadata_entry(FrameMetadata& meta, std::uint16_t key, std::span<const std::uint8_t> value);

// Ends a frame's metadata once every entry is applied. Observables 64 and up (key 17) count only
// beside observables 0 to 63 (key 16): a frame carries observable flips exactly when it carries
// key 16, as the bulk columns (FrameBatch) read them, so a lone key 17 is dropped.
void finish_metadata(FrameMetadata& meta);

// CRC-32 (IEEE 802.3, zlib's crc32) of `bytes`.
inline std::uint32_t crc32_of(std::span<const std::uint8_t> bytes) { return crc32_update(0, bytes); }
// The CRC-32 of the bytes that `crc` covers followed by `bytes` (crc32_of(a + b) ==
// crc32_extend(crc32_of(a), b)).
inline std::uint32_t crc32_extend(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  return crc32_update(crc, bytes);
}

// The payload CRC of a frame: the CRC-32 of `payload` (the bytes between frame header and
// trailer) without the 4 value bytes of the payload CRC entry at `value_offset`.
inline std::uint32_t payload_crc_of(std::span<const std::uint8_t> payload, std::size_t value_offset) {
  return crc32_update(crc32_update(0, payload.first(value_offset)), payload.subspan(value_offset + 4));
}

// Whether the CRC-32 of the 32 header bytes at `p` is the stored header_crc of `h`, their
// decoded fields.
inline bool frame_header_crc_ok(const std::uint8_t* p, const FrameHeader& h) {
  return crc32_of(std::span<const std::uint8_t>(p, kFrameHeaderCrcOffset)) == h.header_crc;
}

// Length >= 36 (else PayloadLengthMismatch{36, len}); CRC-32 of bytes 0..31 against the stored
// header_crc (else CrcMismatch{computed, stored}). No field value is examined. Consumes 36 bytes.
inline Result<Parsed<FrameHeader>> parse_frame_header(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kFrameHeaderSize) {
    return fail(errors::PayloadLengthMismatch{static_cast<std::uint32_t>(kFrameHeaderSize), bytes.size()});
  }
  const FrameHeader h = decode_frame_header(bytes.data());
  if (!frame_header_crc_ok(bytes.data(), h)) {
    return fail(errors::CrcMismatch{crc32_of(bytes.first(kFrameHeaderCrcOffset)), h.header_crc});
  }
  return Parsed<FrameHeader>{h, kFrameHeaderSize};
}

}  // namespace kelvane
