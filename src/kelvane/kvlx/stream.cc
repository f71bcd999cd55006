#include "kelvane/kvlx/stream.h"

#include <algorithm>
#include <cstring>

#include "kelvane/core/rle.h"
#include "kelvane/kvlx/crc32.h"
#include "kelvane/kvlx/description.h"
#include "kelvane/kvlx/frame_walk.h"
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
  if (!validates(frame.header)) return {};
  if (Status s = check_timing(frame); !s) return s;
  if (!schema_) return {};  // no schema for this stream: only the timing check applies
  if (Status s = check_schema_consistency(frame, *schema_); !s) return s;
  return check_parity(frame, *schema_);
}


Result<bool> KvlxReaderCore::read_file_header(ByteReaderRef source) {
  Result<std::optional<std::span<const std::uint8_t>>> v = view(source, kFileHeaderSize);
  if (!v) return fail(std::move(v.error()));
  if (!*v) return false;
  Result<Parsed<FileHeader>> fh = parse_file_header(**v);
  if (!fh) return fail(std::move(fh.error()));
  schema_id_ = fh->first.schema_id;
  Result<const HardwareSchema*> schema = config_.registry.get(schema_id_);
  schema_ = schema ? *schema : nullptr;
  consume(kFileHeaderSize);
  header_parsed_ = true;
  return true;
}

void KvlxReaderCore::take_description(std::span<const std::uint8_t> bytes, const FrameHeader& h,
                                      const FrameSections& at) {
  if (at.description_pieces) {
    DescriptionPieces pieces;
    std::size_t q = at.metadata_at;
    const std::size_t count = load_le<std::uint16_t>(bytes.data() + q);
    q += kMetadataCountSize;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint16_t key = load_le<std::uint16_t>(bytes.data() + q);
      const std::size_t length = load_le<std::uint16_t>(bytes.data() + q + 2);
      q += kMetadataEntryHeadSize;
      pieces.add(key, bytes.subspan(q, length));
      q += length;
    }
    auto assembled = assemble_description(pieces);
    if (!assembled) {
      description_fault_ = std::move(assembled.error());
      description_.reset();
    } else if (*assembled) {
      description_fault_.reset();
      if (!description_ || *description_ != **assembled) {
        description_ = std::make_shared<const StreamDescription>(std::move(**assembled));
      }
    }
    return;
  }
  // A round-0 frame names the description it belongs to: the one held may no longer be the
  // stream's.
  if (h.round == 0 && at.description_hash && description_ && description_->hash != *at.description_hash) {
    description_.reset();
  }
}

Status KvlxReaderCore::peek_description(ByteReaderRef source) {
  using View = Result<std::optional<std::span<const std::uint8_t>>>;
  peeked_ancillas_.reset();
  if (!header_parsed_) {
    Result<bool> read = read_file_header(source);
    if (!read) return read.error().is<errors::Io>() ? fail(std::move(read.error())) : Status{};
    if (!*read) return {};
  }
  if (resync_from_ || late_trailer_) return {};
  View v = view(source, kFrameHeaderSize);
  if (!v) return fail(std::move(v.error()));
  if (!*v) return {};
  Result<Parsed<FrameHeader>> parsed = parse_frame_header(**v);
  if (!parsed || !goes_forward(parsed->first)) return {};
  const FrameHeader h = parsed->first;
  std::optional<KelvaneError> read_error;
  FrameSections at;
  const WalkStop stop = walk_sections(source, h, at, read_error);
  if (read_error) return fail(std::move(*read_error));
  if (stop.end != WalkEnd::kWhole) return {};
  // The checks read_frame makes: with the trailer, unless the data end after the payload.
  View trailer = view(source, at.end + kTrailerSize);
  if (!trailer) return fail(std::move(trailer.error()));
  const bool has_trailer = trailer->has_value();
  const std::span<const std::uint8_t> bytes = has_trailer ? **trailer : **view(source, at.end);
  if (!check_frame_sections(bytes, h, at, has_trailer)) return {};
  peeked_ancillas_ = h.ancilla_count;
  take_description(bytes, h, at);
  return {};
}

WalkStop KvlxReaderCore::walk_sections(ByteReaderRef source, const FrameHeader& h, FrameSections& at,
                                       std::optional<KelvaneError>& read_error) {
  auto frame_bytes = [&](std::size_t pos, std::size_t len) -> const std::uint8_t* {
    Result<std::optional<std::span<const std::uint8_t>>> got = view(source, pos + len);
    if (!got) {
      read_error = std::move(got.error());
      return nullptr;
    }
    return *got ? (*got)->data() + pos : nullptr;
  };
  return walk_frame_sections(h, config_.max_frame_size, frame_bytes, at);
}

