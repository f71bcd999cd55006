#include "kelvane/kvlx/stream.h"

#include <algorithm>
#include <cstring>

#include "kelvane/core/rle.h"
#include "kelvane/kvlx/crc32.h"
#include "kelvane/kvlx/le_bytes.h"
#include "kelvane/kvlx/metadata_keys.h"
#include "kelvane/util/diagnostics.h"
#include "kelvane/validate/parity.h"
#include "kelvane/validate/schema_consistency.h"
#include "kelvane/validate/timing.h"

namespace kelvane {

namespace {

constexpr std::string_view kSpanTarget = "kelvane_kvlx::stream";
constexpr diagnostics::SpanMeta kParseSpan{"kvlx.frame_parse", kSpanTarget, diagnostics::Level::Info};
constexpr diagnostics::SpanMeta kValidateSpan{"kvlx.frame_validate", kSpanTarget, diagnostics::Level::Info};

constexpr std::size_t kEventLengthSize = 2;
constexpr std::size_t kMetadataCountSize = 2;
constexpr std::size_t kMetadataEntryHeadSize = 4;
constexpr std::size_t kAnnotationEntrySize = 10;

KelvaneError short_payload(std::size_t declared, std::size_t found) {
  return errors::PayloadLengthMismatch{static_cast<std::uint32_t>(declared), found};
}

}  // namespace

KvlxReaderCore::KvlxReaderCore(StreamConfig config)
    : config_(std::move(config)), ring_(std::max<std::size_t>(config_.buffer_capacity, 1)) {
  config_.max_frame_size = std::max(config_.max_frame_size, ring_.capacity());
}

Result<bool> KvlxReaderCore::fill_once(ByteReaderRef source) {
  // Read straight into the ring, no more than it can take, so that no byte taken from the
  // source is lost.
  if (ring_.free_space() == 0) move_to_carry(ring_.buffered());
  const std::span<std::uint8_t> room = ring_.prepare(kReadChunkSize);
  Result<std::size_t> got = source.read(room);
  if (!got) return fail(std::move(got.error()));
  if (*got == 0) return false;
  ring_.commit(std::min(*got, room.size()));
  return true;
}

void KvlxReaderCore::move_to_carry(std::size_t m) {
  if (m == 0) return;
  // Drop the consumed front first when it is most of the buffer, so that the carry buffer stays
  // about as large as the frame it holds.
  if (carry_pos_ > 0 && carry_pos_ >= carry_.size() / 2) {
    carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(carry_pos_));
    carry_pos_ = 0;
  }
  std::span<const std::uint8_t> bytes = *ring_.peek_wrapped(m, scratch_);
  carry_.insert(carry_.end(), bytes.begin(), bytes.end());
  ring_.consume(m);
}

Result<std::optional<std::span<const std::uint8_t>>> KvlxReaderCore::view(ByteReaderRef source, std::size_t k) {
  if (carry_pos_ == carry_.size()) {
    // Straight from the ring while the range fits it without wrapping.
    while (ring_.buffered() < k && ring_.free_space() > 0) {
      Result<bool> more = fill_once(source);
      if (!more) return fail(std::move(more.error()));
      if (!*more) return std::nullopt;
    }
    if (std::optional<std::span<const std::uint8_t>> v = ring_.peek(k)) return v;
  }
  while (carry_.size() - carry_pos_ < k) {
    if (ring_.buffered() == 0) {
      Result<bool> more = fill_once(source);
      if (!more) return fail(std::move(more.error()));
      if (!*more) return std::nullopt;
    }
    move_to_carry(std::min(ring_.buffered(), k - (carry_.size() - carry_pos_)));
  }
  return std::span<const std::uint8_t>(carry_.data() + carry_pos_, k);
}

void KvlxReaderCore::consume(std::size_t k) {
  const std::size_t from_carry = std::min(k, carry_.size() - carry_pos_);
  carry_pos_ += from_carry;
  if (carry_pos_ == carry_.size()) {
    carry_.clear();
    carry_pos_ = 0;
  }
  ring_.consume(k - from_carry);
  position_ += k;
}

