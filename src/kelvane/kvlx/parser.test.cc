#include "kelvane/kvlx/parser.h"

#include <gtest/gtest.h>

#include <string>

#include "kelvane/kvlx/encoder.h"
#include "kelvane/kvlx/metadata_keys.h"

namespace kelvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes file_header_bytes(std::uint32_t magic, std::uint16_t version) {
  FileHeader h;
  h.magic = magic;
  h.version = version;
  for (std::size_t i = 0; i < 16; ++i) h.schema_id[i] = static_cast<std::uint8_t>(i * 17);
  h.file_word = 0xCAFEF00D;
  return encode_file_header(h);
}

TEST(ParseFileHeader, AcceptsAValidHeaderAndIgnoresExtraBytes) {
  Bytes b = file_header_bytes(kKvlxMagic, 1);
  ASSERT_EQ(b.size(), 26u);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), (Bytes{'X', 'L', 'V', 'K'}));
  b.push_back(0xAA);
  const auto r = parse_file_header(b);
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  EXPECT_EQ(r->second, 26u);
  EXPECT_EQ(r->first.magic, kKvlxMagic);
  EXPECT_EQ(r->first.version, 1);
  EXPECT_EQ(r->first.file_word, 0xCAFEF00Du);
  EXPECT_EQ(r->first.schema_id[15], 15 * 17);
}

TEST(ParseFileHeader, ChecksLengthThenMagicThenVersion) {
  struct Case {
    Bytes bytes;
    std::string error;
  };
  Bytes kvlx_letters = file_header_bytes(kKvlxMagic, 1);
  kvlx_letters[0] = 'K';
  kvlx_letters[1] = 'V';
  kvlx_letters[2] = 'L';
  kvlx_letters[3] = 'X';
  const Case cases[] = {
      {Bytes(25, 0), "payload length mismatch: header declares 26 bytes, found 25"},
      {Bytes(25, 0x58), "payload length mismatch: header declares 26 bytes, found 25"},
      {Bytes{}, "payload length mismatch: header declares 26 bytes, found 0"},
      {kvlx_letters, "invalid KVLX magic bytes: expected 0x4B564C58, got 0x584c564b"},
      {file_header_bytes(kKvlxMagic, 2), "unsupported KVLX format version: 2"},
      {file_header_bytes(kKvlxMagic, 0), "unsupported KVLX format version: 0"},
      {file_header_bytes(0x12345678, 2), "invalid KVLX magic bytes: expected 0x4B564C58, got 0x12345678"},
  };
  for (const Case& c : cases) {
    const auto r = parse_file_header(c.bytes);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), c.error);
  }
  const auto short_one = parse_file_header(Bytes(25, 0));
  EXPECT_EQ(short_one.error().as<errors::PayloadLengthMismatch>().declared, 26u);
  EXPECT_EQ(short_one.error().as<errors::PayloadLengthMismatch>().found, 25u);
}

FrameHeader sample_header() {
  FrameHeader h;
  h.frame_id = 0x0102030405060708ULL;
  h.round = 0x11223344;
  h.timestamp_ns = 0xA1A2A3A4A5A6A7A8ULL;
  h.qubit_count = 0xB1B2;
  h.ancilla_count = 0xC1C2;
  h.header_word = 0xD1D2D3D4;
  h.code_type = 0xE1;
  h.distance = 0xE2;
  h.flags = 0xF1F2;
  return h;
}

TEST(ParseFrameHeader, DecodesEveryFieldLittleEndian) {
  const auto bytes = encode_frame_header(sample_header());
  EXPECT_EQ(bytes[0], 0x08);
  EXPECT_EQ(bytes[7], 0x01);
  EXPECT_EQ(bytes[30], 0xF2);
  const auto r = parse_frame_header(bytes);
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  EXPECT_EQ(r->second, 36u);
  FrameHeader expected = sample_header();
  expected.header_crc = crc32_of(std::span<const std::uint8_t>(bytes).first(32));
  EXPECT_EQ(r->first, expected);
}

TEST(ParseFrameHeader, ImpossibleFieldValuesPassTheParser) {
  FrameHeader h;
  h.code_type = 200;
  h.flags = 0xFFF0;
  EXPECT_TRUE(parse_frame_header(encode_frame_header(h)).has_value());
}

TEST(ParseFrameHeader, ShortInputIsALengthMismatch) {
  for (std::size_t n : {0u, 1u, 35u}) {
    const auto r = parse_frame_header(Bytes(n, 0));
    ASSERT_FALSE(r.has_value());
    const auto& e = r.error().as<errors::PayloadLengthMismatch>();
    EXPECT_EQ(e.declared, 36u);
    EXPECT_EQ(e.found, n);
  }
}

TEST(ParseFrameHeader, EverySingleBitFlipIsACrcMismatchWithComputedAndStoredValues) {
  const auto good = encode_frame_header(sample_header());
  for (std::size_t bit = 0; bit < 36 * 8; ++bit) {
    auto bad = good;
    bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    const auto r = parse_frame_header(bad);
    ASSERT_FALSE(r.has_value()) << "bit " << bit;
    const auto& e = r.error().as<errors::CrcMismatch>();
    const std::uint32_t stored = bad[32] | bad[33] << 8 | bad[34] << 16 | static_cast<std::uint32_t>(bad[35]) << 24;
    EXPECT_EQ(e.expected, crc32_of(std::span<const std::uint8_t>(bad).first(32)));
    EXPECT_EQ(e.got, stored);
  }
}

