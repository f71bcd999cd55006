#include "kelvane/kvlx/encoder.h"

#include <gtest/gtest.h>

#include <random>

#include "kelvane/kvlx/le_bytes.h"
#include "kelvane/kvlx/metadata_keys.h"
#include "kelvane/kvlx/owned_frame.h"

namespace kelvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A frame read back from bytes by the parser pieces, with its trailer.
struct ReadFrame {
  SyndromeFrame frame;
  std::size_t consumed = 0;
  std::uint16_t trailer_marker = 0;
  std::uint32_t trailer_crc = 0;
};

// Sequences the parsers over one complete frame; returns nothing if the bytes run out.
std::optional<ReadFrame> read_frame(std::span<const std::uint8_t> b) {
  ReadFrame out;
  auto header = parse_frame_header(b);
  if (!header) return std::nullopt;
  SyndromeFrame& f = out.frame;
  f.header = header->first;
  std::size_t pos = kFrameHeaderSize;
  auto need = [&](std::size_t n) { return b.size() - pos >= n; };
  const std::size_t n = f.header.ancilla_count;
  if (!need(2)) return std::nullopt;
  const std::size_t len = load_le<std::uint16_t>(&b[pos]);
  pos += 2;
  if (!need(len + n)) return std::nullopt;
  f.detector_events_rle = b.subspan(pos, len);
  pos += len;
  f.meas_results = {reinterpret_cast<const std::int8_t*>(&b[pos]), n};
  pos += n;
  if (f.header.flags & kFlagTiming) {
    if (!need(2 * n)) return std::nullopt;
    for (std::size_t i = 0; i < n; ++i) f.timing_offsets.push_back(load_le<std::uint16_t>(&b[pos + 2 * i]));
    pos += 2 * n;
  }
  if (f.header.flags & kFlagAncillaBits) {
    const std::size_t bits = (n + 7) / 8;
    if (!need(bits)) return std::nullopt;
    f.ancilla_bits = b.subspan(pos, bits);
    pos += bits;
  }
  if (f.header.flags & kFlagMetadata) {
    if (!need(2)) return std::nullopt;
    const std::size_t count = load_le<std::uint16_t>(&b[pos]);
    pos += 2;
    f.metadata.emplace();
    for (std::size_t i = 0; i < count; ++i) {
      if (!need(4)) return std::nullopt;
      const std::uint16_t key = load_le<std::uint16_t>(&b[pos]);
      const std::size_t vlen = load_le<std::uint16_t>(&b[pos + 2]);
      pos += 4;
      if (!need(vlen)) return std::nullopt;
      apply_metadata_entry(*f.metadata, key, b.subspan(pos, vlen));
      pos += vlen;
    }
  }
  if (f.header.flags & kFlagAnnotations) {
    if (!need(1)) return std::nullopt;
    const std::size_t block = 1 + 10 * b[pos];
    if (!need(block)) return std::nullopt;
    f.annotations = parse_annotations(b.subspan(pos, block));
    pos += block;
  }
  if (!need(kTrailerSize)) return std::nullopt;
  out.trailer_marker = load_le<std::uint16_t>(&b[pos]);
  out.trailer_crc = load_le<std::uint32_t>(&b[pos + 2]);
  out.consumed = pos + kTrailerSize;
  return out;
}

