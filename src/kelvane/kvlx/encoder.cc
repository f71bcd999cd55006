#include "kelvane/kvlx/encoder.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "kelvane/kvlx/le_bytes.h"
#include "kelvane/kvlx/metadata_keys.h"

namespace kelvane {

namespace {

constexpr std::size_t kMaxU16 = std::numeric_limits<std::uint16_t>::max();
constexpr std::size_t kMaxU8 = std::numeric_limits<std::uint8_t>::max();

std::vector<std::uint8_t> le_bytes_of(std::uint64_t value, std::size_t width) {
  std::vector<std::uint8_t> out(width);
  for (std::size_t i = 0; i < width; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return out;
}

std::unexpected<KelvaneError> too_long(std::size_t limit, std::size_t found) {
  return fail(errors::PayloadLengthMismatch{static_cast<std::uint32_t>(limit), found});
}

}  // namespace

std::vector<MetadataEntry> metadata_entries(const FrameMetadata& meta) {
  std::vector<MetadataEntry> out;
  if (meta.metadata_text) {
    out.push_back({kMetaKeyText, std::vector<std::uint8_t>(meta.metadata_text->begin(), meta.metadata_text->end())});
  }
  if (meta.metadata_word_a) out.push_back({kMetaKeyWordA, le_bytes_of(*meta.metadata_word_a, 4)});
  if (meta.metadata_word_b) out.push_back({kMetaKeyWordB, le_bytes_of(*meta.metadata_word_b, 4)});
  if (meta.metadata_byte) out.push_back({kMetaKeyByte, {*meta.metadata_byte}});
  if (meta.observable_flips) out.push_back({kMetaKeyObservableFlips, le_bytes_of(*meta.observable_flips, 8)});
  if (const auto& high = meta.high_observable_flips; high && high->count > 64) {
    const std::size_t count = std::min<std::size_t>(high->count, ObservableBits::kMaxObservables);
    std::vector<std::uint8_t> value = le_bytes_of(count, 2);
    value.resize(2 + (count - 64 + 7) / 8);
    for (std::size_t k = 64; k < count; ++k) {
      if (high->bits.test(k)) value[2 + (k - 64) / 8] |= static_cast<std::uint8_t>(1u << ((k - 64) % 8));
    }
    out.push_back({kMetaKeyHighObservableFlips, std::move(value)});
  }
  if (meta.description_hash) out.push_back({kMetaKeyDescriptionHash, le_bytes_of(*meta.description_hash, 8)});
  return out;
}

std::vector<std::uint8_t> encode_file_header(const FileHeader& header) {
  std::vector<std::uint8_t> out;
  out.reserve(kFileHeaderSize);
  append_le(out, header.magic);
  append_le(out, header.version);
  out.insert(out.end(), header.schema_id.begin(), header.schema_id.end());
  append_le(out, header.file_word);
  return out;
}

std::array<std::uint8_t, kFrameHeaderSize> encode_frame_header(const FrameHeader& h, std::optional<std::uint32_t> crc) {
  std::array<std::uint8_t, kFrameHeaderSize> out{};
  std::uint8_t* p = out.data();
  store_le(p + 0, h.frame_id);
  store_le(p + 8, h.round);
  store_le(p + 12, h.timestamp_ns);
  store_le(p + 20, h.qubit_count);
  store_le(p + 22, h.ancilla_count);
  store_le(p + 24, h.header_word);
  p[28] = h.code_type;
  p[29] = h.distance;
  store_le(p + 30, h.flags);
  const std::uint32_t value = crc ? *crc : crc32_of(std::span<const std::uint8_t>(out).first(kFrameHeaderCrcOffset));
  store_le(p + kFrameHeaderCrcOffset, value);
  return out;
}

std::array<std::uint8_t, kTrailerSize> encode_trailer(std::span<const std::uint8_t, kFrameHeaderSize> header_bytes) {
  std::array<std::uint8_t, kTrailerSize> out{};
  store_le(out.data(), kTrailerMarker);
  store_le(out.data() + 2, crc32_of(header_bytes));
  return out;
}

Status append_frame(std::vector<std::uint8_t>& out, const FrameSpec& frame_spec) {
  FrameHeader written_header = frame_spec.header;
  if (frame_spec.payload_crc) written_header.flags |= kFlagPayloadCrc | kFlagMetadata;
  const std::uint16_t flags = written_header.flags;
  // The caller's entries are written only when the caller set the metadata flag.
  static const std::vector<MetadataEntry> kNoEntries;
  const std::vector<MetadataEntry>& entries = (frame_spec.header.flags & kFlagMetadata) ? frame_spec.metadata : kNoEntries;
  const std::size_t entry_count = entries.size() + (frame_spec.payload_crc ? 1 : 0);
  std::vector<std::uint8_t> encoded;
  std::span<const std::uint8_t> rle;
  if (frame_spec.detector_events_rle) {
    rle = *frame_spec.detector_events_rle;
  } else {
    encoded = encode_rle_events(frame_spec.detector_events);
    rle = encoded;
  }
  if (rle.size() > kMaxU16) return too_long(kMaxU16, rle.size());
  if (flags & kFlagMetadata) {
    if (!frame_spec.metadata_count && entry_count > kMaxU16) return too_long(kMaxU16, entry_count);
    for (const MetadataEntry& e : entries) {
      if (e.value.size() > kMaxU16) return too_long(kMaxU16, e.value.size());
    }
  }
  if ((flags & kFlagAnnotations) && !frame_spec.annotation_count && frame_spec.annotations.size() > kMaxU8) {
    return too_long(kMaxU8, frame_spec.annotations.size());
  }

  const auto header = encode_frame_header(written_header, frame_spec.header_crc);
  out.insert(out.end(), header.begin(), header.end());
  const std::size_t payload_begin = out.size();
  std::size_t crc_value_at = 0;  // offset of the payload CRC value in `out`, once written
  append_le(out, static_cast<std::uint16_t>(rle.size()));
  out.insert(out.end(), rle.begin(), rle.end());
  for (std::int8_t m : frame_spec.meas_results) out.push_back(static_cast<std::uint8_t>(m));
  if (flags & kFlagTiming) {
    for (std::uint16_t t : frame_spec.timing_offsets) append_le(out, t);
  }
  if (flags & kFlagAncillaBits) out.insert(out.end(), frame_spec.ancilla_bits.begin(), frame_spec.ancilla_bits.end());
  if (flags & kFlagMetadata) {
    append_le(out, frame_spec.metadata_count ? *frame_spec.metadata_count : static_cast<std::uint16_t>(entry_count));
    for (const MetadataEntry& e : entries) {
      append_le(out, e.key);
      append_le(out, static_cast<std::uint16_t>(e.value.size()));
      out.insert(out.end(), e.value.begin(), e.value.end());
    }
    if (frame_spec.payload_crc) {
      append_le(out, kMetaKeyPayloadCrc);
      append_le(out, std::uint16_t{4});
      crc_value_at = out.size();
      append_le(out, std::uint32_t{0});  // filled in once the payload is complete
    }
  }
  if (flags & kFlagAnnotations) {
    out.push_back(frame_spec.annotation_count ? *frame_spec.annotation_count : static_cast<std::uint8_t>(frame_spec.annotations.size()));
    for (const Annotation& a : frame_spec.annotations) {
      out.push_back(a.kind);
      append_le(out, a.value);
      out.push_back(a.aux);
    }
  }
  if (frame_spec.payload_crc) {
    const std::span<const std::uint8_t> payload(out.data() + payload_begin, out.size() - payload_begin);
    store_le(out.data() + crc_value_at, payload_crc_of(payload, crc_value_at - payload_begin));
  }
  if (frame_spec.trailer.present) {
    append_le(out, frame_spec.trailer.marker);
    append_le(out, frame_spec.trailer.crc ? *frame_spec.trailer.crc : crc32_of(header));
  }
  return {};
}

}  // namespace kelvane
