#include "kelvane/kvlx/stream.h"

#include <algorithm>
#include <cstring>

#include "kelvane/util/diagnostics.h"
#include "kelvane/kvlx/le_bytes.h"
#include "kelvane/kvlx/metadata_keys.h"
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
  scratch_.reserve(kReadChunkSize);
  tail_scratch_.reserve(kReadChunkSize);
}

Result<bool> KvlxReaderCore::fill_once(ByteReaderRef source) {
  // Read no more than the ring can take, so that no byte taken from the source is lost. Only a
  // completely full ring (which a request larger than the capacity produces) reads a whole
  // chunk and reports how many of its bytes the ring refused.
  std::size_t want = std::min(kReadChunkSize, ring_.free_space());
  if (want == 0) want = kReadChunkSize;
  Result<std::size_t> got = source.read(std::span<std::uint8_t>(chunk_.data(), want));
  if (!got) return fail(std::move(got.error()));
  if (*got == 0) return false;
  const std::size_t read = std::min(*got, want);
  const std::size_t fits = std::min(read, ring_.free_space());
  // Sections that are views into the ring must be copied out before the write overwrites them
  // or grows (moves) the ring's storage.
  if (building_ && (ring_.write_pos() + fits > sections_begin_ + ring_.capacity() || ring_.write_moves_storage(fits))) {
    detach_sections();
  }
  const std::size_t accepted = ring_.write(std::span<const std::uint8_t>(chunk_.data(), read));
  if (accepted < read) return fail(short_payload(read, accepted));
  return true;
}

Result<bool> KvlxReaderCore::fill_until(ByteReaderRef source, std::size_t n) {
  while (ring_.buffered() < n) {
    Result<bool> more = fill_once(source);
    if (!more || !*more) return more;
  }
  return true;
}

std::span<const std::uint8_t> KvlxReaderCore::take(std::size_t k, std::vector<std::uint8_t>& scratch) {
  // Callers have made sure k bytes are buffered, so the peek cannot be absent.
  std::span<const std::uint8_t> view = *ring_.peek_wrapped(k, scratch);
  ring_.consume(k);
  return view;
}

std::span<const std::uint8_t> KvlxReaderCore::take_payload(std::size_t k, std::vector<std::uint8_t>& scratch) {
  std::span<const std::uint8_t> view = take(k, scratch);
  payload_crc_ = crc32_extend(payload_crc_, view);
  return view;
}

void KvlxReaderCore::detach_sections() {
  SyndromeFrame& f = *building_;
  const std::size_t rle = f.detector_events_rle.size();
  const std::size_t meas = f.meas_results.size();
  const std::size_t bits = f.ancilla_bits.size();
  detached_.resize(rle + meas + bits);
  std::uint8_t* out = detached_.data();
  if (rle) std::memcpy(out, f.detector_events_rle.data(), rle);
  if (meas) std::memcpy(out + rle, f.meas_results.data(), meas);
  if (bits) std::memcpy(out + rle + meas, f.ancilla_bits.data(), bits);
  f.detector_events_rle = std::span<const std::uint8_t>(out, rle);
  f.meas_results = std::span<const std::int8_t>(reinterpret_cast<const std::int8_t*>(out + rle), meas);
  f.ancilla_bits = std::span<const std::uint8_t>(out + rle + meas, bits);
  building_ = nullptr;
}

bool KvlxReaderCore::rewind() {
  if (!ring_.rewind()) return false;
  header_parsed_ = before_frame_.header_parsed;
  schema_id_ = before_frame_.schema_id;
  last_frame_id_ = before_frame_.last_frame_id;
  building_ = nullptr;
  return true;
}

void KvlxReaderCore::recycle(SyndromeFrame&& frame) {
  if (frame.timing_offsets.capacity() > spare_timing_.capacity()) spare_timing_ = std::move(frame.timing_offsets);
}

Result<std::optional<SyndromeFrame>> KvlxReaderCore::next_frame(ByteReaderRef source) {
  ring_.mark();
  before_frame_ = {header_parsed_, schema_id_, last_frame_id_};
  Result<std::optional<SyndromeFrame>> result = read_frame(source);
  building_ = nullptr;
  return result;
}