TEST(AppendFrame, FlagsZeroFrameHasHeaderLengthEventsResultsAndTrailer) {
  FrameSpec frame_spec;
  frame_spec.header.ancilla_count = 4;
  frame_spec.detector_events = {0, 1, 1, 0};
  frame_spec.meas_results = {1, -1, -1, 1};
  frame_spec.timing_offsets = {1, 2, 3, 4};  // not written: flag bit 0 is clear
  frame_spec.payload_crc = false;
  Bytes out;
  ASSERT_TRUE(append_frame(out, frame_spec).has_value());
  EXPECT_EQ(out.size(), 36u + 2 + 3 + 4 + 6);
  EXPECT_EQ(Bytes(out.begin() + 36, out.begin() + 41), (Bytes{3, 0, 0x01, 0x82, 0x01}));
  EXPECT_EQ(Bytes(out.end() - 6, out.end() - 4), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(load_le<std::uint32_t>(&out[out.size() - 4]), crc32_of(std::span(out).first(36)));
}

TEST(AppendFrame, BrokenDataKnobs) {
  FrameSpec frame_spec;
  frame_spec.header.frame_id = 5;
  frame_spec.payload_crc = false;
  Bytes good;
  ASSERT_TRUE(append_frame(good, frame_spec).has_value());

  FrameSpec bad_crc = frame_spec;
  bad_crc.header_crc = 0x12345678;
  Bytes out;
  ASSERT_TRUE(append_frame(out, bad_crc).has_value());
  const auto r = parse_frame_header(out);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().as<errors::CrcMismatch>().got, 0x12345678u);
  EXPECT_EQ(r.error().as<errors::CrcMismatch>().expected, load_le<std::uint32_t>(&good[32]));

  FrameSpec bad_trailer = frame_spec;
  bad_trailer.trailer.marker = 0xFFFE;
  bad_trailer.trailer.crc = 1;
  out.clear();
  ASSERT_TRUE(append_frame(out, bad_trailer).has_value());
  EXPECT_EQ(Bytes(out.begin(), out.end() - 6), Bytes(good.begin(), good.end() - 6));
  EXPECT_EQ(Bytes(out.end() - 6, out.end()), (Bytes{0xFE, 0xFF, 1, 0, 0, 0}));

  FrameSpec no_trailer = frame_spec;
  no_trailer.trailer.present = false;
  out.clear();
  ASSERT_TRUE(append_frame(out, no_trailer).has_value());
  EXPECT_EQ(out, Bytes(good.begin(), good.end() - 6));

  FrameSpec counts = frame_spec;
  counts.header.flags = kFlagMetadata | kFlagAnnotations;
  counts.metadata_count = 3;
  counts.annotation_count = 9;
  out.clear();
  ASSERT_TRUE(append_frame(out, counts).has_value());
  EXPECT_EQ(Bytes(out.begin() + 38, out.end() - 6), (Bytes{3, 0, 9}));

  FileHeader fh;
  fh.magic = 0x584C564B;
  fh.version = 7;
  EXPECT_EQ(parse_file_header(encode_file_header(fh)).error().as<errors::InvalidMagic>().got, 0x584C564Bu);
  fh.magic = kKvlxMagic;
  EXPECT_EQ(parse_file_header(encode_file_header(fh)).error().as<errors::UnsupportedVersion>().version, 7);
}

TEST(AppendFrame, RefusesLengthsThatDoNotFitTheirFieldsAndAppendsNothing) {
  Bytes out{0xAB};
  FrameSpec events;
  events.detector_events.resize(70000);
  for (std::size_t i = 0; i < events.detector_events.size(); i += 2) events.detector_events[i] = 1;
  const auto r = append_frame(out, events);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().as<errors::PayloadLengthMismatch>().found, 70000u);

  FrameSpec annotations;
  annotations.header.flags = kFlagAnnotations;
  annotations.annotations.resize(256);
  EXPECT_FALSE(append_frame(out, annotations).has_value());
  annotations.annotation_count = 0;  // explicit count: written as asked
  FrameSpec value;
  value.header.flags = kFlagMetadata;
  value.metadata.push_back({1, Bytes(65536, 'a')});
  EXPECT_FALSE(append_frame(out, value).has_value());
  EXPECT_EQ(out, Bytes{0xAB});
  EXPECT_TRUE(append_frame(out, annotations).has_value());
}

TEST(MetadataEntries, WritesSetFieldsInKeyOrder) {
  FrameMetadata m;
  m.observable_flips = 0x0102;
  m.metadata_byte = 9;
  m.metadata_text = "hi";
  const auto entries = metadata_entries(m);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], (MetadataEntry{kMetaKeyText, {'h', 'i'}}));
  EXPECT_EQ(entries[1], (MetadataEntry{kMetaKeyByte, {9}}));
  EXPECT_EQ(entries[2], (MetadataEntry{kMetaKeyObservableFlips, {2, 1, 0, 0, 0, 0, 0, 0}}));
  FrameMetadata back;
  for (const auto& e : entries) apply_metadata_entry(back, e.key, e.value);
  EXPECT_EQ(back, m);
  // Observables 64 and up ride in key 17 after key 16, for 65 to 256 observables.
  for (const std::uint16_t count : {65, 130, 256}) {
    HighObservableFlips high{count, {}};
    for (std::size_t k = 64; k < count; k += 3) high.bits.flip(k);
    m.high_observable_flips = high;
    const auto wide = metadata_entries(m);
    ASSERT_EQ(wide.size(), 4u);
    EXPECT_EQ(wide[3].key, kMetaKeyHighObservableFlips);
    EXPECT_EQ(wide[3].value.size(), 2 + (count - 64 + 7) / 8u);
    FrameMetadata again;
    for (const auto& e : wide) apply_metadata_entry(again, e.key, e.value);
    EXPECT_EQ(again, m) << count;
  }
}

