#include "kelvane/kvlx/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kelvane/util/diagnostics.h"
#include "kelvane/kvlx/description.h"
#include "kelvane/kvlx/encoder.h"
#include "kelvane/kvlx/metadata_keys.h"

namespace kelvane {
namespace {

// An in-memory byte source that hands out at most `chunk` bytes per read and can fail once at
// a chosen read.
// Only the first `visible` bytes can be read (a file still being written); with `final_end` the
// end of the visible bytes is final (a closed connection).
struct MemorySource {
  std::vector<std::uint8_t>* bytes;
  std::size_t chunk = 4096;
  std::size_t pos = 0;
  int fail_on_read = -1;  // index of the read that fails with EIO
  int reads = 0;
  std::size_t visible = SIZE_MAX;
  bool final_end = false;

  bool finished() const { return final_end && pos >= std::min(visible, bytes->size()); }
  Result<std::size_t> read(std::span<std::uint8_t> buf) {
    if (reads++ == fail_on_read) return fail(KelvaneError::from_errno(5));
    const std::size_t n = std::min({chunk, buf.size(), std::min(visible, bytes->size()) - pos});
    std::copy_n(bytes->begin() + static_cast<std::ptrdiff_t>(pos), n, buf.begin());
    pos += n;
    return n;
  }
};

// A frame as read, with its views copied out so that it can be compared after the next call.
struct ReadFrame {
  FrameHeader header;
  std::vector<std::uint8_t> rle;
  std::vector<std::int8_t> meas;
  std::vector<std::uint16_t> timing;
  std::vector<std::uint8_t> bits;
  std::optional<FrameMetadata> metadata;
  std::optional<std::vector<Annotation>> annotations;
  bool operator==(const ReadFrame&) const = default;
};

ReadFrame copy_out(const SyndromeFrame& f) {
  return {f.header,
          {f.detector_events_rle.begin(), f.detector_events_rle.end()},
          {f.meas_results.begin(), f.meas_results.end()},
          f.timing_offsets,
          {f.ancilla_bits.begin(), f.ancilla_bits.end()},
          f.metadata,
          f.annotations};
}

FrameSpec make_spec(std::uint64_t id, std::uint16_t n, std::uint16_t flags, std::uint32_t seed = 1) {
  std::mt19937 rng(seed + static_cast<std::uint32_t>(id));
  FrameSpec s;
  s.header.frame_id = id;
  s.header.round = static_cast<std::uint32_t>(id * 3);
  s.header.timestamp_ns = 1000 + id;
  s.header.qubit_count = static_cast<std::uint16_t>(2 * n + 1);
  s.header.ancilla_count = n;
  s.header.code_type = 1;
  s.header.distance = 3;
  s.header.flags = flags;
  for (std::uint16_t i = 0; i < n; ++i) {
    s.detector_events.push_back(rng() % 5 == 0);
    s.meas_results.push_back(static_cast<std::int8_t>(rng() % 3) - 1);
    s.timing_offsets.push_back(static_cast<std::uint16_t>(rng() % 10001));
  }
  s.ancilla_bits.assign((n + 7) / 8, static_cast<std::uint8_t>(rng()));
  FrameMetadata meta;
  meta.observable_flips = rng();
  meta.metadata_text = std::string(rng() % 40, 'x');
  meta.metadata_byte = static_cast<std::uint8_t>(rng());
  s.metadata = metadata_entries(meta);
  s.annotations = {{rng(), 1, 2}, {rng(), 3, 4}};
  return s;
}

std::vector<std::uint8_t> file_of(const std::vector<FrameSpec>& specs) {
  std::vector<std::uint8_t> out = encode_file_header(FileHeader{});
  for (const FrameSpec& s : specs) EXPECT_TRUE(append_frame(out, s).has_value());
  return out;
}

struct Reader {
  explicit Reader(std::vector<std::uint8_t> data, std::size_t chunk = 4096, StreamConfig config = {})
      : bytes(std::move(data)), stream(MemorySource{&bytes, chunk}, std::move(config)) {}
  std::vector<std::uint8_t> bytes;
  KvlxStream<MemorySource> stream;
};

// Reads to the end (or the first error), copying every frame out.
Result<std::vector<ReadFrame>> read_all(KvlxStream<MemorySource>& s) {
  std::vector<ReadFrame> out;
  for (;;) {
    auto f = s.next_frame();
    if (!f) return fail(f.error());
    if (!*f) return out;
    out.push_back(copy_out(**f));
  }
}

template <typename K>
K expect_error(const Result<std::optional<SyndromeFrame>>& r) {
  EXPECT_FALSE(r.has_value());
  if (r.has_value()) return K{};
  EXPECT_TRUE(r.error().is<K>()) << r.error().to_string();
  return r.error().is<K>() ? r.error().as<K>() : K{};
}

TEST(KvlxStream, ShortOrEmptySourceIsAnEmptyStream) {
  for (std::size_t len : {0u, 1u, 25u}) {
    std::vector<std::uint8_t> bytes(len, 0xAB);  // not even a valid magic: too short to matter
    Reader r(bytes);
    auto f = r.stream.next_frame();
    ASSERT_TRUE(f.has_value()) << len;
    EXPECT_FALSE(f->has_value());
    EXPECT_FALSE(r.stream.core().header_parsed());
  }
}

TEST(KvlxStream, HeaderWithoutFramesEndsAgainAndAgain) {
  Reader r(encode_file_header(FileHeader{}));
  for (int i = 0; i < 3; ++i) {
    auto f = r.stream.next_frame();
    ASSERT_TRUE(f.has_value());
    EXPECT_FALSE(f->has_value());
  }
  EXPECT_TRUE(r.stream.core().header_parsed());
}

TEST(KvlxStream, PartialFrameHeaderAtTheEndIsIgnored) {
  auto bytes = file_of({make_spec(1, 4, 0)});
  bytes.insert(bytes.end(), 35, 0x11);
  Reader r(bytes);
  auto all = read_all(r.stream);
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(all->size(), 1u);
}

// Every combination of optional sections, read in chunks of every awkward size, gives back
// exactly what was written.
TEST(KvlxStream, RoundTripsEveryFlagCombinationInAnyChunking) {
  for (std::uint16_t flags = 0; flags < 16; ++flags) {
    std::vector<FrameSpec> specs;
    for (std::uint64_t id = 1; id <= 4; ++id) specs.push_back(make_spec(id * 2, static_cast<std::uint16_t>(id * 7 % 30), flags));
    specs.push_back(make_spec(100, 0, flags));
    for (std::size_t i = 0; i < specs.size(); i += 2) specs[i].payload_crc = false;
    auto bytes = file_of(specs);
    for (std::size_t chunk : {1u, 2u, 3u, 7u, 64u, 4096u}) {
      Reader r(bytes, chunk);
      auto all = read_all(r.stream);
      ASSERT_TRUE(all.has_value()) << all.error().to_string();
      ASSERT_EQ(all->size(), specs.size());
      for (std::size_t i = 0; i < specs.size(); ++i) {
        const FrameSpec& s = specs[i];
        const ReadFrame& f = (*all)[i];
        SCOPED_TRACE("flags " + std::to_string(flags) + " chunk " + std::to_string(chunk) + " frame " + std::to_string(i));
        EXPECT_EQ(f.header.frame_id, s.header.frame_id);
        EXPECT_EQ(f.header.round, s.header.round);
        EXPECT_EQ(f.header.ancilla_count, s.header.ancilla_count);
        const std::uint16_t added = s.payload_crc ? kFlagPayloadCrc | kFlagMetadata : 0;
        EXPECT_EQ(f.header.flags, flags | added);
        EXPECT_EQ(f.rle, encode_rle_events(s.detector_events));
        EXPECT_EQ(f.meas, s.meas_results);
        EXPECT_EQ(f.timing, (flags & kFlagTiming) ? s.timing_offsets : std::vector<std::uint16_t>{});
        EXPECT_EQ(f.bits, (flags & kFlagAncillaBits) ? s.ancilla_bits : std::vector<std::uint8_t>{});
        EXPECT_EQ(f.metadata.has_value(), ((flags | added) & kFlagMetadata) != 0);
        if (f.metadata) {
          EXPECT_EQ(metadata_entries(*f.metadata), (flags & kFlagMetadata) ? s.metadata : std::vector<MetadataEntry>{});
        }
        EXPECT_EQ(f.annotations.has_value(), (flags & kFlagAnnotations) != 0);
        if (f.annotations) {
          EXPECT_EQ(*f.annotations, s.annotations);
        }
      }
    }
  }
}

TEST(KvlxStream, LastFrameWithoutTrailerIsAccepted) {
  FrameSpec last = make_spec(2, 5, kFlagTiming);
  last.trailer.present = false;
  auto bytes = file_of({make_spec(1, 5, 0), last});
  Reader r(bytes, 3);
  auto all = read_all(r.stream);
  ASSERT_TRUE(all.has_value());
  ASSERT_EQ(all->size(), 2u);
  EXPECT_EQ((*all)[1].header.frame_id, 2u);
  auto again = r.stream.next_frame();
  ASSERT_TRUE(again.has_value());
  EXPECT_FALSE(again->has_value());
}

TEST(KvlxStream, PayloadCrcIsVerifiedOnlyWhenFlagged) {
  struct Case {
    const char* name;
    std::uint16_t flags;                // added to the header, with the encoder's own entry off
    std::vector<MetadataEntry> entries;  // metadata written by hand
    bool ok;
  };
  const Case cases[] = {
      // Without a metadata block bit 4 is ignored, like the undefined bits 5-15.
      {"flag without metadata", kFlagPayloadCrc, {}, true},
      {"every undefined bit", 0xFFF0, {}, true},
      {"flag without entry", kFlagPayloadCrc | kFlagMetadata, {{kMetaKeyText, {'a'}}}, false},
      {"entry of 3 bytes", kFlagPayloadCrc | kFlagMetadata, {{kMetaKeyPayloadCrc, {1, 2, 3}}}, false},
      {"wrong value", kFlagPayloadCrc | kFlagMetadata, {{kMetaKeyPayloadCrc, {1, 2, 3, 4}}}, false},
      {"entry without flag", kFlagMetadata, {{kMetaKeyPayloadCrc, {1, 2, 3, 4}}}, true},
  };
  for (const Case& c : cases) {
    FrameSpec s = make_spec(2, 5, kFlagTiming | c.flags);
    s.payload_crc = false;
    s.metadata = c.entries;
    const auto bytes = file_of({make_spec(1, 5, 0), s, make_spec(3, 5, 0)});
    Reader r(bytes, 3);
    ASSERT_TRUE(r.stream.next_frame().has_value());
    auto f = r.stream.next_frame();
    EXPECT_EQ(f.has_value(), c.ok) << c.name;
    if (!c.ok) expect_error<errors::CrcMismatch>(f);
    // The bulk path takes the frame exactly when it passes (and leaves it to next_frame if not).
    Reader bulk(bytes);
    ASSERT_TRUE(bulk.stream.next_frame().has_value());
    FrameBatch batch;
    ASSERT_TRUE(bulk.stream.read_buffered_frames(10, batch).has_value());
    EXPECT_EQ(batch.size(), c.ok ? 2u : 0u) << c.name;
  }
}

// Every single-bit flip between header and trailer is an error once the payload CRC is written;
// without it, some flips come back as a different frame.
TEST(KvlxStream, PayloadBitFlipsAreCaughtByThePayloadCrc) {
  for (bool with_crc : {true, false}) {
    FrameSpec s = make_spec(1, 9, kFlagTiming | kFlagAncillaBits | kFlagMetadata | kFlagAnnotations);
    s.payload_crc = with_crc;
    const auto clean = file_of({s});
    std::size_t undetected = 0;
    for (std::size_t at = kFileHeaderSize + kFrameHeaderSize; at < clean.size() - kTrailerSize; ++at) {
      for (int bit = 0; bit < 8; ++bit) {
        auto bytes = clean;
        bytes[at] ^= static_cast<std::uint8_t>(1 << bit);
        Reader r(bytes);
        auto f = r.stream.next_frame();
        if (f.has_value() && f->has_value()) ++undetected;
      }
    }
    if (with_crc) {
      EXPECT_EQ(undetected, 0u);
    } else {
      EXPECT_GT(undetected, 0u);
    }
  }
}

TEST(KvlxStream, FrameIdsMustIncrease) {
  struct Case {
    std::vector<std::uint64_t> ids;
    std::size_t good;
    std::uint64_t last_seen, got;
  };
  for (const Case& c : {Case{{3, 3}, 1, 3, 3}, Case{{5, 9, 7}, 2, 9, 7}, Case{{0, 0}, 1, 0, 0}}) {
    std::vector<FrameSpec> specs;
    for (auto id : c.ids) specs.push_back(make_spec(id, 3, 0));
    Reader r(file_of(specs));
    for (std::size_t i = 0; i < c.good; ++i) ASSERT_TRUE(r.stream.next_frame().has_value());
    auto e = expect_error<errors::FrameIdBackwards>(r.stream.next_frame());
    EXPECT_EQ(e.last_seen, c.last_seen);
    EXPECT_EQ(e.got, c.got);
    EXPECT_EQ(r.stream.core().last_frame_id(), c.last_seen);
    // Only the header was consumed: the payload is now taken for a frame header, which fails
    // its CRC (or is too short to be one).
    auto next = r.stream.next_frame();
    EXPECT_TRUE(!next.has_value() || !next->has_value());
  }
}

TEST(KvlxStream, BadTrailerIsACrcMismatchAndTheFrameIsSkipped) {
  FrameSpec bad_marker = make_spec(1, 4, 0);
  bad_marker.trailer.marker = 0xFFFE;
  FrameSpec bad_crc = make_spec(1, 4, 0);
  bad_crc.trailer.crc = 0x12345678;
  for (const FrameSpec& s : {bad_marker, bad_crc}) {
    auto bytes = file_of({s});
    Reader r(bytes, 5);
    const auto header = encode_frame_header(s.header);
    const std::uint32_t computed = crc32_of(header);
    auto e = expect_error<errors::CrcMismatch>(r.stream.next_frame());
    EXPECT_EQ(e.expected, computed);
    EXPECT_EQ(e.got, s.trailer.crc.value_or(computed));
    auto next = r.stream.next_frame();
    ASSERT_TRUE(next.has_value());
    EXPECT_FALSE(next->has_value());
    // The last 35 bytes stay buffered: once the file grows they may begin a frame header.
    EXPECT_EQ(r.stream.core().skipped_bytes(), bytes.size() - kFileHeaderSize - (kFrameHeaderSize - 1));
  }
}

TEST(KvlxStream, FileHeaderErrorsRepeatFrameHeaderErrorsAreSkipped) {
  FileHeader wrong_magic;
  wrong_magic.magic = 0x584C564B;
  auto magic_bytes = encode_file_header(wrong_magic);
  FrameSpec bad_header_crc = make_spec(1, 2, 0);
  bad_header_crc.header_crc = 0xDEADBEEF;
  auto crc_bytes = file_of({bad_header_crc});
  for (int i = 0; i < 2; ++i) {
    Reader a(magic_bytes);
    for (int k = 0; k < 2; ++k) EXPECT_EQ(expect_error<errors::InvalidMagic>(a.stream.next_frame()).got, 0x584C564Bu);
    Reader b(crc_bytes, 1);
    EXPECT_EQ(expect_error<errors::CrcMismatch>(b.stream.next_frame()).got, 0xDEADBEEFu);
    auto next = b.stream.next_frame();
    ASSERT_TRUE(next.has_value());
    EXPECT_FALSE(next->has_value());
  }
}

// Truncating a frame at every byte gives the end-of-source rule of the section it stops in.
TEST(KvlxStream, TruncationInsideAFrame) {
  FrameSpec s = make_spec(1, 10, kFlagTiming | kFlagAncillaBits | kFlagAnnotations);
  s.payload_crc = false;
  auto full = file_of({s});
  const std::size_t frame_start = kFileHeaderSize;
  const std::size_t rle_len = encode_rle_events(s.detector_events).size();
  const std::size_t fixed = rle_len + 10 + 20 + 2;
  const std::size_t after_header = frame_start + kFrameHeaderSize;
  const std::size_t after_len = after_header + 2;
  const std::size_t after_fixed = after_len + fixed;
  const std::size_t after_count = after_fixed + 1;
  const std::size_t after_payload = after_count + 10 * s.annotations.size();
  for (std::size_t cut = frame_start; cut < full.size(); ++cut) {
    SCOPED_TRACE("cut " + std::to_string(cut));
    Reader r(std::vector<std::uint8_t>(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)), 4);
    auto f = r.stream.next_frame();
    if (cut < after_header) {
      ASSERT_TRUE(f.has_value());
      EXPECT_FALSE(f->has_value());
      continue;
    }
    if (cut >= after_payload) {
      ASSERT_TRUE(f.has_value() && f->has_value());  // a trailer cut short is no trailer
      continue;
    }
    auto e = expect_error<errors::PayloadLengthMismatch>(f);
    const std::size_t declared = cut < after_len ? 2 : cut < after_fixed ? fixed : cut < after_count ? 1 : 20;
    const std::size_t found = cut < after_len ? cut - after_header
                              : cut < after_fixed ? cut - after_len
                              : cut < after_count ? 0
                                                  : cut - after_count;
    EXPECT_EQ(e.declared, declared);
    EXPECT_EQ(e.found, found);
    EXPECT_LT(e.found, e.declared);
    auto next = r.stream.next_frame();
    ASSERT_TRUE(next.has_value());
    EXPECT_FALSE(next->has_value());
  }
}

// A metadata block cut by the end of the data is a length mismatch, as any other section is:
// returning the frame would drop the entries that did not arrive.
// What a log-and-continue loop sees: every frame id and error until the end of the data (or
// `max_calls` calls, which a terminating reader never needs).
struct Outcome {
  std::vector<std::uint64_t> ids;
  std::vector<KelvaneError> errors;
  bool ended = false;
};

Outcome read_logging(KvlxStream<MemorySource>& s, int max_calls = 100) {
  Outcome out;
  for (int call = 0; call < max_calls && !out.ended; ++call) {
    auto f = s.next_frame();
    if (!f) {
      out.errors.push_back(f.error());
    } else if (*f) {
      out.ids.push_back((**f).header.frame_id);
    } else {
      out.ended = true;
    }
  }
  return out;
}

// The bytes of a file of `specs` and the offset of each frame (and of the end).
std::pair<std::vector<std::uint8_t>, std::vector<std::size_t>> file_and_offsets(const std::vector<FrameSpec>& specs) {
  std::vector<std::uint8_t> out = encode_file_header(FileHeader{});
  std::vector<std::size_t> offsets;
  for (const FrameSpec& s : specs) {
    offsets.push_back(out.size());
    EXPECT_TRUE(append_frame(out, s).has_value());
  }
  offsets.push_back(out.size());
  return {out, offsets};
}

using ErrorKind = bool (*)(const KelvaneError&);
constexpr ErrorKind kCrc = [](const KelvaneError& e) { return e.is<errors::CrcMismatch>(); };
constexpr ErrorKind kLength = [](const KelvaneError& e) { return e.is<errors::PayloadLengthMismatch>(); };
constexpr ErrorKind kBackwards = [](const KelvaneError& e) { return e.is<errors::FrameIdBackwards>(); };

// One damaged frame among five: one error, located at the frame's start (with its id when the
// header verifies), then the next call skips to the next frame header.
TEST(KvlxStream, DamagedFrameIsReportedOnceAndSkipped) {
  struct Case {
    const char* name;
    void (*damage_spec)(FrameSpec&);
    std::size_t flip_payload_byte;  // 0: none
    ErrorKind kind;
    std::optional<std::uint64_t> frame_id;
  };
  const Case cases[] = {
      {"header crc", [](FrameSpec& s) { s.header_crc = 1; }, 0, kCrc, std::nullopt},
      {"trailer", [](FrameSpec& s) { s.trailer.crc = 1; }, 0, kCrc, 3},
      {"payload", [](FrameSpec&) {}, 5, kCrc, 3},
      {"id backwards", [](FrameSpec& s) { s.header.frame_id = 2; }, 0, kBackwards, 2},
      {"events beyond the ancillas", [](FrameSpec& s) { s.detector_events_rle = std::vector<std::uint8_t>{0x7F, 0x85}; }, 0, kLength, 3},
  };
  for (const Case& c : cases) {
    std::vector<FrameSpec> specs;
    for (std::uint64_t id = 1; id <= 5; ++id) specs.push_back(make_spec(id, 24, kFlagTiming | kFlagAnnotations));
    c.damage_spec(specs[2]);
    auto [bytes, at] = file_and_offsets(specs);
    if (c.flip_payload_byte) bytes[at[2] + kFrameHeaderSize + c.flip_payload_byte] ^= 0x10;
    for (std::size_t chunk : {3u, 4096u}) {
      Reader r(bytes, chunk);
      const Outcome o = read_logging(r.stream);
      EXPECT_TRUE(o.ended) << c.name;
      EXPECT_EQ(o.ids, (std::vector<std::uint64_t>{1, 2, 4, 5})) << c.name;
      ASSERT_EQ(o.errors.size(), 1u) << c.name;
      EXPECT_TRUE(c.kind(o.errors[0])) << c.name << ": " << o.errors[0].to_string();
      EXPECT_EQ(o.errors[0].offset, at[2]) << c.name;
      EXPECT_EQ(o.errors[0].frame_id, c.frame_id) << c.name;
      EXPECT_EQ(r.stream.core().skipped_bytes(), at[3] - at[2]) << c.name;
    }
  }
  // 200 events in a 24-ancilla frame: the error names both.
  FrameSpec over = make_spec(1, 24, 0);
  over.detector_events_rle = std::vector<std::uint8_t>{0xFF, 0x49};
  Reader r(file_of({over}));
  auto e = expect_error<errors::PayloadLengthMismatch>(r.stream.next_frame());
  EXPECT_EQ(e.declared, 24u);
  EXPECT_EQ(e.found, 200u);
  // Garbage between frames costs no frame.
  auto [bytes, at] = file_and_offsets({make_spec(1, 4, 0), make_spec(2, 4, 0)});
  bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at[1]), 50, 0xAB);
  Reader g(bytes, 7);
  const Outcome o = read_logging(g.stream);
  EXPECT_EQ(o.ids, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(g.stream.core().skipped_bytes(), 50u);
}