TEST(Crc32Of, MatchesTheIeeeCheckValue) {
  const std::string s = "123456789";
  EXPECT_EQ(crc32_of({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}), 0xCBF43926u);
  EXPECT_EQ(crc32_of({}), 0u);
}

TEST(ParseAnnotations, DecodesMinOfCountAndCompleteEntries) {
  auto block = [](std::uint8_t count, std::size_t entry_bytes) {
    Bytes b{count};
    for (std::size_t i = 0; i < entry_bytes; ++i) b.push_back(static_cast<std::uint8_t>(i));
    return b;
  };
  struct Case {
    Bytes bytes;
    std::size_t decoded;
  };
  const Case cases[] = {
      {{}, 0}, {block(0, 30), 0}, {block(3, 25), 2}, {block(3, 30), 3}, {block(2, 30), 2}, {block(1, 9), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_annotations(c.bytes).size(), c.decoded);

  const auto two = parse_annotations(block(3, 25));
  EXPECT_EQ(two[0].kind, 0);
  EXPECT_EQ(two[0].value, 0x0807060504030201ULL);
  EXPECT_EQ(two[0].aux, 9);
  EXPECT_EQ(two[1].kind, 10);
  EXPECT_EQ(two[1].value, 0x1211100F0E0D0C0BULL);
  EXPECT_EQ(two[1].aux, 19);
}

Bytes le(std::uint64_t v, std::size_t width) {
  Bytes b(width);
  for (std::size_t i = 0; i < width && i < 8; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
  return b;
}

TEST(ApplyMetadataEntry, KeyTableWithAcceptedLengths) {
  struct Case {
    std::uint16_t key;
    Bytes value;
    FrameMetadata expected;
  };
  FrameMetadata flips, text, empty_text, word_a, word_b, byte;
  flips.observable_flips = 0x8000000000000003ULL;
  text.metadata_text = "r\xC3\xA9sum\xC3\xA9 \xF0\x9F\x98\x80";
  empty_text.metadata_text = "";
  word_a.metadata_word_a = 0xDEADBEEF;
  word_b.metadata_word_b = 7;
  byte.metadata_byte = 0x9C;
  // Key 17: observables 64 and up, after their u16 count; bits past the count are ignored.
  FrameMetadata high65, high256;
  high65.high_observable_flips = HighObservableFlips{65, {}};
  high65.high_observable_flips->bits.flip(64);
  high256.high_observable_flips = HighObservableFlips{256, {{0, ~0ull, ~0ull, ~0ull}}};
  Bytes all256 = le(256, 2);
  all256.resize(2 + 24, 0xFF);
  const Case cases[] = {
      {17, {65, 0, 0xFF}, high65},
      {17, all256, high256},
      {17, {65, 0, 0x01, 0}, {}},  // wrong length for the count: skipped
      {17, {64, 0}, {}},           // 64 observables need no key 17
      {17, {1, 1, 0}, {}},         // 257 observables
      {17, {0xC8}, {}},
      {16, le(0x8000000000000003ULL, 8), flips},
      {16, le(3, 4), {}},  // wrong length: skipped
      {16, le(3, 9), {}},
      {1, Bytes(text.metadata_text->begin(), text.metadata_text->end()), text},
      {1, {}, empty_text},
      {1, {0xC3}, {}},                    // truncated sequence
      {1, {0xC0, 0x80}, {}},              // overlong NUL
      {1, {0xED, 0xA0, 0x80}, {}},        // surrogate
      {1, {0xF4, 0x90, 0x80, 0x80}, {}},  // above U+10FFFF
      {1, {0xFF}, {}},
      {2, le(0xDEADBEEF, 4), word_a},
      {2, le(1, 8), {}},
      {3, le(7, 4), word_b},
      {4, {0x9C}, byte},
      {4, {}, {}},
      {0, le(1, 4), {}},
      {5, le(1, 4), {}},
      {15, le(1, 8), {}},
      {17, le(1, 8), {}},
      {0xFFFF, {}, {}},
  };
  for (const Case& c : cases) {
    FrameMetadata m;
    apply_metadata_entry(m, c.key, c.value);
    EXPECT_EQ(m, c.expected) << "key " << c.key << " length " << c.value.size();
  }
}

TEST(ApplyMetadataEntry, LaterEntriesReplaceAndInvalidTextClears) {
  FrameMetadata m;
  apply_metadata_entry(m, kMetaKeyObservableFlips, le(1, 8));
  apply_metadata_entry(m, kMetaKeyObservableFlips, le(2, 8));
  apply_metadata_entry(m, kMetaKeyObservableFlips, le(3, 2));  // skipped, keeps 2
  EXPECT_EQ(m.observable_flips, 2u);
  const std::string ok = "ok";
  apply_metadata_entry(m, kMetaKeyText, Bytes(ok.begin(), ok.end()));
  EXPECT_EQ(m.metadata_text, "ok");
  apply_metadata_entry(m, kMetaKeyText, Bytes{0x80});
  EXPECT_FALSE(m.metadata_text.has_value());
}

}  // namespace
}  // namespace kelvane
