// Wire keys of the KVLX metadata block and the value length each accepts. An entry with any
// other key, or with a different length, is skipped by the reader.
#pragma once

#include <cstdint>

namespace kelvane {

inline constexpr std::uint16_t kMetaKeyText = 1;              // any length, UTF-8 text
inline constexpr std::uint16_t kMetaKeyWordA = 2;             // 4 bytes, u32
inline constexpr std::uint16_t kMetaKeyWordB = 3;             // 4 bytes, u32
inline constexpr std::uint16_t kMetaKeyByte = 4;              // 1 byte, u8
inline constexpr std::uint16_t kMetaKeyObservableFlips = 16;  // 8 bytes, u64
// Observables 64 and up of a model of more than 64: u16 observable count N (65..256), then
// ceil((N - 64) / 8) bytes, bit k % 8 of byte k / 8 = observable 64 + k flipped. Any other length
// (or count) is skipped.
inline constexpr std::uint16_t kMetaKeyHighObservableFlips = 17;
// 4 bytes, u32: CRC-32 of every payload byte (between frame header and trailer) except these
// four. Verified only when the header has kFlagPayloadCrc and kFlagMetadata
// (checks_payload_crc); apply_metadata_entry ignores it.
inline constexpr std::uint16_t kMetaKeyPayloadCrc = 32;
// A stream's description (description.h): pieces of its layout and of its zlib-compressed
// model, any length, on its first frame; the 8-byte hash of both on every round-0 frame.
inline constexpr std::uint16_t kMetaKeyLayout = 64;
inline constexpr std::uint16_t kMetaKeyModel = 65;
inline constexpr std::uint16_t kMetaKeyDescriptionHash = 66;  // 8 bytes

}  // namespace kelvane