// A log-and-continue loop over any truncation or single-bit flip of a small file ends, and it
// delivers exactly the frames the damage left intact.
TEST(KvlxStream, EveryTruncationAndBitFlipEndsAndDeliversTheIntactFrames) {
  std::vector<FrameSpec> specs;
  for (std::uint64_t id = 1; id <= 4; ++id) {
    specs.push_back(make_spec(id, static_cast<std::uint16_t>(3 + id), static_cast<std::uint16_t>(id * 5 % 16)));
  }
  const auto [clean, at] = file_and_offsets(specs);
  auto frames_where = [&](auto keep) {
    std::vector<std::uint64_t> ids;
    for (std::size_t k = 0; k < specs.size(); ++k) {
      if (keep(k)) ids.push_back(specs[k].header.frame_id);
    }
    return ids;
  };
  for (std::size_t cut = kFileHeaderSize; cut <= clean.size(); ++cut) {
    Reader r(std::vector<std::uint8_t>(clean.begin(), clean.begin() + static_cast<std::ptrdiff_t>(cut)), 7);
    const Outcome o = read_logging(r.stream);
    ASSERT_TRUE(o.ended) << "cut " << cut;
    // A frame whose payload is complete is delivered; its trailer may be missing.
    EXPECT_EQ(o.ids, frames_where([&](std::size_t k) { return at[k + 1] - kTrailerSize <= cut; })) << "cut " << cut;
    EXPECT_LE(o.errors.size(), 1u) << "cut " << cut;
    // The error names the start of the frame the cut falls in.
    for (const KelvaneError& e : o.errors) {
      EXPECT_EQ(e.offset, *std::prev(std::upper_bound(at.begin(), at.end(), cut - 1))) << "cut " << cut;
    }
  }
  // The magic and version (bytes 0..5) are file-header errors, which repeat by design.
  for (std::size_t byte = 6; byte < clean.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      auto bytes = clean;
      bytes[byte] ^= static_cast<std::uint8_t>(1 << bit);
      Reader r(bytes, 7);
      const Outcome o = read_logging(r.stream);
      ASSERT_TRUE(o.ended) << "byte " << byte << " bit " << bit;
      EXPECT_EQ(o.ids, frames_where([&](std::size_t k) { return byte < at[k] || byte >= at[k + 1]; }))
          << "byte " << byte << " bit " << bit;
      // The first error is the damaged frame's, located at its start.
      if (!o.errors.empty() && byte >= kFileHeaderSize) {
        EXPECT_EQ(o.errors[0].offset, *std::prev(std::upper_bound(at.begin(), at.end(), byte)))
            << "byte " << byte << " bit " << bit;
      }
    }
  }
}

