#include "kelvane/kvlx/crc32.h"

#include <zlib.h>

#include <array>
#include <limits>

#include "kelvane/kvlx/le_bytes.h"

namespace kelvane {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;
// Inputs at least this long go to zlib, which is faster there.
constexpr std::size_t kZlibFrom = 256;

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

// tables[0] is the bytewise table; tables[s][b] advances tables[s-1][b] by one more zero byte.
constexpr Tables make_tables() {
  Tables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t s = 1; s < 8; ++s) {
    for (std::size_t i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  }
  return t;
}

constexpr Tables kTables = make_tables();

std::uint32_t zlib_update(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  uLong c = crc;
  const std::uint8_t* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {  // zlib takes a 32-bit length
    const uInt chunk = left > std::numeric_limits<uInt>::max() ? std::numeric_limits<uInt>::max()
                                                               : static_cast<uInt>(left);
    c = ::crc32(c, p, chunk);
    p += chunk;
    left -= chunk;
  }
  return static_cast<std::uint32_t>(c);
}

}  // namespace

std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  if (bytes.size() >= kZlibFrom) return zlib_update(crc, bytes);
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  std::uint32_t c = ~crc;
  while (n >= 8) {
    const std::uint32_t lo = load_le<std::uint32_t>(p) ^ c;
    const std::uint32_t hi = load_le<std::uint32_t>(p + 4);
    c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
        kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
        kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n--) c = kTables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return ~c;
}

}  // namespace kelvane