Status KvlxReaderCore::read_metadata(ByteReaderRef source, SyndromeFrame& frame) {
  Result<bool> ok = fill_until(source, kMetadataCountSize);
  if (!ok) return fail(std::move(ok.error()));
  if (!*ok) return fail(short_payload(kMetadataCountSize, ring_.buffered()));
  const std::uint16_t count = load_le<std::uint16_t>(take_payload(kMetadataCountSize, tail_scratch_).data());
  FrameMetadata& meta = frame.metadata.emplace();
  for (std::uint32_t i = 0; i < count; ++i) {
    ok = fill_until(source, kMetadataEntryHeadSize);
    if (!ok) return fail(std::move(ok.error()));
    if (!*ok) return fail(short_payload(kMetadataEntryHeadSize, ring_.buffered()));
    std::span<const std::uint8_t> head = take_payload(kMetadataEntryHeadSize, tail_scratch_);
    const std::uint16_t key = load_le<std::uint16_t>(head.data());
    const std::uint16_t length = load_le<std::uint16_t>(head.data() + 2);
    ok = fill_until(source, length);
    if (!ok) return fail(std::move(ok.error()));
    if (!*ok) return fail(short_payload(length, ring_.buffered()));
    if (key == kMetaKeyPayloadCrc && length == 4 && !stored_payload_crc_) {
      // The entry's own value is the one part of the payload its CRC leaves out.
      stored_payload_crc_ = load_le<std::uint32_t>(take(length, tail_scratch_).data());
      continue;
    }
    apply_metadata_entry(meta, key, take_payload(length, tail_scratch_));
  }
  return {};
}

Status KvlxReaderCore::read_annotations(ByteReaderRef source, SyndromeFrame& frame) {
  Result<bool> ok = fill_until(source, 1);
  if (!ok) return fail(std::move(ok.error()));
  if (!*ok) return fail(short_payload(1, ring_.buffered()));
  const std::uint8_t count = take_payload(1, tail_scratch_)[0];
  if (count == 0) {
    frame.annotations.emplace();
    return {};
  }
  const std::size_t body = kAnnotationEntrySize * count;
  ok = fill_until(source, body);
  if (!ok) return fail(std::move(ok.error()));
  if (!*ok) return fail(short_payload(body, ring_.buffered()));
  // parse_annotations wants the count byte in front of the entries.
  std::array<std::uint8_t, 1 + kAnnotationEntrySize * 255> block;
  block[0] = count;
  std::span<const std::uint8_t> entries = take_payload(body, tail_scratch_);
  std::memcpy(block.data() + 1, entries.data(), body);
  frame.annotations = parse_annotations(std::span<const std::uint8_t>(block.data(), 1 + body));
  return {};
}

Status KvlxReaderCore::validate(const SyndromeFrame& frame) const {
  if (config_.skip_validation) return {};
  if (Status s = check_timing(frame); !s) return s;
  Result<const HardwareSchema*> schema = config_.registry.get(schema_id_);
  if (!schema) return {};  // no schema for this stream: only the timing check applies
  if (Status s = check_schema_consistency(frame, **schema); !s) return s;
  return check_parity(frame, **schema);
}

