#include "kelvane/kvlx/crc32.h"

#include <zlib.h>

#include <array>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#define KELVANE_CRC32_CLMUL 1
#endif

#include "kelvane/kvlx/le_bytes.h"

namespace kelvane {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;
// Inputs at least this long go to zlib, which is faster there (without carry-less multiply).
constexpr std::size_t kZlibFrom = 256;
// Inputs at least this long are folded with carry-less multiplies where the CPU has them.
constexpr std::size_t kClmulFrom = 32;

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

// Slicing-by-8 over the CRC register `c` (the CRC's complement, as the tables run).
std::uint32_t table_update(std::uint32_t c, const std::uint8_t* p, std::size_t n) {
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
  return c;
}

#ifdef KELVANE_CRC32_CLMUL
// The CRC register `c` advanced over the `blocks` 16-byte blocks at `p` by folding: the register
// is added into the first block, the running 128-bit remainder is carried across 64 bytes (four
// lanes) or 16 bytes at a time by carry-less multiplies with x^k mod P, and the last 128 bits are
// reduced to 32 by two more folds and a Barrett reduction. The constants are the bit-reflected
// x^k mod P of the CRC-32 polynomial P = 0x104C11DB7 for the fold distances, and P and
// floor(x^64 / P) for the reduction.
[[gnu::target("pclmul,sse4.1"), gnu::always_inline]] inline __m128i load(const std::uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
// x carried 128 +- 32 bits (the distances in k) further and added to `next`.
[[gnu::target("pclmul,sse4.1"), gnu::always_inline]] inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

[[gnu::target("pclmul,sse4.1")]] std::uint32_t clmul_update(std::uint32_t c, const std::uint8_t* p, std::size_t blocks) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);  // 4 x 128 + 32, 4 x 128 - 32
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);  // 128 + 32, 128 - 32
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);                // 64
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);   // floor(x^64 / P), P
  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(c)));
  p += 16;
  --blocks;
  if (blocks >= 3) {
    __m128i x2 = load(p);
    __m128i x3 = load(p + 16);
    __m128i x4 = load(p + 32);
    p += 48;
    blocks -= 3;
    while (blocks >= 4) {
      x1 = fold(x1, k1k2, load(p));
      x2 = fold(x2, k1k2, load(p + 16));
      x3 = fold(x3, k1k2, load(p + 32));
      x4 = fold(x4, k1k2, load(p + 48));
      p += 64;
      blocks -= 4;
    }
    x1 = fold(x1, k3k4, x2);
    x1 = fold(x1, k3k4, x3);
    x1 = fold(x1, k3k4, x4);
  }
  for (; blocks > 0; --blocks, p += 16) x1 = fold(x1, k3k4, load(p));
  // 128 bits to 64, then to a 64-bit value whose low 32 bits are reduced below.
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), _mm_srli_si128(x1, 4));
  // Barrett reduction: the quotient by P from floor(x^64 / P), then the remainder.
  __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
  q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), poly, 0x00);
  return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, q), 1));
}

const bool kHasClmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#endif

}  // namespace

std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  const std::uint8_t* p = bytes.data();
  const std::size_t n = bytes.size();
#ifdef KELVANE_CRC32_CLMUL
  if (n >= kClmulFrom && kHasClmul) {
    const std::size_t folded = n & ~std::size_t{15};
    return ~table_update(clmul_update(~crc, p, folded / 16), p + folded, n - folded);
  }
#endif
  if (n >= kZlibFrom) return zlib_update(crc, bytes);
  return ~table_update(~crc, p, n);
}

}  // namespace kelvane