void KvlxReaderCore::drop(std::size_t k) {
  consume(k);
  skipped_bytes_ += k;
}

std::optional<std::size_t> KvlxReaderCore::find_header(ByteReaderRef source, std::size_t from) {
  const std::size_t avail = available();
  if (avail < from + kFrameHeaderSize) return std::nullopt;
  // Everything asked for is buffered, so this view reads nothing and cannot fail.
  Result<std::optional<std::span<const std::uint8_t>>> all = view(source, avail);
  if (!all || !*all) return std::nullopt;
  const std::span<const std::uint8_t> bytes = **all;
  for (std::size_t at = from; at + kFrameHeaderSize <= avail; ++at) {
    const std::uint8_t* h = bytes.data() + at;
    if (crc32_of(std::span<const std::uint8_t>(h, kFrameHeaderCrcOffset)) == load_le<std::uint32_t>(h + kFrameHeaderCrcOffset)) {
      return at;
    }
  }
  return std::nullopt;
}

std::unexpected<KelvaneError> KvlxReaderCore::corrupt(KelvaneError e) {
  resync_from_ = 1;
  return fail(std::move(e));
}

Result<bool> KvlxReaderCore::resync(ByteReaderRef source) {
  for (;;) {
    const std::size_t from = *resync_from_;
    if (std::optional<std::size_t> at = find_header(source, from)) {
      drop(*at);
      resync_from_.reset();
      return true;
    }
    // Every start before the last 35 bytes has been tried; those may begin a header.
    const std::size_t avail = available();
    const std::size_t done = avail >= from + kFrameHeaderSize ? avail - (kFrameHeaderSize - 1) : std::min(from, avail);
    drop(done);
    resync_from_ = from - std::min(from, done);
    Result<bool> more = fill_once(source);
    if (!more) return fail(std::move(more.error()));
    if (!*more) {
      if (source.finished()) drop(available());
      return false;
    }
  }
}

Result<bool> KvlxReaderCore::skip_late_trailer(ByteReaderRef source) {
  const std::array<std::uint8_t, kTrailerSize> expected = *late_trailer_;
  Result<std::optional<std::span<const std::uint8_t>>> t = view(source, kTrailerSize);
  if (!t) return fail(std::move(t.error()));
  if (*t) {
    if (std::equal(expected.begin(), expected.end(), (*t)->begin())) consume(kTrailerSize);
    late_trailer_.reset();
    return true;
  }
  // Fewer than 6 bytes: wait for the rest while they are the trailer's first bytes.
  const std::size_t avail = available();
  std::span<const std::uint8_t> part = **view(source, avail);
  if (!std::equal(part.begin(), part.end(), expected.begin())) {
    late_trailer_.reset();
    return true;
  }
  if (source.finished()) {
    consume(avail);
    late_trailer_.reset();
  }
  return false;
}

Result<std::optional<SyndromeFrame>> KvlxReaderCore::cut_short(ByteReaderRef source, std::size_t declared, std::size_t found) {
  KelvaneError e = short_payload(declared, found);
  // A complete frame header after the cut frame's start means the frame is damaged, not late.
  if (find_header(source, 1)) return corrupt(std::move(e));
  if (source.finished()) {
    drop(available());
    return fail(std::move(e));
  }
  if (cut_reported_at_ == position_) return std::nullopt;
  cut_reported_at_ = position_;
  return fail(std::move(e));
}

void KvlxReaderCore::recycle(SyndromeFrame&& frame) {
  if (frame.timing_offsets.capacity() > spare_timing_.capacity()) spare_timing_ = std::move(frame.timing_offsets);
}

Result<std::optional<SyndromeFrame>> KvlxReaderCore::next_frame(ByteReaderRef source) {
  return read_frame(source);
}

Result<std::optional<std::uint16_t>> KvlxReaderCore::peek_ancilla_count(ByteReaderRef source) {
  if (!header_parsed_ || resync_from_ || late_trailer_) return std::nullopt;
  Result<std::optional<std::span<const std::uint8_t>>> raw = view(source, kFrameHeaderSize);
  if (!raw) return fail(std::move(raw.error()));
  if (!*raw) return std::nullopt;
  return load_le<std::uint16_t>((*raw)->data() + kFrameAncillaCountOffset);
}