// A file read while it grows: whatever the size of the appends, every frame arrives once, whole.
// A cut frame is reported once and consumes nothing; a trailer written after its frame was
// returned is skipped.
TEST(KvlxStream, GrowingFileDeliversEveryFrameWhateverTheAppendSize) {
  std::vector<FrameSpec> specs;
  for (std::uint64_t id = 1; id <= 4; ++id) specs.push_back(make_spec(id, 10, static_cast<std::uint16_t>(id * 3 % 16)));
  const auto bytes = file_of(specs);
  for (std::size_t append : {1u, 7u, 65u}) {
    Reader r(bytes, 4096);
    std::vector<std::uint64_t> ids;
    std::size_t errors = 0;
    for (std::size_t visible = 0; visible < bytes.size() + append; visible += append) {
      r.stream.reader().visible = visible;
      const Outcome o = read_logging(r.stream);
      ASSERT_TRUE(o.ended);
      ids.insert(ids.end(), o.ids.begin(), o.ids.end());
      for (const KelvaneError& e : o.errors) {
        EXPECT_TRUE(e.is<errors::PayloadLengthMismatch>()) << e.to_string();
        ++errors;
      }
    }
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{1, 2, 3, 4})) << append;
    EXPECT_LE(errors, specs.size()) << append;  // at most once per frame
    EXPECT_EQ(r.stream.core().skipped_bytes(), 0u);
    EXPECT_EQ(r.stream.core().position(), bytes.size());
  }
}

