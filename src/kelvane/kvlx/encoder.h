// KVLX encoder: the inverse of the parsers. It writes a file header, then frames whose optional
// sections are chosen by the header's flag bits, with the run-length-encoded detector events, the
// header CRC-32 and the trailer.
//
// Sections are written exactly as given: the encoder does not check that meas_results,
// timing_offsets or ancilla_bits have the lengths that the header's ancilla_count implies, so a
// consistent frame is the caller's business (and an inconsistent one is how tests produce
// damaged streams). Overrides for the magic, version, header CRC, trailer marker and trailer
// CRC, and omitting the trailer, exist for the same reason; truncated data is a prefix of the
// encoded bytes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"
#include "kelvane/core/rle.h"
#include "kelvane/kvlx/parser.h"

namespace kelvane {

// One metadata entry as written: any key, any value bytes (the reader skips unknown keys and
// wrong lengths, so raw entries can express both).
struct MetadataEntry {
  std::uint16_t key = 0;
  std::vector<std::uint8_t> value;
  bool operator==(const MetadataEntry&) const = default;
};

// Metadata entries for the set fields of `meta`, in key order 1, 2, 3, 4, 16, 17, 66.
std::vector<MetadataEntry> metadata_entries(const FrameMetadata& meta);

struct TrailerSpec {
  bool present = true;
  std::uint16_t marker = kTrailerMarker;
  // Default: CRC-32 of the 36 header bytes as written.
  std::optional<std::uint32_t> crc;
};

struct FrameSpec {
  // header.header_crc is ignored; the CRC of bytes 0..31 is written unless header_crc is set.
  FrameHeader header;
  std::optional<std::uint32_t> header_crc;
  // Detector events, one entry per ancilla; nonzero means fired. Ignored when
  // detector_events_rle is set, which is then written verbatim.
  std::vector<std::uint8_t> detector_events;
  std::optional<std::vector<std::uint8_t>> detector_events_rle;
  std::vector<std::int8_t> meas_results;
  std::vector<std::uint16_t> timing_offsets;  // written when flag bit 0 is set
  std::vector<std::uint8_t> ancilla_bits;     // written when flag bit 1 is set
  std::vector<MetadataEntry> metadata;        // written when flag bit 2 is set
  std::optional<std::uint16_t> metadata_count;  // entry count written; default metadata.size()
  std::vector<Annotation> annotations;        // written when flag bit 3 is set
  std::optional<std::uint8_t> annotation_count;  // count byte written; default annotations.size()
  TrailerSpec trailer;
  // Sets kFlagPayloadCrc and kFlagMetadata and appends a payload CRC entry to the metadata
  // (counted in the default entry count), its value computed over the payload as written.
  bool payload_crc = true;
};

// The 26-byte file header with the given magic, version, schema id and file word.
std::vector<std::uint8_t> encode_file_header(const FileHeader& header);

// The 36-byte frame header; header_crc is the CRC-32 of bytes 0..31 unless `crc` is given.
std::array<std::uint8_t, kFrameHeaderSize> encode_frame_header(const FrameHeader& header,
                                                                std::optional<std::uint32_t> crc = std::nullopt);

// Appends one frame to `out`. Fails with PayloadLengthMismatch{declared = the field's maximum,
// found = the length given} when a length does not fit its field: the event encoding (65535
// bytes), a metadata value (65535 bytes), the metadata entry count (65535) or the annotation
// count (255) when no explicit count is given. Nothing is appended on failure.
Status append_frame(std::vector<std::uint8_t>& out, const FrameSpec& frame_spec);

// The trailer for a header as written: marker 0xFFFF and the CRC-32 of the 36 header bytes.
std::array<std::uint8_t, kTrailerSize> encode_trailer(std::span<const std::uint8_t, kFrameHeaderSize> header_bytes);

}  // namespace kelvane