Status KvlxReaderCore::validate(const SyndromeFrame& frame) const {
  if (config_.skip_validation) return {};
  if (Status s = check_timing(frame); !s) return s;
  if (!schema_) return {};  // no schema for this stream: only the timing check applies
  if (Status s = check_schema_consistency(frame, *schema_); !s) return s;
  return check_parity(frame, *schema_);
}

namespace {

// Where the sections of a frame lie, as offsets from the start of its header.
struct FrameLayout {
  std::size_t rle_len = 0;
  std::size_t timing_len = 0;
  std::size_t bits_len = 0;
  std::size_t metadata_at = 0;     // the entry count, when flagged
  std::size_t annotations_at = 0;  // the count byte, when flagged
  std::optional<std::size_t> crc_value_at;
  std::size_t end = 0;  // the first byte after the payload
};

}  // namespace

Result<std::optional<SyndromeFrame>> KvlxReaderCore::read_frame(ByteReaderRef source) {
  std::optional<diagnostics::Span> parse_span(std::in_place, kParseSpan);
  using View = Result<std::optional<std::span<const std::uint8_t>>>;

  if (!header_parsed_) {
    View v = view(source, kFileHeaderSize);
    if (!v) return fail(std::move(v.error()));
    if (!*v) return std::nullopt;  // shorter than a file header: an empty stream
    Result<Parsed<FileHeader>> fh = parse_file_header(**v);
    if (!fh) return fail(std::move(fh.error()));
    schema_id_ = fh->first.schema_id;
    Result<const HardwareSchema*> schema = config_.registry.get(schema_id_);
    schema_ = schema ? *schema : nullptr;
    consume(kFileHeaderSize);
    header_parsed_ = true;
  }
  if (resync_from_) {
    Result<bool> found = resync(source);
    if (!found) return fail(std::move(found.error()));
    if (!*found) return std::nullopt;
  }
  if (late_trailer_) {
    Result<bool> go_on = skip_late_trailer(source);
    if (!go_on) return fail(std::move(go_on.error()));
    if (!*go_on) return std::nullopt;
  }

  // Frame header. A partial header at the end of the data is no frame yet.
  View v = view(source, kFrameHeaderSize);
  if (!v) return fail(std::move(v.error()));
  if (!*v) {
    if (source.finished() && available() > 0) return cut_short(source, kFrameHeaderSize, available());
    return std::nullopt;
  }
  Result<Parsed<FrameHeader>> parsed = parse_frame_header(**v);
  if (!parsed) return corrupt(std::move(parsed.error()));
  const FrameHeader h = parsed->first;
  if (last_frame_id_ && h.frame_id <= *last_frame_id_) {
    return corrupt(errors::FrameIdBackwards{*last_frame_id_, h.frame_id});
  }

  // Walk the sections to the end of the payload, reading as needed.
  FrameLayout at;
  std::size_t pos = kFrameHeaderSize;
  // Makes `len` bytes from `pos` available; nothing means the frame is cut short.
  auto need = [&](std::size_t len) -> Result<std::optional<std::span<const std::uint8_t>>> {
    if (pos + len > config_.max_frame_size) {
      // `declared` is then the least size the frame's fields give it.
      return corrupt(errors::PayloadLengthMismatch{static_cast<std::uint32_t>(pos + len), available(),
                                                   config_.max_frame_size});
    }
    View got = view(source, pos + len);
    if (!got || !*got) return got;
    return (*got)->subspan(pos, len);
  };
  // The section of `len` bytes at `pos`, or the return value for a frame cut short.
#define KVLX_NEED(var, len)                                                     \
  View var = need(len);                                                        \
  if (!var) return fail(std::move(var.error()));                               \
  if (!*var) return cut_short(source, (len), available() - pos);

  KVLX_NEED(length_field, kEventLengthSize)
  at.rle_len = load_le<std::uint16_t>((*length_field)->data());
  pos += kEventLengthSize;
  const std::size_t n = h.ancilla_count;
  at.timing_len = (h.flags & kFlagTiming) ? 2 * n : 0;
  at.bits_len = (h.flags & kFlagAncillaBits) ? (n + 7) / 8 : 0;
  const std::size_t fixed = at.rle_len + n + at.timing_len + at.bits_len;
  KVLX_NEED(fixed_sections, fixed)
  pos += fixed;
  if (h.flags & kFlagMetadata) {
    at.metadata_at = pos;
    KVLX_NEED(count_field, kMetadataCountSize)
    const std::size_t count = load_le<std::uint16_t>((*count_field)->data());
    pos += kMetadataCountSize;
    for (std::size_t i = 0; i < count; ++i) {
      KVLX_NEED(entry_head, kMetadataEntryHeadSize)
      const std::uint16_t key = load_le<std::uint16_t>((*entry_head)->data());
      const std::size_t length = load_le<std::uint16_t>((*entry_head)->data() + 2);
      pos += kMetadataEntryHeadSize;
      KVLX_NEED(value, length)
      if (key == kMetaKeyPayloadCrc && length == 4 && !at.crc_value_at) at.crc_value_at = pos;
      pos += length;
    }
  }
  if (h.flags & kFlagAnnotations) {
    at.annotations_at = pos;
    KVLX_NEED(count_field, 1)
    const std::size_t body = kAnnotationEntrySize * (*count_field)->front();
    pos += 1;
    KVLX_NEED(entries, body)
    pos += body;
  }
#undef KVLX_NEED
  at.end = pos;

  // Trailer: the data ending right after the payload ends with this frame, unchecked.
  View trailer = view(source, at.end + kTrailerSize);
  if (!trailer) return fail(std::move(trailer.error()));
  const bool has_trailer = trailer->has_value();
  // The whole frame, viewed once more now that nothing further is read.
  const std::span<const std::uint8_t> bytes = has_trailer ? **trailer : **view(source, at.end);
  const std::span<const std::uint8_t> payload = bytes.subspan(kFrameHeaderSize, at.end - kFrameHeaderSize);

  if (checks_payload_crc(h.flags)) {
    // A missing entry compares the CRC of the whole payload with 0.
    const std::uint32_t computed = at.crc_value_at ? payload_crc_of(payload, *at.crc_value_at - kFrameHeaderSize) : crc32_of(payload);
    const std::uint32_t stored = at.crc_value_at ? load_le<std::uint32_t>(bytes.data() + *at.crc_value_at) : 0;
    if (!at.crc_value_at || computed != stored) return corrupt(errors::CrcMismatch{computed, stored});
  }
  std::array<std::uint8_t, kTrailerSize> expected_trailer{};
  store_le(expected_trailer.data(), kTrailerMarker);
  // The header passed its own check, so header_crc is the CRC-32 of bytes 0..31; extending it
  // over the 4 stored CRC bytes gives the CRC-32 of all 36 header bytes.
  store_le(expected_trailer.data() + 2, crc32_extend(h.header_crc, bytes.subspan(kFrameHeaderCrcOffset, 4)));
  if (has_trailer && !std::equal(expected_trailer.begin(), expected_trailer.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at.end))) {
    const std::uint32_t stored = load_le<std::uint32_t>(bytes.data() + at.end + 2);
    return corrupt(errors::CrcMismatch{load_le<std::uint32_t>(expected_trailer.data() + 2), stored});
  }
  const std::span<const std::uint8_t> rle = bytes.subspan(kFrameHeaderSize + kEventLengthSize, at.rle_len);
  if (const std::size_t expanded = rle_expanded_length(rle); expanded > n) {
    return corrupt(errors::PayloadLengthMismatch{static_cast<std::uint32_t>(n), expanded});
  }

  // The frame is whole: build its views and consume it.
  std::optional<SyndromeFrame> out(std::in_place);
  SyndromeFrame& frame = *out;
  frame.header = h;
  std::size_t p = kFrameHeaderSize + kEventLengthSize;
  frame.detector_events_rle = rle;
  p += at.rle_len;
  frame.meas_results = std::span<const std::int8_t>(reinterpret_cast<const std::int8_t*>(bytes.data() + p), n);
  p += n;
  if (at.timing_len) {
    frame.timing_offsets = std::move(spare_timing_);
    spare_timing_ = {};
    frame.timing_offsets.resize(n);
    for (std::size_t i = 0; i < n; ++i) frame.timing_offsets[i] = load_le<std::uint16_t>(bytes.data() + p + 2 * i);
    p += at.timing_len;
  }
  frame.ancilla_bits = bytes.subspan(p, at.bits_len);
  if (h.flags & kFlagMetadata) {
    FrameMetadata& meta = frame.metadata.emplace();
    std::size_t q = at.metadata_at;
    const std::size_t count = load_le<std::uint16_t>(bytes.data() + q);
    q += kMetadataCountSize;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint16_t key = load_le<std::uint16_t>(bytes.data() + q);
      const std::size_t length = load_le<std::uint16_t>(bytes.data() + q + 2);
      q += kMetadataEntryHeadSize;
      if (q != at.crc_value_at) apply_metadata_entry(meta, key, bytes.subspan(q, length));
      q += length;
    }
  }
  if (h.flags & kFlagAnnotations) {
    frame.annotations = parse_annotations(bytes.subspan(at.annotations_at, at.end - at.annotations_at));
  }
  consume(has_trailer ? at.end + kTrailerSize : at.end);
  if (!has_trailer) late_trailer_ = expected_trailer;
  last_frame_id_ = h.frame_id;
  parse_span.reset();

  const diagnostics::Field frame_id_field{"frame_id", h.frame_id};
  diagnostics::Span validate_span(kValidateSpan, std::span<const diagnostics::Field>(&frame_id_field, 1));
  validate_span.enter();
  if (Status s = validate(frame); !s) return fail(std::move(s.error()));
  return out;
}