// A connection closed inside a frame: the length mismatch once, then the end of the stream.
TEST(KvlxStream, ClosedConnectionCutsTheLastFrameOnce) {
  const auto [bytes, at] = file_and_offsets({make_spec(1, 6, 0), make_spec(2, 6, kFlagTiming)});
  struct Case {
    std::size_t keep;  // bytes of the second frame that arrive
    bool error;        // else the frame arrives without its trailer
  };
  const std::size_t second = at[2] - at[1];
  for (const Case& c : {Case{1, true}, Case{20, true}, Case{36, true}, Case{50, true}, Case{second - 6, false},
                        Case{second - 2, false}}) {
    Reader r(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(at[1] + c.keep)), 5);
    r.stream.reader().final_end = true;
    const Outcome o = read_logging(r.stream);
    EXPECT_TRUE(o.ended);
    EXPECT_EQ(o.ids, (c.error ? std::vector<std::uint64_t>{1} : std::vector<std::uint64_t>{1, 2})) << c.keep;
    EXPECT_EQ(o.errors.size(), c.error ? 1u : 0u) << c.keep;
    if (c.error) {
      EXPECT_TRUE(o.errors[0].is<errors::PayloadLengthMismatch>()) << o.errors[0].to_string();
      EXPECT_EQ(r.stream.core().skipped_bytes(), c.keep);
    }
  }
}