// Random frames over every flag combination, including empty and long runs, read back by the
// parsers to the same values.
TEST(EncoderRoundTrip, RandomFramesOverEveryFlagCombination) {
  std::mt19937_64 rng(20261207);
  auto pick = [&](std::uint64_t n) { return rng() % n; };
  const std::size_t kSizes[] = {0, 1, 7, 8, 9, 127, 128, 300, 1000};
  for (int iter = 0; iter < 2000; ++iter) {
    FrameSpec frame_spec;
    FrameHeader& h = frame_spec.header;
    h.frame_id = rng();
    h.round = static_cast<std::uint32_t>(rng());
    h.timestamp_ns = rng();
    h.qubit_count = static_cast<std::uint16_t>(rng());
    h.header_word = static_cast<std::uint32_t>(rng());
    h.code_type = static_cast<std::uint8_t>(rng());
    h.distance = static_cast<std::uint8_t>(rng());
    h.flags = static_cast<std::uint16_t>((iter % 16) | (pick(4) == 0 ? rng() & 0xFFF0 : 0));
    const std::size_t n = kSizes[pick(std::size(kSizes))];
    h.ancilla_count = static_cast<std::uint16_t>(n);
    // Events: long runs, alternating, or sparse.
    const int style = static_cast<int>(pick(3));
    const std::uint8_t bias = static_cast<std::uint8_t>(pick(2));
    for (std::size_t i = 0; i < n; ++i) {
      std::uint8_t v = style == 0 ? bias : style == 1 ? static_cast<std::uint8_t>(i & 1) : static_cast<std::uint8_t>(pick(10) == 0);
      frame_spec.detector_events.push_back(v);
      frame_spec.meas_results.push_back(static_cast<std::int8_t>(rng()));
      frame_spec.timing_offsets.push_back(static_cast<std::uint16_t>(rng()));
    }
    frame_spec.ancilla_bits.resize((n + 7) / 8);
    for (auto& b : frame_spec.ancilla_bits) b = static_cast<std::uint8_t>(rng());
    FrameMetadata expected_meta;
    for (std::size_t k = pick(5); k > 0; --k) {
      const std::uint16_t keys[] = {kMetaKeyText, kMetaKeyWordA, kMetaKeyWordB, kMetaKeyByte, kMetaKeyObservableFlips, 99};
      const std::uint16_t key = keys[pick(std::size(keys))];
      const std::size_t lens[] = {0, 1, 4, 8, 13};
      Bytes value(key == kMetaKeyText ? pick(20) : lens[pick(std::size(lens))]);
      for (auto& b : value) b = static_cast<std::uint8_t>(key == kMetaKeyText ? 'a' + pick(26) : rng());
      if (key == kMetaKeyText && pick(4) == 0) value.push_back(0xFF);
      apply_metadata_entry(expected_meta, key, value);
      frame_spec.metadata.push_back({key, value});
    }
    for (std::size_t k = pick(4); k > 0; --k) {
      frame_spec.annotations.push_back({rng(), static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng())});
    }

    frame_spec.payload_crc = pick(2) == 0;
    if (frame_spec.payload_crc) h.flags |= kFlagPayloadCrc | kFlagMetadata;  // what the encoder adds
    Bytes out{0x42};  // appending keeps what is there
    ASSERT_TRUE(append_frame(out, frame_spec).has_value());
    ASSERT_EQ(out[0], 0x42);
    const auto back = read_frame(std::span(out).subspan(1));
    ASSERT_TRUE(back.has_value()) << "iteration " << iter;
    ASSERT_EQ(back->consumed, out.size() - 1);
    const SyndromeFrame& f = back->frame;
    FrameHeader expected_header = h;
    expected_header.header_crc = crc32_of(std::span(out).subspan(1, 32));
    EXPECT_EQ(f.header, expected_header);
    EXPECT_EQ(back->trailer_marker, kTrailerMarker);
    EXPECT_EQ(back->trailer_crc, crc32_of(std::span(out).subspan(1, 36)));
    EXPECT_EQ(decode_rle_events(f.detector_events_rle, n), frame_spec.detector_events);
    EXPECT_EQ(detector_event_count(f), std::count(frame_spec.detector_events.begin(), frame_spec.detector_events.end(), 1));
    for (std::uint8_t b : f.detector_events_rle) EXPECT_NE(b & 0x7F, 0) << "no zero-length runs";
    EXPECT_EQ(std::vector<std::int8_t>(f.meas_results.begin(), f.meas_results.end()), frame_spec.meas_results);
    EXPECT_EQ(f.timing_offsets, (h.flags & kFlagTiming) ? frame_spec.timing_offsets : std::vector<std::uint16_t>{});
    EXPECT_EQ(Bytes(f.ancilla_bits.begin(), f.ancilla_bits.end()), (h.flags & kFlagAncillaBits) ? frame_spec.ancilla_bits : Bytes{});
    EXPECT_EQ(f.metadata.has_value(), (h.flags & kFlagMetadata) != 0);
    if (f.metadata) {
      EXPECT_EQ(*f.metadata, expected_meta);
    }
    EXPECT_EQ(f.annotations.has_value(), (h.flags & kFlagAnnotations) != 0);
    if (f.annotations) {
      EXPECT_EQ(*f.annotations, frame_spec.annotations);
    }
  }
}

}  // namespace
}  // namespace kelvane