Result<std::optional<SyndromeFrame>> KvlxReaderCore::read_frame(ByteReaderRef source) {
  std::optional<diagnostics::Span> parse_span(std::in_place, kParseSpan);
  using View = Result<std::optional<std::span<const std::uint8_t>>>;

  if (!header_parsed_) {
    Result<bool> read = read_file_header(source);
    if (!read) return fail(std::move(read.error()));
    if (!*read) return std::nullopt;  // shorter than a file header: an empty stream
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

  // An error about the frame says where it starts, and its id once its header is readable.
  const std::uint64_t frame_start = position_;
  std::optional<std::uint64_t> header_id;
  auto at_frame = [&](Result<std::optional<SyndromeFrame>> r) {
    if (!r) {
      r.error().offset = frame_start;
      r.error().frame_id = header_id;
    }
    return r;
  };

  // Frame header. A partial header at the end of the data is no frame yet.
  View v = view(source, kFrameHeaderSize);
  if (!v) return fail(std::move(v.error()));
  if (!*v) {
    if (source.finished() && available() > 0) return at_frame(cut_short(source, kFrameHeaderSize, available()));
    return std::nullopt;
  }
  Result<Parsed<FrameHeader>> parsed = parse_frame_header(**v);
  if (!parsed) return at_frame(corrupt(std::move(parsed.error())));
  const FrameHeader h = parsed->first;
  header_id = h.frame_id;
  if (!goes_forward(h)) return at_frame(corrupt(errors::FrameIdBackwards{*last_frame_id_, h.frame_id}));

  // Walk the sections to the end of the payload, reading as needed.
  std::optional<KelvaneError> read_error;
  FrameSections at;
  const WalkStop stop = walk_sections(source, h, at, read_error);
  if (read_error) return fail(std::move(*read_error));
  if (stop.end == WalkEnd::kTooLarge) {
    // `declared` is then the least size the frame's fields give it.
    return at_frame(corrupt(errors::PayloadLengthMismatch{static_cast<std::uint32_t>(stop.pos + stop.len),
                                                          available(), config_.max_frame_size}));
  }
  if (stop.end == WalkEnd::kShort) return at_frame(cut_short(source, stop.len, available() - stop.pos));

  // Trailer: the data ending right after the payload ends with this frame, unchecked.
  View trailer = view(source, at.end + kTrailerSize);
  if (!trailer) return fail(std::move(trailer.error()));
  const bool has_trailer = trailer->has_value();
  // The whole frame, viewed once more now that nothing further is read.
  const std::span<const std::uint8_t> bytes = has_trailer ? **trailer : **view(source, at.end);
  if (Status s = check_frame_sections(bytes, h, at, has_trailer); !s) return at_frame(corrupt(std::move(s.error())));

  // The frame is whole: build its views and consume it.
  std::optional<SyndromeFrame> out(std::in_place);
  SyndromeFrame& frame = *out;
  if (at.timing_len) {
    frame.timing_offsets = std::move(spare_timing_);
    spare_timing_ = {};
  }
  set_section_views(frame, bytes, h, at);
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
    finish_metadata(meta);
  }
  if (h.flags & kFlagAnnotations) {
    frame.annotations = parse_annotations(bytes.subspan(at.annotations_at, at.end - at.annotations_at));
  }
  take_description(bytes, h, at);
  consume(has_trailer ? at.end + kTrailerSize : at.end);
  if (!has_trailer) late_trailer_ = kFrameTrailer;
  last_frame_id_ = h.frame_id;
  parse_span.reset();

  const diagnostics::Field frame_id_field{"frame_id", h.frame_id};
  diagnostics::Span validate_span(kValidateSpan, std::span<const diagnostics::Field>(&frame_id_field, 1));
  validate_span.enter();
  if (Status s = validate(frame); !s) return at_frame(fail(std::move(s.error())));
  return out;
}


Result<BulkStop> KvlxReaderCore::read_buffered_frames(ByteReaderRef source, std::size_t max_frames, FrameBatch& out) {
  if (out.size() >= max_frames) return BulkStop::kFull;
  auto append = [&out](const FrameView& frame) {
    out.append(frame);
    return true;
  };
  Block block{max_frames - out.size(), out.size() ? std::optional(out.ancilla_count) : std::nullopt, true,
              FrameSinkRef(append)};
  return take_buffered_frames(source, block);
}