TEST(KvlxStream, MetadataCutShortIsALengthMismatch) {
  FrameSpec s = make_spec(1, 3, kFlagMetadata);
  s.metadata = {{16, {1, 0, 0, 0, 0, 0, 0, 0}}, {2, {9, 0, 0, 0}}};
  s.trailer.present = false;
  s.payload_crc = false;
  const auto full = file_of({s});
  const std::size_t meta_start = full.size() - (2 + 4 + 8 + 4 + 4);
  struct Case {
    std::size_t keep;  // metadata bytes kept
    std::uint32_t declared;
    std::size_t found;
  };
  for (const Case& c : {Case{1, 2, 1}, Case{2 + 3, 4, 3}, Case{2 + 4 + 5, 8, 5}, Case{2 + 12 + 2, 4, 2}}) {
    Reader r(std::vector<std::uint8_t>(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(meta_start + c.keep)), 3);
    auto e = expect_error<errors::PayloadLengthMismatch>(r.stream.next_frame());
    EXPECT_EQ(e.declared, c.declared) << c.keep;
    EXPECT_EQ(e.found, c.found) << c.keep;
  }
}

TEST(KvlxStream, TimingErrorConsumesTheFrameAndReadingContinues) {
  FrameSpec ok = make_spec(1, 6, kFlagTiming);
  ok.timing_offsets.assign(6, 10000);
  FrameSpec bad = make_spec(2, 6, kFlagTiming);
  bad.timing_offsets = {0, 10, 20, 10000, 10001, 60000};
  auto bytes = file_of({ok, bad, make_spec(3, 6, kFlagTiming)});
  Reader r(bytes, 7);
  ASSERT_TRUE(r.stream.next_frame().has_value());
  auto e = expect_error<errors::TimingOutOfBounds>(r.stream.next_frame());
  EXPECT_EQ(e.ancilla, 4u);
  EXPECT_EQ(e.offset_ns, 10001);
  auto next = r.stream.next_frame();
  ASSERT_TRUE(next.has_value() && next->has_value());
  EXPECT_EQ((*next)->header.frame_id, 3u);
}

TEST(KvlxStream, SchemaChecksRunOnlyWithARegisteredSchemaAndNotWhenSkipped) {
  // Stabiliser 0 over qubit 0; the frame says no event but its result is negative: parity 1.
  HardwareSchema schema;
  schema.ancilla_count = 2;
  schema.qubit_count = 5;
  schema.code_type = "surface";
  schema.stabilizers = {{0, StabilizerType::Z, {0}}};
  FrameSpec s = make_spec(1, 2, 0);
  s.detector_events = {0, 0};
  s.meas_results = {-1, 1};
  auto bytes = file_of({s});
  {
    Reader r(bytes);  // empty registry: the frame passes
    auto f = r.stream.next_frame();
    ASSERT_TRUE(f.has_value() && f->has_value());
  }
  StreamConfig with_schema;
  with_schema.registry.add(schema);
  {
    Reader r(bytes, 4096, with_schema);
    auto e = expect_error<errors::ParityViolation>(r.stream.next_frame());
    EXPECT_EQ(e.frame_id, 1u);
    EXPECT_EQ(e.stabilizer_index, 0u);
  }
  with_schema.skip_validation = true;
  {
    Reader r(bytes, 4096, with_schema);
    auto f = r.stream.next_frame();
    ASSERT_TRUE(f.has_value() && f->has_value());
  }
}

TEST(KvlxStream, ReadErrorsAreIoAndLoseNoBytes) {
  auto bytes = file_of({make_spec(1, 4, 0), make_spec(2, 4, 0)});
  // A failure before anything was taken: the next call simply reads again.
  {
    Reader r(bytes, 9);
    r.stream.reader().fail_on_read = 0;
    auto f = r.stream.next_frame();
    ASSERT_FALSE(f.has_value());
    EXPECT_EQ(f.error().to_string(), "i/o error: Input/output error (os error 5)");
    auto all = read_all(r.stream);
    ASSERT_TRUE(all.has_value());
    EXPECT_EQ(all->size(), 2u);
  }
  // Wherever the failure happens, every byte delivered before it is in the ring.
  for (int failing = 1; failing < 12; ++failing) {
    Reader r(bytes, 9);
    r.stream.reader().fail_on_read = failing;
    for (int call = 0; call < 4; ++call) {
      auto f = r.stream.next_frame();
      if (!f && f.error().is<errors::Io>()) {
        EXPECT_EQ(r.stream.core().ring().write_pos(), r.stream.reader().pos) << failing;
        break;
      }
    }
  }
}

