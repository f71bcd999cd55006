#include "kelvane/core/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kelvane {
namespace {

TEST(KelvaneError, DisplayTextOfEveryKind) {
  const Uuid id{0x0f, 0x8e, 0x2a, 0x4c, 0x1b, 0x3d, 0x4e, 0x5f, 0x8a, 0x9b, 0x0c, 0x1d, 0x2e, 0x3f, 0x4a, 0x5b};
  struct Case {
    KelvaneError error;
    const char* text;
  };
  const Case cases[] = {
      {errors::InvalidMagic{0}, "invalid KVLX magic bytes: expected 0x4B564C58, got 0x00000000"},
      {errors::InvalidMagic{0x584c564b}, "invalid KVLX magic bytes: expected 0x4B564C58, got 0x584c564b"},
      {errors::UnsupportedVersion{2}, "unsupported KVLX format version: 2"},
      {errors::UnsupportedVersion{65535}, "unsupported KVLX format version: 65535"},
      {errors::UnknownCodeType{9}, "unknown code type discriminant: 0x09"},
      {errors::UnknownCodeType{0xAB}, "unknown code type discriminant: 0xab"},
      {errors::SchemaNotFound{id}, "schema not found for id 0f8e2a4c-1b3d-4e5f-8a9b-0c1d2e3f4a5b"},
      {errors::SchemaNotFound{Uuid{}}, "schema not found for id 00000000-0000-0000-0000-000000000000"},
      {errors::CrcMismatch{0x1234abcd, 0}, "CRC32 mismatch: expected 0x1234abcd, got 0x00000000"},
      {errors::CrcMismatch{0xdeadbeef, 0xdeadbeef}, "CRC32 mismatch: expected 0xdeadbeef, got 0xdeadbeef"},
      {errors::ParityViolation{18446744073709551615ULL, 3},
       "parity violation in frame 18446744073709551615 at stabilizer index 3"},
      {errors::TimingOutOfBounds{4, 10001}, "timing offset out of bounds: ancilla 4, offset 10001 ns"},
      {errors::PayloadLengthMismatch{26, 25}, "payload length mismatch: header declares 26 bytes, found 25"},
      {errors::PayloadLengthMismatch{16777300, 4096, 16777216},
       "frame too large: its fields declare at least 16777300 bytes, more than the reader's limit of 16777216 bytes per frame"},
      {errors::FrameIdBackwards{10, 9}, "frame ID went backwards: last seen 10, got 9"},
      {errors::SchemaMismatch{"code_type", 1, 3}, "frame/schema mismatch on code_type: schema expects 1, frame has 3"},
      {errors::SchemaMismatch{"ancilla_count", 8, 0},
       "frame/schema mismatch on ancilla_count: schema expects 8, frame has 0"},
      {errors::Lagged{}, "broadcast channel lagged: frames were dropped"},
      {KelvaneError::from_errno(ENOENT), "i/o error: No such file or directory (os error 2)"},
      {KelvaneError::from_errno(ECONNREFUSED), "i/o error: Connection refused (os error 111)"},
      {KelvaneError::io("early eof"), "i/o error: early eof"},
      {errors::Json{"expected value at line 1 column 1"}, "json schema error: expected value at line 1 column 1"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.to_string(), c.text);
}

TEST(KelvaneError, TagOrderIsTheDeclarationOrder) {
  EXPECT_EQ(KelvaneError(errors::InvalidMagic{}).kind().index(), 0u);
  EXPECT_EQ(KelvaneError(errors::CrcMismatch{}).kind().index(), 4u);
  EXPECT_EQ(KelvaneError(errors::Lagged{}).kind().index(), 10u);
  EXPECT_EQ(KelvaneError(errors::Json{}).kind().index(), 12u);
  EXPECT_EQ(std::variant_size_v<KelvaneError::Kind>, 13u);
}

TEST(KelvaneError, IoKeepsItsNumberAndSourceText) {
  const KelvaneError e = KelvaneError::from_errno(ENOENT);
  ASSERT_TRUE(e.is<errors::Io>());
  EXPECT_EQ(e.as<errors::Io>().os_errno, ENOENT);
  EXPECT_EQ(io_source_text(e.as<errors::Io>()), "No such file or directory (os error 2)");
}

TEST(UuidToString, HyphenatesAfterBytes4_6_8_10) {
  Uuid id{};
  for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<std::uint8_t>(0xF0 + i);
  EXPECT_EQ(uuid_to_string(id), "f0f1f2f3-f4f5-f6f7-f8f9-fafbfcfdfeff");
}

}  // namespace
}  // namespace kelvane