void KvlxReaderCore::deliver(Block& block, const FrameView& view) {
  if (block.fix_width && !block.width) block.width = view.header.ancilla_count;
  ++block.taken;
  if (!block.sink(view)) block.stopped = true;
}

Result<BlockEnd> KvlxReaderCore::parse_block(ByteReaderRef source, const BlockLimits& limits, FrameSinkRef sink) {
  Block block{limits.max_frames, limits.ancilla_count, limits.one_ancilla_count, sink};
  for (;;) {
    if (block.taken >= block.max_frames || block.stopped) return BlockEnd::kLimit;
    Result<BulkStop> stop = take_buffered_frames(source, block);
    if (!stop) return fail(std::move(stop.error()));
    if (*stop == BulkStop::kFull) return BlockEnd::kLimit;
    if (*stop == BulkStop::kOtherAncillaCount) return BlockEnd::kAncillaCount;
    if (block.width) {
      // The next header's ancilla count, unchecked: reading the frame checks it.
      Result<std::optional<std::uint16_t>> next_count = peek_ancilla_count(source);
      if (!next_count) return fail(std::move(next_count.error()));
      if (!*next_count || **next_count != *block.width) return BlockEnd::kAncillaCount;
    }
    Result<std::optional<SyndromeFrame>> frame = read_frame(source);
    if (!frame) return fail(std::move(frame.error()));
    if (!*frame) return BlockEnd::kNoData;
    deliver(block, view_of(**frame));
    recycle(std::move(**frame));
  }
}

Result<BulkStop> KvlxReaderCore::take_buffered_frames(ByteReaderRef source, Block& block) {
  if (!header_parsed_ || resync_from_ || late_trailer_ || carry_pos_ != carry_.size() ||
      diagnostics::sink_for(kParseSpan.level) || diagnostics::sink_for(kValidateSpan.level)) {
    return BulkStop::kGeneral;
  }
  std::span<const std::uint8_t> bytes = ring_.front();
  while (block.taken < block.max_frames && !block.stopped) {
    switch (take_buffered_frame(bytes, block)) {
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

KvlxReaderCore::Scan KvlxReaderCore::take_buffered_frame(std::span<const std::uint8_t>& bytes, Block& block) {
  const std::uint8_t* b = bytes.data();
  if (bytes.size() < kFrameHeaderSize) return Scan::kIncomplete;
  if (block.width && load_le<std::uint16_t>(b + kFrameAncillaCountOffset) != *block.width) {
    return Scan::kOtherAncillaCount;
  }
  // Every check is read_frame's; anything it would report or read otherwise is left to it.
  const FrameHeader h = decode_frame_header(b);
  if (!frame_header_crc_ok(b, h) || !goes_forward(h)) return Scan::kGeneral;
  auto buffered = [&](std::size_t pos, std::size_t len) -> const std::uint8_t* {
    return pos + len <= bytes.size() ? b + pos : nullptr;
  };
  FrameSections at;
  switch (walk_frame_sections(h, config_.max_frame_size, buffered, at).end) {
    case WalkEnd::kWhole:
      break;
    case WalkEnd::kShort:
      return Scan::kIncomplete;
    case WalkEnd::kTooLarge:
      return Scan::kGeneral;
  }
  const std::size_t size = at.end + kTrailerSize;
  if (size > bytes.size()) return Scan::kIncomplete;
  const std::span<const std::uint8_t> frame = bytes.first(size);
  if (!check_frame_sections(frame, h, at, true) || at.description_pieces) return Scan::kGeneral;
  if (validates(h)) {
    set_section_views(checked_, frame, h, at);
    if (!validate(checked_)) return Scan::kGeneral;
  }
  if (at.description_hash) take_description(frame, h, at);

  // Straight from the ring: the carry buffer is empty. The bytes stay in place until the next
  // read from the source, after the sink's call.
  ring_.consume(size);
  position_ += size;
  last_frame_id_ = h.frame_id;
  bytes = bytes.subspan(size);

  FrameView view;
  view.header = h;
  view.detector_events_rle = frame.subspan(at.rle_at, at.rle_len);
  view.meas_results =
      std::span<const std::int8_t>(reinterpret_cast<const std::int8_t*>(frame.data() + at.meas_at), h.ancilla_count);
  view.observable_flips = at.observable_flips;
  if (h.flags & kFlagMetadata) {
    view.metadata_block = frame.subspan(at.metadata_at, ((h.flags & kFlagAnnotations) ? at.annotations_at : at.end) - at.metadata_at);
  }
  deliver(block, view);
  return Scan::kTaken;
}

}  // namespace kelvane