Result<BulkStop> KvlxReaderCore::read_buffered_frames(ByteReaderRef source, std::size_t max_frames, FrameBatch& out) {
  if (!header_parsed_ || resync_from_ || late_trailer_ || carry_pos_ != carry_.size() ||
      diagnostics::sink_for(kParseSpan.level) || diagnostics::sink_for(kValidateSpan.level)) {
    return BulkStop::kGeneral;
  }
  std::span<const std::uint8_t> bytes = ring_.front();
  while (out.size() < max_frames) {
    switch (take_buffered_frame(bytes, out)) {
      case Scan::kTaken:
        continue;
      case Scan::kOtherAncillaCount:
        return BulkStop::kOtherAncillaCount;
      case Scan::kGeneral:
        return BulkStop::kGeneral;
      case Scan::kIncomplete:
        break;
    }
    // The frame runs past the buffered bytes: read more, as next_frame would, unless the
    // buffered bytes wrap (next_frame joins them in the carry buffer) or fill the ring.
    if (bytes.size() < ring_.buffered() || ring_.free_space() == 0) return BulkStop::kGeneral;
    Result<bool> more = fill_once(source);
    if (!more) return fail(std::move(more.error()));
    if (!*more) return BulkStop::kGeneral;
    bytes = ring_.front();
  }
  return BulkStop::kFull;
}