Result<std::optional<SyndromeFrame>> KvlxReaderCore::read_frame(ByteReaderRef source) {
  std::optional<diagnostics::Span> parse_span(std::in_place, kParseSpan);

  if (!header_parsed_) {
    Result<bool> ok = fill_until(source, kFileHeaderSize);
    if (!ok) return fail(std::move(ok.error()));
    if (!*ok) return std::nullopt;  // shorter than a file header: an empty stream
    Result<Parsed<FileHeader>> fh = parse_file_header(*ring_.peek_wrapped(kFileHeaderSize, scratch_));
    if (!fh) return fail(std::move(fh.error()));
    schema_id_ = fh->first.schema_id;
    ring_.consume(kFileHeaderSize);
    header_parsed_ = true;
  }

  // Frame header. A partial header at the end of the source is ignored.
  Result<bool> ok = fill_until(source, kFrameHeaderSize);
  if (!ok) return fail(std::move(ok.error()));
  if (!*ok) return std::nullopt;
  std::span<const std::uint8_t> raw = *ring_.peek_wrapped(kFrameHeaderSize, scratch_);
  Result<Parsed<FrameHeader>> parsed = parse_frame_header(raw);
  if (!parsed) return fail(std::move(parsed.error()));
  std::memcpy(raw_header_.data(), raw.data(), kFrameHeaderSize);
  ring_.consume(kFrameHeaderSize);

  std::optional<SyndromeFrame> out(std::in_place);
  SyndromeFrame& frame = *out;
  frame.header = parsed->first;
  const FrameHeader& h = frame.header;

  if (last_frame_id_ && h.frame_id <= *last_frame_id_) {
    return fail(errors::FrameIdBackwards{*last_frame_id_, h.frame_id});
  }
  last_frame_id_ = h.frame_id;

  ok = fill_until(source, kEventLengthSize);
  if (!ok) return fail(std::move(ok.error()));
  if (!*ok) return fail(short_payload(kEventLengthSize, ring_.buffered()));
  payload_crc_ = 0;
  stored_payload_crc_.reset();
  const std::size_t rle_len = load_le<std::uint16_t>(take_payload(kEventLengthSize, scratch_).data());

  const std::size_t n = h.ancilla_count;
  const std::size_t timing_len = (h.flags & kFlagTiming) ? 2 * n : 0;
  const std::size_t bits_len = (h.flags & kFlagAncillaBits) ? (n + 7) / 8 : 0;
  const std::size_t fixed = rle_len + n + timing_len + bits_len;
  ok = fill_until(source, fixed);
  if (!ok) return fail(std::move(ok.error()));
  if (!*ok) return fail(short_payload(fixed, ring_.buffered()));

  // The fixed sections lie within one ring's length, so at most one of them wraps and is
  // assembled in scratch_; the others are views into the ring.
  sections_begin_ = ring_.read_pos();
  frame.detector_events_rle = take_payload(rle_len, scratch_);
  std::span<const std::uint8_t> meas = take_payload(n, scratch_);
  frame.meas_results = std::span<const std::int8_t>(reinterpret_cast<const std::int8_t*>(meas.data()), n);
  if (timing_len) {
    std::span<const std::uint8_t> t = take_payload(timing_len, tail_scratch_);
    frame.timing_offsets = std::move(spare_timing_);
    spare_timing_ = {};
    frame.timing_offsets.resize(n);
    for (std::size_t i = 0; i < n; ++i) frame.timing_offsets[i] = load_le<std::uint16_t>(t.data() + 2 * i);
  }
  frame.ancilla_bits = take_payload(bits_len, scratch_);
  building_ = &frame;

  if (h.flags & kFlagMetadata) {
    if (Status s = read_metadata(source, frame); !s) return fail(std::move(s.error()));
  }
  if (h.flags & kFlagAnnotations) {
    if (Status s = read_annotations(source, frame); !s) return fail(std::move(s.error()));
  }

  if (h.flags & kFlagPayloadCrc) {
    // A missing entry compares the computed CRC with 0.
    const std::uint32_t stored = stored_payload_crc_.value_or(0);
    if (!stored_payload_crc_ || stored != payload_crc_) return fail(errors::CrcMismatch{payload_crc_, stored});
  }

  // Trailer: a source that ends right after the payload ends with this frame, unchecked.
  ok = fill_until(source, kTrailerSize);
  if (!ok) return fail(std::move(ok.error()));
  if (*ok) {
    std::span<const std::uint8_t> trailer = *ring_.peek_wrapped(kTrailerSize, tail_scratch_);
    const std::uint16_t marker = load_le<std::uint16_t>(trailer.data());
    const std::uint32_t stored = load_le<std::uint32_t>(trailer.data() + 2);
    // The header passed its own check, so header_crc is the CRC-32 of bytes 0..31; extending
    // it over the 4 stored CRC bytes gives the CRC-32 of all 36 header bytes.
    const std::uint32_t computed = crc32_extend(
        h.header_crc, std::span<const std::uint8_t>(raw_header_).subspan(kFrameHeaderCrcOffset));
    if (marker != kTrailerMarker || stored != computed) return fail(errors::CrcMismatch{computed, stored});
    ring_.consume(kTrailerSize);
  }
  building_ = nullptr;
  parse_span.reset();

  const diagnostics::Field frame_id_field{"frame_id", h.frame_id};
  diagnostics::Span validate_span(kValidateSpan, std::span<const diagnostics::Field>(&frame_id_field, 1));
  validate_span.enter();
  if (Status s = validate(frame); !s) return fail(std::move(s.error()));
  return out;
}

}  // namespace kelvane