TEST(KvlxStream, FramesLargerThanTheRingAreReadUpToTheFrameLimit) {
  FrameSpec big = make_spec(1, 60, kFlagMetadata);
  big.metadata = {{kMetaKeyText, std::vector<std::uint8_t>(300, 'a')}};
  const auto bytes = file_of({big, make_spec(2, 3, 0)});
  for (std::size_t limit : {0u, 400u}) {
    StreamConfig tiny;
    tiny.buffer_capacity = 48;
    if (limit) tiny.max_frame_size = limit;
    Reader r(bytes, 5, tiny);
    auto f = r.stream.next_frame();
    if (limit) {
      // Declares more than the limit: damaged, and said to be too large.
      EXPECT_EQ(expect_error<errors::PayloadLengthMismatch>(f).frame_limit, limit);
    } else {
      ASSERT_TRUE(f.has_value() && f->has_value()) << f.error().to_string();
      EXPECT_EQ((*f)->metadata->metadata_text->size(), 300u);
    }
    auto next = r.stream.next_frame();
    ASSERT_TRUE(next.has_value() && next->has_value());
    EXPECT_EQ((*next)->header.frame_id, 2u);
  }
}

// With a small ring, every section, header and trailer falls across the end of the ring at some
// point; the frames must read exactly as with the default ring. Large metadata blocks force
// reads that reuse the ring space of the frame's own earlier sections.
TEST(KvlxStream, SmallRingsReadLikeTheDefaultRing) {
  std::vector<FrameSpec> specs;
  for (std::uint64_t id = 1; id <= 40; ++id) {
    FrameSpec s = make_spec(id, static_cast<std::uint16_t>(id % 13), static_cast<std::uint16_t>(id % 16), 7);
    if (id % 5 == 0) {
      FrameMetadata meta;
      meta.metadata_text = std::string(60 + id, 'm');
      meta.observable_flips = id;
      s.metadata = metadata_entries(meta);
      s.header.flags |= kFlagMetadata;
    }
    specs.push_back(s);
  }
  auto bytes = file_of(specs);
  Reader reference(bytes);
  auto expected = read_all(reference.stream);
  ASSERT_TRUE(expected.has_value());
  ASSERT_EQ(expected->size(), specs.size());
  for (std::size_t capacity = 110; capacity < 150; ++capacity) {
    for (std::size_t chunk : {1u, 3u, 8u}) {
      StreamConfig config;
      config.buffer_capacity = capacity;
      Reader r(bytes, chunk, config);
      auto got = read_all(r.stream);
      ASSERT_TRUE(got.has_value()) << capacity << "/" << chunk << ": " << got.error().to_string();
      EXPECT_EQ(*got, *expected) << capacity << "/" << chunk;
    }
  }
}

// Records span events for the diagnostics test.
struct RecordingSink : diagnostics::Sink {
  struct Event {
    std::string what;
    std::string name;
    std::string target;
    std::vector<std::pair<std::string, std::uint64_t>> fields;
  };
  std::vector<Event> events;
  std::vector<std::string> names;  // by span id
  diagnostics::SpanId create(const diagnostics::SpanMeta& meta, std::span<const diagnostics::Field> fields) override {
    Event e{"create", std::string(meta.name), std::string(meta.target), {}};
    for (const auto& f : fields) e.fields.emplace_back(std::string(f.name), f.value);
    EXPECT_EQ(meta.level, diagnostics::Level::Info);
    events.push_back(e);
    names.push_back(e.name);
    return names.size() - 1;
  }
  void enter(diagnostics::SpanId id) override { events.push_back({"enter", names[id], "", {}}); }
  void exit(diagnostics::SpanId id) override { events.push_back({"exit", names[id], "", {}}); }
  void close(diagnostics::SpanId id) override { events.push_back({"close", names[id], "", {}}); }
};

TEST(KvlxStreamDiagnostics, SpansFollowTheLevelRule) {
  auto bytes = file_of({make_spec(42, 3, 0)});
  RecordingSink sink;
  diagnostics::set_sink(&sink);
  {
    Reader r(bytes);
    ASSERT_TRUE(r.stream.next_frame().has_value());
    ASSERT_TRUE(r.stream.next_frame().has_value());  // the end: a parse span only
  }
  std::vector<std::string> seen;
  for (const auto& e : sink.events) seen.push_back(e.what + " " + e.name);
  EXPECT_EQ(seen, (std::vector<std::string>{"create kvlx.frame_parse", "close kvlx.frame_parse",
                                            "create kvlx.frame_validate", "enter kvlx.frame_validate",
                                            "exit kvlx.frame_validate", "close kvlx.frame_validate",
                                            "create kvlx.frame_parse", "close kvlx.frame_parse"}));
  EXPECT_EQ(sink.events[0].target, "kelvane_kvlx::stream");
  EXPECT_TRUE(sink.events[0].fields.empty());
  EXPECT_EQ(sink.events[2].fields, (std::vector<std::pair<std::string, std::uint64_t>>{{"frame_id", 42}}));

  for (auto level : {diagnostics::Level::Warn, diagnostics::Level::Error}) {
    sink.events.clear();
    diagnostics::set_level(level);
    Reader r(bytes);
    ASSERT_TRUE(r.stream.next_frame().has_value());
    EXPECT_TRUE(sink.events.empty());
  }
  diagnostics::set_level(diagnostics::Level::Debug);
  sink.events.clear();
  {
    Reader r(bytes);
    ASSERT_TRUE(r.stream.next_frame().has_value());
  }
  EXPECT_EQ(sink.events.size(), 6u);
  diagnostics::set_level(diagnostics::Level::Info);
  diagnostics::set_sink(nullptr);
}

}  // namespace
}  // namespace kelvane