KvlxReaderCore::Scan KvlxReaderCore::take_buffered_frame(std::span<const std::uint8_t>& bytes, FrameBatch& out) {
  const std::uint8_t* b = bytes.data();
  if (bytes.size() < kFrameHeaderSize) return Scan::kIncomplete;
  if (out.size() > 0 && load_le<std::uint16_t>(b + kFrameAncillaCountOffset) != out.ancilla_count) {
    return Scan::kOtherAncillaCount;
  }
  const FrameHeader h = decode_frame_header(b);
  if (crc32_of(bytes.first(kFrameHeaderCrcOffset)) != h.header_crc) return Scan::kGeneral;
  if (last_frame_id_ && h.frame_id <= *last_frame_id_) return Scan::kGeneral;

  // The sections as read_frame walks them; a section that read_frame would find larger than a
  // frame may be is left to it.
  std::size_t pos = kFrameHeaderSize;
  auto section = [&](std::size_t len) {
    if (pos + len > config_.max_frame_size) return Scan::kGeneral;
    return pos + len > bytes.size() ? Scan::kIncomplete : Scan::kTaken;
  };
#define KVLX_SECTION(len)                       \
  if (Scan s = section(len); s != Scan::kTaken) \
    return s;

  KVLX_SECTION(kEventLengthSize)
  const std::size_t rle_len = load_le<std::uint16_t>(b + pos);
  pos += kEventLengthSize;
  const std::size_t rle_at = pos;
  const std::size_t n = h.ancilla_count;
  const std::size_t timing_at = rle_at + rle_len + n;
  const std::size_t timing_len = (h.flags & kFlagTiming) ? 2 * n : 0;
  const std::size_t fixed = rle_len + n + timing_len + ((h.flags & kFlagAncillaBits) ? (n + 7) / 8 : 0);
  KVLX_SECTION(fixed)
  pos += fixed;
  std::optional<std::size_t> crc_value_at;
  std::optional<std::uint64_t> flips;
  if (h.flags & kFlagMetadata) {
    KVLX_SECTION(kMetadataCountSize)
    const std::size_t count = load_le<std::uint16_t>(b + pos);
    pos += kMetadataCountSize;
    for (std::size_t i = 0; i < count; ++i) {
      KVLX_SECTION(kMetadataEntryHeadSize)
      const std::uint16_t key = load_le<std::uint16_t>(b + pos);
      const std::size_t length = load_le<std::uint16_t>(b + pos + 2);
      pos += kMetadataEntryHeadSize;
      KVLX_SECTION(length)
      if (key == kMetaKeyPayloadCrc && length == 4 && !crc_value_at) crc_value_at = pos;
      // The last observable flips entry wins, as apply_metadata_entry applies them in order.
      if (key == kMetaKeyObservableFlips && length == 8) flips = load_le<std::uint64_t>(b + pos);
      pos += length;
    }
  }
  if (h.flags & kFlagAnnotations) {
    KVLX_SECTION(1)
    const std::size_t body = kAnnotationEntrySize * b[pos];
    pos += 1;
    KVLX_SECTION(body)
    pos += body;
  }
#undef KVLX_SECTION
  const std::size_t end = pos;
  if (end + kTrailerSize > bytes.size()) return Scan::kIncomplete;

  if (checks_payload_crc(h.flags)) {
    if (!crc_value_at) return Scan::kGeneral;
    const std::span<const std::uint8_t> payload = bytes.subspan(kFrameHeaderSize, end - kFrameHeaderSize);
    if (payload_crc_of(payload, *crc_value_at - kFrameHeaderSize) != load_le<std::uint32_t>(b + *crc_value_at)) {
      return Scan::kGeneral;
    }
  }
  // The trailer's CRC covers the 36 header bytes, which end with their own verified CRC.
  if (load_le<std::uint16_t>(b + end) != kTrailerMarker || load_le<std::uint32_t>(b + end + 2) != kCrc32Residue) {
    return Scan::kGeneral;
  }
  const std::span<const std::uint8_t> rle = bytes.subspan(rle_at, rle_len);
  if (rle_expanded_length(rle) > n) return Scan::kGeneral;
  if (!config_.skip_validation) {
    for (std::size_t i = 0; i < timing_len / 2; ++i) {
      if (load_le<std::uint16_t>(b + timing_at + 2 * i) > kMaxTimingOffsetNs) return Scan::kGeneral;
    }
    if (schema_) {
      SyndromeFrame frame;
      frame.header = h;
      frame.detector_events_rle = rle;
      frame.meas_results = std::span<const std::int8_t>(reinterpret_cast<const std::int8_t*>(b + rle_at + rle_len), n);
      if (!check_schema_consistency(frame, *schema_) || !check_parity(frame, *schema_)) return Scan::kGeneral;
    }
  }

  out.append(h, rle, flips);
  // Straight from the ring: the carry buffer is empty.
  ring_.consume(end + kTrailerSize);
  position_ += end + kTrailerSize;
  last_frame_id_ = h.frame_id;
  bytes = bytes.subspan(end + kTrailerSize);
  return Scan::kTaken;
}

}  // namespace kelvane
