// CRC-32 (the zlib / IEEE 802.3 polynomial, reflected) of the short pieces a KVLX reader checks:
// a 32-byte frame header, a few payload sections. zlib's crc32 is fast on long inputs but pays a
// fixed cost per call that dominates at these sizes; slicing-by-8 tables handle short inputs in
// about a third of the time, and long ones go to zlib.
#pragma once

#include <cstdint>
#include <span>

namespace kelvane {

// The CRC-32 of any bytes followed by their own CRC-32 (little-endian): for instance of a whole
// 36-byte frame header whose header_crc verifies.
inline constexpr std::uint32_t kCrc32Residue = 0x2144DF1C;

// The CRC-32 of the bytes that `crc` covers followed by `bytes`, exactly as zlib's
// crc32(crc, bytes) (crc = 0 for the empty prefix).
std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes);

}  // namespace kelvane