namespace kelvane {
namespace {

// A described stream: frame k's round and description entries, and the description the reader
// holds once it has read frame k.
TEST(KvlxStream, KeepsTheDescriptionItsFramesCarry) {
  const DescriptionEntries d = description_entries(2, 3, std::vector<std::int32_t>{0, 1, -1, 2, 3, 4}, "error(0.1) D0\n");
  const DescriptionEntries other = description_entries(1, 3, std::vector<std::int32_t>{0, 1, 2}, std::nullopt);
  auto hash_of = [](const DescriptionEntries& e) { return std::vector<MetadataEntry>{{e.entries.back().first, e.entries.back().second}}; };
  auto whole = [](const DescriptionEntries& e) {
    std::vector<MetadataEntry> out;
    for (const auto& [key, value] : e.entries) out.push_back({key, value});
    return out;
  };
  struct Step {
    std::uint32_t round;
    std::vector<MetadataEntry> entries;
    const DescriptionEntries* holds;
  } steps[] = {
      {0, whole(d), &d},       {1, {}, &d},       {0, hash_of(d), &d}, {1, {}, &d},
      {0, hash_of(other), nullptr},  // names a description the reader does not hold
      {1, whole(other), &other},     // a repeat of it, on any frame
      {0, hash_of(other), &other},
  };
  std::vector<FrameSpec> specs;
  for (std::size_t k = 0; k < std::size(steps); ++k) {
    FrameSpec s = make_spec(k, 3, kFlagMetadata);
    s.header.round = steps[k].round;
    s.metadata = steps[k].entries;
    specs.push_back(s);
  }
  auto check = [&](const KvlxReaderCore& core, std::size_t k) {
    const auto& held = core.description();
    if (!steps[k].holds) {
      EXPECT_EQ(held, nullptr) << "after frame " << k;
    } else {
      ASSERT_NE(held, nullptr) << "after frame " << k;
      EXPECT_EQ(held->hash, steps[k].holds->hash) << "after frame " << k;
    }
  };
  for (const bool bulk : {false, true}) {
    Reader r(file_of(specs));
    for (std::size_t k = 0; k < std::size(steps); ++k) {
      if (bulk) {
        FrameBatch batch;
        ASSERT_TRUE(r.stream.read_buffered_frames(1, batch).has_value());
        if (batch.size() == 1) {
          check(r.stream.core(), k);
          continue;
        }
      }
      auto f = r.stream.next_frame();
      ASSERT_TRUE(f.has_value() && f->has_value());
      EXPECT_EQ((*f)->metadata->description_hash.has_value(), !steps[k].entries.empty());
      check(r.stream.core(), k);
    }
  }
  EXPECT_EQ(Reader(file_of(specs)).stream.core().description(), nullptr);  // nothing read yet
}

TEST(KvlxStream, PeekingTakesTheFirstFramesDescriptionAndConsumesNoFrame) {
  const DescriptionEntries d = description_entries(1, 3, std::vector<std::int32_t>{0, 1, 2}, "error(0.1) D0\n");
  FrameSpec s = make_spec(0, 3, kFlagMetadata);
  for (const auto& [key, value] : d.entries) s.metadata.push_back({key, value});
  for (const bool damaged : {false, true}) {
    FrameSpec frame = s;
    if (damaged) frame.metadata.back().value[0] ^= 1;  // the hash no longer matches
    Reader r(file_of({frame, make_spec(1, 3, 0)}), 7);
    ASSERT_TRUE(r.stream.peek_description().has_value());
    EXPECT_EQ(r.stream.core().position(), kFileHeaderSize);
    EXPECT_EQ(r.stream.core().peeked_ancilla_count(), std::optional<std::uint16_t>(3));  // whole and sound
    if (damaged) {
      EXPECT_EQ(r.stream.core().description(), nullptr);
      EXPECT_EQ(r.stream.core().description_fault(), "the stream's stored layout and model do not match their hash");
    } else {
      ASSERT_NE(r.stream.core().description(), nullptr);
      EXPECT_EQ(inflate_model(*r.stream.core().description()), "error(0.1) D0\n");
    }
    auto frames = read_all(r.stream);
    ASSERT_TRUE(frames.has_value());
    EXPECT_EQ(frames->size(), 2u);
  }
}

}  // namespace
}  // namespace kelvane

namespace kelvane {
namespace {

// What a read hands out, frame or error, in a form two reads can be compared by.
struct Seen {
  std::string error;
  FrameHeader header;
  std::vector<std::uint8_t> events;
  std::vector<std::int8_t> meas;
  std::optional<std::uint64_t> flips;
  std::optional<FrameMetadata> metadata;
  bool operator==(const Seen&) const = default;
};

Seen seen_error(const KelvaneError& e) {
  return {e.to_string() + " @" + std::to_string(e.offset.value_or(~0ull)) + " #" +
              std::to_string(e.frame_id.value_or(~0ull)),
          {}, {}, {}, {}, {}};
}

bool ends_reading(const KelvaneError& e) { return e.is<errors::InvalidMagic>() || e.is<errors::UnsupportedVersion>(); }

std::vector<Seen> read_frame_by_frame(std::vector<std::uint8_t> bytes, std::size_t chunk, StreamConfig config) {
  Reader r(std::move(bytes), chunk, std::move(config));
  r.stream.reader().final_end = true;
  std::vector<Seen> out;
  for (std::size_t call = 0; call < 4 * r.bytes.size() + 8; ++call) {
    auto f = r.stream.next_frame();
    if (!f) {
      out.push_back(seen_error(f.error()));
      if (ends_reading(f.error())) break;
      continue;
    }
    if (!*f) break;
    const SyndromeFrame& frame = **f;
    out.push_back({"", frame.header, decode_rle_events(frame.detector_events_rle, frame.header.ancilla_count),
                   {frame.meas_results.begin(), frame.meas_results.end()},
                   frame.metadata ? frame.metadata->observable_flips : std::nullopt, frame.metadata});
  }
  out.push_back({"skipped " + std::to_string(r.stream.core().skipped_bytes()) + " description " +
                     (r.stream.core().description() ? std::to_string(r.stream.core().description()->hash) : "-"),
                 {}, {}, {}, {}, {}});
  return out;
}

// The same stream through parse_block, in blocks of 1..`max_block` frames; every frame's events
// are decoded the three ways a view offers and must agree.
std::vector<Seen> read_in_blocks(std::vector<std::uint8_t> bytes, std::size_t chunk, StreamConfig config,
                                 std::size_t max_block, bool one_width) {
  Reader r(std::move(bytes), chunk, std::move(config));
  r.stream.reader().final_end = true;
  std::vector<Seen> out;
  std::vector<std::uint8_t> row;
  std::vector<std::uint8_t> bits;
  std::vector<std::uint32_t> fired;
  auto sink = [&](const FrameView& v) {
    const std::size_t n = v.ancilla_count();
    row.assign(n + 3, 7);
    v.events_to_bytes(std::span(row).first(n));
    EXPECT_EQ(row[n], 7);  // nothing written past the row
    row.resize(n);
    bits.assign((n + 7) / 8, 0xFF);
    v.events_to_bits(bits);
    fired.clear();
    EXPECT_EQ(v.fired_into(fired), static_cast<std::size_t>(std::count(row.begin(), row.end(), 1)));
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ((bits[i / 8] >> (i % 8)) & 1, row[i]) << "ancilla " << i;
      EXPECT_EQ(std::binary_search(fired.begin(), fired.end(), static_cast<std::uint32_t>(i)), row[i] == 1);
    }
    out.push_back({"", v.header, row, {v.meas_results.begin(), v.meas_results.end()}, v.observable_flips, v.metadata()});
    return true;
  };
  for (std::size_t call = 0; call < 4 * r.bytes.size() + 8; ++call) {
    BlockLimits limits;
    limits.max_frames = 1 + call % max_block;
    limits.one_ancilla_count = one_width;
    auto end = r.stream.parse_block(limits, FrameSinkRef(sink));
    if (!end) {
      out.push_back(seen_error(end.error()));
      if (ends_reading(end.error())) break;
      continue;
    }
    if (*end == BlockEnd::kNoData) break;
  }
  out.push_back({"skipped " + std::to_string(r.stream.core().skipped_bytes()) + " description " +
                     (r.stream.core().description() ? std::to_string(r.stream.core().description()->hash) : "-"),
                 {}, {}, {}, {}, {}});
  return out;
}

// Block parsing hands out exactly the frames and errors of frame-by-frame reading, in the same
// order, on sound and damaged streams of mixed widths and sections, whatever the read sizes,
// ring size and block bounds.
TEST(KvlxBlockParser, GivesTheFramesAndErrorsOfFrameByFrameReading) {
  const DescriptionEntries d = description_entries(1, 5, std::vector<std::int32_t>{0, 1, 2, 3, 4}, "error(0.1) D0\n");
  std::vector<FrameSpec> specs;
  const std::uint16_t flag_sets[] = {0, kFlagMetadata, kFlagTiming, kFlagAncillaBits | kFlagMetadata,
                                     kFlagMetadata | kFlagAnnotations, kFlagTiming | kFlagAncillaBits | kFlagMetadata | kFlagAnnotations};
  for (std::uint64_t id = 0; id < 30; ++id) {
    const std::uint16_t n = id % 7 == 3 ? 9 : (id < 20 ? 5 : 200);
    FrameSpec s = make_spec(id, n, flag_sets[id % std::size(flag_sets)]);
    s.payload_crc = id % 4 != 1;
    s.header.round = static_cast<std::uint32_t>(id % 4);
    if (id == 0) {
      s.header.flags |= kFlagMetadata;
      for (const auto& [key, value] : d.entries) s.metadata.push_back({key, value});
    } else if (s.header.round == 0 && (s.header.flags & kFlagMetadata)) {
      std::vector<std::uint8_t> hash(8);
      for (int b = 0; b < 8; ++b) hash[b] = static_cast<std::uint8_t>(d.hash >> (8 * b));
      s.metadata.push_back({kMetaKeyDescriptionHash, hash});
    }
    if (id % 5 == 2 && (s.header.flags & kFlagMetadata)) {  // observables 64.. of 70 (key 17)
      s.metadata.push_back({kMetaKeyHighObservableFlips, {70, 0, 0x25}});
    }
    specs.push_back(s);
  }
  const std::vector<std::uint8_t> clean = file_of(specs);
  std::vector<std::size_t> starts;  // where each frame starts
  {
    std::size_t at = kFileHeaderSize;
    for (const FrameSpec& s : specs) {
      starts.push_back(at);
      std::vector<std::uint8_t> one;
      ASSERT_TRUE(append_frame(one, s).has_value());
      at += one.size();
    }
  }
  struct Damage {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> apply;
  };
  const std::vector<Damage> damages = {
      {"none", [](auto&) {}},
      {"header byte", [&](auto& b) { b[starts[4] + 9] ^= 0x10; }},
      {"payload byte", [&](auto& b) { b[starts[7] + kFrameHeaderSize + 3] ^= 0x01; }},
      {"trailer byte", [&](auto& b) { b[starts[9] - 2] ^= 0x40; }},
      {"garbage between frames", [&](auto& b) { b.insert(b.begin() + starts[12], 77, 0xAB); }},
      {"frame id backwards", [&](auto& b) { b.insert(b.end(), b.begin() + starts[2], b.begin() + starts[3]); }},
      {"cut in the last frame", [&](auto& b) { b.resize(b.size() - 20); }},
      {"cut in a middle frame", [&](auto& b) { b.erase(b.begin() + starts[15] + 50, b.begin() + starts[16]); }},
      {"events past the ancillas", [&](auto& b) { b[starts[5] + kFrameHeaderSize + 2] = 0x7F; }},
      {"bad magic", [](auto& b) { b[0] ^= 1; }},
  };
  for (const Damage& damage : damages) {
    std::vector<std::uint8_t> bytes = clean;
    damage.apply(bytes);
    for (const std::size_t chunk : {4096u, 61u, 1u}) {
      for (const std::size_t ring : {std::size_t{0}, std::size_t{700}}) {
        StreamConfig config;
        if (ring) config.buffer_capacity = ring;
        const std::vector<Seen> expected = read_frame_by_frame(bytes, chunk, config);
        for (const std::size_t max_block : {1u, 3u, 1000u}) {
          for (const bool one_width : {false, true}) {
            EXPECT_EQ(read_in_blocks(bytes, chunk, config, max_block, one_width), expected)
                << damage.name << ", reads of " << chunk << ", ring " << ring << ", blocks of " << max_block
                << (one_width ? ", one width" : "");
          }
        }
      }
    }
  }
}

// A block ends before a frame of another width when asked to, and after the frame the sink
// refuses more at; the frames it did not hand out are the next block's.
TEST(KvlxBlockParser, EndsAtAnotherWidthAndWhenTheSinkStops) {
  std::vector<FrameSpec> specs;
  for (std::uint64_t id = 0; id < 6; ++id) specs.push_back(make_spec(id, id < 3 ? 4 : 6, kFlagMetadata));
  Reader r(file_of(specs));
  std::vector<std::uint64_t> ids;
  std::size_t stop_after = 2;
  auto sink = [&](const FrameView& v) {
    ids.push_back(v.header.frame_id);
    return ids.size() != stop_after;
  };
  BlockLimits one;
  one.one_ancilla_count = true;
  EXPECT_EQ(r.stream.parse_block(one, FrameSinkRef(sink)), BlockEnd::kLimit);  // the sink stopped
  EXPECT_EQ(ids, (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(r.stream.parse_block(one, FrameSinkRef(sink)), BlockEnd::kAncillaCount);
  EXPECT_EQ(ids, (std::vector<std::uint64_t>{0, 1, 2}));
  BlockLimits four;
  four.ancilla_count = 4;
  EXPECT_EQ(r.stream.parse_block(four, FrameSinkRef(sink)), BlockEnd::kAncillaCount);
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_EQ(r.stream.parse_block({}, FrameSinkRef(sink)), BlockEnd::kNoData);
  EXPECT_EQ(ids, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
}

}  // namespace
}  // namespace kelvane
